#include "support/test_certificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>

#include "support/temp_home.h"

namespace vorelia::testing {
namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;

void require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificates: ") + what);
}

Key newKey() {
  Key key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
  require(key != nullptr, "cannot generate a key");
  return key;
}

void addExtension(X509* subject, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, subject, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)> extension(
      X509V3_EXT_conf_nid(nullptr, &context, nid, value), &X509_EXTENSION_free);
  require(extension && X509_add_ext(subject, extension.get(), -1) == 1, "cannot add an extension");
}

// A certificate for key with the given common name, valid from a day ago for a week. With no
// issuer it is self-signed.
Certificate newCertificate(EVP_PKEY* key, const char* commonName, long serial, X509* issuer,
                           EVP_PKEY* issuerKey) {
  Certificate cert(X509_new(), &X509_free);
  require(cert != nullptr, "cannot create a certificate");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24L * 3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7L * 24 * 3600);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Vorelia tests"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509* signer = issuer != nullptr ? issuer : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
  addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
  addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
  if (issuer == nullptr) {
    addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
    addExtension(cert.get(), signer, NID_subject_alt_name,
                 "DNS:localhost,IP:127.0.0.1,IP:0:0:0:0:0:0:0:1");
  }
  require(X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256()) > 0,
          "cannot sign a certificate");
  return cert;
}

// Writes path with write(FILE*), which returns 1 on success.
template <typename Write>
void writePem(const std::filesystem::path& path, Write write) {
  const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
  require(file != nullptr && write(file.get()) == 1, "cannot write a file");
}

class Holder {
 public:
  Holder() {
    paths_.folder = makeTempDirectory("vorelia-test-ca");
    paths_.caFile = paths_.folder / "ca.pem";
    paths_.certFile = paths_.folder / "server.pem";
    paths_.keyFile = paths_.folder / "server-key.pem";
    Key caKey = newKey();
    Certificate ca = newCertificate(caKey.get(), "Vorelia test CA", 1, nullptr, nullptr);
    Key serverKey = newKey();
    Certificate server = newCertificate(serverKey.get(), "localhost", 2, ca.get(), caKey.get());
    writePem(paths_.caFile, [&](FILE* file) { return PEM_write_X509(file, ca.get()); });
    writePem(paths_.certFile, [&](FILE* file) { return PEM_write_X509(file, server.get()); });
    writePem(paths_.keyFile, [&](FILE* file) {
      return PEM_write_PrivateKey(file, serverKey.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
  }
  ~Holder() {
    std::error_code ignored;
    std::filesystem::remove_all(paths_.folder, ignored);
  }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

  const TestCertificates& paths() const { return paths_; }

 private:
  TestCertificates paths_;
};

}  // namespace

const TestCertificates& testCertificates() {
  static const Holder holder;
  return holder.paths();
}

}  // namespace vorelia::testing
