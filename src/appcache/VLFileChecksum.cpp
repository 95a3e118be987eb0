#include "appcache/VLFileChecksum.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Strings.h"

namespace {

struct DigestContext {
  DigestContext() : context(EVP_MD_CTX_new()) { EVP_DigestInit_ex(context, EVP_md5(), nullptr); }
  ~DigestContext() { EVP_MD_CTX_free(context); }
  DigestContext(const DigestContext&) = delete;
  DigestContext& operator=(const DigestContext&) = delete;

  void update(const void* data, size_t size) { EVP_DigestUpdate(context, data, size); }
  platform::Bytes final() {
    platform::Bytes digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, digest.data(), &length);
    digest.resize(length);
    return digest;
  }

  EVP_MD_CTX* context;
};

}  // namespace

platform::Bytes VLFileChecksum::md5HashOfData(std::string_view data) {
  DigestContext digest;
  digest.update(data.data(), data.size());
  return digest.final();
}

std::string VLFileChecksum::serializeToString(const platform::Bytes& bytes) {
  std::string text = platform::base64Encode(bytes);
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '=') continue;
    out.push_back(c == '/' ? '_' : c);
  }
  return out;
}

std::string VLFileChecksum::contentHashOfData(std::string_view data) {
  return serializeToString(md5HashOfData(data));
}

std::optional<std::string> VLFileChecksum::contentHashOfFile(const std::string& path) {
  DigestContext digest;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    // Something that exists but cannot be opened (no permission, a dangling link) hashes as
    // empty content; nothing at all has no hash.
    if (!platform::fs::exists(path)) return std::nullopt;
    return serializeToString(digest.final());
  }
  struct stat status;
  if (::fstat(fd, &status) == 0 && !S_ISDIR(status.st_mode)) {
    char buffer[64 * 1024];
    for (;;) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      digest.update(buffer, size_t(n));
    }
  }
  ::close(fd);
  return serializeToString(digest.final());
}

std::optional<std::string> VLFileChecksum::contentHashOfFileData(
    const std::optional<std::string>& data) {
  if (!data) return std::nullopt;
  return contentHashOfData(*data);
}
