#include "net/AcmeClient.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "base/AsciiText.h"
#include "net/AcmeKey.h"

using json = nlohmann::json;

namespace {

constexpr long kConnectTimeoutMs = 15000;
constexpr long kTimeoutMs = 60000;
constexpr std::size_t kMaxReply = 1 << 20;
constexpr int kNonceRetries = 3;

bool IsIpAddress(const std::string& name) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, name.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, name.c_str(), buffer) == 1;
}

// The problem document's words, else the reply's status.
std::string ProblemText(const std::string& body, long status) {
  const json problem = json::parse(body, nullptr, false);
  if (problem.is_object() && problem.contains("detail") && problem["detail"].is_string())
    return problem["detail"].get<std::string>();
  return "HTTP status " + std::to_string(status);
}

std::string Text(const json& object, const char* name) {
  if (!object.is_object() || !object.contains(name) || !object[name].is_string()) return {};
  return object[name].get<std::string>();
}

// A certificate signing request for identifier, signed with key.
std::string SigningRequest(const std::string& identifier, EVP_PKEY* key) {
  X509_REQ* request = X509_REQ_new();
  X509_REQ_set_version(request, 0);
  X509_REQ_set_pubkey(request, key);
  const bool ip = IsIpAddress(identifier);
  if (!ip) {  // an address is no common name; a name is, for old clients
    X509_NAME_add_entry_by_txt(X509_REQ_get_subject_name(request), "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(identifier.c_str()), -1, -1,
                               0);
  }
  STACK_OF(X509_EXTENSION)* extensions = sk_X509_EXTENSION_new_null();
  const std::string alternative = (ip ? "IP:" : "DNS:") + identifier;
  X509_EXTENSION* names =
      X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, alternative.c_str());
  std::string der;
  if (names) {
    sk_X509_EXTENSION_push(extensions, names);
    X509_REQ_add_extensions(request, extensions);
    if (X509_REQ_sign(request, key, EVP_sha256()) > 0) {
      const int length = i2d_X509_REQ(request, nullptr);
      der.resize(static_cast<std::size_t>(std::max(length, 0)));
      auto* out = reinterpret_cast<unsigned char*>(der.data());
      i2d_X509_REQ(request, &out);
    }
  }
  sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
  X509_REQ_free(request);
  ERR_clear_error();
  return der;
}

std::string KeyPem(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(length));
  BIO_free(bio);
  return pem;
}

}  // namespace

struct CAcmeClient::KeyHolder {
  std::unique_ptr<CAcmeKey> key;
};

struct CAcmeClient::Reply {
  long status = 0;
  std::string body;
  std::string location;
  std::string nonce;
};

namespace {

struct Transfer {
  std::string* body;
  std::string* location;
  std::string* nonce;
  const std::atomic<bool>* cancel;
  const std::string* ca_file;
};

size_t TakeBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  if (transfer->body->size() + bytes > kMaxReply) return 0;
  transfer->body->append(data, bytes);
  return bytes;
}

size_t TakeHeader(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const std::string_view line(data, size * count);
  const size_t colon = line.find(':');
  if (colon != std::string_view::npos) {
    const std::string_view name = tessel::Trim(line.substr(0, colon));
    const std::string value(tessel::Trim(line.substr(colon + 1), " \t\r\n"));
    if (tessel::EqualsNoCase(name, "Location")) *transfer->location = value;
    if (tessel::EqualsNoCase(name, "Replay-Nonce")) *transfer->nonce = value;
  }
  return size * count;
}

int CheckCancel(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* cancel = static_cast<Transfer*>(user)->cancel;
  return cancel && cancel->load() ? 1 : 0;
}

// Adds the extra CA bundle to what the system's bundle already trusts.
CURLcode TrustExtra(CURL*, void* ssl_context, void* user) {
  const auto* transfer = static_cast<Transfer*>(user);
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(ssl_context));
  if (X509_STORE_load_file(store, transfer->ca_file->c_str()) != 1) {
    ERR_clear_error();
    return CURLE_SSL_CACERT_BADFILE;
  }
  return CURLE_OK;
}

}  // namespace

CAcmeClient::CAcmeClient(Options options)
    : m_options(std::move(options)), m_key(std::make_unique<KeyHolder>()) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CAcmeClient::~CAcmeClient() = default;

bool CAcmeClient::Cancelled() const {
  return m_cancel && m_cancel->load();
}

bool CAcmeClient::Fail(const std::string& what, const Reply* reply) {
  m_error = what;
  if (reply) m_error += ": " + ProblemText(reply->body, reply->status);
  return false;
}

bool CAcmeClient::Request(const std::string& url, const std::string* body, Reply* reply) {
  *reply = Reply{};
  CURL* curl = curl_easy_init();
  if (!curl) return Fail("cannot start an HTTP request");
  Transfer transfer{&reply->body, &reply->location, &reply->nonce, m_cancel, &m_options.ca_file};
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/jose+json");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https,http");
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "Tessel");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, kTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, TakeBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, TakeHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, CheckCancel);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  if (!m_options.ca_file.empty()) {
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, TrustExtra);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, &transfer);
  }
  if (body) {
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body->c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
  } else if (url == m_new_nonce_url) {
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  }
  const CURLcode result = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply->status);
  curl_easy_cleanup(curl);
  curl_slist_free_all(headers);
  if (!reply->nonce.empty()) m_nonce = reply->nonce;
  if (result != CURLE_OK) {
    if (Cancelled()) return Fail("cancelled");
    return Fail("cannot reach the certificate authority at " + url + ": " +
                curl_easy_strerror(result));
  }
  return true;
}

bool CAcmeClient::Post(const std::string& url, const std::string* payload, Reply* reply) {
  for (int attempt = 0;; ++attempt) {
    if (m_nonce.empty()) {
      Reply nonce;
      if (!Request(m_new_nonce_url, nullptr, &nonce)) return false;
      if (m_nonce.empty()) return Fail("the certificate authority gave no nonce");
    }
    const std::string nonce = std::exchange(m_nonce, {});
    const std::string body = m_key->key->Sign(url, nonce, m_kid, payload ? *payload : "");
    if (!Request(url, &body, reply)) return false;
    const bool bad_nonce =
        reply->status == 400 && Text(json::parse(reply->body, nullptr, false), "type") ==
                                    "urn:ietf:params:acme:error:badNonce";
    if (!bad_nonce || attempt + 1 >= kNonceRetries) return true;
  }
}

bool CAcmeClient::Begin() {
  if (!m_key->key) {
    m_key->key = CAcmeKey::LoadOrMake(m_options.account_key_file, &m_error);
    if (!m_key->key) return false;
  }
  Reply reply;
  if (!Request(m_options.directory, nullptr, &reply)) return false;
  const json directory = json::parse(reply.body, nullptr, false);
  m_new_nonce_url = Text(directory, "newNonce");
  m_new_account_url = Text(directory, "newAccount");
  m_new_order_url = Text(directory, "newOrder");
  if (reply.status != 200 || m_new_nonce_url.empty() || m_new_account_url.empty() ||
      m_new_order_url.empty())
    return Fail(m_options.directory + " is no ACME directory");
  m_offers_shortlived = directory.contains("meta") && directory["meta"].is_object() &&
                        directory["meta"].contains("profiles") &&
                        directory["meta"]["profiles"].is_object() &&
                        directory["meta"]["profiles"].contains("shortlived");
  // The same key finds the account made before; the terms are the certificate authority's
  // conditions for any certificate at all.
  m_kid.clear();
  const std::string account = json{{"termsOfServiceAgreed", true}}.dump();
  if (!Post(m_new_account_url, &account, &reply)) return false;
  if ((reply.status != 200 && reply.status != 201) || reply.location.empty())
    return Fail("the certificate authority refused the account", &reply);
  m_kid = reply.location;
  return true;
}

bool CAcmeClient::PollUntilDone(const std::string& url, std::string* object,
                                const std::string& what) {
  const auto until = std::chrono::steady_clock::now() + m_options.give_up;
  for (;;) {
    Reply reply;
    if (!Post(url, nullptr, &reply)) return false;
    if (reply.status != 200) return Fail("cannot follow " + what, &reply);
    const std::string status = Text(json::parse(reply.body, nullptr, false), "status");
    if (status != "pending" && status != "processing") {
      *object = reply.body;
      return true;
    }
    if (std::chrono::steady_clock::now() >= until)
      return Fail("the certificate authority did not finish " + what + " in time");
    for (auto waited = std::chrono::milliseconds(0); waited < m_options.poll_interval;
         waited += std::chrono::milliseconds(50)) {
      if (Cancelled()) return Fail("cancelled");
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
}

bool CAcmeClient::Authorize(const std::string& authorization_url, const Publish& publish,
                            const Withdraw& withdraw) {
  Reply reply;
  if (!Post(authorization_url, nullptr, &reply)) return false;
  json authorization = json::parse(reply.body, nullptr, false);
  if (reply.status != 200 || !authorization.is_object())
    return Fail("cannot read the authorization", &reply);
  if (Text(authorization, "status") == "valid") return true;  // validated recently
  const std::string identifier =
      authorization.contains("identifier") ? Text(authorization["identifier"], "value") : "";
  json challenge;
  if (authorization.contains("challenges") && authorization["challenges"].is_array()) {
    for (const json& offered : authorization["challenges"])
      if (Text(offered, "type") == "http-01") challenge = offered;
  }
  const std::string token = Text(challenge, "token");
  const std::string challenge_url = Text(challenge, "url");
  if (token.empty() || challenge_url.empty())
    return Fail("the certificate authority offers no HTTP-01 challenge for " + identifier);

  publish(token, token + "." + m_key->key->Thumbprint());
  const std::string empty_object = "{}";
  bool done = Post(challenge_url, &empty_object, &reply);
  if (done && reply.status != 200) done = Fail("the challenge was refused", &reply);
  std::string result;
  if (done) done = PollUntilDone(authorization_url, &result, "the validation");
  withdraw(token);
  if (!done) return false;
  authorization = json::parse(result, nullptr, false);
  if (Text(authorization, "status") == "valid") return true;
  // The challenge's error says what the certificate authority saw.
  std::string detail;
  if (authorization.contains("challenges") && authorization["challenges"].is_array()) {
    for (const json& tried : authorization["challenges"])
      if (tried.contains("error")) detail = Text(tried["error"], "detail");
  }
  return Fail("the certificate authority could not validate " + identifier +
              (detail.empty() ? "" : ": " + detail));
}

std::shared_ptr<const CTlsCertificate> CAcmeClient::Obtain(const std::string& identifier,
                                                           const Publish& publish,
                                                           const Withdraw& withdraw) {
  m_error.clear();
  if (!Begin()) return nullptr;
  const bool ip = IsIpAddress(identifier);
  json order_request = {{"identifiers", {{{"type", ip ? "ip" : "dns"}, {"value", identifier}}}}};
  if (ip && m_offers_shortlived) order_request["profile"] = "shortlived";
  const std::string payload = order_request.dump();
  Reply reply;
  if (!Post(m_new_order_url, &payload, &reply)) return nullptr;
  json order = json::parse(reply.body, nullptr, false);
  const std::string order_url = reply.location;
  if (reply.status != 201 || order_url.empty() || !order.is_object()) {
    Fail("the certificate authority refused an order for " + identifier, &reply);
    return nullptr;
  }
  if (order.contains("authorizations") && order["authorizations"].is_array()) {
    for (const json& authorization : order["authorizations"]) {
      if (!authorization.is_string() ||
          !Authorize(authorization.get<std::string>(), publish, withdraw))
        return nullptr;
    }
  }

  EVP_PKEY* raw_key = EVP_EC_gen("P-256");
  if (!raw_key) {
    Fail("cannot make a key for the certificate");
    return nullptr;
  }
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(raw_key, EVP_PKEY_free);
  const std::string csr = SigningRequest(identifier, key.get());
  const std::string finalize = json{{"csr", tessel::Base64Url(csr)}}.dump();
  if (!Post(Text(order, "finalize"), &finalize, &reply)) return nullptr;
  if (reply.status != 200) {
    Fail("the certificate authority refused to issue the certificate", &reply);
    return nullptr;
  }
  std::string done;
  if (!PollUntilDone(order_url, &done, "the order")) return nullptr;
  order = json::parse(done, nullptr, false);
  const std::string certificate_url = Text(order, "certificate");
  if (Text(order, "status") != "valid" || certificate_url.empty()) {
    Fail("the certificate authority did not issue the certificate (order " + Text(order, "status") +
         ")");
    return nullptr;
  }
  if (!Post(certificate_url, nullptr, &reply)) return nullptr;
  if (reply.status != 200) {
    Fail("cannot download the certificate", &reply);
    return nullptr;
  }
  auto certificate = CTlsCertificate::ParsePem(reply.body, KeyPem(key.get()), &m_error);
  if (!certificate) m_error = "the issued certificate cannot be used: " + m_error;
  return certificate;
}
