#include "service/UploadReceiver.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <thread>

#include "res/StringTable.h"
#include "service/ThreadPool.h"
#include "service/WebFixture.h"
#include "store/ADO.h"
#include "store/DataFileShare.h"
#include "support/Eventually.h"
#include "support/Loopback.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string kBoundary = "----WebKitFormBoundaryQ1w2E3r4T5y6U7i8";

// A request body laid out exactly as Chromium sends the page's form.
std::string Body(const std::string& data, const std::string& file_name = "a.txt",
                 const std::string& choice = "1", const std::string& label = "Upload") {
  const std::string line = "--" + kBoundary + "\r\n";
  return line + "Content-Disposition: form-data; name=\"fm_objFile\"; filename=\"" + file_name +
         "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + data + "\r\n" + line +
         "Content-Disposition: form-data; name=\"submit\"\r\n\r\n" + label + "\r\n" + line +
         "Content-Disposition: form-data; name=\"fm_Share\"\r\n\r\n" + choice + "\r\n--" +
         kBoundary + "--\r\n";
}

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Only the line reader and the stop flag of a running service are needed.
class IdleService : public CServiceBasic {
 public:
  using CServiceBasic::CServiceBasic;
  ~IdleService() override { Stop(); }
  bool Handle(CConnection&) override { return false; }
};

struct Result {
  bool ok = false;
  std::uint64_t length = 0;
  std::string path;
  bool everybody = false;
  std::chrono::steady_clock::duration took{};
};

class Upload : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/upload_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_dir = pattern;
    m_upload = m_dir / "upload";
    fs::create_directory(m_upload);
    m_shares = std::make_unique<CDataFileShare>(m_dir.string());
    ASSERT_TRUE(m_shares->Open());
    m_receiver = std::make_unique<CUploadReceiver>(*m_shares);
    ASSERT_TRUE(m_pool.Start());
    ASSERT_TRUE(m_service.Start(loopback::FreePort()));
  }
  void TearDown() override {
    tessel::res::SetLanguage(tessel::res::Language::kEnglish);
    fs::remove_all(m_dir);
  }

  // Sends body from another thread (only its first `sent` bytes, then a close, when given; its
  // second half after a pause) while ReceiveUpload reads it under the given Content-Length.
  Result Send(const std::string& body, std::uint64_t content_length,
              std::size_t sent = std::string::npos, std::chrono::milliseconds pause = 0ms) {
    int pair[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    std::thread client([&] {
      std::string part = body.substr(0, sent);
      std::size_t half = part.size() / 2;
      loopback::Send(pair[1], part.substr(0, half));
      std::this_thread::sleep_for(pause);
      loopback::Send(pair[1], part.substr(half));
      if (sent != std::string::npos) shutdown(pair[1], SHUT_WR);
    });
    Result r;
    auto start = std::chrono::steady_clock::now();
    CConnection connection(pair[0], m_service.Rules());
    r.ok = m_receiver->ReceiveUpload(connection, m_upload.string(), content_length, kBoundary,
                                     r.length, r.path, r.everybody);
    r.took = std::chrono::steady_clock::now() - start;
    close(pair[0]);  // a client still sending must not block for ever
    client.join();
    close(pair[1]);
    return r;
  }
  Result Send(const std::string& body) { return Send(body, body.size()); }

  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_upload))
      names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path m_dir, m_upload;
  std::unique_ptr<CDataFileShare> m_shares;
  CThreadPool m_pool;
  IdleService m_service{m_pool, 400ms};
  std::unique_ptr<CUploadReceiver> m_receiver;
};

TEST_F(Upload, StoresTheBytesOfTheBrowserLayout) {
  // Binary data holding line ends, NULs and text that looks like the boundary.
  std::string data = "line\r\n--" + kBoundary + "\r\n\0\r\n--" + kBoundary + "--";
  data.append(1, '\0');
  data += "\r\n\r\n";
  Result r = Send(Body(data));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.path, (m_upload / "a.txt").string());
  EXPECT_EQ(r.length, data.size());
  EXPECT_EQ(Read(r.path), data);
  EXPECT_TRUE(r.everybody);

  // Several receive and write blocks, and the other share choice.
  std::string big(3 * CUploadReceiver::kBufferSize + 12345, '\0');
  std::mt19937 random(7);
  for (char& c : big) c = static_cast<char>(random());
  r = Send(Body(big, "big.bin", "0"));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(Read(r.path), big);
  EXPECT_FALSE(r.everybody);

  r = Send(Body("", "empty.txt"));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.length, 0u);
  EXPECT_TRUE(fs::exists(r.path));
  EXPECT_EQ(fs::file_size(r.path), 0u);
}

TEST_F(Upload, KeepsOnlyTheLastComponentOfTheClientName) {
  EXPECT_EQ(Send(Body("x", "C:\\docs\\report.pdf")).path, (m_upload / "report.pdf").string());
  EXPECT_EQ(Send(Body("x", "/home/ann/notes.txt")).path, (m_upload / "notes.txt").string());
  EXPECT_EQ(Send(Body("x", "..\\..\\..\\evil.sh")).path, (m_upload / "evil.sh").string());
  EXPECT_EQ(Send(Body("x", "\xe4\xb8\xad\xe6\x96\x87 \"q\".txt")).path,
            (m_upload / "\xe4\xb8\xad\xe6\x96\x87 \"q\".txt").string());
  // Control characters would reach the log, which a terminal may show.
  EXPECT_EQ(CUploadReceiver::ClientFileName("Content-Disposition: form-data; name=\"f\"; "
                                            "filename=\"a\x1b[2J\tb\x7f.txt\""),
            "a_[2J_b_.txt");
  for (std::string bad : {"", ".", "..", "C:\\docs\\", "a/..", "dir\\."})
    EXPECT_FALSE(Send(Body("x", bad)).ok) << bad;
  // A part header without a file name.
  std::string body = Body("x");
  body.replace(body.find("; filename="), 17, "");
  EXPECT_FALSE(Send(body).ok);
  EXPECT_EQ(Files(), (std::vector<std::string>{"evil.sh", "notes.txt", "report.pdf",
                                               "\xe4\xb8\xad\xe6\x96\x87 \"q\".txt"}));

  // No upload folder set: the file must not land at the root of the file system.
  const std::string name = "tessel-upload-" + std::to_string(getpid()) + ".txt";
  const fs::path folder = m_upload;
  m_upload.clear();
  EXPECT_FALSE(Send(Body("x", name)).ok);
  m_upload = folder;
  EXPECT_FALSE(fs::exists("/" + name));
  fs::remove("/" + name);
}

TEST_F(Upload, NeverReusesANameOfAShareOrAFile) {
  const std::string outside = (m_dir / "outside.txt").string();
  std::ofstream(outside) << "keep";
  std::ofstream(m_upload / "old.txt") << "keep";  // a file whose share was removed
  fs::create_symlink(outside, m_upload / "link.txt");
  FileShareRecord local{"b.txt", outside, "", 0, "", ""};
  ASSERT_TRUE(m_shares->AddShare(local));

  Result first = Send(Body("1"));
  ASSERT_TRUE(first.ok);
  EXPECT_EQ(m_shares->ShareFile(first.path, "local", 0), "a.txt");
  Result second = Send(Body("2"));
  EXPECT_EQ(second.path, (m_upload / "a-2.txt").string());
  EXPECT_EQ(m_shares->ShareFile(second.path, "local", 0), "a-2.txt");
  EXPECT_EQ(Send(Body("3", "b.txt")).path, (m_upload / "b-2.txt").string());
  EXPECT_EQ(Send(Body("4", "old.txt")).path, (m_upload / "old-2.txt").string());
  EXPECT_EQ(Send(Body("5", "link.txt")).path, (m_upload / "link-2.txt").string());
  EXPECT_EQ(Read(outside), "keep");
  EXPECT_EQ(Read(m_upload / "old.txt"), "keep");
  EXPECT_EQ(Read(m_upload / "a.txt"), "1");
}

TEST_F(Upload, TwoUploadsOfOneNameAtOnceGetTwoFiles) {
  std::string body = Body(std::string(100000, 'x'));
  Result results[2];
  std::thread uploads[2];
  for (int i = 0; i < 2; ++i)
    uploads[i] = std::thread([&, i] { results[i] = Send(body, body.size(), body.size(), 300ms); });
  for (auto& upload : uploads) upload.join();
  ASSERT_TRUE(results[0].ok && results[1].ok);
  EXPECT_NE(results[0].path, results[1].path);
  EXPECT_EQ(Files(), (std::vector<std::string>{"a-2.txt", "a.txt"}));
}

TEST_F(Upload, FollowsTheLabelOfTheLanguageInUse) {
  tessel::res::SetLanguage(tessel::res::Language::kChinese);
  const std::string label = tessel::res::String(171);
  ASSERT_NE(label, "Upload");
  Result r = Send(Body("data", "a.txt", "1", label));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(Read(r.path), "data");
  EXPECT_FALSE(Send(Body("data", "b.txt", "1", "Upload!")).ok);
  tessel::res::SetLanguage(tessel::res::Language::kEnglish);
  EXPECT_FALSE(Send(Body("data", "c.txt", "1", label + "x")).ok);
  EXPECT_EQ(Files(), std::vector<std::string>{"a.txt"});
}

TEST_F(Upload, RefusesBodiesOfAnotherLayoutWithoutLeavingAFile) {
  const std::string body = Body("payload");
  const std::size_t minimum = body.size() - 7;  // head and tail alone
  EXPECT_FALSE(Send(body, minimum - 1).ok);
  EXPECT_FALSE(Send(body, 0).ok);
  EXPECT_FALSE(Send(body, body.size() - 1).ok);
  EXPECT_FALSE(Send(body + "x", body.size() + 1).ok);
  EXPECT_FALSE(Send(Body("payload", "a.txt", "10")).ok);  // a two-digit choice
  std::string extra = body;
  extra.insert(extra.rfind("--" + kBoundary + "--"),
               "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\ny\r\n");
  EXPECT_FALSE(Send(extra).ok);
  std::string bare_lf = body;
  for (std::size_t at; (at = bare_lf.find("\r\n")) != std::string::npos;) bare_lf.erase(at, 1);
  EXPECT_FALSE(Send(bare_lf).ok);
  std::string other_boundary = body;
  other_boundary.replace(2, 4, "XXXX");
  EXPECT_FALSE(Send(other_boundary).ok);
  std::string extra_header = body;
  extra_header.insert(extra_header.find("\r\n\r\n") + 2, "Content-Length: 7\r\n");
  EXPECT_FALSE(Send(extra_header).ok);
  // The closing boundary line after the choice, damaged in any byte at the same length.
  const std::size_t closing = body.rfind("\r\n--" + kBoundary + "--\r\n");
  ASSERT_NE(closing, std::string::npos);
  for (std::size_t at = closing; at < body.size(); ++at) {
    std::string damaged = body;
    damaged[at] = damaged[at] == '-' ? 'x' : '-';
    EXPECT_FALSE(Send(damaged).ok) << "damaged at byte " << at - closing << " of the closing line";
  }
  EXPECT_TRUE(Files().empty());
  // The choice is only ever read as a digit; anything else means logged-in visitors only.
  Result r = Send(Body("payload", "a.txt", "x"));
  EXPECT_TRUE(r.ok);
  EXPECT_FALSE(r.everybody);
}

TEST_F(Upload, AFailedTransferLeavesNoFile) {
  const std::string body = Body(std::string(2 << 20, 'd'));
  EXPECT_FALSE(Send(body, body.size(), body.size() / 2).ok);   // cut connection
  EXPECT_FALSE(Send(body, body.size(), body.size() - 20).ok);  // cut in the tail
  // Stalls longer than the I/O timeout (400 ms here): in the data, or with the data complete.
  Result stalled = Send(body, body.size(), body.size(), tessel::test::Scaled(1500ms));
  EXPECT_FALSE(stalled.ok);
  EXPECT_LT(stalled.took, tessel::test::Scaled(1400ms));
  EXPECT_FALSE(Send(body, body.size() + 10).ok);
  // The service stopping ends a transfer too: once the file is being written.
  std::thread stopper([&] {
    tessel::test::Eventually([&] { return !Files().empty(); });
    m_service.Stop();
  });
  EXPECT_FALSE(Send(body, body.size(), body.size(), 1000ms).ok);
  stopper.join();
  EXPECT_TRUE(Files().empty());
}

TEST_F(Upload, AFullDiskLeavesNoFile) {
  // A file size limit makes writes fail as a full disk does.
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  auto handler = signal(SIGXFSZ, SIG_IGN);
  rlimit small{1 << 20, old.rlim_max};
  setrlimit(RLIMIT_FSIZE, &small);
  Result r = Send(Body(std::string(3 << 20, 'd')));
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, handler);
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(Files().empty());
}

// The upload and removal routes of the service.
class UploadRoute : public web::WebFixture {
 protected:
  std::string Post(const std::string& body, const std::string& headers = "",
                   const char* from = "127.0.0.1") {
    return Exchange(
        "POST /upload HTTP/1.1\r\nHost: localhost\r\nContent-Type: multipart/form-data; "
        "boundary=" +
            kBoundary + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + headers +
            "\r\n" + body,
        from);
  }
  FileShareRecord Share(const std::string& name) {
    FileShareRecord record;
    shares.GetShare(name, record);
    return record;
  }
  int LogCount(const std::string& text) {
    int count = 0;
    for (const std::string& line : LogLines()) count += line.find(text) != std::string::npos;
    return count;
  }
};

TEST_F(UploadRoute, RecordsTheUploadAsAShareOfTheUploader) {
  const std::string upload = settings.GetUploadPath();
  EXPECT_EQ(Post(Body("first")), web::kRedirectHome);
  EXPECT_EQ(
      Post(Body("second", "C:\\docs\\a.txt", "0"), web::BasicAuth(web::kAdmin), web::kStranger),
      web::kRedirectHome);
  FileShareRecord first = Share("a.txt"), second = Share("a-2.txt");
  EXPECT_EQ(first.path, upload + "/a.txt");
  EXPECT_EQ(first.uploader, "local");
  EXPECT_EQ(first.share_mode, FileShareRecord::kModePublic);
  EXPECT_EQ(second.path, upload + "/a-2.txt");
  EXPECT_EQ(second.uploader, "admin");
  EXPECT_EQ(second.share_mode, FileShareRecord::kModeAuth);
  EXPECT_EQ(web::ReadFile(second.path), "second");
  EXPECT_EQ(LogCount("upload file start"), 2);
  EXPECT_EQ(LogCount("upload file end a-2.txt"), 1);

  // A failed upload sends nothing and records nothing.
  EXPECT_EQ(Post(Body("third", "b.txt", "10")), "");
  EXPECT_EQ(Share("b.txt").name, "");
  EXPECT_EQ(LogCount("upload file start"), 3);
  EXPECT_EQ(LogCount("upload file end"), 2);
}

TEST_F(UploadRoute, ABodyThatCameWithItsHeadIsStoredWhole) {
  // Head and body leave in one send: the service receives the head together with the start of
  // the body (all of a small one), and the rest, if any, from the socket.
  int number = 0;
  for (std::size_t size : {std::size_t{1}, std::size_t{16 << 10}, std::size_t{300 << 10}}) {
    SCOPED_TRACE(size);
    // The file's bytes hold line ends and a boundary-like line of their own.
    const std::string data = "\r\n--" + kBoundary.substr(0, 10) + "\r\n" + web::Pattern(size);
    const std::string name = "whole" + std::to_string(++number) + ".bin";
    ASSERT_EQ(Post(Body(data, name)), web::kRedirectHome);
    EXPECT_EQ(web::ReadFile(Share(name).path), data);
  }
}

TEST_F(UploadRoute, RefusesStrangersWithAReplyTheyCanRead) {
  // The body is sent while the refusal comes; the reply must arrive, not a reset.
  const std::string body = Body(std::string(3 << 20, 'x'));
  EXPECT_EQ(Post(body, "", web::kStranger), web::kAuthRequired);
  // A client that has sent only the head gets the reply at once, and the body it goes on to
  // send is taken rather than answered with a reset.
  int fd = loopback::ConnectFrom(web::kStranger, service.Port());
  loopback::Send(fd, "POST /upload HTTP/1.1\r\nContent-Length: 4194304\r\n\r\n");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(loopback::ReadAll(fd), web::kAuthRequired);
  EXPECT_LT(std::chrono::steady_clock::now() - start, tessel::test::Scaled(1s));
  const std::string chunk(64 * 1024, 'x');
  int sent = 0;
  while (sent < 64 && send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) == ssize_t(chunk.size()))
    ++sent;
  EXPECT_EQ(sent, 64);
  close(fd);
  EXPECT_EQ(LogCount("upload"), 0);
  EXPECT_TRUE(fs::is_empty(settings.GetUploadPath()));
}

TEST_F(UploadRoute, RemovesOnlyTheVisitorsOwnUploads) {
  ASSERT_EQ(Post(Body("mine", "mine.txt"), web::BasicAuth(web::kAdmin), web::kStranger),
            web::kRedirectHome);
  web::WriteFile(Local("local.txt"), "local");
  web::WebFixture::Share("local.txt", Local("local.txt"));
  const std::string path = Share("mine.txt").path;

  // Another account's share, and a share nobody uploaded, stay.
  EXPECT_EQ(Get("/remove.htm?file=mine.txt"), web::kRedirectHome);
  EXPECT_EQ(Get("/remove.htm?file=local.txt"), web::kRedirectHome);
  EXPECT_EQ(Share("mine.txt").name, "mine.txt");
  EXPECT_EQ(Share("local.txt").name, "local.txt");
  EXPECT_EQ(LogCount("delete file share"), 0);

  // The uploader removes it; the file stays on disk. The link works also when the file is gone.
  EXPECT_EQ(Get("/remove.htm?file=mine.txt", web::BasicAuth(web::kAdmin), web::kStranger),
            web::kRedirectHome);
  EXPECT_EQ(Share("mine.txt").name, "");
  EXPECT_EQ(web::ReadFile(path), "mine");
  EXPECT_EQ(LogCount("delete file share mine.txt"), 1);
  ASSERT_EQ(Post(Body("gone", "gone.txt")), web::kRedirectHome);
  fs::remove(Share("gone.txt").path);
  EXPECT_EQ(Get("/remove.htm?file=gone.txt"), web::kRedirectHome);
  EXPECT_EQ(Share("gone.txt").name, "");
  EXPECT_EQ(Get("/remove.htm?file=mine.txt", "", web::kStranger), web::kAuthRequired);
}

TEST_F(UploadRoute, RefusesUploadsAndRemovalsSentForAnotherSite) {
  // The fixture's requests name the Host "localhost", port 80.
  for (const char* headers :
       {"Origin: http://evil.example\r\n", "Origin: null\r\n", "Origin: http://localhost:8080\r\n",
        "Referer: http://evil.example/page\r\n",
        "Origin: http://localhost\r\nSec-Fetch-Site: cross-site\r\n"}) {
    EXPECT_EQ(Post(Body("forged", "forged.txt"), headers), web::kAuthRequired) << headers;
  }
  EXPECT_TRUE(fs::is_empty(settings.GetUploadPath()));
  EXPECT_EQ(Share("forged.txt").name, "");
  EXPECT_TRUE(LogLines().empty());

  // The page's own form: same origin, and the browser may say so.
  EXPECT_EQ(Post(Body("mine", "mine.txt"),
                 "Origin: http://localhost\r\nReferer: http://localhost/\r\n"
                 "Sec-Fetch-Site: same-origin\r\n"),
            web::kRedirectHome);
  EXPECT_EQ(Share("mine.txt").uploader, "local");

  for (const char* headers : {"Referer: http://evil.example/\r\n", "Sec-Fetch-Site: cross-site\r\n",
                              "Origin: http://evil.example\r\nReferer: http://localhost/\r\n"}) {
    EXPECT_EQ(Get("/remove.htm?file=mine.txt", headers), web::kAuthRequired) << headers;
  }
  EXPECT_EQ(Share("mine.txt").name, "mine.txt");
  EXPECT_EQ(LogCount("delete file share"), 0);
  EXPECT_EQ(Get("/remove.htm?file=mine.txt",
                "Referer: http://localhost/\r\nSec-Fetch-Site: same-origin\r\n"),
            web::kRedirectHome);
  EXPECT_EQ(Share("mine.txt").name, "");
  EXPECT_EQ(LogCount("delete file share mine.txt"), 1);
}

// Another program holding the database's write lock (BEGIN EXCLUSIVE) must neither hold up the
// visitors who only read nor leave an upload hanging: the upload is refused with 503 once the
// write wait is over, logged once, and leaves neither file nor share behind.
TEST_F(UploadRoute, AnOutsideWriteLockHoldsUpNoReaderAndRefusesTheUpload) {
  stack.LogStoreFailures();
  web::WriteFile(Local("pub.txt"), "public");
  web::WebFixture::Share("pub", Local("pub.txt"));
  CADO::CADODatabase other;
  ASSERT_TRUE(other.Open(shares.GetDatabasePath()));
  ASSERT_TRUE(other.Execute("BEGIN EXCLUSIVE"));

  const auto started = std::chrono::steady_clock::now();
  auto upload = std::async(std::launch::async, [&] { return Post(Body("late", "late.txt")); });
  std::this_thread::sleep_for(300ms);  // the upload now waits for the lock
  for (const std::string target : {"/", "/download.htm?file=pub"}) {
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(web::Split(Get(target)).head.substr(0, 15), "HTTP/1.0 200 OK") << target;
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s) << target;
  }
  const std::string reply = upload.get();
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(reply.substr(0, reply.find("\r\n")), "HTTP/1.0 503 Service Unavailable");
  EXPECT_NE(reply.find("\r\nRetry-After: "), std::string::npos);
  EXPECT_GE(waited, std::chrono::seconds(CDataBasic::kWriteWaitSeconds) - 500ms);
  EXPECT_LT(waited, std::chrono::seconds(CDataBasic::kWriteWaitSeconds) + 3s);
  EXPECT_EQ(Post(Body("later", "later.txt")).substr(0, 12), "HTTP/1.0 503");
  other.RollbackTrans();

  EXPECT_TRUE(fs::is_empty(settings.GetUploadPath()));
  EXPECT_EQ(Share("late.txt").name, "");
  EXPECT_EQ(LogCount("database is locked"), 1);
  EXPECT_EQ(Post(Body("now", "now.txt")), web::kRedirectHome);  // the lock is gone
}

// Names that would show as another name or break a reader of the database are mended before
// they are stored: bidirectional controls become "_", invalid UTF-8 the replacement character.
TEST_F(UploadRoute, NamesAreStoredWithoutBidiControlsOrInvalidUtf8) {
  const std::pair<std::string, std::string> names[] = {
      {"invoice\xE2\x80\xAEgpj.exe", "invoice_gpj.exe"},
      {"a\xE2\x81\xA6"
       "b\xE2\x80\x8F.txt",
       "a_b_.txt"},
      {"caf\xE9.txt", "caf\xEF\xBF\xBD.txt"},
  };
  for (const auto& [sent, stored] : names) {
    EXPECT_EQ(Post(Body("x", sent)), web::kRedirectHome) << sent;
    EXPECT_EQ(Share(stored).path, settings.GetUploadPath() + "/" + stored) << sent;
    EXPECT_EQ(LogCount("upload file end " + stored), 1) << sent;
  }
}

}  // namespace

// Names longer than the file system takes lose bytes of their stem, never of the extension or
// the number, and never half a character.
TEST_F(UploadRoute, LongNamesAreShortenedToFitAndAnswered) {
  std::string accents;
  for (int i = 0; i < 126; ++i) accents += "\xC3\xA9";
  std::string short_accents = accents.substr(0, 250), shorter_accents = accents.substr(0, 248);
  const struct {
    std::string sent, first, second;
  } cases[] = {
      {std::string(251, 'a') + ".txt", std::string(251, 'a') + ".txt",
       std::string(249, 'a') + "-2.txt"},
      {std::string(252, 'b') + ".txt", std::string(251, 'b') + ".txt",
       std::string(249, 'b') + "-2.txt"},
      {accents + ".txt", short_accents + ".txt", shorter_accents + "-2.txt"},
      {std::string(300, 'c'), std::string(255, 'c'), std::string(253, 'c') + "-2"},
  };
  for (const auto& c : cases) {
    for (const std::string& stored : {c.first, c.second}) {
      EXPECT_EQ(Post(Body("x", c.sent)), web::kRedirectHome) << c.sent.size();
      EXPECT_EQ(Share(stored).path, settings.GetUploadPath() + "/" + stored) << stored.size();
      EXPECT_EQ(web::ReadFile(settings.GetUploadPath() + "/" + stored), "x") << stored.size();
    }
  }
}
