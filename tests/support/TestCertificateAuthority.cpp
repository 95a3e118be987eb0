#include "support/TestCertificateAuthority.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace testing_support {
namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateFree {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertificatePtr = std::unique_ptr<X509, CertificateFree>;

void fail(const char* what) {
  throw std::runtime_error(std::string("test certificate authority: ") + what);
}

void addExtension(X509* certificate, X509V3_CTX* context, int nid, const char* value) {
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, context, nid, value);
  if (!extension) fail("cannot make an extension");
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

// A certificate for `key` named `commonName`, signed by the issuer (itself when there is none).
// A server certificate is valid for the subject alternative names `names`.
CertificatePtr makeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer,
                               EVP_PKEY* issuerKey, bool authority, const char* names = nullptr) {
  CertificatePtr certificate(X509_new());
  X509* x = certificate.get();
  X509_set_version(x, 2);
  unsigned char serial[8];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7f;
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(number, X509_get_serialNumber(x));
  BN_free(number);
  // An hour of slack either way keeps clock differences from mattering.
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), 7L * 24 * 3600);
  X509_set_pubkey(x, key);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Veltro tests"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer) : name);

  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer ? issuer : x, x, nullptr, nullptr, 0);
  if (authority) {
    addExtension(x, &context, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(x, &context, NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(x, &context, NID_subject_key_identifier, "hash");
  } else {
    addExtension(x, &context, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(x, &context, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    addExtension(x, &context, NID_ext_key_usage, "serverAuth");
    addExtension(x, &context, NID_subject_alt_name, names);
    addExtension(x, &context, NID_subject_key_identifier, "hash");
    addExtension(x, &context, NID_authority_key_identifier, "keyid:always");
  }
  if (X509_sign(x, issuerKey ? issuerKey : key, EVP_sha256()) == 0) fail("cannot sign");
  return certificate;
}

void writeCertificate(const std::string& path, X509* certificate) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (!file || PEM_write_X509(file, certificate) != 1) fail("cannot write a certificate");
  std::fclose(file);
}

void writeKey(const std::string& path, EVP_PKEY* key) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (!file || PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
    fail("cannot write a key");
  std::fclose(file);
}

}  // namespace

const TestCertificateAuthority& TestCertificateAuthority::shared() {
  static TestCertificateAuthority authority;
  return authority;
}

TestCertificateAuthority::TestCertificateAuthority() {
  if (folder_.path().empty()) fail("cannot make a folder");
  KeyPtr caKey(EVP_EC_gen("P-256"));
  KeyPtr serverKey(EVP_EC_gen("P-256"));
  if (!caKey || !serverKey) fail("cannot make keys");
  CertificatePtr ca = makeCertificate(caKey.get(), "Veltro Test Authority", nullptr, nullptr, true);
  CertificatePtr server =
      makeCertificate(serverKey.get(), "localhost", ca.get(), caKey.get(), false,
                      "DNS:localhost,IP:127.0.0.1");

  // The same key under another name: a server on 127.0.0.1 that does not own its name.
  CertificatePtr otherHost = makeCertificate(serverKey.get(), "other-host.test", ca.get(),
                                             caKey.get(), false, "DNS:other-host.test");

  caCertificateFile_ = folder_.file("ca.pem");
  otherHostCertificateFile_ = folder_.file("other-host.pem");
  writeCertificate(otherHostCertificateFile_, otherHost.get());
  serverCertificateFile_ = folder_.file("server.pem");
  serverKeyFile_ = folder_.file("server-key.pem");
  writeCertificate(caCertificateFile_, ca.get());
  writeCertificate(serverCertificateFile_, server.get());
  writeKey(serverKeyFile_, serverKey.get());
}

}  // namespace testing_support
