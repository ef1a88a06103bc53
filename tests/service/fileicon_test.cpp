#include "service/FileIcon.h"

#include <gif_lib.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/PixelArt.h"

namespace {

using tessel::FileIconKind;

struct MemoryReader {
  const std::string* bytes;
  size_t offset = 0;
};

int ReadMemory(GifFileType* gif, GifByteType* buffer, int length) {
  auto* reader = static_cast<MemoryReader*>(gif->UserData);
  size_t n = std::min<size_t>(length, reader->bytes->size() - reader->offset);
  std::memcpy(buffer, reader->bytes->data() + reader->offset, n);
  reader->offset += n;
  return static_cast<int>(n);
}

struct Decoded {
  bool ok = false;
  int width = 0, height = 0, transparent = -1;
  std::vector<GifByteType> pixels;
};

Decoded Decode(const std::string& bytes) {
  Decoded out;
  MemoryReader reader{&bytes};
  int error = 0;
  GifFileType* gif = DGifOpen(&reader, ReadMemory, &error);
  if (!gif) return out;
  if (DGifSlurp(gif) == GIF_OK && gif->ImageCount == 1) {
    out.ok = true;
    out.width = gif->SWidth;
    out.height = gif->SHeight;
    const SavedImage& image = gif->SavedImages[0];
    out.pixels.assign(image.RasterBits,
                      image.RasterBits + image.ImageDesc.Width * image.ImageDesc.Height);
    GraphicsControlBlock control;
    if (DGifSavedExtensionToGCB(gif, 0, &control) == GIF_OK) {
      out.transparent = control.TransparentColor;
    }
  }
  DGifCloseFile(gif, &error);
  return out;
}

TEST(FileIcon, EveryKindIsASixteenPixelGifWithTransparentBackground) {
  std::set<std::string> distinct;
  for (int i = 0; i < tessel::kFileIconKindCount; ++i) {
    SCOPED_TRACE("kind " + std::to_string(i));
    const std::string& gif = tessel::FileIconGifOfKind(static_cast<FileIconKind>(i));
    ASSERT_GT(gif.size(), 13u);
    EXPECT_EQ(gif.substr(0, 6), "GIF89a");
    // Logical screen: width and height, little-endian.
    EXPECT_EQ(gif.substr(6, 4), std::string("\x10\x00\x10\x00", 4));
    EXPECT_EQ(static_cast<unsigned char>(gif.back()), 0x3b);  // trailer

    Decoded image = Decode(gif);
    ASSERT_TRUE(image.ok);
    EXPECT_EQ(image.width, 16);
    EXPECT_EQ(image.height, 16);
    ASSERT_EQ(image.pixels.size(), 256u);
    ASSERT_GE(image.transparent, 0);
    size_t clear = std::count(image.pixels.begin(), image.pixels.end(), image.transparent);
    EXPECT_GT(clear, 0u) << "no transparent background";
    EXPECT_GT(image.pixels.size() - clear, 64u) << "hardly anything drawn";
    distinct.insert(gif);
  }
  EXPECT_EQ(distinct.size(), static_cast<size_t>(tessel::kFileIconKindCount));
}

TEST(FileIcon, KindFollowsParentEntryThenFolderThenExtension) {
  namespace fs = std::filesystem;
  fs::path root = fs::temp_directory_path() / ("m_fileicon_test" + std::to_string(::getpid()));
  fs::create_directories(root / "holiday.jpg");  // a folder, whatever its name says
  std::ofstream(root / "clip.MKV") << "x";

  EXPECT_EQ(tessel::FileIconKindOf(".."), FileIconKind::kParent);
  EXPECT_EQ(tessel::FileIconKindOf((root / "..").string()), FileIconKind::kParent);
  EXPECT_EQ(tessel::FileIconKindOf(root.string()), FileIconKind::kFolder);
  EXPECT_EQ(tessel::FileIconKindOf((root / "holiday.jpg").string()), FileIconKind::kFolder);
  EXPECT_EQ(tessel::FileIconKindOf((root / "clip.MKV").string()), FileIconKind::kVideo);

  // Items that do not exist still get the icon of their extension.
  EXPECT_EQ(tessel::FileIconKindOf("/music/Song.Mp3"), FileIconKind::kAudio);
  EXPECT_EQ(tessel::FileIconKindOf("Report.PDF"), FileIconKind::kPdf);
  EXPECT_EQ(tessel::FileIconKindOf("backup.tar.gz"), FileIconKind::kArchive);
  EXPECT_EQ(tessel::FileIconKindOf("notes.txt"), FileIconKind::kText);
  EXPECT_EQ(tessel::FileIconKindOf("letter.docx"), FileIconKind::kDocument);
  EXPECT_EQ(tessel::FileIconKindOf("main.cpp"), FileIconKind::kCode);
  EXPECT_EQ(tessel::FileIconKindOf("photo.jpeg"), FileIconKind::kImage);
  // No extension: no dot, a trailing dot, a hidden file's leading dot, a dot in a folder name.
  EXPECT_EQ(tessel::FileIconKindOf("README"), FileIconKind::kFile);
  EXPECT_EQ(tessel::FileIconKindOf("draft."), FileIconKind::kFile);
  EXPECT_EQ(tessel::FileIconKindOf(".zip"), FileIconKind::kFile);
  EXPECT_EQ(tessel::FileIconKindOf("/srv/v1.zip/README"), FileIconKind::kFile);
  EXPECT_EQ(tessel::FileIconKindOf("setup.exe"), FileIconKind::kFile);
  // ".." only as a whole name.
  EXPECT_EQ(tessel::FileIconKindOf("a..txt"), FileIconKind::kText);

  EXPECT_EQ(tessel::FileIconGif((root / "holiday.jpg").string()),
            tessel::FileIconGifOfKind(FileIconKind::kFolder));
  EXPECT_EQ(tessel::FileIconGif(""), "");
  fs::remove_all(root);
}

TEST(FileIcon, ConcurrentFirstUseGivesOneEncodingToAll) {
  std::vector<std::thread> threads;
  std::vector<const std::string*> seen(8);
  for (size_t t = 0; t < seen.size(); ++t) {
    threads.emplace_back([&seen, t] {
      for (int i = 0; i < 100; ++i) seen[t] = &tessel::FileIconGifOfKind(FileIconKind::kArchive);
    });
  }
  for (auto& thread : threads) thread.join();
  for (const std::string* gif : seen) EXPECT_EQ(gif, seen.front());
  EXPECT_EQ(tessel::FileIconGif("a.zip"), *seen.front());
}

TEST(PixelArt, RefusesUnevenRowsAndUnknownKeys) {
  std::string_view good[] = {"k.", ".k"};
  std::string_view uneven[] = {"k.", ".kk"};
  std::string_view unknown[] = {"k.", ".?"};
  std::string_view empty_row[] = {""};
  EXPECT_FALSE(tessel::PixelArtToGif(good).empty());
  EXPECT_TRUE(tessel::PixelArtToGif(uneven).empty());
  EXPECT_TRUE(tessel::PixelArtToGif(unknown).empty());
  EXPECT_TRUE(tessel::PixelArtToGif(empty_row).empty());
  EXPECT_TRUE(tessel::PixelArtToGif({}).empty());

  Decoded image = Decode(tessel::PixelArtToGif(good));
  ASSERT_TRUE(image.ok);
  EXPECT_EQ(image.width, 2);
  EXPECT_EQ(image.height, 2);
  // '.' is the transparent index, the diagonal is drawn.
  EXPECT_EQ(image.pixels[1], image.transparent);
  EXPECT_EQ(image.pixels[2], image.transparent);
  EXPECT_NE(image.pixels[0], image.transparent);
  EXPECT_EQ(image.pixels[0], image.pixels[3]);
}

}  // namespace
