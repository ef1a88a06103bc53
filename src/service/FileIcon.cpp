#include "service/FileIcon.h"

#include <array>
#include <filesystem>
#include <span>
#include <string_view>
#include <system_error>
#include <utility>

#include "base/PixelArt.h"

namespace tessel {
namespace {

// Palette keys are listed in PixelArt.cpp ('.' is transparent).
constexpr std::string_view kFolder[] = {
    "................", "................", ".ooooo..........", "oyyyyyoooooooo..",
    "oYYYYYYYYYYYYYo.", "ooooooooooooooo.", "oyyyyyyyyyyyyyo.", "oyyyyyyyyyyyyyo.",
    "oyyyyyyyyyyyyyo.", "oyyyyyyyyyyyyyo.", "oyyyyyyyyyyyyyo.", "oyyyyyyyyyyyyyo.",
    "oYYYYYYYYYYYYYo.", "ooooooooooooooo.", "................", "................",
};

constexpr std::string_view kParent[] = {
    "................", "................", ".ooooo..........", "oyyyyyoooooooo..",
    "oYYYYYYYYYYYYYo.", "ooooooooooooooo.", "oyyyyyyyyyyyyyo.", "oyyyyyy....N....",
    "oyyyyyy...NnN...", "oyyyyyy..NnnnN..", "oyyyyyy.NnnnnnN.", "oyyyyyyNNNnnnNNN",
    "oYYYYYY..NnnnN..", "ooooooo..NnnnN..", ".........NNNNN..", "................",
};

constexpr std::string_view kFile[] = {
    "..KKKKKKKK......", "..KwwwwwwKK.....", "..KwwwwwwKgK....", "..KwwwwwwKggK...",
    "..KwwwwwwKKKKK..", "..KwwwwwwwwwwK..", "..KwwwwwwwwwwK..", "..KwwwwwwwwwwK..",
    "..KwwwwwwwwwwK..", "..KwwwwwwwwwwK..", "..KwwwwwwwwwwK..", "..KwwwwwwwwwwK..",
    "..KwwwwwwwwwwK..", "..KwwwwwwwwwwK..", "..KwwwwwwwwwwK..", "..KKKKKKKKKKKK..",
};

constexpr std::string_view kText[] = {
    "..KKKKKKKK......", "..KwwwwwwKK.....", "..KwzzzzwKgK....", "..KwwwwwwKggK...",
    "..KwzzzzwKKKKK..", "..KwwwwwwwwwwK..", "..KwzzzzzzzzwK..", "..KwwwwwwwwwwK..",
    "..KwzzzzzzzzwK..", "..KwwwwwwwwwwK..", "..KwzzzzzzzzwK..", "..KwwwwwwwwwwK..",
    "..KwzzzzzzzzwK..", "..KwwwwwwwwwwK..", "..KwwwwwwwwwwK..", "..KKKKKKKKKKKK..",
};

constexpr std::string_view kDocument[] = {
    "..KKKKKKKK......", "..KwwwwwwKK.....", "..KwBBBBwKgK....", "..KwwwwwwKggK...",
    "..KwbbbbwKKKKK..", "..KwwwwwwwwwwK..", "..KwbbbbbbbbwK..", "..KwwwwwwwwwwK..",
    "..KwbbbbbbbbwK..", "..KwwwwwwwwwwK..", "..KwbbbbbbbbwK..", "..KwwwwwwwwwwK..",
    "..KwbbbbbwwwwK..", "..KwwwwwwwwwwK..", "..KwwwwwwwwwwK..", "..KKKKKKKKKKKK..",
};

constexpr std::string_view kPdf[] = {
    "..KKKKKKKK......", "..KwwwwwwKK.....", "..KwwwwwwKgK....", "..KwwwwwwKggK...",
    "..KwwwwwwKKKKK..", "..KwwwwwwwwwwK..", "..KwzzzzzzwwwK..", "..KwwwwwwwwwwK..",
    ".rrrrrrrrrrrrr..", ".rwwwrwwrrwwwr..", ".rwrwrwrwrwrrr..", ".rwwwrwrwrwwrr..",
    ".rwrrrwrwrwrrr..", ".rwrrrwwrrwrrr..", ".RRRRRRRRRRRRR..", "..KKKKKKKKKKKK..",
};

constexpr std::string_view kImage[] = {
    "................", "................", "kkkkkkkkkkkkkkkk", "kllllllllllllllk",
    "kllllllllllsSllk", "klllllllllsssSlk", "klllllllllsssSlk", "kllllnllllllSllk",
    "klllnnnllllllllk", "kllnnnnnlllnnllk", "klnnnnnnnlnnnllk", "knnnnNnnnnnnnnnk",
    "kNNNNNNNNNNNNNNk", "kkkkkkkkkkkkkkkk", "................", "................",
};

constexpr std::string_view kAudio[] = {
    "................", "......PPPPPPPPP.", "......PPPPPPPPP.", "......P.......P.",
    "......P.......P.", "......P.......P.", "......P.......P.", "......P.......P.",
    "......P.......P.", "......P.......P.", "..pppPP...pppPP.", ".pPPPPP..pPPPPP.",
    ".PPPPPP..PPPPPP.", "..PPPP....PPPP..", "................", "................",
};

constexpr std::string_view kVideo[] = {
    "................", "DDDDDDDDDDDDDDDD", "DxDDxDDxDDxDDxDD", "DDDDDDDDDDDDDDDD",
    "DbbbbbbbbbbbbbbD", "DbbbbbbwbbbbbbbD", "DbbbbbbwwbbbbbbD", "DbbbbbbwwwbbbbbD",
    "DbbbbbbwwwwbbbbD", "DbbbbbbwwwbbbbbD", "DbbbbbbwwbbbbbbD", "DbbbbbbwbbbbbbbD",
    "DDDDDDDDDDDDDDDD", "DxDDxDDxDDxDDxDD", "DDDDDDDDDDDDDDDD", "................",
};

constexpr std::string_view kArchive[] = {
    "..KKKKKKKK......", "..KwwwwkGKK.....", "..KwwwwGkKgK....", "..KwwwwkGKggK...",
    "..KwwwwGkKKKKK..", "..KwwwwkGwwwwK..", "..KwwwwGkwwwwK..", "..KwwwwkGwwwwK..",
    "..KwwwwGkwwwwK..", "..KwwwwkGwwwwK..", "..KwwwkkkkwwwK..", "..KwwwkGGkwwwK..",
    "..KwwwkGGkwwwK..", "..KwwwkkkkwwwK..", "..KwwwwwwwwwwK..", "..KKKKKKKKKKKK..",
};

constexpr std::string_view kCode[] = {
    "..KKKKKKKK......", "..KwwwwwwKK.....", "..KwwwwwwKgK....", "..KwwwwwwKggK...",
    "..KwwwwwwKKKKK..", "..KwwwwwwwwwwK..", "..KwzzzzzzwwwK..", "..KwwwwwwwwwwK..",
    ".ttttttttttttt..", ".tttwtttwtwttt..", ".ttwttttwttwtt..", ".twttttwttttwt..",
    ".ttwttwttttwtt..", ".tttwtwtttwttt..", ".TTTTTTTTTTTTT..", "..KKKKKKKKKKKK..",
};

struct IconArt {
  FileIconKind kind;
  std::span<const std::string_view> rows;
};

constexpr IconArt kIcons[] = {
    {FileIconKind::kFolder, kFolder},     {FileIconKind::kParent, kParent},
    {FileIconKind::kFile, kFile},         {FileIconKind::kText, kText},
    {FileIconKind::kDocument, kDocument}, {FileIconKind::kPdf, kPdf},
    {FileIconKind::kImage, kImage},       {FileIconKind::kAudio, kAudio},
    {FileIconKind::kVideo, kVideo},       {FileIconKind::kArchive, kArchive},
    {FileIconKind::kCode, kCode},
};

// Extensions in lower case. An extension found in no list gets the plain file icon.
constexpr std::pair<FileIconKind, std::string_view> kExtensions[] = {
    {FileIconKind::kText, "txt log md nfo ini cfg conf srt sub"},
    {FileIconKind::kDocument, "doc docx odt rtf xls xlsx ods csv ppt pptx odp epub"},
    {FileIconKind::kPdf, "pdf"},
    {FileIconKind::kImage, "jpg jpeg png gif bmp webp svg tif tiff ico heic avif psd"},
    {FileIconKind::kAudio, "mp3 wav flac ogg oga opus m4a aac wma mid midi ape"},
    {FileIconKind::kVideo, "mp4 m4v mkv avi mov wmv webm flv mpg mpeg 3gp vob"},
    {FileIconKind::kArchive, "zip rar 7z tar gz tgz bz2 xz zst iso cab deb rpm jar"},
    {FileIconKind::kCode,
     "c h cc cpp cxx hpp py js mjs java go rs rb php pl lua sh bat ps1 cs kt swift sql html htm "
     "css json xml yml yaml toml"},
};

bool ListHolds(std::string_view list, std::string_view word) {
  while (!list.empty()) {
    size_t space = list.find(' ');
    if (list.substr(0, space) == word) return true;
    if (space == std::string_view::npos) break;
    list.remove_prefix(space + 1);
  }
  return false;
}

FileIconKind KindOfExtension(std::string_view name) {
  size_t dot = name.rfind('.');
  // A leading dot marks a hidden file, not an extension.
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) {
    return FileIconKind::kFile;
  }
  std::string extension(name.substr(dot + 1));
  for (char& c : extension)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  for (const auto& [kind, list] : kExtensions)
    if (ListHolds(list, extension)) return kind;
  return FileIconKind::kFile;
}

}  // namespace

FileIconKind FileIconKindOf(const std::string& path) {
  std::string_view name = path;
  if (size_t slash = name.rfind('/'); slash != std::string_view::npos) {
    name.remove_prefix(slash + 1);
  }
  if (name == "..") return FileIconKind::kParent;
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) return FileIconKind::kFolder;
  return KindOfExtension(name);
}

const std::string& FileIconGifOfKind(FileIconKind kind) {
  // Every page asks for one icon per row, so each is encoded once; a function-local static is
  // built exactly once even when several workers arrive together.
  static const std::array<std::string, kFileIconKindCount> gifs = [] {
    std::array<std::string, kFileIconKindCount> encoded;
    for (const IconArt& icon : kIcons)
      encoded[static_cast<int>(icon.kind)] = PixelArtToGif(icon.rows);
    return encoded;
  }();
  static const std::string none;
  int index = static_cast<int>(kind);
  return index >= 0 && index < kFileIconKindCount ? gifs[index] : none;
}

std::string FileIconGif(const std::string& path) {
  if (path.empty()) return {};
  return FileIconGifOfKind(FileIconKindOf(path));
}

}  // namespace tessel
