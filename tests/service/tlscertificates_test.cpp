// Certificates and the server's TLS policy: the self-signed certificate made once and kept, the
// owner's files taken up when they change and kept out when they cannot be used, the line that
// names the certificate in use, and handshakes of real OpenSSL clients against the policy.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <thread>

#include "service/TlsCertificates.h"
#include "support/TempFolder.h"

namespace {

const std::vector<std::string> kNames = {"ann-laptop", "localhost", "127.0.0.1", "192.168.1.20"};

void WriteFile(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  std::ofstream(temporary, std::ios::binary) << text;
  std::filesystem::rename(temporary, path);
}

std::shared_ptr<const CTlsCertificate> Make(std::vector<std::string> names = kNames) {
  std::string error;
  auto certificate = CTlsCertificate::MakeSelfSigned(names, 30, &error);
  EXPECT_TRUE(certificate) << error;
  return certificate;
}

class TlsCertificates : public ::testing::Test {
 protected:
  std::unique_ptr<CTlsCertificates> Keeper() {
    return std::make_unique<CTlsCertificates>(
        context, folder.path(), [this](const std::string& name) { return settings[name]; },
        [this](const std::string& line) { lines.push_back(line); }, [] { return kNames; });
  }
  std::string Fingerprint() const { return context.Certificate()->Fingerprint(); }

  TempFolder folder;
  CTlsContext context;
  std::map<std::string, std::string> settings;
  std::vector<std::string> lines;
};

TEST_F(TlsCertificates, SelfSignedIsMadeOnceKeptPrivateAndNamed) {
  auto keeper = Keeper();
  ASSERT_TRUE(keeper->Start());
  const std::string first = Fingerprint();
  EXPECT_EQ(keeper->Current().source, CTlsCertificates::Source::kSelfSigned);
  EXPECT_FALSE(keeper->Trusted());
  EXPECT_EQ(context.Certificate()->Names(), kNames);
  EXPECT_TRUE(context.Certificate()->SelfIssued());
  for (const char* name : {CTlsCertificates::kSelfSignedFile, CTlsCertificates::kSelfSignedKeyFile})
    EXPECT_EQ(std::filesystem::status(folder / name).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
        << name;
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      lines[0],
      std::regex("HTTPS: self-signed certificate for ann-laptop,localhost,127\\.0\\.0\\.1,"
                 "192\\.168\\.1\\.20, valid until \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d"
                 ", SHA-256 ([0-9A-F]{2}:){31}[0-9A-F]{2}")))
      << lines[0];
  EXPECT_NE(lines[0].find(first), std::string::npos);

  // A later start serves the same certificate, so the fingerprint friends know stays valid.
  lines.clear();
  CTlsContext again_context;
  CTlsCertificates again(
      again_context, folder.path(), [](const std::string&) { return ""; },
      [this](const std::string& line) { lines.push_back(line); },
      [] { return std::vector<std::string>{"other"}; });
  ASSERT_TRUE(again.Start());
  EXPECT_EQ(again_context.Certificate()->Fingerprint(), first);
}

TEST_F(TlsCertificates, ExpiredSelfSignedIsMadeAgain) {
  auto keeper = Keeper();
  ASSERT_TRUE(keeper->Start());
  const std::string first = Fingerprint();
  auto later = Keeper();
  later->SetClock([] { return std::time(nullptr) + 3651L * 24 * 3600; });
  ASSERT_TRUE(later->Start());
  EXPECT_NE(Fingerprint(), first);
}

TEST_F(TlsCertificates, OwnFilesAreTakenUpWhenTheyChange) {
  auto first = Make({"files.example"});
  const std::string cert = folder / "cert.pem", key = folder / "key.pem";
  WriteFile(cert, first->CertificatePem());
  WriteFile(key, first->KeyPem());
  settings["CertFile"] = cert;
  settings["KeyFile"] = key;
  auto keeper = Keeper();
  ASSERT_TRUE(keeper->Start());
  EXPECT_EQ(keeper->Current().source, CTlsCertificates::Source::kOwn);
  EXPECT_TRUE(keeper->Trusted());
  EXPECT_EQ(Fingerprint(), first->Fingerprint());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("HTTPS: own certificate for files.example, valid until ", 0), 0u);

  // A renewal replaces both files: the next look serves the new pair, and says so once.
  auto second = Make({"files.example", "www.files.example"});
  WriteFile(key, second->KeyPem());
  WriteFile(cert, second->CertificatePem());
  keeper->Refresh();
  keeper->Refresh();
  EXPECT_EQ(Fingerprint(), second->Fingerprint());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find("for files.example,www.files.example,"), std::string::npos);

  // Unusable replacements are reported and the certificate in use stays.
  struct Case {
    const char* what;
    std::string cert_text, key_text;
    const char* reason;
  };
  const auto third = Make();
  const Case cases[] = {
      {"a key of another certificate", third->CertificatePem(), second->KeyPem(),
       "does not belong"},
      {"no certificate", "garbage", second->KeyPem(), "no certificate"},
      {"no key", second->CertificatePem(), "", "no private key"},
  };
  for (const Case& c : cases) {
    lines.clear();
    WriteFile(cert, c.cert_text);
    WriteFile(key, c.key_text);
    keeper->Refresh();
    EXPECT_EQ(Fingerprint(), second->Fingerprint()) << c.what;
    ASSERT_EQ(lines.size(), 1u) << c.what;
    EXPECT_NE(lines[0].find("cannot use the own certificate files"), std::string::npos) << c.what;
    EXPECT_NE(lines[0].find(c.reason), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("the previous certificate stays in use"), std::string::npos);
    EXPECT_NE(keeper->Current().own_error.find(c.reason), std::string::npos) << c.what;
  }
}

TEST_F(TlsCertificates, UnusableOwnFilesAtStartLeaveSelfSignedServing) {
  settings["CertFile"] = folder / "missing.pem";
  auto keeper = Keeper();
  ASSERT_TRUE(keeper->Start());
  EXPECT_EQ(keeper->Current().source, CTlsCertificates::Source::kSelfSigned);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0],
            "HTTPS: cannot use the own certificate files: cannot read " + (folder / "missing.pem"));
  EXPECT_EQ(lines[1].rfind("HTTPS: self-signed certificate for ann-laptop,", 0), 0u);

  // Emptying the setting is no change of the certificate in use: nothing more is said.
  settings.erase("CertFile");
  lines.clear();
  auto again = Keeper();
  ASSERT_TRUE(again->Start());
  EXPECT_TRUE(again->Current().own_error.empty());
}

TEST_F(TlsCertificates, AcmeCertificateIsKeptAndYieldsToOwnFiles) {
  auto keeper = Keeper();
  ASSERT_TRUE(keeper->Start());
  auto acme = Make({"198.18.0.2"});
  std::string error;
  ASSERT_TRUE(keeper->UseAcme(acme, &error)) << error;
  EXPECT_EQ(keeper->Current().source, CTlsCertificates::Source::kAcme);
  EXPECT_EQ(lines.back().rfind("HTTPS: ACME certificate for 198.18.0.2, valid until", 0), 0u);
  EXPECT_EQ(std::filesystem::status(folder / CTlsCertificates::kAcmeKeyFile).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  // The next start serves the kept one, unless the owner's files are set.
  auto again = Keeper();
  ASSERT_TRUE(again->Start());
  EXPECT_EQ(Fingerprint(), acme->Fingerprint());
  auto own = Make({"own.example"});
  WriteFile(folder / "own.pem", own->CertificatePem() + own->KeyPem());
  settings["CertFile"] = folder / "own.pem";
  auto third = Keeper();
  ASSERT_TRUE(third->Start());
  EXPECT_EQ(Fingerprint(), own->Fingerprint());
  auto renewed = Make({"198.18.0.3"});
  ASSERT_TRUE(third->UseAcme(renewed, &error));
  EXPECT_EQ(Fingerprint(), own->Fingerprint());

  // The owner's choice of source, with the files still named.
  const struct {
    const char* choice;
    CTlsCertificates::Source source;
  } cases[] = {{"own", CTlsCertificates::Source::kOwn},
               {"acme", CTlsCertificates::Source::kAcme},
               {"self-signed", CTlsCertificates::Source::kSelfSigned},
               {"", CTlsCertificates::Source::kOwn}};
  for (const auto& c : cases) {
    settings["CertSource"] = c.choice;
    auto keeper = Keeper();
    ASSERT_TRUE(keeper->Start());
    EXPECT_EQ(keeper->Current().source, c.source) << c.choice;
    if (c.source == CTlsCertificates::Source::kSelfSigned) {
      ASSERT_TRUE(keeper->UseAcme(renewed, &error));
      EXPECT_EQ(keeper->Current().source, c.source) << "a new ACME certificate waits";
    }
  }
}

// A handshake of an OpenSSL client limited to one protocol version, over a socket pair.
struct Handshake {
  bool done = false;
  int version = 0;
  std::string alpn;
};

Handshake Connect(SSL_CTX* server_context, int version, const char* server_name,
                  const char* ciphers = nullptr) {
  signal(SIGPIPE, SIG_IGN);  // a refused client leaves the server's alert unread
  int pair[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  std::thread server([&] {
    SSL* ssl = SSL_new(server_context);
    SSL_set_fd(ssl, pair[0]);
    if (SSL_accept(ssl) == 1) SSL_shutdown(ssl);
    SSL_free(ssl);
    close(pair[0]);
  });
  SSL_CTX* client_context = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_min_proto_version(client_context, version);
  SSL_CTX_set_max_proto_version(client_context, version);
  SSL_CTX_set_security_level(client_context, 0);  // lets the client offer TLS 1.1 at all
  if (ciphers) SSL_CTX_set_cipher_list(client_context, ciphers);
  static const unsigned char kProtocols[] = "\x02h2\x08http/1.1";
  SSL_CTX_set_alpn_protos(client_context, kProtocols, sizeof kProtocols - 1);
  SSL* ssl = SSL_new(client_context);
  if (server_name) SSL_set_tlsext_host_name(ssl, server_name);
  SSL_set_fd(ssl, pair[1]);
  Handshake result;
  result.done = SSL_connect(ssl) == 1;
  if (result.done) {
    result.version = SSL_version(ssl);
    const unsigned char* alpn = nullptr;
    unsigned int length = 0;
    SSL_get0_alpn_selected(ssl, &alpn, &length);
    result.alpn.assign(reinterpret_cast<const char*>(alpn), length);
  }
  SSL_free(ssl);
  SSL_CTX_free(client_context);
  close(pair[1]);
  server.join();
  return result;
}

TEST(TlsPolicy, OnlyTls12And13WithForwardSecrecyAndHttp11) {
  std::string error;
  auto server = CTlsContext::MakeServerContext(*Make(), &error);
  ASSERT_TRUE(server) << error;
  struct Case {
    const char* what;
    int version;
    const char* server_name;
    const char* ciphers;
    bool done;
  };
  const Case cases[] = {
      {"TLS 1.3", TLS1_3_VERSION, nullptr, nullptr, true},
      {"TLS 1.2", TLS1_2_VERSION, nullptr, nullptr, true},
      {"any server name", TLS1_3_VERSION, "whatever.example", nullptr, true},
      {"TLS 1.1", TLS1_1_VERSION, nullptr, nullptr, false},
      {"TLS 1.0", TLS1_VERSION, nullptr, nullptr, false},
      {"no forward secrecy", TLS1_2_VERSION, nullptr, "AES128-GCM-SHA256:AES256-SHA", false},
  };
  for (const Case& c : cases) {
    const Handshake result = Connect(server.get(), c.version, c.server_name, c.ciphers);
    EXPECT_EQ(result.done, c.done) << c.what;
    if (!c.done) continue;
    EXPECT_EQ(result.version, c.version) << c.what;
    EXPECT_EQ(result.alpn, "http/1.1") << c.what;
  }
}

}  // namespace
