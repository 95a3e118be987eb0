#include "appcache/VLFileChecksum.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>

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

// A UUID value: its 16 bytes, and its text in the 8-4-4-4-12 form.
struct UUIDValue {
  std::array<std::uint8_t, 16> bytes{};

  std::string text() const {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
      out.push_back(kDigits[bytes[i] >> 4]);
      out.push_back(kDigits[bytes[i] & 0xF]);
    }
    return out;
  }
  static std::optional<UUIDValue> fromText(const std::string& text) {
    UUIDValue value;
    size_t at = 0;
    auto digit = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      return -1;
    };
    for (size_t i = 0; i < value.bytes.size(); ++i) {
      if (i == 4 || i == 6 || i == 8 || i == 10) {
        if (at >= text.size() || text[at] != '-') return std::nullopt;
        ++at;
      }
      if (at + 2 > text.size()) return std::nullopt;
      int high = digit(text[at]), low = digit(text[at + 1]);
      if (high < 0 || low < 0) return std::nullopt;
      value.bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
      at += 2;
    }
    if (at != text.size()) return std::nullopt;
    return value;
  }
};

}  // namespace

std::optional<platform::Bytes> VLFileChecksum::uuidOfData(const platform::Bytes& bytes) {
  UUIDValue value;
  if (bytes.size() != value.bytes.size()) return std::nullopt;
  std::copy(bytes.begin(), bytes.end(), value.bytes.begin());
  auto back = UUIDValue::fromText(value.text());
  if (!back) return std::nullopt;
  return platform::Bytes(back->bytes.begin(), back->bytes.end());
}

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
  const platform::Bytes digest = md5HashOfData(data);
  return serializeToString(uuidOfData(digest).value_or(digest));
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
  std::string hash = contentHashOfOpenFile(fd);
  ::close(fd);
  return hash;
}

std::string VLFileChecksum::contentHashOfOpenFile(int fd) {
  DigestContext digest;
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
  return serializeToString(digest.final());
}

std::optional<std::string> VLFileChecksum::contentHashOfFileData(
    const std::optional<std::string>& data) {
  if (!data) return std::nullopt;
  return contentHashOfData(*data);
}
