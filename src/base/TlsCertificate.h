#pragma once
#include <openssl/types.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

// A server certificate with its chain and private key, as a TLS context serves it. Immutable once
// made; copies share the OpenSSL objects.
class CTlsCertificate {
 public:
  // Reads a PEM certificate file (the leaf first, then its chain) and its PEM private key, which
  // may be the same file. Null, with *error saying why in words, when a file cannot be read, holds
  // no certificate or key, or the key does not belong to the certificate.
  static std::shared_ptr<const CTlsCertificate> LoadPem(const std::string& cert_file,
                                                        const std::string& key_file,
                                                        std::string* error);
  // The same from PEM text in memory.
  static std::shared_ptr<const CTlsCertificate> ParsePem(const std::string& cert_pem,
                                                         const std::string& key_pem,
                                                         std::string* error);
  // A new self-signed certificate with a new ECDSA P-256 key, for names (host names and IP
  // addresses, the first also the subject's common name), valid from an hour ago for days.
  static std::shared_ptr<const CTlsCertificate> MakeSelfSigned(
      const std::vector<std::string>& names, int days, std::string* error);

  // Writes the chain and the key as PEM, each file readable by the owner alone (mode 0600) and
  // replaced whole (written beside, then renamed). False, with *error, when it cannot.
  bool SavePem(const std::string& cert_file, const std::string& key_file, std::string* error) const;
  std::string CertificatePem() const;  // the leaf and its chain
  std::string KeyPem() const;

  // The names the certificate covers: its subject alternative names (DNS names and IP addresses),
  // else its common name.
  std::vector<std::string> Names() const;
  // When it expires and when it began to be valid (seconds since the epoch).
  std::time_t NotAfter() const;
  std::time_t NotBefore() const;
  // The issuer's common name (or its whole name when it has none).
  std::string Issuer() const;
  // SHA-256 of the leaf's DER form, as colon-separated upper-case hex pairs.
  std::string Fingerprint() const;
  // Whether the leaf is signed by its own key under its own name.
  bool SelfIssued() const;

  X509* Leaf() const { return m_leaf.get(); }
  EVP_PKEY* Key() const { return m_key.get(); }
  // The certificates after the leaf, in file order.
  const std::vector<std::shared_ptr<X509>>& Chain() const { return m_chain; }

 private:
  CTlsCertificate() = default;

  std::shared_ptr<X509> m_leaf;
  std::vector<std::shared_ptr<X509>> m_chain;
  std::shared_ptr<EVP_PKEY> m_key;
};

namespace tessel {

// Writes text to path readable by the owner alone (mode 0600), replacing the file whole: written
// beside it, then renamed over it. False, with *error, when it cannot.
bool WritePrivateFile(const std::string& path, const std::string& text, std::string* error);

// A moment as local time "YYYY-MM-DD HH:MM:SS", as every time stamp is shown.
std::string LocalTimeText(std::time_t when);

// The line that tells which certificate is in use, for example
// "HTTPS: own certificate for example.org, valid until 2027-03-01 12:00:00, SHA-256 AB:CD:...".
std::string CertificateLine(const std::string& source, const CTlsCertificate& certificate);

}  // namespace tessel
