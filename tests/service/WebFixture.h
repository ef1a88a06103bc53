#pragma once
// The HTTP service on a free loopback port over stores in a fresh program folder, with helpers to
// share files and ask for them over real sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "service/ServiceStack.h"
#include "support/Loopback.h"
#include "support/TempFolder.h"

namespace web {

inline const std::string kNotFound = "HTTP/1.0 404 Resource not found\r\n";
inline const std::string kAuthRequired =
    "HTTP/1.0 401 No cigar\r\nServer: WWW\r\n"
    "WWW-Authenticate: Basic realm=\"Tessel Authenticate\"\r\nCache-control: no-cache\r\n\r\n"
    "<html><head><meta http-equiv=\"Refresh\" content=\"0;url=/\"></head></html>";
inline const std::string kRedirectHome =
    "HTTP/1.1 302 Found\r\nServer: Tessel\r\nPragma: no-cache,no-store\r\n"
    "Cache-control: no-cache,no-store\r\nLocation: /\r\n\r\n";

// The built-in password account.
inline const std::string kAdmin = "admin:kavor";
// Another loopback address: not the built-in `local` account's, so its visitors are strangers.
inline const char kStranger[] = "127.0.0.2";

inline std::string Base64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    unsigned group = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[group >> 18 & 63];
    out += kAlphabet[group >> 12 & 63];
    out += i + 1 < bytes.size() ? kAlphabet[group >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[group & 63] : '=';
  }
  return out;
}

inline std::string BasicAuth(std::string_view credentials) {
  return "Authorization: Basic " + Base64(credentials) + "\r\n";
}

// A reply split at the end of its head.
struct Reply {
  std::string head;  // up to and including the blank line; the whole reply when there is none
  std::string body;
};

inline Reply Split(const std::string& reply) {
  std::size_t end = reply.find("\r\n\r\n");
  if (end == std::string::npos) return {reply, ""};
  return {reply.substr(0, end + 4), reply.substr(end + 4)};
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::string& path, std::string_view content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary).write(content.data(), std::streamsize(content.size()));
}

// Bytes that differ at every position, so any shifted or repeated block shows.
inline std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

class WebFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder.path().empty());
    ASSERT_TRUE(stack.OpenStores());
    log.SetLogSink([this](const std::string& line) {
      std::lock_guard lock(log_mutex);
      log_lines.push_back(line);
    });
    ASSERT_TRUE(pool.Start());
    ASSERT_TRUE(service.Start(loopback::FreePort()));
  }

  void TearDown() override {
    service.Stop();
    log.SetLogSink({});
  }

  // A path below the temporary folder's "files" folder.
  std::string Local(const std::string& name) const { return folder / ("files/" + name); }

  // Shares path under name; shares made later list later.
  void Share(const std::string& name, const std::string& path,
             int mode = FileShareRecord::kModePublic, const std::string& uploader = "") {
    FileShareRecord record;
    record.name = name;
    record.path = path;
    record.share_mode = mode;
    record.uploader = uploader;
    ASSERT_TRUE(shares.AddShare(record));
    record.share_time = "2020-01-01 00:00:" + std::string(m_share_count < 10 ? "0" : "") +
                        std::to_string(m_share_count);
    ++m_share_count;
    ASSERT_TRUE(shares.ModifyShare(record, name));
  }

  // The whole reply to a request sent from a loopback address (127.0.0.1: the `local` account).
  // The reply is read to the connection's end, which an HTTP/1.1 request asks for.
  std::string Exchange(std::string_view request, const char* from = "127.0.0.1") {
    int fd = loopback::ConnectFrom(from, service.Port());
    if (fd < 0) return "refused";
    std::string sent(request);
    const std::size_t lf = sent.find('\n');
    const std::size_t line_end =
        lf != std::string::npos && lf > 0 && sent[lf - 1] == '\r' ? lf - 1 : lf;
    if (lf != std::string::npos && line_end >= 8 && sent.compare(line_end - 8, 8, "HTTP/1.1") == 0)
      sent.insert(lf + 1, "Connection: close" + sent.substr(line_end, lf + 1 - line_end));
    loopback::Send(fd, sent);
    std::string reply = loopback::ReadAll(fd);
    close(fd);
    return reply;
  }

  std::string Get(const std::string& target, const std::string& headers = "",
                  const char* from = "127.0.0.1") {
    return Exchange("GET " + target + " HTTP/1.1\r\nHost: localhost\r\n" + headers + "\r\n", from);
  }

  std::vector<std::string> LogLines() {
    std::lock_guard lock(log_mutex);
    return log_lines;
  }

  TempFolder folder;
  CServiceStack stack{{.data_folder = folder.path()}};
  CDataLog& log = stack.log;
  CDataSystem& settings = stack.settings;
  CDataAccount& accounts = stack.accounts;
  CDataFileShare& shares = stack.shares;
  CThreadPool& pool = stack.pool;
  CServiceHttp& service = stack.service;

  std::mutex log_mutex;
  std::vector<std::string> log_lines;

 private:
  int m_share_count = 0;
};

}  // namespace web
