#include "net/AcmeKey.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "base/TlsCertificate.h"

namespace tessel {

std::string Base64Url(const std::string& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                     reinterpret_cast<const unsigned char*>(bytes.data()),
                                     static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(length));
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return text;
}

}  // namespace tessel

namespace {

std::string Coordinate(EVP_PKEY* key, const char* name) {
  BIGNUM* value = nullptr;
  std::string bytes(32, '\0');
  if (EVP_PKEY_get_bn_param(key, name, &value) == 1)
    BN_bn2binpad(value, reinterpret_cast<unsigned char*>(bytes.data()), 32);
  BN_free(value);
  return tessel::Base64Url(bytes);
}

std::string Sha256(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<char*>(digest), size);
}

}  // namespace

std::unique_ptr<CAcmeKey> CAcmeKey::LoadOrMake(const std::string& file, std::string* error) {
  std::ifstream in(file, std::ios::binary);
  if (in) {
    std::stringstream text;
    text << in.rdbuf();
    const std::string pem = text.str();
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    ERR_clear_error();
    if (key && EVP_PKEY_is_a(key, "EC")) return std::unique_ptr<CAcmeKey>(new CAcmeKey(key));
    EVP_PKEY_free(key);
    *error = file + " holds no ECDSA key";
    return nullptr;
  }
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (!key) {
    *error = "cannot make an account key";
    return nullptr;
  }
  std::unique_ptr<CAcmeKey> made(new CAcmeKey(key));
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  const std::string pem(data, static_cast<std::size_t>(length));
  BIO_free(bio);
  if (!tessel::WritePrivateFile(file, pem, error)) return nullptr;
  return made;
}

CAcmeKey::CAcmeKey(EVP_PKEY* key) : m_key(key) {
  m_jwk = R"({"crv":"P-256","kty":"EC","x":")" + Coordinate(key, OSSL_PKEY_PARAM_EC_PUB_X) +
          R"(","y":")" + Coordinate(key, OSSL_PKEY_PARAM_EC_PUB_Y) + R"("})";
}

CAcmeKey::~CAcmeKey() {
  EVP_PKEY_free(m_key);
}

std::string CAcmeKey::Thumbprint() const {
  return tessel::Base64Url(Sha256(m_jwk));
}

std::string CAcmeKey::Sign(const std::string& url, const std::string& nonce, const std::string& kid,
                           const std::string& payload) const {
  nlohmann::json header = {{"alg", "ES256"}, {"nonce", nonce}, {"url", url}};
  if (kid.empty())
    header["jwk"] = nlohmann::json::parse(m_jwk);
  else
    header["kid"] = kid;
  const std::string protected64 = tessel::Base64Url(header.dump());
  const std::string payload64 = tessel::Base64Url(payload);
  const std::string input = protected64 + "." + payload64;

  // ES256 wants the raw r and s, 32 bytes each; OpenSSL signs in DER.
  std::string signature;
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  std::size_t length = 0;
  if (EVP_DigestSignInit(md, nullptr, EVP_sha256(), nullptr, m_key) == 1 &&
      EVP_DigestSign(md, nullptr, &length, reinterpret_cast<const unsigned char*>(input.data()),
                     input.size()) == 1) {
    std::string der(length, '\0');
    auto* out = reinterpret_cast<unsigned char*>(der.data());
    if (EVP_DigestSign(md, out, &length, reinterpret_cast<const unsigned char*>(input.data()),
                       input.size()) == 1) {
      const unsigned char* in = out;
      ECDSA_SIG* parts = d2i_ECDSA_SIG(nullptr, &in, static_cast<long>(length));
      if (parts) {
        signature.assign(64, '\0');
        auto* raw = reinterpret_cast<unsigned char*>(signature.data());
        BN_bn2binpad(ECDSA_SIG_get0_r(parts), raw, 32);
        BN_bn2binpad(ECDSA_SIG_get0_s(parts), raw + 32, 32);
        ECDSA_SIG_free(parts);
      }
    }
  }
  EVP_MD_CTX_free(md);
  return nlohmann::json{{"protected", protected64},
                        {"payload", payload64},
                        {"signature", tessel::Base64Url(signature)}}
      .dump();
}
