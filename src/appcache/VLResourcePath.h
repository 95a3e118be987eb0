#pragma once

#include <optional>
#include <string>

#include "platform/foundation/URL.h"

// The decoded path of a URL that the cache or the package may answer, with its trailing slash
// kept; none for a path that could name a file outside the folder it is joined to. A page or
// a server picks these URLs, so the path is refused when it holds an encoded slash or
// backslash, a backslash, a control character, a "." or ".." segment, bytes that do not
// decode, or any of these after a further decoding (a double-encoded ".." turns into one
// wherever it is decoded again).
namespace vlcache {

std::optional<std::string> servablePath(const platform::URL& url);
// The same for a path as it stands in a URL (still percent-encoded).
std::optional<std::string> decodedServablePath(const std::string& encodedPath);

// `path` joined to `root`, when the result stays inside `root`.
std::optional<std::string> fileInside(const std::string& root, const std::string& path);

}  // namespace vlcache
