#include "service/TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstring>

namespace {

// TLS 1.2 suites with an ephemeral key exchange only (TLS 1.3's are all forward secret).
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
constexpr const char* kGroups = "X25519:P-256:P-384";

// Picks "http/1.1" when the client offers it; a client offering only other protocols goes on
// without ALPN rather than being refused.
int SelectAlpn(SSL*, const unsigned char** out, unsigned char* out_length, const unsigned char* in,
               unsigned int in_length, void*) {
  static const unsigned char kHttp11[] = "\x08http/1.1";
  unsigned char* selected = nullptr;
  if (SSL_select_next_proto(&selected, out_length, kHttp11, sizeof kHttp11 - 1, in, in_length) !=
      OPENSSL_NPN_NEGOTIATED)
    return SSL_TLSEXT_ERR_NOACK;
  *out = selected;
  return SSL_TLSEXT_ERR_OK;
}

std::string Reason(const char* what) {
  const unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  const char* reason = code ? ERR_reason_error_string(code) : nullptr;
  return reason ? std::string(what) + " (" + reason + ")" : what;
}

}  // namespace

CTlsContext::CTlsContext() = default;
CTlsContext::~CTlsContext() = default;

std::shared_ptr<SSL_CTX> CTlsContext::MakeServerContext(const CTlsCertificate& certificate,
                                                        std::string* error) {
  std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  SSL_CTX* ctx = context.get();
  if (!ctx) {
    *error = Reason("cannot make a TLS context");
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
  SSL_CTX_set_options(
      ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  // Resumption by tickets alone: no per-session state is kept on the server.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                            SSL_MODE_RELEASE_BUFFERS);
  if (SSL_CTX_set_cipher_list(ctx, kTls12Ciphers) != 1 ||
      SSL_CTX_set1_groups_list(ctx, kGroups) != 1) {
    *error = Reason("cannot set the TLS ciphers");
    return nullptr;
  }
  SSL_CTX_set_alpn_select_cb(ctx, SelectAlpn, nullptr);
  if (SSL_CTX_use_certificate(ctx, certificate.Leaf()) != 1 ||
      SSL_CTX_use_PrivateKey(ctx, certificate.Key()) != 1) {
    *error = Reason("the certificate cannot be served");
    return nullptr;
  }
  for (const auto& link : certificate.Chain()) {
    if (SSL_CTX_add1_chain_cert(ctx, link.get()) != 1) {
      *error = Reason("the certificate's chain cannot be served");
      return nullptr;
    }
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    *error = Reason("the private key does not belong to the certificate");
    return nullptr;
  }
  return context;
}

bool CTlsContext::Use(std::shared_ptr<const CTlsCertificate> certificate, std::string* error) {
  if (!certificate) {
    *error = "no certificate";
    return false;
  }
  auto context = MakeServerContext(*certificate, error);
  if (!context) return false;
  std::lock_guard lock(m_mutex);
  m_context = std::move(context);
  m_certificate = std::move(certificate);
  return true;
}

std::shared_ptr<SSL_CTX> CTlsContext::Current() const {
  std::lock_guard lock(m_mutex);
  return m_context;
}

std::shared_ptr<const CTlsCertificate> CTlsContext::Certificate() const {
  std::lock_guard lock(m_mutex);
  return m_certificate;
}
