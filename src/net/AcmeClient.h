#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "base/TlsCertificate.h"

// An ACME client (RFC 8555) that obtains one certificate at a time with the HTTP-01 challenge,
// for a DNS name or an IP address (RFC 8738), asking for the "shortlived" profile for an address
// when the directory offers it. Debian packages no ACME library for C or C++, so this speaks the
// protocol itself, on libcurl and OpenSSL. Each call runs on the caller's thread and waits for the
// certificate authority; failures are null, with the reason in words in LastError().
class CAcmeClient {
 public:
  struct Options {
    std::string directory;         // the directory's URL
    std::string ca_file;           // a CA bundle trusted for it besides the system's; may be empty
    std::string account_key_file;  // made (mode 0600) when missing
    // How often pending validations and orders are asked about, and for how long.
    std::chrono::milliseconds poll_interval{std::chrono::seconds(2)};
    std::chrono::milliseconds give_up{std::chrono::minutes(3)};
  };
  // The challenge's answer must be served at /.well-known/acme-challenge/TOKEN until withdrawn.
  using Publish =
      std::function<void(const std::string& token, const std::string& key_authorization)>;
  using Withdraw = std::function<void(const std::string& token)>;

  explicit CAcmeClient(Options options);
  ~CAcmeClient();
  CAcmeClient(const CAcmeClient&) = delete;
  CAcmeClient& operator=(const CAcmeClient&) = delete;

  // When given and set, a run ends at its next step. The flag must outlive its use here.
  void SetCancel(const std::atomic<bool>* cancel) { m_cancel = cancel; }

  // Obtains a certificate with a new ECDSA P-256 key for identifier (an IPv4 or IPv6 address, or
  // a DNS name). Null on failure, with LastError() saying why.
  std::shared_ptr<const CTlsCertificate> Obtain(const std::string& identifier,
                                                const Publish& publish, const Withdraw& withdraw);
  const std::string& LastError() const { return m_error; }

 private:
  struct Reply;
  bool Request(const std::string& url, const std::string* body, Reply* reply);
  // A signed POST (a POST-as-GET without payload), trying again with a fresh nonce when the server
  // refuses the one used.
  bool Post(const std::string& url, const std::string* payload, Reply* reply);
  bool Begin();  // the directory, a nonce and the account
  bool Fail(const std::string& what, const Reply* reply = nullptr);
  bool Authorize(const std::string& authorization_url, const Publish& publish,
                 const Withdraw& withdraw);
  // Asks url until its status is no longer pending nor processing; true with *object when it is
  // done.
  bool PollUntilDone(const std::string& url, std::string* object, const std::string& what);
  bool Cancelled() const;

  Options m_options;
  const std::atomic<bool>* m_cancel = nullptr;
  std::string m_error;
  std::string m_nonce;
  std::string m_kid;
  std::string m_new_nonce_url, m_new_account_url, m_new_order_url;
  bool m_offers_shortlived = false;
  struct KeyHolder;
  std::unique_ptr<KeyHolder> m_key;
};
