// Draws the program icon for the desktop's icon theme: four rounded tiles in the colours of the
// web folder's favicon, the last one carrying an arrow that leaves (what is shared goes out), as
// PNG files at the theme's usual sizes and as an SVG. Run by the build:
//   draw_icon OUTPUT_FOLDER
// writes OUTPUT_FOLDER/hicolor/<N>x<N>/apps/tessel.png and OUTPUT_FOLDER/hicolor/scalable/apps/
// tessel.svg. Each size is laid out on whole pixels, so the small ones stay sharp.
#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPolygonF>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

constexpr int kSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

// Clockwise from the top left: blue, teal, red, yellow, as on the favicon.
constexpr QRgb kTileColors[] = {qRgb(47, 125, 225), qRgb(34, 179, 166), qRgb(229, 83, 75),
                                qRgb(242, 178, 51)};

constexpr QRgb kArrowColor = qRgb(255, 255, 255);

// An arrow pointing right across a tile of side 1, turned by kArrowAngle about the tile's centre.
constexpr double kArrow[][2] = {{0.18, 0.41}, {0.50, 0.41}, {0.50, 0.21}, {0.84, 0.50},
                                {0.50, 0.79}, {0.50, 0.59}, {0.18, 0.59}};
constexpr double kArrowAngle = -45;  // up and to the right

struct Layout {
  int margin;  // around the four tiles
  int gap;     // between them
  int tile;    // side of one tile
  double radius;

  explicit Layout(int size)
      : margin(size >= 32 ? size / 16 : 1),
        gap(2 * std::max(1, (size + 16) / 32)),
        tile((size - 2 * margin - gap) / 2),
        radius(tile * 0.22) {}

  // The top left corner of tile 0 to 3, clockwise from the top left.
  int X(int index) const { return margin + (index == 1 || index == 2 ? tile + gap : 0); }
  int Y(int index) const { return margin + (index >= 2 ? tile + gap : 0); }
};

bool DrawPng(int size, const std::string& path) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  const Layout layout(size);
  {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    for (int i = 0; i < 4; ++i) {
      painter.setBrush(QColor(kTileColors[i]));
      painter.drawRoundedRect(QRectF(layout.X(i), layout.Y(i), layout.tile, layout.tile),
                              layout.radius, layout.radius);
    }
    const double half = layout.tile / 2.0;
    painter.translate(layout.X(2) + half, layout.Y(2) + half);
    painter.rotate(kArrowAngle);
    QPolygonF arrow;
    for (const auto& point : kArrow)
      arrow << QPointF((point[0] - 0.5) * layout.tile, (point[1] - 0.5) * layout.tile);
    painter.setBrush(QColor(kArrowColor));
    painter.drawPolygon(arrow);
  }
  return image.save(QString::fromStdString(path), "PNG");
}

std::string HexColor(QRgb color) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", qRed(color), qGreen(color), qBlue(color));
  return text;
}

bool WriteSvg(const std::string& path) {
  constexpr int kSize = 256;
  const Layout layout(kSize);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kSize << "\" height=\"" << kSize
      << "\" viewBox=\"0 0 " << kSize << ' ' << kSize << "\">\n";
  for (int i = 0; i < 4; ++i) {
    out << "  <rect x=\"" << layout.X(i) << "\" y=\"" << layout.Y(i) << "\" width=\"" << layout.tile
        << "\" height=\"" << layout.tile << "\" rx=\"" << layout.radius << "\" fill=\""
        << HexColor(kTileColors[i]) << "\"/>\n";
  }
  const double centre_x = layout.X(2) + layout.tile / 2.0;
  const double centre_y = layout.Y(2) + layout.tile / 2.0;
  out << "  <polygon points=\"";
  for (const auto& point : kArrow)
    out << (&point == &kArrow[0] ? "" : " ") << layout.X(2) + point[0] * layout.tile << ','
        << layout.Y(2) + point[1] * layout.tile;
  out << "\" transform=\"rotate(" << kArrowAngle << ' ' << centre_x << ' ' << centre_y
      << ")\" fill=\"" << HexColor(kArrowColor) << "\"/>\n";
  out << "</svg>\n";
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
    return 2;
  }
  namespace fs = std::filesystem;
  const fs::path theme = fs::path(argv[1]) / "hicolor";
  bool ok = true;
  std::error_code ec;
  for (int size : kSizes) {
    const fs::path folder = theme / (std::to_string(size) + "x" + std::to_string(size)) / "apps";
    fs::create_directories(folder, ec);
    const std::string path = (folder / "tessel.png").string();
    if (!DrawPng(size, path)) {
      std::fprintf(stderr, "draw_icon: cannot write %s\n", path.c_str());
      ok = false;
    }
  }
  const fs::path scalable = theme / "scalable" / "apps";
  fs::create_directories(scalable, ec);
  if (!WriteSvg((scalable / "tessel.svg").string())) {
    std::fprintf(stderr, "draw_icon: cannot write %s\n", (scalable / "tessel.svg").c_str());
    ok = false;
  }
  return ok ? 0 : 1;
}
