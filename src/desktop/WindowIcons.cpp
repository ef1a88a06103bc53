#include "desktop/WindowIcons.h"

#include <QHash>
#include <QIconEngine>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <algorithm>
#include <cmath>

namespace {

// Every picture is drawn on a 32 x 32 grid and scaled.
constexpr qreal kGrid = 32.0;

const QColor kBlue(0x2f, 0x6f, 0xb5);
const QColor kBlueLight(0x6a, 0xa6, 0xe6);
const QColor kTeal(0x1e, 0x9e, 0x8f);
const QColor kOrange(0xf0, 0xa0, 0x30);
const QColor kFolder(0xf2, 0xb9, 0x48);
const QColor kFolderDark(0xcf, 0x8f, 0x1f);
const QColor kGreen(0x34, 0x9a, 0x46);
const QColor kGray(0x5e, 0x66, 0x73);
const QColor kGrayLight(0xd4, 0xd9, 0xe0);
const QColor kRed(0xc8, 0x47, 0x3b);
const QColor kPaperEdge(0x84, 0x8c, 0x98);

QPen Outline(const QColor& color, qreal width = 1.5) {
  QPen pen(color, width);
  pen.setJoinStyle(Qt::RoundJoin);
  pen.setCapStyle(Qt::RoundCap);
  return pen;
}

// A cube seen from a corner: three rhombi that tile the plane, the program's mark.
void DrawProgram(QPainter& p) {
  const QPointF c(16, 16.5);
  const qreal r = 14.5;
  auto at = [&](qreal degrees) {
    const qreal a = degrees * M_PI / 180.0;
    return QPointF(c.x() + r * std::cos(a), c.y() - r * std::sin(a));
  };
  const QPointF top = at(90), upper_left = at(150), lower_left = at(210), bottom = at(270),
                lower_right = at(330), upper_right = at(30);
  p.setPen(Outline(Qt::white, 1.2));
  p.setBrush(kOrange);
  p.drawPolygon(QPolygonF({top, upper_left, c, upper_right}));
  p.setBrush(kTeal);
  p.drawPolygon(QPolygonF({upper_left, lower_left, bottom, c}));
  p.setBrush(kBlue);
  p.drawPolygon(QPolygonF({c, bottom, lower_right, upper_right}));
}

void DrawFolder(QPainter& p, const QRectF& r) {
  QPainterPath back;
  back.moveTo(r.left(), r.top() + 3);
  back.lineTo(r.left(), r.top() + 1);
  back.quadTo(r.left(), r.top(), r.left() + 1, r.top());
  back.lineTo(r.left() + r.width() * 0.38, r.top());
  back.lineTo(r.left() + r.width() * 0.48, r.top() + 3);
  back.lineTo(r.right(), r.top() + 3);
  back.lineTo(r.right(), r.bottom());
  back.lineTo(r.left(), r.bottom());
  back.closeSubpath();
  p.setPen(Outline(kFolderDark, 1.2));
  p.setBrush(kFolderDark.lighter(115));
  p.drawPath(back);
  p.setBrush(kFolder);
  p.drawRoundedRect(QRectF(r.left(), r.top() + 6, r.width(), r.height() - 6), 1.5, 1.5);
}

void DrawPerson(QPainter& p, const QPointF& head, qreal scale, const QColor& color) {
  p.setPen(Outline(color.darker(130), 1.2));
  p.setBrush(color);
  p.drawEllipse(head, 4.6 * scale, 4.6 * scale);
  QPainterPath body;
  const qreal w = 9.5 * scale, top = head.y() + 6 * scale, bottom = head.y() + 16 * scale;
  body.moveTo(head.x() - w, bottom);
  body.cubicTo(head.x() - w, top - 1 * scale, head.x() + w, top - 1 * scale, head.x() + w, bottom);
  body.closeSubpath();
  p.drawPath(body);
}

void DrawGlobe(QPainter& p, const QPointF& c, qreal r, const QColor& color) {
  p.setPen(Outline(color.darker(140), 1.3));
  p.setBrush(color);
  p.drawEllipse(c, r, r);
  p.setBrush(Qt::NoBrush);
  p.setPen(Outline(QColor(255, 255, 255, 200), 1.1));
  p.drawEllipse(c, r * 0.45, r);
  p.drawLine(QPointF(c.x(), c.y() - r), QPointF(c.x(), c.y() + r));
  p.drawLine(QPointF(c.x() - r, c.y()), QPointF(c.x() + r, c.y()));
  const qreal dy = r * 0.52, dx = std::sqrt(r * r - dy * dy);
  p.drawLine(QPointF(c.x() - dx, c.y() - dy), QPointF(c.x() + dx, c.y() - dy));
  p.drawLine(QPointF(c.x() - dx, c.y() + dy), QPointF(c.x() + dx, c.y() + dy));
}

// A round badge in a corner, with a plus or a check mark.
void DrawBadge(QPainter& p, const QPointF& c, bool check) {
  p.setPen(Outline(Qt::white, 1.4));
  p.setBrush(kGreen);
  p.drawEllipse(c, 6.2, 6.2);
  p.setPen(Outline(Qt::white, 2.2));
  if (check) {
    p.drawPolyline(QPolygonF(
        {{c.x() - 3, c.y() + 0.2}, {c.x() - 0.8, c.y() + 2.6}, {c.x() + 3.2, c.y() - 2.4}}));
  } else {
    p.drawLine(QPointF(c.x() - 3.2, c.y()), QPointF(c.x() + 3.2, c.y()));
    p.drawLine(QPointF(c.x(), c.y() - 3.2), QPointF(c.x(), c.y() + 3.2));
  }
}

void DrawSheet(QPainter& p, const QRectF& r, bool lines) {
  QPainterPath sheet;
  const qreal fold = r.width() * 0.3;
  sheet.moveTo(r.topLeft());
  sheet.lineTo(r.right() - fold, r.top());
  sheet.lineTo(r.right(), r.top() + fold);
  sheet.lineTo(r.bottomRight());
  sheet.lineTo(r.bottomLeft());
  sheet.closeSubpath();
  p.setPen(Outline(kPaperEdge, 1.2));
  p.setBrush(Qt::white);
  p.drawPath(sheet);
  p.setBrush(kGrayLight);
  p.drawPolygon(QPolygonF({{r.right() - fold, r.top()},
                           {r.right() - fold, r.top() + fold},
                           {r.right(), r.top() + fold}}));
  if (!lines) return;
  p.setPen(Outline(kBlueLight, 1.4));
  for (qreal y = r.top() + fold + 2.5; y < r.bottom() - 2; y += 3.6)
    p.drawLine(QPointF(r.left() + 3, y), QPointF(r.right() - 3, y));
}

void DrawPadlock(QPainter& p, const QRectF& body) {
  p.setPen(Outline(kGray, 2.2));
  p.setBrush(Qt::NoBrush);
  const qreal w = body.width() * 0.62;
  p.drawArc(QRectF(body.center().x() - w / 2, body.top() - w * 0.75, w, w * 1.4), 0, 180 * 16);
  p.drawLine(QPointF(body.center().x() - w / 2, body.top() - w * 0.05),
             QPointF(body.center().x() - w / 2, body.top() + 1));
  p.drawLine(QPointF(body.center().x() + w / 2, body.top() - w * 0.05),
             QPointF(body.center().x() + w / 2, body.top() + 1));
  p.setPen(Outline(kFolderDark, 1.2));
  p.setBrush(kOrange);
  p.drawRoundedRect(body, 2, 2);
  p.setPen(Outline(kFolderDark.darker(130), 2));
  p.drawLine(QPointF(body.center().x(), body.center().y() - 1.5),
             QPointF(body.center().x(), body.center().y() + 2));
}

void DrawArrowUp(QPainter& p, const QPointF& tip, qreal size, const QColor& color) {
  p.setPen(Outline(color.darker(130), 1.0));
  p.setBrush(color);
  const qreal s = size;
  p.drawPolygon(QPolygonF({tip,
                           {tip.x() + s * 0.55, tip.y() + s * 0.5},
                           {tip.x() + s * 0.22, tip.y() + s * 0.5},
                           {tip.x() + s * 0.22, tip.y() + s},
                           {tip.x() - s * 0.22, tip.y() + s},
                           {tip.x() - s * 0.22, tip.y() + s * 0.5},
                           {tip.x() - s * 0.55, tip.y() + s * 0.5}}));
}

void DrawGear(QPainter& p) {
  const QPointF c(16, 16);
  QPainterPath gear;
  const int teeth = 8;
  for (int i = 0; i < teeth * 2; ++i) {
    const qreal a0 = (i - 0.5) * M_PI / teeth, a1 = (i + 0.5) * M_PI / teeth;
    const qreal r = (i % 2 == 0) ? 14 : 10.5;
    const QPointF p0(c.x() + r * std::cos(a0), c.y() + r * std::sin(a0));
    const QPointF p1(c.x() + r * std::cos(a1), c.y() + r * std::sin(a1));
    if (i == 0)
      gear.moveTo(p0);
    else
      gear.lineTo(p0);
    gear.lineTo(p1);
  }
  gear.closeSubpath();
  gear.addEllipse(c, 4.5, 4.5);
  gear.setFillRule(Qt::OddEvenFill);
  p.setPen(Outline(kGray.darker(130), 1.2));
  p.setBrush(kGray);
  p.drawPath(gear);
}

void DrawMonitor(QPainter& p) {
  p.setPen(Outline(kGray.darker(130), 1.2));
  p.setBrush(kGray);
  p.drawRoundedRect(QRectF(2.5, 4, 27, 19), 2, 2);
  QLinearGradient screen(0, 6, 0, 21);
  screen.setColorAt(0, kBlueLight);
  screen.setColorAt(1, kBlue);
  p.setPen(Qt::NoPen);
  p.setBrush(screen);
  p.drawRect(QRectF(5, 6.5, 22, 14));
  p.setBrush(kGray);
  p.drawRect(QRectF(13, 23, 6, 4));
  p.setPen(Outline(kGray.darker(130), 1.2));
  p.drawRoundedRect(QRectF(8, 26.5, 16, 3), 1, 1);
}

void DrawCopy(QPainter& p) {
  DrawSheet(p, QRectF(4, 3, 16, 20), true);
  DrawSheet(p, QRectF(12, 9, 16, 20), true);
}

void DrawHide(QPainter& p) {
  p.setPen(Outline(kGray.darker(120), 1.2));
  p.setBrush(Qt::white);
  p.drawRoundedRect(QRectF(3, 4, 26, 20), 2, 2);
  p.setPen(Qt::NoPen);
  p.setBrush(kBlue);
  p.drawRect(QRectF(3.6, 4.6, 24.8, 4.5));
  p.setBrush(kGrayLight);
  p.drawRect(QRectF(3, 26, 26, 4));
  p.setPen(Outline(kGreen.darker(120), 1.0));
  p.setBrush(kGreen);
  p.drawPolygon(QPolygonF(
      {{16, 25}, {10.5, 18.5}, {13.8, 18.5}, {13.8, 12}, {18.2, 12}, {18.2, 18.5}, {21.5, 18.5}}));
}

void DrawPower(QPainter& p) {
  p.setPen(Outline(kRed.darker(130), 1.2));
  p.setBrush(kRed);
  p.drawEllipse(QPointF(16, 16), 14, 14);
  p.setPen(Outline(Qt::white, 2.8));
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(9, 9.5, 14, 14), 120 * 16, 300 * 16);
  p.drawLine(QPointF(16, 7), QPointF(16, 15.5));
}

void DrawLogs(QPainter& p) {
  DrawSheet(p, QRectF(5, 2, 22, 28), true);
  p.setPen(Outline(kGreen, 1.6));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(QPointF(22, 24), 6, 6);
  p.drawLine(QPointF(22, 24), QPointF(22, 20.5));
  p.drawLine(QPointF(22, 24), QPointF(24.5, 25.5));
}

// Two arrows side by side: down for what friends fetch, up for what they send.
void DrawTransfers(QPainter& p) {
  p.save();
  p.translate(32, 32);
  p.rotate(180);
  DrawArrowUp(p, QPointF(23, 3), 17, kBlue);  // down, tip at (9, 29)
  p.restore();
  DrawArrowUp(p, QPointF(23, 3), 17, kGreen);
}

void Draw(QPainter& p, CWindowIcons::Kind kind) {
  using Kind = CWindowIcons::Kind;
  switch (kind) {
    case Kind::kProgram:
      DrawProgram(p);
      break;
    case Kind::kNewAccount:
      DrawPerson(p, QPointF(13, 9), 1.0, kBlue);
      DrawBadge(p, QPointF(24.5, 24.5), false);
      break;
    case Kind::kNewShare:
      DrawFolder(p, QRectF(2, 5, 26, 21));
      DrawBadge(p, QPointF(24.5, 24.5), false);
      break;
    case Kind::kMyComputer:
      DrawMonitor(p);
      break;
    case Kind::kMyShare:
      DrawGlobe(p, QPointF(16, 16), 13.5, kBlue);
      break;
    case Kind::kUploadPath:
      DrawFolder(p, QRectF(2, 5, 28, 22));
      DrawArrowUp(p, QPointF(16, 11), 14, kGreen);
      break;
    case Kind::kCopyUrl:
      DrawCopy(p);
      break;
    case Kind::kInternetCheck:
      DrawGlobe(p, QPointF(14, 14), 12, kTeal);
      DrawBadge(p, QPointF(24.5, 24.5), true);
      break;
    case Kind::kSettings:
      DrawGear(p);
      break;
    case Kind::kHide:
      DrawHide(p);
      break;
    case Kind::kExit:
      DrawPower(p);
      break;
    case Kind::kFileShareView:
      DrawFolder(p, QRectF(1.5, 4, 29, 24));
      DrawGlobe(p, QPointF(21.5, 20.5), 7.5, kBlue);
      break;
    case Kind::kFriendsView:
      DrawPerson(p, QPointF(21, 8), 0.85, kTeal);
      DrawPerson(p, QPointF(12, 12), 1.0, kBlue);
      break;
    case Kind::kLogsView:
      DrawLogs(p);
      break;
    case Kind::kTransfersView:
      DrawTransfers(p);
      break;
    case Kind::kPublicShare:
      DrawSheet(p, QRectF(4, 2, 20, 26), false);
      DrawGlobe(p, QPointF(21, 21), 8.5, kGreen);
      break;
    case Kind::kAuthShare:
      DrawSheet(p, QRectF(4, 2, 20, 26), false);
      DrawPadlock(p, QRectF(14, 18, 14, 11));
      break;
    case Kind::kFriend:
      DrawPerson(p, QPointF(16, 9), 1.2, kBlue);
      break;
  }
}

}  // namespace

namespace {

// Draws an icon at whatever size it is asked for, when it is asked for: the window needs a few
// sizes of each picture, and drawing every size of every picture up front slowed its opening.
class CDrawnIconEngine : public QIconEngine {
 public:
  explicit CDrawnIconEngine(CWindowIcons::Kind kind) : m_kind(kind) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
    painter->drawPixmap(rect, pixmap(rect.size(), mode, state));
  }

  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override {
    const int side = std::max(1, std::min(size.width(), size.height()));
    const quint64 key = (static_cast<quint64>(side) << 8) | static_cast<quint64>(mode);
    if (auto it = m_made.find(key); it != m_made.end()) return *it;
    QPixmap made = CWindowIcons::Pixmap(m_kind, side);
    if (mode == QIcon::Disabled) {
      QImage grey = made.toImage().convertToFormat(QImage::Format_ARGB32);
      for (int y = 0; y < grey.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(grey.scanLine(y));
        for (int x = 0; x < grey.width(); ++x) {
          const int g = qGray(line[x]);
          line[x] = qRgba(g, g, g, qAlpha(line[x]) / 2);
        }
      }
      made = QPixmap::fromImage(grey);
    }
    m_made.insert(key, made);
    return made;
  }

  QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
    const int side = std::min(size.width(), size.height());
    return QSize(side, side);
  }

  QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
    QList<QSize> sizes;
    for (int side : {16, 22, 24, 32, 48, 64, 128}) sizes << QSize(side, side);
    return sizes;
  }

  QIconEngine* clone() const override { return new CDrawnIconEngine(m_kind); }

 private:
  CWindowIcons::Kind m_kind;
  QHash<quint64, QPixmap> m_made;
};

}  // namespace

QPixmap CWindowIcons::Pixmap(Kind kind, int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(size / kGrid, size / kGrid);
  Draw(painter, kind);
  return pixmap;
}

QIcon CWindowIcons::Icon(Kind kind) {
  static QHash<int, QIcon> made;
  const int key = static_cast<int>(kind);
  auto it = made.find(key);
  if (it == made.end()) it = made.insert(key, QIcon(new CDrawnIconEngine(kind)));
  return *it;
}
