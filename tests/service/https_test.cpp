// HTTPS on the service's own port: TLS and plain HTTP side by side under load, the protocol
// versions real clients get, downloads byte for byte through curl, handshakes that trickle or
// carry garbage ended without holding the service, and the owner's certificate files taken up by
// the next connection once replaced.
#include <arpa/inet.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "service/RequestOrigin.h"
#include "service/WebFixture.h"
#include "support/Eventually.h"
#include "support/NetworkNamespace.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One request over TLS to 127.0.0.1:port: the whole reply; *fingerprint, when given, is the
// SHA-256 of the certificate the server presented. "refused" when the handshake fails.
// A connection to port from an address of this namespace (made with AddAddress) to itself.
int ConnectOwn(const char* address, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &to.sin_addr);
  sockaddr_in from = to;
  from.sin_port = 0;
  return loopback::BindAndConnect(fd, &from, to, 5);
}

std::string TlsExchange(int port, const std::string& request, std::string* fingerprint = nullptr,
                        int version = 0, const char* from = nullptr) {
  const int fd = from ? ConnectOwn(from, port) : loopback::Connect(port);
  if (fd < 0) return "refused";
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (version) {
    SSL_CTX_set_min_proto_version(context, version);
    SSL_CTX_set_max_proto_version(context, version);
  }
  SSL* ssl = SSL_new(context);
  SSL_set_fd(ssl, fd);
  SSL_set_tlsext_host_name(ssl, "localhost");
  std::string reply = "refused";
  if (SSL_connect(ssl) == 1) {
    reply.clear();
    if (fingerprint) {
      X509* peer = SSL_get1_peer_certificate(ssl);
      unsigned char digest[EVP_MAX_MD_SIZE];
      unsigned int length = 0;
      X509_digest(peer, EVP_sha256(), digest, &length);
      X509_free(peer);
      fingerprint->clear();
      static const char kHex[] = "0123456789ABCDEF";
      for (unsigned int i = 0; i < length; ++i) {
        if (i) *fingerprint += ':';
        *fingerprint += kHex[digest[i] >> 4];
        *fingerprint += kHex[digest[i] & 15];
      }
    }
    SSL_write(ssl, request.data(), static_cast<int>(request.size()));
    char buffer[65536];
    int n = 0;
    while ((n = SSL_read(ssl, buffer, sizeof buffer)) > 0) reply.append(buffer, n);
  }
  SSL_free(ssl);
  SSL_CTX_free(context);
  close(fd);
  return reply;
}

// What a command printed on standard output, run to its end.
std::string Output(const std::vector<std::string>& argv) {
  char pattern[] = "/tmp/tessel-out-XXXXXX";
  const int fd = mkstemp(pattern);
  close(fd);
  tessel::test::Run(nullptr, argv, pattern);
  std::string text = tessel::test::ReadFile(pattern);
  unlink(pattern);
  return text;
}

class HttpsTest : public web::WebFixture {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    certificates = std::make_unique<CTlsCertificates>(
        context, folder.path(),
        [this](const std::string& name) {
          std::lock_guard lock(mutex);
          return values[name];
        },
        [](const std::string&) {}, [] { return std::vector<std::string>{"localhost"}; });
    ASSERT_TRUE(certificates->Start());
    service.SetTls(&context, certificates.get());
    web::WebFixture::SetUp();
    content = web::Pattern(3 << 20);
    web::WriteFile(Local("Data/big.bin"), content);
    Share("Data", Local("Data"));
  }

  CTlsContext context;
  std::unique_ptr<CTlsCertificates> certificates;
  std::mutex mutex;
  std::map<std::string, std::string> values;
  std::string content;
};

TEST_F(HttpsTest, OnlyTls12And13AsOpenSslsClientSeesIt) {
  if (tessel::test::FindProgram("openssl").empty()) GTEST_SKIP() << "no openssl";
  const std::string target = "127.0.0.1:" + std::to_string(service.Port());
  struct Case {
    const char* option;
    const char* protocol;  // in s_client's report; empty when refused
  };
  for (const Case& c : {Case{"-tls1_1", ""}, Case{"-tls1_2", "New, TLSv1.2, Cipher is ECDHE-"},
                        Case{"-tls1_3", "New, TLSv1.3, Cipher is TLS_"}}) {
    const std::string report = Output({"/bin/sh", "-c",
                                       std::string("echo | openssl s_client -alpn http/1.1 ") +
                                           c.option + " -connect " + target + " 2>&1"});
    if (*c.protocol) {
      EXPECT_NE(report.find(c.protocol), std::string::npos) << c.option << report;
      EXPECT_NE(report.find("ALPN protocol: http/1.1"), std::string::npos) << report;
    } else {
      EXPECT_NE(report.find("alert protocol version"), std::string::npos) << c.option << report;
    }
  }
}

TEST_F(HttpsTest, CurlDownloadsTheSameBytesOverBothSides) {
  if (tessel::test::FindProgram("curl").empty()) GTEST_SKIP() << "no curl";
  for (const std::string scheme : {"http", "https"}) {
    const std::string saved = folder / ("got-" + scheme);
    const std::string status =
        Output({tessel::test::FindProgram("curl"), "-sk", "-o", saved, "-w", "%{http_code}",
                scheme + "://127.0.0.1:" + std::to_string(service.Port()) +
                    "/download.htm?file=Data%5Cbig.bin"});
    EXPECT_EQ(status, "200") << scheme;
    EXPECT_TRUE(web::ReadFile(saved) == content) << scheme;
  }
  // A plain reply keeps its bytes with TLS on the same port.
  EXPECT_EQ(Get("/no-such-thing"), web::kNotFound);
}

TEST_F(HttpsTest, PlainAndTlsRequestsMixedUnderLoad) {
  constexpr int kThreads = 8;
  constexpr int kEach = 25;
  std::atomic<int> whole{0};
  std::vector<std::thread> threads;
  const std::string request = "GET /download.htm?file=Data%5Cbig.bin HTTP/1.0\r\n\r\n";
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const bool tls = (t + i) % 2 == 0;
        const std::string reply = tls ? TlsExchange(service.Port(), request)
                                      : loopback::Exchange(service.Port(), request);
        if (web::Split(reply).body == content) ++whole;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(whole, kThreads * kEach);
}

TEST_F(HttpsTest, GarbageAfterAHandshakeRecordLeavesTheServiceAnswering) {
  std::vector<int> clients;
  for (int i = 0; i < 300; ++i) {
    const int fd = loopback::Connect(service.Port());
    ASSERT_GE(fd, 0);
    loopback::Send(fd, "\x16" + std::string(40, static_cast<char>('A' + i % 26)));
    clients.push_back(fd);
  }
  // Each is closed at once, with no more than TLS's own alert record.
  for (int fd : clients) {
    const std::string reply = loopback::ReadAll(fd);
    EXPECT_TRUE(reply.empty() || reply[0] == '\x15') << reply;
    EXPECT_LE(reply.size(), 7u);
    close(fd);
  }
  const auto start = Clock::now();
  EXPECT_EQ(web::Split(TlsExchange(service.Port(),
                                   "GET /download.htm?file=Data%5Cbig.bin HTTP/1.0\r\n\r\n"))
                .body.size(),
            content.size());
  EXPECT_LT(Clock::now() - start, tessel::test::Scaled(2s));
}

TEST_F(HttpsTest, TrickledClientHelloEndsAtTheHeadDeadline) {
  CServiceHttp slow(pool, HttpStores{accounts, shares, settings, log}, CServiceBasic::kIoTimeout,
                    1s);
  slow.SetTls(&context, certificates.get());
  ASSERT_TRUE(slow.Start(loopback::FreePort()));
  const int fd = loopback::Connect(slow.Port());
  const auto start = Clock::now();
  loopback::Send(fd, "\x16");
  // One more byte of a ClientHello every 100 ms: busy, never whole.
  std::atomic<bool> closed{false};
  std::thread trickle([&] {
    const char hello[] = "\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03";
    for (int i = 0; !closed && i < 50; ++i) {
      send(fd, hello + i % 10, 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(100ms);
    }
  });
  char byte;
  recv(fd, &byte, 1, 0);  // returns once the service closes
  closed = true;
  const auto took = Clock::now() - start;
  trickle.join();
  close(fd);
  slow.Stop();
  EXPECT_GE(took, 900ms);
  EXPECT_LT(took, tessel::test::Scaled(3s));
}

TEST_F(HttpsTest, ReplacedOwnFilesServeTheNextConnection) {
  const std::string cert = folder / "own.pem", key = folder / "own-key.pem";
  std::string error;
  auto first = CTlsCertificate::MakeSelfSigned({"own.example"}, 10, &error);
  ASSERT_TRUE(first->SavePem(cert, key, &error)) << error;
  {
    std::lock_guard lock(mutex);
    values["CertFile"] = cert;
    values["KeyFile"] = key;
  }
  std::string seen;
  const std::string request = "GET / HTTP/1.0\r\n\r\n";
  // The settings are read again within a second.
  EXPECT_TRUE(tessel::test::Eventually([&] {
    TlsExchange(service.Port(), request, &seen);
    return seen == first->Fingerprint();
  }));
  auto second = CTlsCertificate::MakeSelfSigned({"own.example"}, 10, &error);
  ASSERT_TRUE(second->SavePem(cert, key, &error)) << error;
  TlsExchange(service.Port(), request, &seen);
  EXPECT_EQ(seen, second->Fingerprint());
  // A key that does not fit leaves the certificate in use serving.
  auto third = CTlsCertificate::MakeSelfSigned({"own.example"}, 10, &error);
  web::WriteFile(key, third->KeyPem());
  TlsExchange(service.Port(), request, &seen);
  EXPECT_EQ(seen, second->Fingerprint());
  EXPECT_NE(certificates->Current().own_error.find("does not belong"), std::string::npos);
}

TEST_F(HttpsTest, OutsideTheLanPlainHttpGoesToHttpsOnceTrusted) {
  // An address outside the LAN, on this test's own loopback.
  constexpr const char* kOutside = "198.18.5.1";
  if (geteuid() != 0) GTEST_SKIP() << "needs root for an address of its own";
  tessel::test::Run(
      nullptr,
      {tessel::test::FindProgram("ip"), "addr", "add", std::string(kOutside) + "/32", "dev", "lo"},
      "/dev/null");
  const auto plain = [&](const char* from, const std::string& headers,
                         const std::string& target = "/index.htm") {
    const int fd = std::string(from) == "127.0.0.1" ? loopback::Connect(service.Port())
                                                    : ConnectOwn(from, service.Port());
    loopback::Send(fd, "GET " + target +
                           " HTTP/1.1\r\nHost: friend.example:8080\r\nConnection: close\r\n" +
                           headers + "\r\n");
    std::string reply = loopback::ReadAll(fd);
    close(fd);
    return reply;
  };
  const std::string login = web::BasicAuth(web::kAdmin);
  const std::string to_https =
      "HTTP/1.1 302 Found\r\nLocation: https://friend.example/index.htm\r\n"
      "Content-Length: 0\r\nConnection: close\r\n\r\n";

  // Self-signed: nothing changes.
  EXPECT_EQ(plain(kOutside, login), web::kRedirectHome);
  EXPECT_EQ(plain(kOutside, ""), web::kAuthRequired);

  std::string error;
  auto own = CTlsCertificate::MakeSelfSigned({"friend.example"}, 10, &error);
  ASSERT_TRUE(own->SavePem(folder / "own.pem", folder / "own-key.pem", &error));
  {
    std::lock_guard lock(mutex);
    values["CertFile"] = folder / "own.pem";
    values["KeyFile"] = folder / "own-key.pem";
  }
  ASSERT_TRUE(tessel::test::Eventually([&] {
    certificates->Refresh();
    return certificates->Trusted();
  }));
  struct Case {
    const char* what;
    const char* from;
    bool tls;
    bool credentials;
    std::string reply;
  };
  const Case cases[] = {
      {"outside, plain", kOutside, false, false, to_https},
      {"outside, plain, a password", kOutside, false, true, web::kAuthRequired},
      {"outside, TLS, a password", kOutside, true, true, web::kRedirectHome},
      {"LAN, plain, a password", "127.0.0.1", false, true, web::kRedirectHome},
  };
  for (const Case& c : cases) {
    const std::string headers = c.credentials ? login : "";
    const std::string reply =
        c.tls ? TlsExchange(service.Port(),
                            "GET /index.htm HTTP/1.1\r\nHost: friend.example\r\nConnection: "
                            "close\r\n" +
                                headers + "\r\n",
                            nullptr, 0, c.from)
              : plain(c.from, headers);
    EXPECT_EQ(reply, c.reply) << c.what;
  }
  // The target goes along as it was sent.
  EXPECT_NE(
      plain(kOutside, "", "/download.htm?file=Data%5Cbig.bin&x=%20")
          .find("Location: https://friend.example/download.htm?file=Data%5Cbig.bin&x=%20\r\n"),
      std::string::npos);
}

}  // namespace

namespace {

TEST(LanAddress, InsideAndOutside) {
  for (const char* inside :
       {"127.0.0.1", "10.1.2.3", "172.16.0.1", "172.31.255.255", "192.168.1.9", "169.254.0.5",
        "100.64.0.1", "100.127.255.255", "::1", "fd00::5", "fe80::1"})
    EXPECT_TRUE(tessel::IsLanAddress(inside)) << inside;
  for (const char* outside : {"172.32.0.1", "100.128.0.1", "198.18.0.2", "8.8.8.8", "2001:db8::1",
                              "fec0::1", "", "localhost", "10.1.2"})
    EXPECT_FALSE(tessel::IsLanAddress(outside)) << outside;
}

}  // namespace
