#include "base/PixelArt.h"

#include <gif_lib.h>

#include <array>
#include <vector>

namespace tessel {
namespace {

struct PaletteEntry {
  char key;
  PixelColor color;
};

// Index 0 is the transparent colour; 32 entries make a 5-bit GIF colour table.
constexpr std::array<PaletteEntry, 32> kPalette = {{
    {'.', {255, 255, 255}},                          // transparent
    {'k', {45, 54, 64}},                             // outline
    {'K', {110, 122, 136}},                          // soft outline
    {'w', {255, 255, 255}}, {'g', {233, 237, 242}},  // paper shade
    {'G', {184, 194, 204}}, {'z', {128, 140, 153}},  // text lines
    {'y', {255, 214, 102}},                          // folder, light
    {'Y', {242, 178, 51}},                           // folder
    {'o', {196, 134, 20}},                           // folder, dark
    {'l', {169, 204, 245}},                          // sky
    {'b', {47, 125, 225}},  {'B', {29, 84, 176}},   {'r', {229, 83, 75}},   {'R', {168, 38, 43}},
    {'n', {72, 180, 84}},   {'N', {35, 128, 58}},   {'p', {155, 107, 223}}, {'P', {106, 63, 176}},
    {'t', {34, 179, 166}},  {'T', {22, 128, 124}},  {'m', {201, 146, 86}},   // cardboard
    {'M', {138, 90, 43}},   {'s', {255, 236, 160}},                          // sun, brass
    {'S', {232, 160, 32}},  {'d', {70, 80, 92}},                             // film
    {'D', {30, 36, 44}},    {'x', {250, 250, 250}}, {'c', {255, 196, 188}},  // pale red
    {'e', {205, 232, 209}},                                                  // pale green
    {'f', {214, 228, 250}},                                                  // pale blue
    {'h', {236, 224, 250}},                                                  // pale purple
}};

int PaletteIndex(char key) {
  for (size_t i = 0; i < kPalette.size(); ++i)
    if (kPalette[i].key == key) return static_cast<int>(i);
  return -1;
}

int AppendToString(GifFileType* gif, const GifByteType* data, int length) {
  static_cast<std::string*>(gif->UserData)->append(reinterpret_cast<const char*>(data), length);
  return length;
}

}  // namespace

std::optional<PixelColor> PixelArtColor(char key) {
  int index = PaletteIndex(key);
  if (index <= 0) return std::nullopt;
  return kPalette[index].color;
}

bool IsValidPixelArt(std::span<const std::string_view> rows) {
  if (rows.empty() || rows.front().empty()) return false;
  for (std::string_view row : rows) {
    if (row.size() != rows.front().size()) return false;
    for (char key : row)
      if (PaletteIndex(key) < 0) return false;
  }
  return true;
}

std::string PixelArtToGif(std::span<const std::string_view> rows) {
  if (!IsValidPixelArt(rows)) return {};
  const int width = static_cast<int>(rows.front().size());
  const int height = static_cast<int>(rows.size());

  std::array<GifColorType, kPalette.size()> colors{};
  for (size_t i = 0; i < kPalette.size(); ++i)
    colors[i] = {kPalette[i].color.r, kPalette[i].color.g, kPalette[i].color.b};

  std::string out;
  int error = 0;
  GifFileType* gif = EGifOpen(&out, AppendToString, &error);
  if (!gif) return {};
  // The transparency block needs GIF89a; giflib writes GIF87a unless told.
  EGifSetGifVersion(gif, true);

  ColorMapObject* map = GifMakeMapObject(static_cast<int>(colors.size()), colors.data());
  bool ok = map && EGifPutScreenDesc(gif, width, height, 5, 0, map) == GIF_OK;
  GifFreeMapObject(map);  // the encoder keeps its own copy

  GraphicsControlBlock control{};
  control.DisposalMode = DISPOSAL_UNSPECIFIED;
  control.TransparentColor = 0;
  GifByteType extension[4];
  EGifGCBToExtension(&control, extension);
  ok = ok && EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, sizeof extension, extension) == GIF_OK;
  ok = ok && EGifPutImageDesc(gif, 0, 0, width, height, false, nullptr) == GIF_OK;

  std::vector<GifPixelType> line(width);
  for (int y = 0; ok && y < height; ++y) {
    for (int x = 0; x < width; ++x) line[x] = static_cast<GifPixelType>(PaletteIndex(rows[y][x]));
    ok = EGifPutLine(gif, line.data(), width) == GIF_OK;
  }
  if (EGifCloseFile(gif, &error) != GIF_OK) ok = false;
  return ok ? out : std::string();
}

}  // namespace tessel
