#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// Header fields as requests, responses, cookies and configurations carry them: name and value
// in the order they came, names compared ignoring ASCII case. A list rather than a map, because
// some fields repeat ("Set-Cookie") and the order is what goes on the wire.
using HTTPHeaders = std::vector<std::pair<std::string, std::string>>;

// The value of the first field named `name` (ignoring ASCII case), or null when there is none.
const std::string* findHeaderField(const HTTPHeaders& headers, std::string_view name);
std::string* findHeaderField(HTTPHeaders& headers, std::string_view name);

// Whether `text` is an HTTP token (RFC 9110): what a method and a field name must be. Nothing
// else may stand where one is expected, since a space or a line break there would change the
// meaning of the request.
bool isHTTPToken(std::string_view text);

// A header field may be sent when its name is a non-empty HTTP token and its value holds no
// CR, LF or NUL: anything else could split the header block and smuggle in fields.
bool isValidHTTPHeaderField(std::string_view name, std::string_view value);

}  // namespace platform
