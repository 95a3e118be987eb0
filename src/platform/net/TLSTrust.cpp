#include "platform/net/TLSTrust.h"

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/foundation/Log.h"

namespace platform::net {
namespace {

struct StoreFree {
  void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};

std::mutex gMutex;
std::optional<std::string> gFile;

// The store every connection verifies against, parsed once: the system's authorities and the
// extra file's. It is rebuilt when either path changes; contexts holding the old one keep it.
std::string gStoreSystemBundle;
std::string gStoreExtraFile;
std::unique_ptr<X509_STORE, StoreFree> gStore;

std::string currentFileLocked() {
  if (gFile) return *gFile;
  const char* env = std::getenv("VELTRO_EXTRA_CA_FILE");
  return env ? env : "";
}

int addCertificates(X509_STORE* store, const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (!file) return -1;
  int added = 0;
  while (X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr)) {
    // A certificate the store already holds is not an error.
    if (X509_STORE_add_cert(store, certificate) == 1) ++added;
    X509_free(certificate);
  }
  std::fclose(file);
  return added;
}

X509_STORE* storeLocked(const std::string& systemBundle) {
  std::string extra = currentFileLocked();
  if (gStore && gStoreSystemBundle == systemBundle && gStoreExtraFile == extra) return gStore.get();
  std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
  if (!store) return nullptr;
  if (addCertificates(store.get(), systemBundle) <= 0) {
    log("TLS: cannot read the system's certificate authorities from " + systemBundle);
    return nullptr;
  }
  if (!extra.empty() && addCertificates(store.get(), extra) <= 0)
    log("TLS: no certificate could be read from the additional trusted file " + extra);
  // What libcurl sets on the stores it makes itself.
  X509_STORE_set_flags(store.get(), X509_V_FLAG_TRUSTED_FIRST | X509_V_FLAG_PARTIAL_CHAIN);
  gStore = std::move(store);
  gStoreSystemBundle = systemBundle;
  gStoreExtraFile = extra;
  return gStore.get();
}

}  // namespace

void setAdditionalTrustedCAFile(std::string path) {
  std::lock_guard lock(gMutex);
  gFile = std::move(path);
}

std::string additionalTrustedCAFile() {
  std::lock_guard lock(gMutex);
  return currentFileLocked();
}

namespace detail {

bool prepareTrustStore(const std::string& systemBundle) {
  std::lock_guard lock(gMutex);
  return storeLocked(systemBundle) != nullptr;
}

bool installTrustStore(void* sslContext, const std::string& systemBundle) {
  std::lock_guard lock(gMutex);
  X509_STORE* store = storeLocked(systemBundle);
  if (!store) return false;
  SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(sslContext), store);
  return true;
}

}  // namespace detail
}  // namespace platform::net
