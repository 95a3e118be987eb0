#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

// The content hash the cache checks files with: the MD5 digest of the content in standard
// Base64 with every "/" turned into "_" and the "=" padding dropped (22 characters; "+"
// stays). Such hashes travel in resource URLs, so the text must not change.
class VLFileChecksum {
 public:
  // The 16-byte digest; empty content hashes like any other.
  static platform::Bytes md5HashOfData(std::string_view data);
  // 16 bytes (a digest) passed through a UUID value: the same 16 bytes. Anything of another
  // length is no UUID and gives none. The content hash takes its digest this way.
  static std::optional<platform::Bytes> uuidOfData(const platform::Bytes& bytes);
  static std::string serializeToString(const platform::Bytes& bytes);
  static std::string contentHashOfData(std::string_view data);
  // None when nothing exists at the path. What cannot be read as a file (a folder, a file
  // without read permission) hashes as empty content. The file is read in pieces, so a large
  // one costs no more memory than a small one.
  static std::optional<std::string> contentHashOfFile(const std::string& path);
  // The hash of what the open file `fd` holds from its current offset on, read in pieces;
  // a folder hashes as empty content. The descriptor stays open.
  static std::string contentHashOfOpenFile(int fd);
  static std::optional<std::string> contentHashOfFileData(const std::optional<std::string>& data);
};
