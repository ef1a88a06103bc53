#include "desktop/InfoBar.h"

#include <gtest/gtest.h>
#include <qrencode.h>

#include <memory>

#include "desktop/OffscreenApp.h"

namespace {

TEST(InfoBar, QrImageCarriesTheLibrarysModulesInsideAQuietZone) {
  const QString url = "http://192.168.1.20:8080/";
  const QImage image = CInfoBar::QrImage(url);
  ASSERT_FALSE(image.isNull());
  std::unique_ptr<QRcode, void (*)(QRcode*)> code(
      QRcode_encodeString8bit(url.toUtf8().constData(), 0, QR_ECLEVEL_M), QRcode_free);
  ASSERT_TRUE(code);
  const int width = code->width;
  ASSERT_EQ(image.width(), width + 8);
  ASSERT_EQ(image.height(), width + 8);
  int mismatches = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const bool inside = x >= 4 && y >= 4 && x < width + 4 && y < width + 4;
      const bool dark = inside && (code->data[(y - 4) * width + (x - 4)] & 1);
      if ((qGray(image.pixel(x, y)) < 128) != dark) ++mismatches;
    }
  }
  EXPECT_EQ(mismatches, 0) << "rows and columns as the library lays them out";
  EXPECT_TRUE(CInfoBar::QrImage("").isNull());
}

TEST(InfoBar, DrawsTheCodeWholeAtTheRightEnd) {
  tessel::test::OffscreenApp();
  CInfoBar bar;
  EXPECT_FALSE(bar.GetText().isEmpty()) << "starts with the product caption";
  const QString url = "http://tessel.invalid/alice";
  bar.SetText("Please drag the file to the list and your friends can download it from: " + url);
  bar.SetQrText(url);
  const QImage code = CInfoBar::QrImage(url);
  ASSERT_GE(bar.sizeHint().height(), code.height() * 2) << "two pixels per module at least";
  bar.resize(700, bar.sizeHint().height());
  const QImage shot = bar.grab().toImage();
  // The code's own top-left finder pattern: dark corner module four modules in, light quiet
  // zone outside it, and nothing of the code left of the right end.
  const int side = code.height();
  const int module = (bar.height() - 8) / side;
  ASSERT_GE(module, 2);
  const int left = bar.width() - 4 - side * module;
  const int top = (bar.height() - side * module) / 2;
  EXPECT_LT(qGray(shot.pixel(left + 4 * module + 1, top + 4 * module + 1)), 64);
  EXPECT_GT(qGray(shot.pixel(left + 1, top + 1)), 200);
  EXPECT_NE(shot.pixel(left - 10, bar.height() / 2), QColor(Qt::white).rgb());
  EXPECT_TRUE(bar.toolTip().contains(url));

  bar.SetQrText("");
  EXPECT_TRUE(bar.toolTip().isEmpty());
  EXPECT_LT(bar.sizeHint().height(), code.height() * 2);
}

}  // namespace
