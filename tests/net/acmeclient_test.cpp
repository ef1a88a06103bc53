// The ACME client against a real ACME server, Debian's pebble, in a namespace of its own: it
// obtains a certificate for an IP address that pebble's own root vouches for, and says in words
// why when the validation cannot reach the challenge or the directory cannot be trusted.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "net/AcmeClient.h"
#include "support/Loopback.h"
#include "support/NetworkIsolation.h"
#include "support/Pebble.h"
#include "support/TempFolder.h"

namespace {

using namespace tessel::test;

// Answers GET /.well-known/acme-challenge/TOKEN on every address with what was published.
class ChallengeResponder {
 public:
  ChallengeResponder() {
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof address;
    bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(m_listener, 16);
    getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Serve(); });
  }
  ~ChallengeResponder() {
    shutdown(m_listener, SHUT_RDWR);
    m_thread.join();
    close(m_listener);
  }
  int Port() const { return m_port; }
  void Publish(const std::string& token, const std::string& answer) {
    std::lock_guard lock(m_mutex);
    m_answers[token] = answer;
  }
  void Withdraw(const std::string& token) {
    std::lock_guard lock(m_mutex);
    m_answers.erase(token);
    ++m_withdrawn;
  }
  int Withdrawn() {
    std::lock_guard lock(m_mutex);
    return m_withdrawn;
  }

 private:
  void Serve() {
    for (;;) {
      const int fd = accept(m_listener, nullptr, nullptr);
      if (fd < 0) return;
      char buffer[4096] = {};
      const ssize_t n = recv(fd, buffer, sizeof buffer - 1, 0);
      const std::string request(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
      const std::string prefix = "GET /.well-known/acme-challenge/";
      std::string reply = "HTTP/1.0 404 Not Found\r\n\r\n";
      if (request.rfind(prefix, 0) == 0) {
        const std::string token =
            request.substr(prefix.size(), request.find(' ', prefix.size()) - prefix.size());
        std::lock_guard lock(m_mutex);
        if (m_answers.count(token))
          reply = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + m_answers[token];
      }
      send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
      close(fd);
    }
  }

  int m_listener = -1;
  int m_port = 0;
  std::mutex m_mutex;
  std::map<std::string, std::string> m_answers;
  int m_withdrawn = 0;
  std::thread m_thread;
};

// Whether root (a PEM file) vouches for the certificate's chain.
bool Verifies(const CTlsCertificate& certificate, const std::string& root) {
  X509_STORE* store = X509_STORE_new();
  X509_STORE_load_file(store, root.c_str());
  STACK_OF(X509)* chain = sk_X509_new_null();
  for (const auto& link : certificate.Chain()) sk_X509_push(chain, link.get());
  X509_STORE_CTX* context = X509_STORE_CTX_new();
  X509_STORE_CTX_init(context, store, certificate.Leaf(), chain);
  const bool verified = X509_verify_cert(context) == 1;
  X509_STORE_CTX_free(context);
  sk_X509_free(chain);
  X509_STORE_free(store);
  return verified;
}

class AcmeClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NetworkIsolated()) GTEST_SKIP() << "no private network namespace";
    const std::string why = Pebble::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
  }
  CAcmeClient::Options Options(const Pebble& pebble) {
    CAcmeClient::Options options;
    options.directory = pebble.Directory();
    options.ca_file = pebble.ListenerCa();
    options.account_key_file = folder / "account.pem";
    options.poll_interval = std::chrono::milliseconds(200);
    options.give_up = std::chrono::seconds(30);
    return options;
  }
  std::shared_ptr<const CTlsCertificate> Obtain(CAcmeClient& client) {
    return client.Obtain(
        Pebble::kPeerAddress,
        [this](const std::string& token, const std::string& answer) {
          responder.Publish(token, answer);
        },
        [this](const std::string& token) { responder.Withdraw(token); });
  }

  TempFolder folder;
  ChallengeResponder responder;
};

TEST_F(AcmeClientTest, ObtainsACertificateForTheAddress) {
  Pebble pebble(responder.Port());
  ASSERT_EQ(pebble.Failure(), "");
  CAcmeClient client(Options(pebble));
  auto certificate = Obtain(client);
  ASSERT_TRUE(certificate) << client.LastError() << "\n" << pebble.Log();
  EXPECT_EQ(certificate->Names(), std::vector<std::string>{Pebble::kPeerAddress});
  EXPECT_TRUE(Verifies(*certificate, pebble.Root()));
  EXPECT_FALSE(certificate->SelfIssued());
  EXPECT_EQ(responder.Withdrawn(), 1);
  struct stat status {};
  ASSERT_EQ(stat((folder / "account.pem").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  // The account is found again by its key; each certificate has a key of its own.
  auto second = Obtain(client);
  ASSERT_TRUE(second) << client.LastError();
  EXPECT_NE(second->Fingerprint(), certificate->Fingerprint());
}

TEST_F(AcmeClientTest, FailuresAreSaidInWords) {
  struct Case {
    const char* what;
    int http_port;        // where pebble validates
    bool trust_listener;  // the extra CA bundle given
    const char* error;
  };
  const int closed = loopback::FreePort();
  const Case cases[] = {
      {"nothing answers the challenge", closed, true,
       "the certificate authority could not validate 198.18.0.2: "},
      {"the directory is not trusted", responder.Port(), false,
       "cannot reach the certificate authority at https://198.18.0.1:14000/dir: "},
  };
  for (const Case& c : cases) {
    Pebble pebble(c.http_port);
    ASSERT_EQ(pebble.Failure(), "");
    CAcmeClient::Options options = Options(pebble);
    if (!c.trust_listener) options.ca_file.clear();
    CAcmeClient client(options);
    EXPECT_FALSE(Obtain(client)) << c.what;
    EXPECT_EQ(client.LastError().rfind(c.error, 0), 0u) << c.what << ": " << client.LastError();
  }
}

}  // namespace
