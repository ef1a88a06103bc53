#pragma once
#include <openssl/types.h>

#include <memory>
#include <string>

// The ACME account's key (ECDSA P-256) and the JSON Web Signatures it makes (ES256), as the ACME
// protocol wants them: the key as a JWK, its thumbprint, and flattened JWS objects.
class CAcmeKey {
 public:
  // Reads the key from a PEM file, or makes one and keeps it there (mode 0600) when the file is
  // missing. Null, with *error, when neither works.
  static std::unique_ptr<CAcmeKey> LoadOrMake(const std::string& file, std::string* error);
  ~CAcmeKey();

  // {"crv":"P-256","kty":"EC","x":...,"y":...}: members in the order the thumbprint wants.
  const std::string& Jwk() const { return m_jwk; }
  // base64url of the SHA-256 of Jwk(), the account's part of a key authorization.
  std::string Thumbprint() const;
  // A flattened JWS of payload for url: with the account's kid when given, else its JWK. An
  // empty payload makes a POST-as-GET.
  std::string Sign(const std::string& url, const std::string& nonce, const std::string& kid,
                   const std::string& payload) const;

 private:
  explicit CAcmeKey(EVP_PKEY* key);

  EVP_PKEY* m_key;
  std::string m_jwk;
};

namespace tessel {
// base64url without padding, as JOSE writes binary values.
std::string Base64Url(const std::string& bytes);
}  // namespace tessel
