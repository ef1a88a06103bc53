#pragma once
#include <string>

// The 16 x 16 icons that folder pages show beside each entry, drawn for Tessel and kept in the
// program as pixel art.
namespace tessel {

enum class FileIconKind {
  kFolder,
  kParent,  // the ".." entry of a folder page
  kFile,    // anything without a more specific icon
  kText,
  kDocument,
  kPdf,
  kImage,
  kAudio,
  kVideo,
  kArchive,
  kCode,
};
inline constexpr int kFileIconKindCount = static_cast<int>(FileIconKind::kCode) + 1;

// The kind of icon for a path: ".." (or a path ending in "/..") is the parent entry, an existing
// folder is a folder, anything else goes by its extension, ignoring letter case.
FileIconKind FileIconKindOf(const std::string& path);

// The icon of a kind as a 16 x 16 GIF89a with a transparent background. Encoded once per process;
// safe to call from any thread.
const std::string& FileIconGifOfKind(FileIconKind kind);

// The icon for a path as GIF bytes; empty for an empty path.
std::string FileIconGif(const std::string& path);

}  // namespace tessel
