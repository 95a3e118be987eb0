#include "appcache/VLWebResponse.h"

#include <unistd.h>

#include <cstdlib>

VLFileBody::~VLFileBody() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<VLBody> vlBodyOfFile(platform::fs::ReadableFile file) {
  if (!file.isOpen()) return std::nullopt;
  VLBody body;
  if (file.size() <= VLWebResponse::kWholeBodyLimit) {
    // A small file is read at once, and counts only when it did not change while it was read.
    const auto version = platform::fs::FileVersion::of(file.fd());
    auto data = platform::fs::readWhole(file, VLWebResponse::kWholeBodyLimit);
    if (!data || static_cast<std::int64_t>(data->size()) != version.size || !version.isCurrent(file.fd()))
      return std::nullopt;
    body.data = std::move(*data);
    return body;
  }
  const auto size = static_cast<std::int64_t>(file.size());
  body.file = std::make_shared<VLFileBody>(file.release(), size);
  return body;
}

std::optional<std::int64_t> vlStatedLength(const platform::URLResponse& response) {
  if (!response.isHTTP() || response.valueForHTTPHeaderField("Content-Encoding")) return std::nullopt;
  auto stated = response.valueForHTTPHeaderField("Content-Length");
  if (!stated || stated->empty()) return std::nullopt;
  char* end = nullptr;
  long long value = std::strtoll(stated->c_str(), &end, 10);
  if (!end || *end != '\0' || value < 0) return std::nullopt;
  return value;
}
