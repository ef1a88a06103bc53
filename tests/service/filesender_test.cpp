// Downloads and icons, byte for byte, over real loopback connections.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <thread>

#include "service/FileIcon.h"
#include "service/FileSender.h"
#include "service/WebFixture.h"

namespace {

using web::Pattern;
using web::Split;

// caching: the lines that let a browser keep the reply (see Cache), before the blank line.
std::string WholeHead(std::uint64_t size, const std::string& name,
                      const std::string& caching = "") {
  return "HTTP/1.0 200 OK\r\nAccept-Ranges: bytes\r\nContent-Type: application/octet-stream\r\n"
         "Content-Length: " +
         std::to_string(size) + "\r\nContent-Disposition: attachment; filename=\"" + name +
         "\"\r\n" + caching + "\r\n";
}

std::string PartHead(std::uint64_t length, std::uint64_t first, std::uint64_t last,
                     std::uint64_t size, const std::string& name, const std::string& caching = "") {
  return "HTTP/1.0 206 Partial Content\r\nAccept-Ranges: bytes\r\n"
         "Content-Type: application/octet-stream\r\nContent-Length: " +
         std::to_string(length) + "\r\nContent-Range: bytes " + std::to_string(first) + "-" +
         std::to_string(last) + "/" + std::to_string(size) +
         "\r\nContent-Disposition: attachment; filename=\"" + name + "\"\r\n" + caching + "\r\n";
}

// The caching lines of a reply whose time is date.
std::string Cache(const std::string& date) {
  return "Cache-Control: max-age=86400\r\nLast-Modified: " + date + "\r\n";
}

std::string NotModified(const std::string& date) {
  return "HTTP/1.0 304 Not Modified\r\n" + Cache(date) + "\r\n";
}

void SetWriteTime(const std::string& path, std::time_t time) {
  timeval times[2] = {{time, 0}, {time, 0}};
  ASSERT_EQ(utimes(path.c_str(), times), 0);
}

std::string Unsatisfiable(std::uint64_t size) {
  return "HTTP/1.0 416 Range Not Satisfiable\r\nAccept-Ranges: bytes\r\nContent-Range: bytes */" +
         std::to_string(size) + "\r\nContent-Length: 0\r\n\r\n";
}

class Downloads : public web::WebFixture {
 protected:
  void SetUp() override {
    WebFixture::SetUp();
    data = Pattern(5000);
    web::WriteFile(Local("Data/data.bin"), data);
    Share("Data", Local("Data"));
  }

  std::string Range(const std::string& range, const std::string& target = kData) {
    return Get(target, "Range: bytes=" + range + "\r\n");
  }

  static inline const std::string kData = "/download.htm?file=Data%5Cdata.bin";
  std::string data;
};

TEST_F(Downloads, RangesAreAnsweredByteExact) {
  EXPECT_EQ(Get(kData), WholeHead(5000, "data.bin") + data);
  // From a byte to the end: the form resumed downloads use.
  EXPECT_EQ(Range("1000-"), PartHead(4000, 1000, 4999, 5000, "data.bin") + data.substr(1000));
  EXPECT_EQ(Range("0-"), WholeHead(5000, "data.bin") + data);
  EXPECT_EQ(Range("4999-"), PartHead(1, 4999, 4999, 5000, "data.bin") + data.substr(4999));
  // A range with an end: header and body agree on it.
  EXPECT_EQ(Range("0-99"), PartHead(100, 0, 99, 5000, "data.bin") + data.substr(0, 100));
  EXPECT_EQ(Range("0-0"), PartHead(1, 0, 0, 5000, "data.bin") + data.substr(0, 1));
  EXPECT_EQ(Range("2000-2999"),
            PartHead(1000, 2000, 2999, 5000, "data.bin") + data.substr(2000, 1000));
  EXPECT_EQ(Range("4990-9999"), PartHead(10, 4990, 4999, 5000, "data.bin") + data.substr(4990));
  EXPECT_EQ(Range("0-4999"), WholeHead(5000, "data.bin") + data);
  // The last bytes.
  EXPECT_EQ(Range("-500"), PartHead(500, 4500, 4999, 5000, "data.bin") + data.substr(4500));
  EXPECT_EQ(Range("-9000"), WholeHead(5000, "data.bin") + data);
  // At or beyond the end: no byte to send, and the size to resume against.
  EXPECT_EQ(Range("5000-"), Unsatisfiable(5000));
  EXPECT_EQ(Range("5000-5999"), Unsatisfiable(5000));
  EXPECT_EQ(Range("99999999999999999999-"), Unsatisfiable(5000));
  // An end before the start is read as "to the end".
  EXPECT_EQ(Range("200-100"), PartHead(4800, 200, 4999, 5000, "data.bin") + data.substr(200));

  // The web folder's files are sent the same way, ranges included, and may be kept.
  web::WriteFile(folder / "web/images/favicon.ico", data.substr(0, 300));
  SetWriteTime(folder / "web/images/favicon.ico", 784111777);
  const std::string cache = Cache("Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(Get("/favicon.ico"), WholeHead(300, "favicon.ico", cache) + data.substr(0, 300));
  EXPECT_EQ(Range("10-19", "/images/favicon.ico"),
            PartHead(10, 10, 19, 300, "favicon.ico", cache) + data.substr(10, 10));
  EXPECT_EQ(Range("-5", "/favicon.ico"),
            PartHead(5, 295, 299, 300, "favicon.ico", cache) + data.substr(295, 5));
}

TEST_F(Downloads, BrowsersKeepImagesAndIconsButNeverDownloads) {
  web::WriteFile(folder / "web/images/home.gif", "home");
  SetWriteTime(folder / "web/images/home.gif", 784111777);
  const std::string date = "Sun, 06 Nov 1994 08:49:37 GMT";
  // The time the reply gave comes back: nothing to send but the head. A range changes nothing.
  EXPECT_EQ(Get("/images/home.gif", "If-Modified-Since: " + date + "\r\n"), NotModified(date));
  EXPECT_EQ(Get("/images/home.gif", "If-Modified-Since: " + date + "\r\nRange: bytes=1-\r\n"),
            NotModified(date));
  // Another time (the file was replaced since, or restored from an older copy): the whole file.
  for (const char* other : {"Sun, 06 Nov 1994 08:49:38 GMT", "Sun, 06 Nov 1994 08:49:36 GMT",
                            "yesterday", "Sun, 31 Nov 1994 08:49:37 GMT"})
    EXPECT_EQ(Get("/images/home.gif", "If-Modified-Since: " + std::string(other) + "\r\n"),
              WholeHead(4, "home.gif", Cache(date)) + "home")
        << other;
  // Everything of the web folder is kept alike, the upload panel's script as its images.
  web::WriteFile(folder / "web/images/upload.js", "'use strict';");
  SetWriteTime(folder / "web/images/upload.js", 784111777);
  const std::string script = Get("/images/upload.js");
  EXPECT_NE(script.find("\r\n" + Cache(date) + "\r\n'use strict';"), std::string::npos) << script;
  EXPECT_EQ(Get("/images/upload.js", "If-Modified-Since: " + date + "\r\n"), NotModified(date));
  // The older forms of the same date.
  EXPECT_EQ(Get("/images/home.gif", "if-modified-since: Sunday, 06-Nov-94 08:49:37 GMT\r\n"),
            NotModified(date));
  EXPECT_EQ(Get("/images/home.gif", "If-Modified-Since:Sun Nov  6 08:49:37 1994\r\n"),
            NotModified(date));

  // Icons: the program's time, or the item's when that is later (it was replaced).
  const std::string paper = Local("Data/paper.pdf");
  web::WriteFile(paper, "%PDF");
  SetWriteTime(paper, 1900000000);
  const std::string later = "Sun, 17 Mar 2030 17:46:40 GMT";
  const std::string& pdf = tessel::FileIconGifOfKind(tessel::FileIconKind::kPdf);
  EXPECT_EQ(
      Split(Get("/download.htm?file=Data%5Cpaper.pdf&icon=1")).head,
      "HTTP/1.0 200 OK\r\nAccept-Ranges: bytes\r\nContent-Length: " + std::to_string(pdf.size()) +
          "\r\nContent-Type: application/octet-stream\r\n"
          "Content-Disposition: attachment; filename=\"file.gif\"\r\n" +
          Cache(later) + "\r\n");
  EXPECT_EQ(
      Get("/download.htm?file=Data%5Cpaper.pdf&icon=1", "If-Modified-Since: " + later + "\r\n"),
      NotModified(later));
  SetWriteTime(paper, 784111777);
  const std::string program = Split(Get("/download.htm?file=%2F&icon=1")).head;
  const std::size_t at = program.find("Last-Modified: ");
  ASSERT_NE(at, std::string::npos) << program;
  const std::string program_date = program.substr(at + 15, date.size());
  EXPECT_EQ(Get("/download.htm?file=Data%5Cpaper.pdf&icon=1",
                "If-Modified-Since: " + program_date + "\r\n"),
            NotModified(program_date));

  // A shared file is a download: no caching, no compression, whatever the browser says.
  SetWriteTime(Local("Data/data.bin"), 784111777);
  EXPECT_EQ(Get(kData, "If-Modified-Since: " + date + "\r\nAccept-Encoding: gzip\r\n"),
            WholeHead(5000, "data.bin") + data);
}

TEST_F(Downloads, RangesPastTheEndAreNotSatisfiable) {
  // An empty file has no byte to start at but 0, which asks for the whole (empty) file.
  web::WriteFile(Local("Data/empty.bin"), "");
  const std::string empty = "/download.htm?file=Data%5Cempty.bin";
  EXPECT_EQ(Range("0-", empty), WholeHead(0, "empty.bin"));
  EXPECT_EQ(Range("-10", empty), WholeHead(0, "empty.bin"));
  EXPECT_EQ(Range("1-", empty), Unsatisfiable(0));
  // A folder's archive is judged against its own size.
  const web::Reply zip = Split(Get("/download.htm?file=Data&zip=1"));
  const std::size_t size = zip.body.size();
  ASSERT_GT(size, 0u);
  EXPECT_EQ(Range(std::to_string(size) + "-", "/download.htm?file=Data&zip=1"),
            Unsatisfiable(size));
  EXPECT_EQ(Split(Range(std::to_string(size - 1) + "-", "/download.htm?file=Data&zip=1")).body,
            zip.body.substr(size - 1));
}

// Browsers apply a stylesheet only when its reply says it is one; the page's script and sheet
// are named by type, everything else keeps the download type.
TEST_F(Downloads, WebFolderScriptAndStylesheetCarryTheirTypes) {
  web::WriteFile(folder / "web/images/upload.css", "a { }");
  web::WriteFile(folder / "web/images/upload.js", "'use strict';");
  web::WriteFile(folder / "web/images/Panel.CSS", "b { }");
  web::WriteFile(folder / "web/images/notes.jsx", "x");
  auto type = [this](const std::string& target, const std::string& headers = "") {
    const std::string head = Split(Get(target, headers)).head;
    const std::size_t at = head.find("Content-Type: ");
    return at == std::string::npos ? head : head.substr(at + 14, head.find("\r\n", at) - at - 14);
  };
  EXPECT_EQ(type("/images/upload.css"), "text/css; charset=utf-8");
  EXPECT_EQ(type("/images/Panel.CSS"), "text/css; charset=utf-8");
  EXPECT_EQ(type("/images/upload.js"), "text/javascript; charset=utf-8");
  EXPECT_EQ(type("/images/upload.js", "Range: bytes=1-\r\n"), "text/javascript; charset=utf-8");
  EXPECT_EQ(type("/images/notes.jsx"), "application/octet-stream");
  EXPECT_EQ(Split(Get("/images/upload.js")).body, "'use strict';");
  // Shared files are downloads whatever their names.
  web::WriteFile(Local("Data/style.css"), "c { }");
  EXPECT_EQ(type("/download.htm?file=Data%5Cstyle.css"), "application/octet-stream");
}

TEST_F(Downloads, SizesAroundBlockBoundaries) {
  for (std::size_t size : {0, 1, 4095, 4096, 8192, 8193, 65537, 1 << 20}) {
    const std::string name = std::to_string(size) + ".bin";
    const std::string bytes = Pattern(size);
    web::WriteFile(Local("Data/" + name), bytes);
    EXPECT_EQ(Get("/download.htm?file=Data%5C" + name), WholeHead(size, name) + bytes) << size;
  }
}

TEST_F(Downloads, DispositionNameCannotBreakTheHeader) {
  // Only a share can be a file whose name holds a backslash: below a share it separates folders.
  web::WriteFile(Local("a\\b \"c\".txt"), "quoted");
  Share("odd", Local("a\\b \"c\".txt"));
  EXPECT_EQ(Get("/download.htm?file=odd"), WholeHead(6, "a\\\\b \\\"c\\\".txt") + "quoted");
  web::WriteFile(Local("Data/x\r\nX-Injected: 1\t.txt"), "crlf");
  EXPECT_EQ(Get("/download.htm?file=Data%5Cx%0D%0AX-Injected%3A+1%09.txt"),
            WholeHead(4, "x__X-Injected: 1_.txt") + "crlf");
}

TEST_F(Downloads, ParallelDownloadsOfOneFileAreIdentical) {
  const std::string bytes = Pattern(3 << 20);
  web::WriteFile(Local("Data/big.bin"), bytes);
  const std::string expected = WholeHead(bytes.size(), "big.bin") + bytes;
  constexpr int kClients = 50;
  std::vector<std::string> replies(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i)
    clients.emplace_back([&, i] { replies[i] = Get("/download.htm?file=Data%5Cbig.bin"); });
  for (std::thread& client : clients) client.join();
  for (int i = 0; i < kClients; ++i) EXPECT_TRUE(replies[i] == expected) << "client " << i;
}

TEST_F(Downloads, IconsAreSixteenPixelGifsByKind) {
  web::WriteFile(Local("Data/paper.PDF"), "%PDF");
  const auto check = [&](const std::string& target, tessel::FileIconKind kind) {
    const std::string& gif = tessel::FileIconGifOfKind(kind);
    web::Reply reply = Split(Get(target));
    EXPECT_EQ(
        reply.head.substr(0, reply.head.find("Cache-Control")),
        "HTTP/1.0 200 OK\r\nAccept-Ranges: bytes\r\nContent-Length: " + std::to_string(gif.size()) +
            "\r\nContent-Type: application/octet-stream\r\n"
            "Content-Disposition: attachment; filename=\"file.gif\"\r\n")
        << target;
    EXPECT_EQ(reply.body, gif) << target;
    ASSERT_GE(reply.body.size(), 10u);
    EXPECT_EQ(reply.body.substr(0, 6), "GIF89a");
    EXPECT_EQ(reply.body.substr(6, 4), std::string("\x10\x00\x10\x00", 4));  // 16 x 16
  };
  check("/download.htm?file=Data&icon=1", tessel::FileIconKind::kFolder);
  check("/download.htm?file=Data%5Cpaper.PDF&icon=1", tessel::FileIconKind::kPdf);
  check("/download.htm?file=Data%5Cdata.bin&icon=1", tessel::FileIconKind::kFile);
  check("/download.htm?file=%2F&icon=1", tessel::FileIconKind::kParent);
}

TEST_F(Downloads, ResumesBeyondFourGibibytes) {
  // A sparse file costs no disk space; skip where the file system will not make one.
  const std::string path = Local("Data/huge.bin");
  const std::uint64_t size = (5ull << 30) + 123;
  int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const bool sparse = ftruncate(fd, static_cast<off_t>(size)) == 0;
  const std::uint64_t four = 1ull << 32;
  const std::string tail = Pattern(123);
  if (sparse) {
    EXPECT_EQ(pwrite(fd, "ABCDEF", 6, static_cast<off_t>(four - 3)), 6);
    EXPECT_EQ(pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(size - tail.size())), 123);
  }
  close(fd);
  if (!sparse) GTEST_SKIP() << "no sparse files here";

  EXPECT_EQ(Range(std::to_string(four - 3) + "-" + std::to_string(four + 2),
                  "/download.htm?file=Data%5Chuge.bin"),
            PartHead(6, four - 3, four + 2, size, "huge.bin") + "ABCDEF");
  EXPECT_EQ(Range(std::to_string(size - 123) + "-", "/download.htm?file=Data%5Chuge.bin"),
            PartHead(123, size - 123, size - 1, size, "huge.bin") + tail);
  EXPECT_EQ(Range("-123", "/download.htm?file=Data%5Chuge.bin"),
            PartHead(123, size - 123, size - 1, size, "huge.bin") + tail);
  // The log shows the 64-bit amounts.
  EXPECT_EQ(LogLines().back(),
            "user(local:127.0.0.1) download file end Data\\huge.bin(0.1 K/0.1 K)");
  EXPECT_EQ(LogLines()[0],
            "user(local:127.0.0.1) download file start Data\\huge.bin(4096 M/0.1 K)");
}

TEST_F(Downloads, AShrinkingFileEndsTheTransferShort) {
  const std::string path = Local("Data/shrinking.bin");
  const std::string bytes = Pattern(32 << 20);
  constexpr std::size_t kKept = 1 << 20;
  web::WriteFile(path, bytes);
  int fd = loopback::ConnectFrom("127.0.0.1", service.Port());
  ASSERT_GE(fd, 0);
  loopback::Send(fd, "GET /download.htm?file=Data%5Cshrinking.bin HTTP/1.0\r\n\r\n");
  // Wait for the head, so the transfer is under way, then cut the file short.
  std::string reply;
  char buffer[4096];
  while (reply.find("\r\n\r\n") == std::string::npos) {
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    ASSERT_GT(got, 0);
    reply.append(buffer, static_cast<std::size_t>(got));
  }
  ASSERT_EQ(truncate(path.c_str(), kKept), 0);
  reply += loopback::ReadAll(fd);
  close(fd);
  // The connection ends before the promised length, after what the file still holds. Bytes
  // beyond the cut that were already queued are not compared: the kernel sends file pages by
  // reference, and truncation may zero them in place.
  web::Reply parts = Split(reply);
  EXPECT_EQ(parts.head, WholeHead(bytes.size(), "shrinking.bin"));
  EXPECT_LT(parts.body.size(), bytes.size());
  ASSERT_GE(parts.body.size(), kKept);
  EXPECT_TRUE(parts.body.compare(0, kKept, bytes, 0, kKept) == 0);
  ASSERT_EQ(LogLines().size(), 2u);
  EXPECT_NE(LogLines()[1].find("download file end Data\\shrinking.bin("), std::string::npos);
}

TEST_F(Downloads, SenderRefusesWhatItCannotOpenAndNamesArchives) {
  CFileSender sender;
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  CConnection connection(pair[0], service.Rules());
  ReplyOutcome sent = sender.SendFile(connection, Local("Data/missing.bin"), {}, {});
  EXPECT_FALSE(sent.complete);
  EXPECT_EQ(sent.body_sent, 0u);
  EXPECT_FALSE(sender.SendFile(connection, Local("Data"), {}, {}).complete);
  sent = sender.SendFile(connection, Local("Data/data.bin"), {10, 5, 0}, "Data.zip");
  EXPECT_TRUE(sent.complete);
  EXPECT_EQ(sent.body_sent, 5u);
  shutdown(pair[0], SHUT_WR);
  EXPECT_EQ(loopback::ReadAll(pair[1]), PartHead(5, 10, 14, 5000, "Data.zip") + data.substr(10, 5));
  close(pair[0]);
  close(pair[1]);
}

}  // namespace
