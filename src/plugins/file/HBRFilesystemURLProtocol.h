#pragma once

#include "platform/net/URLProtocol.h"

// Answers requests for "hbrfile" URLs by reading the whole file through the current file
// plugin's file systems: 200 with the file's MIME type, or 404 when it cannot be read or
// names no file system. Nothing is cached. The file plugin registers it while it starts.
class HBRFilesystemURLProtocol : public platform::URLProtocol {
 public:
  static constexpr const char* kClassName = "HBRFilesystemURLProtocol";

  using platform::URLProtocol::URLProtocol;

  // The scheme "hbrfile", letter case significant.
  static bool canInitWithRequest(const platform::URLRequest& request);
  // Equal when the URLs agree after the scheme and its colon.
  static bool requestIsCacheEquivalent(const platform::URLRequest& a, const platform::URLRequest& b);

  void startLoading() override;
  void stopLoading() override {}
};
