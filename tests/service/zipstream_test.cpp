// Streamed stored archives: checked by the unzippers people use, against the deflating writer's
// entries, in slices, while files change, and past the 32-bit limits.
#include "service/ZipStream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <tuple>

#include "service/ZipLayout.h"
#include "service/Zipper.h"
#include "support/Shell.h"
#include "support/TempFolder.h"

namespace fs = std::filesystem;

namespace {

// After testzip: one line per entry, name|UTF-8 flag|host|mode|DOS attributes|size|time.
const char* kPythonDump = R"(import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
assert z.testzip() is None
for i in z.infolist():
    print(i.filename, i.flag_bits & 0x800, i.create_system, oct(i.external_attr >> 16),
          i.external_attr & 0xff, i.file_size, '%d-%02d-%02d %02d:%02d:%02d' % i.date_time,
          sep='|'))";

void Write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string Pattern(std::size_t size, int seed = 0) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>((i * 7 + i / 251 + static_cast<std::size_t>(seed)) & 0xFF);
  return bytes;
}

void SetTime(const fs::path& path, std::time_t when) {
  const timespec times[2] = {{when, 0}, {when, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// Every client here must find the archive clean; returns the Python dump.
std::string Verify(const fs::path& zip) {
  const std::string q = "'" + zip.string() + "'";
  std::string out;
  EXPECT_EQ(Shell("unzip -tq " + q, &out), 0) << out;
  EXPECT_EQ(Shell("7z t " + q, &out), 0) << out;
  EXPECT_EQ(Shell("bsdtar -tf " + q + " >/dev/null", &out), 0) << out;
  EXPECT_EQ(Shell("python3 -c \"$PY\" " + q, &out), 0) << out;
  return out;
}

class ZipStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("PY", kPythonDump, 1);
    ASSERT_FALSE(m_temp.path().empty());
    m_src = fs::path(m_temp.path()) / "Music";
    fs::create_directories(m_src);
  }

  // The whole archive of m_src as one string, through a stream that may share cache.
  std::string Whole(const CZipLayout& layout, CZipCrcCache* cache = nullptr) {
    CZipStream stream(layout, cache);
    return Slice(stream, 0, layout.Length());
  }
  static std::string Slice(CZipStream& stream, std::uint64_t start, std::uint64_t end) {
    std::string out;
    EXPECT_TRUE(stream.Write(start, end, [&](const char* data, std::size_t size) {
      out.append(data, size);
      return true;
    }));
    return out;
  }
  // Writes the archive into path, leaving holes for blocks of zeros so that archives of
  // gigabytes of sparse files take no room.
  static bool WriteSparse(const CZipLayout& layout, const fs::path& path) {
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    CZipStream stream(layout);
    off_t at = 0;
    bool ok = stream.Write(0, layout.Length(), [&](const char* data, std::size_t size) {
      const bool zeros = size > 0 && data[0] == 0 && std::memcmp(data, data + 1, size - 1) == 0;
      if (!zeros && pwrite(fd, data, size, at) != static_cast<ssize_t>(size)) return false;
      at += static_cast<off_t>(size);
      return true;
    });
    ok = ok && ftruncate(fd, at) == 0 && static_cast<std::uint64_t>(at) == layout.Length();
    return close(fd) == 0 && ok;
  }
  fs::path Zip(const std::string& bytes, const std::string& name = "got.zip") {
    const fs::path path = fs::path(m_temp.path()) / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  TempFolder m_temp;
  fs::path m_src;
};

TEST_F(ZipStreamTest, HoldsTheDeflatingWritersEntriesAndEveryClientOpensIt) {
  Write(m_src / "a.txt", "alpha");
  Write(m_src / "Grüße/Łódź 日本.txt", Pattern(100000));
  Write(m_src / "Grüße/empty.bin", "");
  Write(m_src / "live/b.mp3", Pattern(300000, 3));
  Write(m_src / ".hidden", "no");
  Write(m_src / "live/.cache/x", "no");
  fs::create_directories(m_src / "Empty");
  fs::create_symlink("live", m_src / "alias");    // a folder reached again through a link
  fs::create_symlink(".", m_src / "live/loop");   // up the tree: never inside itself
  fs::create_symlink("/etc", m_src / "outside");  // left out by the boundary
  chmod((m_src / "a.txt").c_str(), 0600);
  SetTime(m_src / "a.txt", 1700000001);
  SetTime(m_src / "Grüße/empty.bin", 100);  // before 1980: clamped as the writer does

  CZipLayout layout;
  const CShareBoundary boundary(m_src.string());
  ASSERT_TRUE(layout.Build(m_src.string(), &boundary));
  const std::string whole = Whole(layout);
  EXPECT_EQ(whole.size(), layout.Length());
  const std::string dump = Verify(Zip(whole));

  CZipper zipper;
  zipper.SetBoundary(boundary);
  const fs::path deflated = fs::path(m_temp.path()) / "deflated.zip";
  ASSERT_TRUE(zipper.OpenZip(deflated.string(), m_src.string() + "/"));
  ASSERT_TRUE(zipper.AddFolderToZip(m_src.string() + "/"));
  ASSERT_TRUE(zipper.CloseZip());
  std::string expected;
  Shell("python3 -c \"$PY\" '" + deflated.string() + "'", &expected);
  EXPECT_EQ(dump, expected);
  EXPECT_NE(dump.find("Grüße/Łódź 日本.txt|2048|3|0o100644|0|100000|"), std::string::npos) << dump;
  EXPECT_EQ(dump.find("outside"), std::string::npos);

  std::string out;
  EXPECT_EQ(Shell("bsdtar -xOf '" + Zip(whole).string() + "' live/b.mp3 | cmp - '" +
                      (m_src / "live/b.mp3").string() + "'",
                  &out),
            0)
      << out;

  // An empty folder: the end record alone; not a folder: nothing.
  CZipLayout empty;
  ASSERT_TRUE(empty.Build((m_src / "Empty").string()));
  EXPECT_EQ(empty.Length(), 22u);
  EXPECT_EQ(Whole(empty).size(), 22u);
  EXPECT_FALSE(empty.Build((m_src / "a.txt").string()));
  // A walk told to stop gives no layout.
  EXPECT_FALSE(empty.Build(m_src.string(), nullptr, [] { return false; }));
  EXPECT_TRUE(empty.Entries().empty());
}

TEST_F(ZipStreamTest, AnyRangeIsTheSameBytesOfTheWhole) {
  for (int i = 0; i < 6; ++i) Write(m_src / ("d/f" + std::to_string(i)), Pattern(70000 * i, i));
  fs::create_directories(m_src / "e");
  CZipLayout layout;
  ASSERT_TRUE(layout.Build(m_src.string()));
  CZipCrcCache cache;
  const std::string whole = Whole(layout, &cache);
  const std::uint64_t length = layout.Length();
  const std::uint64_t central = layout.CentralStart();
  const std::uint64_t third = layout.Entries()[3].offset;
  struct Case {
    std::uint64_t start, end;
    bool reads_before;  // needs CRCs of entries wholly before start
  } cases[] = {
      {0, 10, false},
      {5, third + 3, false},                                 // into a header
      {third + 40, third + 50, false},                       // inside data only
      {third + 40, length, true},                            // from inside data to the end
      {layout.DataEnd(3) + 4, layout.DataEnd(3) + 9, true},  // inside a descriptor
      {central - 1, central + 50, true},
      {central + 10, length, true},
      {length - 5, length, true},
      {length / 2, length, true},
  };
  for (const Case& c : cases) {
    // A fresh cache reads for the CRCs it lacks; the filled one reads nothing more.
    CZipCrcCache empty;
    for (CZipCrcCache* used : {&empty, &cache}) {
      CZipStream stream(layout, used);
      EXPECT_EQ(Slice(stream, c.start, c.end), whole.substr(c.start, c.end - c.start))
          << c.start << "-" << c.end;
      if (used == &cache || !c.reads_before) {
        EXPECT_EQ(stream.CrcOnlyBytes(), 0u) << c.start;
      }
    }
  }
  // File data may go out unread (sendfile) where its CRC-32 is known or not needed.
  const auto file_sink = [](std::string& out) {
    return [&out](int file, std::uint64_t offset, std::uint64_t size) {
      std::string data(size, '\0');
      const bool read =
          pread(file, data.data(), size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
      out += data;
      return read;
    };
  };
  for (const auto& [start, end, cached, zero_copy] :
       {std::tuple{std::uint64_t{0}, length, true, true},
        {0, length, false, false},
        {third + 40, layout.DataEnd(3) - 10, false, true}}) {
    CZipCrcCache empty;
    CZipStream stream(layout, cached ? &cache : &empty);
    std::string out;
    EXPECT_TRUE(stream.Write(
        start, end,
        [&](const char* data, std::size_t size) {
          out.append(data, size);
          return true;
        },
        {}, file_sink(out)));
    EXPECT_TRUE(out == whole.substr(start, end - start)) << start << "-" << end;
    EXPECT_EQ(stream.ZeroCopyBytes() > 0, zero_copy) << start << "-" << end;
  }
  // A file written to while it goes out unread stops the writing: its CRC-32 is then unknown.
  {
    CZipStream stream(layout, &cache);
    std::string out;
    EXPECT_FALSE(stream.Write(
        0, length, [](const char*, std::size_t) { return true; }, {},
        [&](int file, std::uint64_t, std::uint64_t) {
          std::ofstream("/proc/self/fd/" + std::to_string(file), std::ios::app) << "more";
          return true;
        }));
    EXPECT_EQ(stream.Changed().size(), 1u);
  }

  CZipStream stream(layout);
  EXPECT_EQ(Slice(stream, length, length + 9), "");
  EXPECT_EQ(Slice(stream, 100, length + 9), whole.substr(100));

  // A client that leaves stops the writing at once.
  int calls = 0;
  EXPECT_FALSE(stream.Write(0, length, [&](const char*, std::size_t) { return ++calls < 2; }));
  EXPECT_EQ(calls, 2);
  EXPECT_FALSE(stream.Write(
      0, length, [](const char*, std::size_t) { return true; }, [] { return false; }));
}

TEST_F(ZipStreamTest, AFileThatChangesKeepsItsPlaceAndTheArchiveStaysValid) {
  const std::string shrinking = Pattern(400000, 1);
  const std::string growing = Pattern(300000, 2);
  Write(m_src / "shrinks.bin", shrinking);
  Write(m_src / "grows.bin", growing);
  Write(m_src / "goes.bin", Pattern(1000));
  Write(m_src / "stays.bin", Pattern(5000, 5));
  CZipLayout layout;
  ASSERT_TRUE(layout.Build(m_src.string()));

  fs::resize_file(m_src / "shrinks.bin", 100000);
  std::ofstream(m_src / "grows.bin", std::ios::app) << Pattern(50000);
  fs::remove(m_src / "goes.bin");
  CZipCrcCache cache;
  CZipStream stream(layout, &cache);
  const std::string whole = Slice(stream, 0, layout.Length());
  EXPECT_EQ(whole.size(), layout.Length());
  const fs::path zip = Zip(whole);
  Verify(zip);
  std::string out;
  Shell("unzip -p '" + zip.string() + "' shrinks.bin", &out);
  EXPECT_TRUE(out == shrinking.substr(0, 100000) + std::string(300000, '\0'));
  Shell("unzip -p '" + zip.string() + "' grows.bin", &out);
  EXPECT_TRUE(out == growing);
  Shell("unzip -p '" + zip.string() + "' goes.bin", &out);
  EXPECT_EQ(out, std::string(1000, '\0'));
  EXPECT_EQ(stream.Changed(), (std::vector<std::string>{"goes.bin", "grows.bin", "shrinks.bin"}));
  EXPECT_EQ(cache.Size(), 1u);  // only what was read as walked is remembered

  // The walk's validator changes with the folder.
  CZipLayout again;
  ASSERT_TRUE(again.Build(m_src.string()));
  EXPECT_NE(again.ETag(), layout.ETag());
  CZipLayout same;
  ASSERT_TRUE(same.Build(m_src.string()));
  EXPECT_EQ(same.ETag(), again.ETag());
}

// Removes a folder with everything in it.
struct Cleanup {
  fs::path path;
  ~Cleanup() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

TEST_F(ZipStreamTest, SeventyThousandEntriesUseTheZip64End) {
  // In memory where possible: a busy disk takes minutes over so many small files.
  std::string pattern = (access("/dev/shm", W_OK) == 0 ? std::string("/dev/shm") : m_temp.path()) +
                        "/tessel-zip-XXXXXX";
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const Cleanup cleanup{pattern};
  const fs::path src = pattern;
  for (int d = 0; d < 70; ++d) {
    const fs::path sub = src / ("d" + std::to_string(d));
    fs::create_directories(sub);
    for (int f = 0; f < 1000; ++f) {
      const int fd = open((sub / std::to_string(f)).c_str(), O_CREAT | O_WRONLY, 0644);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(write(fd, "x", f % 2), f % 2);
      close(fd);
    }
  }
  const auto start = std::chrono::steady_clock::now();
  CZipLayout layout;
  ASSERT_TRUE(layout.Build(src.string()));
  const auto walked = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(layout.Entries().size(), 70070u);
  std::cout << "[ figure ] walk of 70070 entries: "
            << std::chrono::duration_cast<std::chrono::milliseconds>(walked).count() << " ms\n";
  const fs::path zip = src / "many.zip";
  ASSERT_TRUE(WriteSparse(layout, zip));
  std::string out;
  EXPECT_EQ(Shell("unzip -tq '" + zip.string() + "'", &out), 0) << out;
  EXPECT_EQ(Shell("7z t '" + zip.string() + "'", &out), 0) << out;
  // zipfile's testzip would take seconds more for what unzip -t has checked; it reads the end.
  EXPECT_EQ(Shell("python3 -c \"import zipfile,sys; "
                  "print(len(zipfile.ZipFile(sys.argv[1]).infolist()))\" '" +
                      zip.string() + "'",
                  &out),
            0);
  EXPECT_EQ(out, "70070\n");
}

// Some 20 s of reading on a quiet machine (minutes on a busy one): run with TESSEL_SLOW_TESTS=1.
TEST_F(ZipStreamTest, FilesOfMoreThanFourGibibytesUseZip64Fields) {
  if (getenv("TESSEL_SLOW_TESTS") == nullptr) GTEST_SKIP() << "set TESSEL_SLOW_TESTS=1";
  for (const auto& [name, size] : {std::pair{"a.bin", 9ll << 29}, std::pair{"b.bin", 5ll << 30}}) {
    const int fd = open((m_src / name).c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "head", 4, 0), 4);
    ASSERT_EQ(pwrite(fd, "tail", 4, size - 4), 4);
    close(fd);
  }
  Write(m_src / "c.txt", "after both");  // its offset is past 4 GiB
  CZipLayout layout;
  ASSERT_TRUE(layout.Build(m_src.string()));
  const fs::path zip = fs::path(m_temp.path()) / "big.zip";
  ASSERT_TRUE(WriteSparse(layout, zip));
  const std::string dump = Verify(zip);
  EXPECT_NE(dump.find("a.bin|2048|3|0o100644|0|4831838208|"), std::string::npos) << dump;
  EXPECT_NE(dump.find("c.txt|2048|3|0o100644|0|10|"), std::string::npos) << dump;
  std::string out;
  Shell("unzip -p '" + zip.string() + "' c.txt", &out);
  EXPECT_EQ(out, "after both");
}

}  // namespace
