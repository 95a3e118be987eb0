#include "platform/net/TLSTrust.h"

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/foundation/Log.h"

namespace platform::net {
namespace {

struct X509Free {
  void operator()(X509* certificate) const { X509_free(certificate); }
};

std::mutex gMutex;
std::optional<std::string> gFile;
// The certificates of the file last loaded, kept parsed so that a new connection does not
// read the file again.
std::string gLoadedPath;
std::vector<std::unique_ptr<X509, X509Free>> gCertificates;

std::string currentFileLocked() {
  if (gFile) return *gFile;
  const char* env = std::getenv("VELTRO_EXTRA_CA_FILE");
  return env ? env : "";
}

void loadLocked(const std::string& path) {
  if (path == gLoadedPath) return;
  gLoadedPath = path;
  gCertificates.clear();
  if (path.empty()) return;
  FILE* file = std::fopen(path.c_str(), "r");
  if (!file) {
    log("TLS: cannot open the additional trusted certificate file " + path);
    return;
  }
  while (X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr)) gCertificates.emplace_back(certificate);
  std::fclose(file);
  if (gCertificates.empty()) log("TLS: no certificate could be read from " + path);
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

bool addAdditionalTrustedCertificates(void* sslContext) {
  std::lock_guard lock(gMutex);
  loadLocked(currentFileLocked());
  if (gLoadedPath.empty()) return true;
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
  if (!store) return false;
  // Adding a certificate the store already holds is harmless.
  for (const auto& certificate : gCertificates) X509_STORE_add_cert(store, certificate.get());
  return !gCertificates.empty();
}

}  // namespace detail
}  // namespace platform::net
