#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/foundation/BodyStream.h"
#include "platform/foundation/FileManager.h"
#include "platform/net/URLResponse.h"

// An opened file that is the body of an answer, read as the page consumes it rather than whole.
// It closes the file unless the descriptor was handed on.
class VLFileBody {
 public:
  VLFileBody(int fd, std::int64_t size) : fd_(fd), size_(size) {}
  ~VLFileBody();
  VLFileBody(const VLFileBody&) = delete;
  VLFileBody& operator=(const VLFileBody&) = delete;

  int fd() const { return fd_; }
  std::int64_t size() const { return size_; }
  // Hands the descriptor over (once; -1 afterwards).
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
  std::int64_t size_;
};

// A response and its body, as the cache serves a resource. The body is in memory (small files,
// the common case), an opened file, or a stream of a server's answer as it arrives.
class VLWebResponse {
 public:
  // Files up to this size are read whole; larger ones are served from their descriptor. It is
  // also the most a thread that must not wait reads in place.
  static constexpr std::uint64_t kWholeBodyLimit = 1024 * 1024;

  VLWebResponse(platform::URLResponse response, std::string data)
      : response_(std::move(response)), data_(std::move(data)) {}
  VLWebResponse(platform::URLResponse response, std::shared_ptr<VLFileBody> file)
      : response_(std::move(response)), file_(std::move(file)) {}
  // `length`: the body's length, when the server stated it for the decoded body.
  VLWebResponse(platform::URLResponse response, std::shared_ptr<platform::BodyStream> stream,
                std::optional<std::int64_t> length)
      : response_(std::move(response)), stream_(std::move(stream)), streamLength_(length) {}

  const platform::URLResponse& response() const { return response_; }
  // The body in memory (empty for a file or a stream).
  const std::string& data() const& { return data_; }
  // A response on its way out gives its body up instead of copying it, and its response.
  std::string data() && { return std::move(data_); }
  platform::URLResponse takeResponse() { return std::move(response_); }
  const std::shared_ptr<VLFileBody>& file() const { return file_; }
  const std::shared_ptr<platform::BodyStream>& stream() const { return stream_; }
  std::optional<std::int64_t> streamLength() const { return streamLength_; }

 private:
  platform::URLResponse response_;
  std::string data_;
  std::shared_ptr<VLFileBody> file_;
  std::shared_ptr<platform::BodyStream> stream_;
  std::optional<std::int64_t> streamLength_;
};

// The length of a server's body as the session hands it on (decoded): the stated
// Content-Length, unless the body was encoded on the wire.
std::optional<std::int64_t> vlStatedLength(const platform::URLResponse& response);

// The body of the open regular file `file`: its content when it is at most kWholeBodyLimit
// bytes, read while the file stays the same (nullopt when it changed or could not be read);
// else the file itself, handed over.
struct VLBody {
  std::string data;
  std::shared_ptr<VLFileBody> file;
};
std::optional<VLBody> vlBodyOfFile(platform::fs::ReadableFile file);
