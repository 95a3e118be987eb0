#pragma once

#include <string>

// Which certificate authorities the loading system trusts. The system's authorities are
// always trusted; a program (or a test that runs its own HTTPS server) may name one extra PEM
// file whose certificates are trusted as well. Certificate and host-name checks are never
// switched off.
namespace platform::net {

// Adds the certificates of the PEM file at `path` to what every later connection trusts;
// "" removes the addition. Safe from any thread; connections already open keep what they
// were made with.
void setAdditionalTrustedCAFile(std::string path);
// The file set above, else the $VELTRO_EXTRA_CA_FILE environment variable, else "".
std::string additionalTrustedCAFile();

namespace detail {
// Connections verify against one store per process, parsed once: the authorities of the
// system bundle at `systemBundle` and those of the additional file. `prepareTrustStore` makes
// it (false when the system bundle cannot be read: the connection then keeps libcurl's own
// set-up); `installTrustStore` gives it to an OpenSSL context (an SSL_CTX) about to connect.
bool prepareTrustStore(const std::string& systemBundle);
bool installTrustStore(void* sslContext, const std::string& systemBundle);
}  // namespace detail

}  // namespace platform::net
