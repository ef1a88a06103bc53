#include "base/TlsCertificate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

std::shared_ptr<X509> OwnX509(X509* x) {
  return std::shared_ptr<X509>(x, X509_free);
}

// The reason OpenSSL gives for the last failure, or fallback when it gives none; the error queue
// is left empty for the next operation on this thread.
std::string OpenSslReason(const std::string& fallback) {
  const unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  const char* reason = ERR_reason_error_string(code);
  return reason ? fallback + " (" + reason + ")" : fallback;
}

bool ReadWholeFile(const std::string& path, std::string* text, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  std::ostringstream out;
  out << in.rdbuf();
  *text = out.str();
  return true;
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(length));
}

std::time_t AsnTime(const ASN1_TIME* time) {
  std::tm parts{};
  if (!time || ASN1_TIME_to_tm(time, &parts) != 1) return 0;
  return timegm(&parts);
}

bool IsIpAddress(const std::string& name) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, name.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, name.c_str(), buffer) == 1;
}

bool AddExtension(X509* certificate, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
  if (!extension) return false;
  const bool added = X509_add_ext(certificate, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

}  // namespace

namespace tessel {

bool WritePrivateFile(const std::string& path, const std::string& text, std::string* error) {
  const std::string temporary = path + ".new";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = "cannot write " + temporary;
    return false;
  }
  fchmod(fd, 0600);  // a file left over from before keeps its mode otherwise
  bool written = true;
  for (std::size_t done = 0; done < text.size() && written;) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    written = n > 0;
    if (written) done += static_cast<std::size_t>(n);
  }
  written = fsync(fd) == 0 && written;
  written = close(fd) == 0 && written;
  if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace tessel

std::shared_ptr<const CTlsCertificate> CTlsCertificate::LoadPem(const std::string& cert_file,
                                                                const std::string& key_file,
                                                                std::string* error) {
  std::string cert_pem, key_pem;
  if (!ReadWholeFile(cert_file, &cert_pem, error) || !ReadWholeFile(key_file, &key_pem, error))
    return nullptr;
  auto certificate = ParsePem(cert_pem, key_pem, error);
  if (!certificate) *error = cert_file + ", " + key_file + ": " + *error;
  return certificate;
}

std::shared_ptr<const CTlsCertificate> CTlsCertificate::ParsePem(const std::string& cert_pem,
                                                                 const std::string& key_pem,
                                                                 std::string* error) {
  std::shared_ptr<CTlsCertificate> result(new CTlsCertificate);
  {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(cert_pem.data(), static_cast<int>(cert_pem.size())), BIO_free);
    while (X509* x = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
      if (!result->m_leaf)
        result->m_leaf = OwnX509(x);
      else
        result->m_chain.push_back(OwnX509(x));
    }
    ERR_clear_error();  // the end of the file reads as a failure
  }
  if (!result->m_leaf) {
    *error = "no certificate in PEM form";
    return nullptr;
  }
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(key_pem.data(), static_cast<int>(key_pem.size())), BIO_free);
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
  if (!key) {
    *error = OpenSslReason("no private key in PEM form");
    return nullptr;
  }
  result->m_key = std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free);
  if (X509_check_private_key(result->m_leaf.get(), key) != 1) {
    ERR_clear_error();
    *error = "the private key does not belong to the certificate";
    return nullptr;
  }
  return result;
}

std::shared_ptr<const CTlsCertificate> CTlsCertificate::MakeSelfSigned(
    const std::vector<std::string>& names, int days, std::string* error) {
  if (names.empty()) {
    *error = "no name for the certificate";
    return nullptr;
  }
  std::shared_ptr<CTlsCertificate> result(new CTlsCertificate);
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (!key) {
    *error = OpenSslReason("cannot make an ECDSA P-256 key");
    return nullptr;
  }
  result->m_key = std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free);
  result->m_leaf = OwnX509(X509_new());
  X509* x = result->m_leaf.get();

  unsigned char serial_bytes[16];
  RAND_bytes(serial_bytes, sizeof serial_bytes);
  serial_bytes[0] &= 0x7f;  // a positive serial number
  BIGNUM* serial = BN_bin2bn(serial_bytes, sizeof serial_bytes, nullptr);
  BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(x));
  BN_free(serial);

  X509_set_version(x, 2);
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);  // a visitor's clock may be a little behind
  X509_gmtime_adj(X509_getm_notAfter(x), static_cast<long>(days) * 24 * 3600);
  X509_NAME* subject = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(names.front().c_str()), -1, -1,
                             0);
  X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("Tessel"), -1, -1, 0);
  X509_set_issuer_name(x, subject);
  X509_set_pubkey(x, key);

  std::string alternative;
  for (const std::string& name : names) {
    if (!alternative.empty()) alternative += ",";
    alternative += (IsIpAddress(name) ? "IP:" : "DNS:") + name;
  }
  const bool extended = AddExtension(x, NID_subject_alt_name, alternative) &&
                        AddExtension(x, NID_key_usage, "critical,digitalSignature") &&
                        AddExtension(x, NID_ext_key_usage, "serverAuth") &&
                        AddExtension(x, NID_subject_key_identifier, "hash");
  if (!extended || X509_sign(x, key, EVP_sha256()) == 0) {
    *error = OpenSslReason("cannot make the certificate");
    return nullptr;
  }
  return result;
}

bool CTlsCertificate::SavePem(const std::string& cert_file, const std::string& key_file,
                              std::string* error) const {
  // The key first: a certificate is never on disk without the key that goes with it.
  return tessel::WritePrivateFile(key_file, KeyPem(), error) &&
         tessel::WritePrivateFile(cert_file, CertificatePem(), error);
}

std::string CTlsCertificate::CertificatePem() const {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  PEM_write_bio_X509(bio.get(), m_leaf.get());
  for (const auto& x : m_chain) PEM_write_bio_X509(bio.get(), x.get());
  return BioText(bio.get());
}

std::string CTlsCertificate::KeyPem() const {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  PEM_write_bio_PrivateKey(bio.get(), m_key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  return BioText(bio.get());
}

std::vector<std::string> CTlsCertificate::Names() const {
  std::vector<std::string> names;
  auto* general = static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(m_leaf.get(), NID_subject_alt_name, nullptr, nullptr));
  for (int i = 0; general && i < sk_GENERAL_NAME_num(general); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(general, i);
    if (name->type == GEN_DNS) {
      const ASN1_IA5STRING* dns = name->d.dNSName;
      names.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                         static_cast<std::size_t>(ASN1_STRING_length(dns)));
    } else if (name->type == GEN_IPADD) {
      const ASN1_OCTET_STRING* ip = name->d.iPAddress;
      const int length = ASN1_STRING_length(ip);
      char text[INET6_ADDRSTRLEN] = {};
      if (length == 4 || length == 16)
        inet_ntop(length == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(ip), text, sizeof text);
      if (text[0]) names.emplace_back(text);
    }
  }
  GENERAL_NAMES_free(general);
  if (names.empty()) {
    char common[256] = {};
    if (X509_NAME_get_text_by_NID(X509_get_subject_name(m_leaf.get()), NID_commonName, common,
                                  sizeof common) > 0)
      names.emplace_back(common);
  }
  return names;
}

std::time_t CTlsCertificate::NotAfter() const {
  return AsnTime(X509_get0_notAfter(m_leaf.get()));
}

std::time_t CTlsCertificate::NotBefore() const {
  return AsnTime(X509_get0_notBefore(m_leaf.get()));
}

std::string CTlsCertificate::Issuer() const {
  X509_NAME* issuer = X509_get_issuer_name(m_leaf.get());
  char common[256] = {};
  if (X509_NAME_get_text_by_NID(issuer, NID_commonName, common, sizeof common) > 0) return common;
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  X509_NAME_print_ex(bio.get(), issuer, 0, XN_FLAG_ONELINE);
  return BioText(bio.get());
}

std::string CTlsCertificate::Fingerprint() const {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  X509_digest(m_leaf.get(), EVP_sha256(), digest, &length);
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    if (i) text += ':';
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

bool CTlsCertificate::SelfIssued() const {
  X509* leaf = m_leaf.get();
  const bool self = X509_NAME_cmp(X509_get_subject_name(leaf), X509_get_issuer_name(leaf)) == 0 &&
                    X509_verify(leaf, X509_get0_pubkey(leaf)) == 1;
  ERR_clear_error();
  return self;
}

namespace tessel {

std::string LocalTimeText(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string CertificateLine(const std::string& source, const CTlsCertificate& certificate) {
  std::string names;
  for (const std::string& name : certificate.Names()) names += (names.empty() ? "" : ",") + name;
  return "HTTPS: " + source + " certificate for " + names + ", valid until " +
         LocalTimeText(certificate.NotAfter()) + ", SHA-256 " + certificate.Fingerprint();
}

}  // namespace tessel
