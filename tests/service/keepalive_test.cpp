// Persistent HTTP/1.1 connections over real sockets: several requests on one connection, in
// order, each reply framed; connections between requests and heads still coming in hold no
// worker; HTTP/1.0 and "Connection: close" requests keep today's bytes.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/resource.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "service/WebFixture.h"
#include "support/Eventually.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tessel::test::Eventually;

const std::string kBoundary = "----KeptBoundary";

// The page's upload form as a browser sends it.
std::string UploadBody(const std::string& data, const std::string& name) {
  const std::string line = "--" + kBoundary + "\r\n";
  return line + "Content-Disposition: form-data; name=\"fm_objFile\"; filename=\"" + name +
         "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + data + "\r\n" + line +
         "Content-Disposition: form-data; name=\"submit\"\r\n\r\nUpload\r\n" + line +
         "Content-Disposition: form-data; name=\"fm_Share\"\r\n\r\n1\r\n--" + kBoundary + "--\r\n";
}

std::string UploadHead(std::size_t length, const std::string& extra = "") {
  return "POST /upload HTTP/1.1\r\nHost: localhost\r\nContent-Type: multipart/form-data; "
         "boundary=" +
         kBoundary + "\r\nContent-Length: " + std::to_string(length) + "\r\n" + extra + "\r\n";
}

// A client on one connection that reads replies one at a time, each by its framing; over a TLS
// session of tls when given.
class KeptClient {
 public:
  explicit KeptClient(int port, const char* from = "127.0.0.1", SSL_CTX* tls = nullptr)
      : m_fd(loopback::ConnectFrom(from, port)) {
    if (!tls) return;
    m_ssl = SSL_new(tls);
    SSL_set_fd(m_ssl, m_fd);
    if (SSL_connect(m_ssl) != 1) {
      SSL_free(m_ssl);
      m_ssl = nullptr;
    }
  }
  ~KeptClient() {
    SSL_free(m_ssl);
    if (m_fd >= 0) close(m_fd);
  }
  int fd() const { return m_fd; }
  bool Secure() const { return m_ssl != nullptr; }
  // The server's close_notify has arrived: the session ended where the server meant it to.
  bool ClosedCleanly() const { return m_ssl && (SSL_get_shutdown(m_ssl) & SSL_RECEIVED_SHUTDOWN); }
  void Send(std::string_view bytes) const {
    if (!m_ssl) return loopback::Send(m_fd, bytes);
    std::size_t done = 0;
    SSL_write_ex(m_ssl, bytes.data(), bytes.size(), &done);
  }
  std::string Get(const std::string& target, const std::string& headers = "") {
    Send("GET " + target + " HTTP/1.1\r\nHost: localhost\r\n" + headers + "\r\n");
    return Read();
  }

  // The next reply, head and body; empty when the connection ends before a whole one.
  std::string Read() {
    std::size_t end;
    while ((end = m_buffer.find("\r\n\r\n")) == std::string::npos)
      if (!Fill()) return {};
    std::string reply = Take(end + 4);
    const std::string head = reply;
    if (head.find(" 304 ") != std::string::npos || head.find(" 100 ") != std::string::npos)
      return reply;
    if (const std::size_t at = head.find("\r\nContent-Length: "); at != std::string::npos) {
      const std::size_t length = std::stoul(head.substr(at + 18));
      while (m_buffer.size() < length)
        if (!Fill()) return {};
      return reply + Take(length);
    }
    if (head.find("\r\nTransfer-Encoding: chunked\r\n") == std::string::npos) return {};
    for (;;) {
      std::size_t line;
      while ((line = m_buffer.find("\r\n")) == std::string::npos)
        if (!Fill()) return {};
      const std::size_t size = std::stoul(m_buffer.substr(0, line), nullptr, 16);
      while (m_buffer.size() < line + 2 + size + 2)
        if (!Fill()) return {};
      reply += m_buffer.substr(line + 2, size);
      Take(line + 2 + size + 2);
      if (size == 0) return reply;
    }
  }
  // Everything still to come, up to the connection's end.
  std::string Rest() {
    if (m_ssl) {
      while (Fill()) {
      }
    }
    std::string rest = std::move(m_buffer);
    m_buffer.clear();
    return m_ssl ? rest : rest + loopback::ReadAll(m_fd);
  }
  // Whether the server has closed the connection, with nothing more sent.
  bool Ended() { return m_buffer.empty() && !Fill(); }

 private:
  bool Fill() {
    char chunk[65536];
    std::size_t read = 0;
    const ssize_t got = !m_ssl ? recv(m_fd, chunk, sizeof chunk, 0)
                        : SSL_read_ex(m_ssl, chunk, sizeof chunk, &read) == 1
                            ? static_cast<ssize_t>(read)
                            : 0;
    if (got <= 0) return false;
    m_buffer.append(chunk, static_cast<std::size_t>(got));
    return true;
  }
  std::string Take(std::size_t count) {
    std::string taken = m_buffer.substr(0, count);
    m_buffer.erase(0, count);
    return taken;
  }

  int m_fd;
  SSL* m_ssl = nullptr;
  std::string m_buffer;
};

std::string StatusLine(const std::string& reply) {
  return reply.substr(0, reply.find("\r\n"));
}

class KeepAlive : public web::WebFixture {
 protected:
  void SetUp() override {
    service.SetIdleTimeout(1500ms);
    WebFixture::SetUp();
    web::WriteFile(Local("Music/song.mp3"), web::Pattern(100000));
    web::WriteFile(Local("Music/b.txt"), "bee");
    web::WriteFile(Local("big.bin"), web::Pattern(300000));
    Share("Music", Local("Music"));
    Share("big.bin", Local("big.bin"));
    settings.SetParam("EnableZipFolder", "1");
  }
  int Port() { return service.Port(); }
};

TEST_F(KeepAlive, TenRequestsOnOneConnectionEachGetAWholeReply) {
  KeptClient client(Port());
  struct Case {
    std::string target;
    std::string headers;
    std::string status;
    std::string body;  // what the body holds, or empty for "any"
  };
  const std::string pattern = web::Pattern(300000);
  const std::vector<Case> cases = {
      {"/", "", "HTTP/1.1 200 OK", ""},
      {"/", "Accept-Encoding: gzip\r\n", "HTTP/1.1 200 OK", ""},
      {"/download.htm?file=Music", "", "HTTP/1.1 200 OK", ""},
      {"/download.htm?file=big.bin", "", "HTTP/1.1 200 OK", pattern},
      {"/download.htm?file=big.bin", "Range: bytes=1000-1999\r\n", "HTTP/1.1 206 Partial Content",
       pattern.substr(1000, 1000)},
      {"/download.htm?file=Music%5Cb.txt&icon=1", "", "HTTP/1.1 200 OK", ""},
      {"/nothing", "", "HTTP/1.1 404 Resource not found", ""},
      {"/logout.htm", "", "HTTP/1.1 401 No cigar", ""},
      {"/download.htm?file=Music%5Cb.txt", "", "HTTP/1.1 200 OK", "bee"},
      {"/download.htm?file=Music&zip=1", "", "HTTP/1.1 200 OK", ""},
  };
  std::string icon_date;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target + " " + c.headers);
    const std::string reply = client.Get(c.target, c.headers);
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(StatusLine(reply), c.status);
    if (!c.body.empty()) {
      EXPECT_TRUE(web::Split(reply).body == c.body);
    }
    if (c.headers.find("gzip") != std::string::npos) {
      EXPECT_EQ(web::Split(reply).body.substr(0, 2), "\x1f\x8b");
    }
    if (c.target.find("icon=1") != std::string::npos) {
      const std::size_t at = reply.find("Last-Modified: ");
      icon_date = reply.substr(at + 15, reply.find("\r\n", at) - at - 15);
    }
  }
  // A 304 and an upload on the same connection.
  const std::string cached = client.Get("/download.htm?file=Music%5Cb.txt&icon=1",
                                        "If-Modified-Since: " + icon_date + "\r\n");
  EXPECT_EQ(StatusLine(cached), "HTTP/1.1 304 Not Modified");
  const std::string body = UploadBody("uploaded", "up.txt");
  client.Send(UploadHead(body.size()) + body);
  EXPECT_EQ(client.Read(), FixedReplyBytes(FixedReply::kRedirectHome, true));
  EXPECT_EQ(web::ReadFile(settings.GetUploadPath() + "/up.txt"), "uploaded");
  EXPECT_EQ(StatusLine(client.Get("/")), "HTTP/1.1 200 OK");

  // One start and one end line per download, whatever the connection carried.
  int starts = 0, ends = 0;
  for (const std::string& line : LogLines()) {
    starts += line.find("download file start") != std::string::npos;
    ends += line.find("download file end") != std::string::npos;
  }
  EXPECT_EQ(starts, 3);
  EXPECT_EQ(ends, 3);
  EXPECT_TRUE(Eventually([&] { return pool.CountActive() == 0; }));
}

TEST_F(KeepAlive, OtherRequestsKeepTodaysBytesAndEndTheirConnection) {
  for (const std::string& request : {
           std::string("GET /nothing HTTP/1.0\r\n\r\n"),
           std::string("GET /nothing HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"),
           std::string("GET /nothing HTTP/1.1\r\nConnection: close\r\n\r\n"),
           std::string("GET /nothing HTTP/1.1\r\nConnection: Upgrade, Close\r\n\r\n"),
       }) {
    SCOPED_TRACE(request);
    KeptClient client(Port());
    client.Send(request);
    EXPECT_EQ(client.Rest(), web::kNotFound);
  }
}

TEST_F(KeepAlive, PipelinedRequestsAreAnsweredInOrder) {
  KeptClient client(Port());
  client.Send(
      "GET /download.htm?file=Music%5Cb.txt HTTP/1.1\r\n\r\n"
      "GET /nothing HTTP/1.1\r\n\r\n"
      "GET /download.htm?file=big.bin HTTP/1.1\r\nRange: bytes=0-9\r\n\r\n"
      "GET /nothing HTTP/1.1\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(web::Split(client.Read()).body, "bee");
  EXPECT_EQ(client.Read(), FixedReplyBytes(FixedReply::kNotFound, true));
  EXPECT_EQ(web::Split(client.Read()).body, web::Pattern(10));
  EXPECT_EQ(client.Rest(), web::kNotFound);
}

TEST_F(KeepAlive, AConnectionCarriesAHundredRequestsAndIdlesOutAfterItsLimit) {
  KeptClient client(Port());
  for (int i = 1; i < CServiceHttp::kMaxRequestsPerConnection; ++i)
    ASSERT_EQ(client.Get("/nothing"), FixedReplyBytes(FixedReply::kNotFound, true)) << i;
  // The last is answered as one that ends its connection.
  client.Send("GET /nothing HTTP/1.1\r\n\r\n");
  EXPECT_EQ(client.Rest(), web::kNotFound);

  // A connection left idle is closed after the idle limit (1.5 s here), holding no worker.
  KeptClient idle(Port());
  ASSERT_EQ(StatusLine(idle.Get("/nothing")), "HTTP/1.1 404 Resource not found");
  EXPECT_TRUE(Eventually([&] { return pool.CountActive() == 0 && pool.WaitingCount() == 1; }));
  const auto start = Clock::now();
  EXPECT_TRUE(idle.Ended());
  EXPECT_GE(Clock::now() - start, 1s);
  EXPECT_EQ(pool.WaitingCount(), 0);
}

TEST_F(KeepAlive, ExpectContinueLetsOnlyAllowedUploadersSendTheirBody) {
  const std::string body = UploadBody(std::string(200000, 'u'), "expected.bin");
  // Allowed (127.0.0.1 is the `local` account): the go-ahead, then the body, then the reply.
  KeptClient allowed(Port());
  allowed.Send(UploadHead(body.size(), "Expect: 100-continue\r\n"));
  EXPECT_EQ(allowed.Read(), "HTTP/1.1 100 Continue\r\n\r\n");
  allowed.Send(body);
  EXPECT_EQ(allowed.Read(), FixedReplyBytes(FixedReply::kRedirectHome, true));

  // Refused: the 401 reply comes without the body, and the connection ends.
  KeptClient stranger(Port(), web::kStranger);
  stranger.Send(UploadHead(body.size(), "Expect: 100-continue\r\n"));
  const auto start = Clock::now();
  EXPECT_EQ(stranger.Rest(), web::kAuthRequired);
  EXPECT_LT(Clock::now() - start, tessel::test::Scaled(1s));
}

// Many idle connections and many heads trickled in from several addresses hold no worker: a new
// visitor is answered at once.
TEST_F(KeepAlive, IdleConnectionsAndTrickledHeadsHoldNoWorker) {
  constexpr int kIdle = 1500, kTrickling = 400;
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  if (files.rlim_max < 2 * (kIdle + kTrickling) + 200) GTEST_SKIP() << "too few descriptors";
  files.rlim_cur = files.rlim_max;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);

  std::vector<std::unique_ptr<KeptClient>> idle;
  for (int i = 0; i < kIdle; ++i) {
    const std::string from = "127.0.1." + std::to_string(1 + i / 250);
    idle.push_back(std::make_unique<KeptClient>(Port(), from.c_str()));
    ASSERT_EQ(StatusLine(idle.back()->Get("/nothing")), "HTTP/1.1 404 Resource not found") << i;
  }
  std::vector<int> trickling;
  for (int i = 0; i < kTrickling; ++i) {
    const std::string from = "127.0.2." + std::to_string(1 + i / 50);
    trickling.push_back(loopback::ConnectFrom(from.c_str(), Port()));
    loopback::Send(trickling.back(), "GET / HTTP/1.0\r\nX-Slow: ");
  }
  for (int fd : trickling) loopback::Send(fd, "x");
  EXPECT_TRUE(Eventually([&] { return pool.WaitingCount() == kIdle + kTrickling; }))
      << pool.WaitingCount();
  // A worker lets its connection go to wait a moment before it counts itself free.
  EXPECT_TRUE(Eventually([&] { return pool.CountActive() == 0; })) << pool.CountActive();

  const auto start = Clock::now();
  KeptClient visitor(Port(), "127.0.3.1");
  EXPECT_EQ(StatusLine(visitor.Get("/nothing")), "HTTP/1.1 404 Resource not found");
  EXPECT_LT(Clock::now() - start, tessel::test::Scaled(1s));
  // The idle ones still serve.
  EXPECT_EQ(StatusLine(idle.front()->Get("/nothing")), "HTTP/1.1 404 Resource not found");
  for (int fd : trickling) close(fd);
}

// The same over TLS on the same port: the session goes back to wait between requests with the
// connection, holding no worker, and the same rules end it.
class KeepAliveTls : public KeepAlive {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(context.Use(CTlsCertificate::MakeSelfSigned({"localhost"}, 1, &error), &error))
        << error;
    service.SetTls(&context, nullptr);
    KeepAlive::SetUp();
    client_context = SSL_CTX_new(TLS_client_method());
  }
  void TearDown() override {
    KeepAlive::TearDown();
    SSL_CTX_free(client_context);
  }
  std::unique_ptr<KeptClient> Client() {
    auto client = std::make_unique<KeptClient>(Port(), "127.0.0.1", client_context);
    EXPECT_TRUE(client->Secure());
    return client;
  }

  CTlsContext context;
  SSL_CTX* client_context = nullptr;
};

TEST_F(KeepAliveTls, OneSessionCarriesRequestsInOrderUpToItsLimit) {
  const auto client = Client();
  struct Case {
    std::string request;
    std::string status;
    std::string body;  // empty for "any"
  };
  const std::string pattern = web::Pattern(300000);
  const std::string upload = UploadBody("sealed", "sealed.txt");
  const std::vector<Case> cases = {
      {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", ""},
      {"GET /download.htm?file=Music HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n", "HTTP/1.1 200 OK",
       ""},
      {"GET /download.htm?file=big.bin HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", pattern},
      {"GET /download.htm?file=big.bin HTTP/1.1\r\nRange: bytes=299990-\r\n\r\n",
       "HTTP/1.1 206 Partial Content", pattern.substr(299990)},
      {"GET /nothing HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Resource not found", ""},
      {UploadHead(upload.size()) + upload, "HTTP/1.1 302 Found", ""},
      // A pipelined pair, the second sent before the first is answered.
      {"GET /download.htm?file=Music%5Cb.txt HTTP/1.1\r\n\r\nGET /nothing HTTP/1.1\r\n\r\n",
       "HTTP/1.1 200 OK", "bee"},
      {"", "HTTP/1.1 404 Resource not found", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    if (!c.request.empty()) client->Send(c.request);
    const std::string reply = client->Read();
    EXPECT_EQ(StatusLine(reply), c.status);
    if (!c.body.empty()) {
      EXPECT_TRUE(web::Split(reply).body == c.body);
    }
  }
  EXPECT_EQ(web::ReadFile(settings.GetUploadPath() + "/sealed.txt"), "sealed");
  // Between requests the session waits without a worker, and serves on afterwards.
  EXPECT_TRUE(Eventually([&] { return pool.CountActive() == 0 && pool.WaitingCount() == 1; }));
  for (int i = static_cast<int>(cases.size()) + 1; i < CServiceHttp::kMaxRequestsPerConnection; ++i)
    ASSERT_EQ(client->Get("/nothing"), FixedReplyBytes(FixedReply::kNotFound, true)) << i;
  // The last is answered as one that ends its connection, with close_notify.
  client->Send("GET /nothing HTTP/1.1\r\n\r\n");
  EXPECT_EQ(client->Rest(), web::kNotFound);
  EXPECT_TRUE(client->ClosedCleanly());
}

TEST_F(KeepAliveTls, OtherRequestsAndIdleSessionsEndTheirConnection) {
  for (const std::string& request : {
           std::string("GET /nothing HTTP/1.0\r\n\r\n"),
           std::string("GET /nothing HTTP/1.1\r\nConnection: close\r\n\r\n"),
       }) {
    SCOPED_TRACE(request);
    const auto client = Client();
    client->Send(request);
    EXPECT_EQ(client->Rest(), web::kNotFound);
    EXPECT_TRUE(client->ClosedCleanly());
  }
  // Idle past the limit (1.5 s here): closed, having held no worker meanwhile.
  const auto idle = Client();
  ASSERT_EQ(StatusLine(idle->Get("/nothing")), "HTTP/1.1 404 Resource not found");
  EXPECT_TRUE(Eventually([&] { return pool.CountActive() == 0 && pool.WaitingCount() == 1; }));
  const auto start = Clock::now();
  EXPECT_TRUE(idle->Ended());
  EXPECT_GE(Clock::now() - start, 1s);
  EXPECT_EQ(pool.WaitingCount(), 0);
}

// A session's records go out at once: Nagle would hold the reply after the session tickets until
// the client's delayed ACK, 40 ms on every first request.
TEST_F(KeepAliveTls, AFirstReplyWaitsForNoAck) {
  int slow = 0;
  for (int i = 0; i < 10; ++i) {
    const auto client = Client();
    const auto start = Clock::now();
    EXPECT_EQ(web::Split(client->Get("/download.htm?file=Music%5Cb.txt")).body, "bee");
    slow += Clock::now() - start >= 40ms;
  }
  EXPECT_LT(slow, 5);
}

}  // namespace
