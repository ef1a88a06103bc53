// Draws the images of the web folder (the page's buttons and markers, and favicon.ico) into the
// folder given on the command line. Run by the build; the art lives here so the images can be
// edited as text and reviewed in a diff.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/PixelArt.h"

namespace {

// Palette keys are listed in src/service/PixelArt.cpp ('.' is transparent).
constexpr std::string_view kHome[] = {
    "................", ".......kk.......", "......kRRk......", ".....kRrrRk.....",
    "....kRrrrrRk....", "...kRrrrrrrRk...", "..kRrrrrrrrrRk..", ".kRrrrrrrrrrrRk.",
    "kRRRRRRRRRRRRRRk", ".kkgwwwwwwwwgkk.", "..kgwllwwMMwgk..", "..kgwllwwMMwgk..",
    "..kgwwwwwMMwgk..", "..kgwwwwwMsMgk..", "..kgwwwwwMMwgk..", "..kkkkkkkkkkkk..",
};

constexpr std::string_view kLogin[] = {
    "................", "........kkkkkkk.", "........kmmmmmk.", "........kmMMMmk.",
    "....N...kmMMMmk.", "....NN..kmMMMmk.", "NNNNnnN.kmMMMmk.", "NnnnnnnNkmMMsmk.",
    "NnnnnnnNkmMMMmk.", "NNNNnnN.kmMMMmk.", "....NN..kmMMMmk.", "....N...kmMMMmk.",
    "........kmMMMmk.", "........kmmmmmk.", "........kkkkkkk.", "................",
};

constexpr std::string_view kLogoff[] = {
    "................", ".kkkkkkk........", ".kmmmmmk........", ".kmMMMmk........",
    ".kmMMMmk...R....", ".kmMMMmk...RR...", ".kmMMMmkRRRrrR..", ".kmMMsmkRrrrrrR.",
    ".kmMMMmkRrrrrrR.", ".kmMMMmkRRRrrR..", ".kmMMMmk...RR...", ".kmMMMmk...R....",
    ".kmMMMmk........", ".kmmmmmk........", ".kkkkkkk........", "................",
};

constexpr std::string_view kDownload[] = {
    "................", "......NNNNN.....", "......NnnnN.....", "......NnnnN.....",
    "......NnnnN.....", "......NnnnN.....", "...NNNNnnnNNNN..", "....NnnnnnnnN...",
    ".....NnnnnnN....", "......NnnnN.....", ".......NnN......", "...B....N....B..",
    "...Bb.......bB..", "...BbbbbbbbbbB..", "...BBBBBBBBBBB..", "................",
};

constexpr std::string_view kZip[] = {
    "................", "................", ".ooooo..........", "oyyyyyoooooooo..",
    "oYYYYYYYYYYYYYo.", "ooooookGkoooooo.", "oyyyyyGkGyyyyyo.", "oyyyyykGkyyyyyo.",
    "oyyyyyGkGyyyyyo.", "oyyyyykGkyyyyyo.", "oyyyyykkkyyyyyo.", "oyyyyykGkyyyyyo.",
    "oYYYYYkGkYYYYYo.", "ooooookkkoooooo.", "................", "................",
};

constexpr std::string_view kRemove[] = {
    "................", ".....RRRRRR.....", "...RRrrrrrrRR...", "..RRrrrrrrrrRR..",
    "..RrrrrrrrrrrR..", ".RrrrrrrrrrrrrR.", ".RrrrrrrrrrrrrR.", ".RrrwwwwwwwwrrR.",
    ".RrrwwwwwwwwrrR.", ".RrrrrrrrrrrrrR.", ".RrrrrrrrrrrrrR.", "..RrrrrrrrrrrR..",
    "..RRrrrrrrrrRR..", "...RRrrrrrrRR...", ".....RRRRRR.....", "................",
};

constexpr std::string_view kShare[] = {
    "................", "..........BBBB..", ".........BBbbBB.", ".........BbbbbB.",
    ".........BBbbBB.", "........BBBBBB..", "..BBBBBBB.......", ".BBbbBB.........",
    ".BbbbbB.........", ".BBbbBB.........", "..BBBBBBB..BB...", "........BBBbbB..",
    ".........BbbbbB.", ".........BbbbbB.", "..........BbbB..", "...........BB...",
};

constexpr std::string_view kUpload[] = {
    ".......BbB......", "......BbbbB.....", ".....BbbbbbB....", "....BbbbbbbbB...",
    "...BBBBbbbBBBB..", "......BbbbB.....", "......BbbbB.....", "......BbbbB.....",
    "......BbbbB.....", "......BBBBB.....", "................", "...B.........B..",
    "...Bb.......bB..", "...BbbbbbbbbbB..", "...BBBBBBBBBBB..", "................",
};

constexpr std::string_view kFavicon[] = {
    ".bbbbb....ttttt.", "bbbbbbb..ttttttt", "bbbbbbb..ttttttt", "bbbbbbb..ttttttt",
    "bbbbbbb..ttttttt", "bbbbbbb..ttttttt", ".bbbbb....ttttt.", "................",
    "................", ".YYYYY....rrrrr.", "YYYYYYY..rrrrrrr", "YYYYYYY..rrrrrrr",
    "YYYYYYY..rrrrrrr", "YYYYYYY..rrrrrrr", "YYYYYYY..rrrrrrr", ".YYYYY....rrrrr.",
};

struct Image {
  const char* name;
  std::span<const std::string_view> rows;
};

constexpr Image kImages[] = {
    {"home.gif", kHome},         {"login.gif", kLogin},   {"logoff.gif", kLogoff},
    {"download.gif", kDownload}, {"zip.gif", kZip},       {"remove.gif", kRemove},
    {"share.gif", kShare},       {"upload.gif", kUpload},
};

void PutLe(std::string& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

// One icon image as an ICO entry holds it: a bottom-up 32-bit BGRA bitmap of twice the height
// (colour then mask), followed by the 1-bit AND mask, each mask row padded to 4 bytes.
std::string IcoBitmap(std::span<const std::string_view> rows, int scale) {
  const int size = static_cast<int>(rows.size()) * scale;
  const int mask_stride = (size + 31) / 32 * 4;
  std::string out;
  PutLe(out, 40, 4);
  PutLe(out, size, 4);
  PutLe(out, size * 2, 4);
  PutLe(out, 1, 2);
  PutLe(out, 32, 2);
  PutLe(out, 0, 4);
  PutLe(out, size * size * 4 + mask_stride * size, 4);
  for (int i = 0; i < 4; ++i) PutLe(out, 0, 4);
  for (int y = size - 1; y >= 0; --y) {
    for (int x = 0; x < size; ++x) {
      auto color = tessel::PixelArtColor(rows[y / scale][x / scale]);
      out += static_cast<char>(color ? color->b : 0);
      out += static_cast<char>(color ? color->g : 0);
      out += static_cast<char>(color ? color->r : 0);
      out += static_cast<char>(color ? 0xff : 0);
    }
  }
  for (int y = size - 1; y >= 0; --y) {
    std::vector<std::uint8_t> mask(mask_stride, 0);
    for (int x = 0; x < size; ++x)
      if (!tessel::PixelArtColor(rows[y / scale][x / scale])) mask[x / 8] |= 0x80 >> (x % 8);
    out.append(mask.begin(), mask.end());
  }
  return out;
}

// favicon.ico with the art at 16 and (doubled) 32 pixels.
std::string Ico(std::span<const std::string_view> rows) {
  const int scales[] = {1, 2};
  std::vector<std::string> bitmaps;
  for (int scale : scales) bitmaps.push_back(IcoBitmap(rows, scale));
  std::string out;
  PutLe(out, 0, 2);
  PutLe(out, 1, 2);
  PutLe(out, bitmaps.size(), 2);
  std::uint32_t offset = 6 + 16 * bitmaps.size();
  for (size_t i = 0; i < bitmaps.size(); ++i) {
    int size = static_cast<int>(rows.size()) * scales[i];
    PutLe(out, size, 1);
    PutLe(out, size, 1);
    PutLe(out, 0, 2);
    PutLe(out, 1, 2);
    PutLe(out, 32, 2);
    PutLe(out, bitmaps[i].size(), 4);
    PutLe(out, offset, 4);
    offset += bitmaps[i].size();
  }
  for (const std::string& bitmap : bitmaps) out += bitmap;
  return out;
}

bool Write(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (bytes.empty() || !file) {
    std::fprintf(stderr, "draw_images: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  bool ok = true;
  for (const Image& image : kImages)
    ok = Write(folder + "/" + image.name, tessel::PixelArtToGif(image.rows)) && ok;
  if (!tessel::IsValidPixelArt(kFavicon)) ok = false;
  ok = ok && Write(folder + "/favicon.ico", Ico(kFavicon));
  return ok ? 0 : 1;
}
