#pragma once
#include <openssl/types.h>

#include <memory>
#include <mutex>
#include <string>

#include "base/TlsCertificate.h"

// The server side of TLS: an OpenSSL context per certificate, all with one policy: TLS 1.2 and
// 1.3 only, no compression nor renegotiation, forward-secret ciphers only, ALPN "http/1.1",
// session tickets for resumption, a server name indication accepted and ignored. A new
// certificate replaces the context for the connections that start after it; connections under
// way keep theirs. Every method may be called from any thread.
class CTlsContext {
 public:
  CTlsContext();
  ~CTlsContext();
  CTlsContext(const CTlsContext&) = delete;
  CTlsContext& operator=(const CTlsContext&) = delete;

  // Serves certificate from now on. False, with *error, when OpenSSL refuses it (the context in
  // use then stays).
  bool Use(std::shared_ptr<const CTlsCertificate> certificate, std::string* error);
  // The context new connections take; null until a certificate is in use.
  std::shared_ptr<SSL_CTX> Current() const;
  // The certificate served; null until one is in use.
  std::shared_ptr<const CTlsCertificate> Certificate() const;

  // A context with the policy and certificate, for Use and for tests; null with *error.
  static std::shared_ptr<SSL_CTX> MakeServerContext(const CTlsCertificate& certificate,
                                                    std::string* error);

 private:
  mutable std::mutex m_mutex;
  std::shared_ptr<SSL_CTX> m_context;
  std::shared_ptr<const CTlsCertificate> m_certificate;
};
