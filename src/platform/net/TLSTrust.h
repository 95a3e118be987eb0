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
// Adds the extra authorities to an OpenSSL context (an SSL_CTX) that is about to make a
// connection. False when a file is set but holds no certificate that could be read.
bool addAdditionalTrustedCertificates(void* sslContext);
}  // namespace detail

}  // namespace platform::net
