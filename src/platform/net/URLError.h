#pragma once

#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"

// The error codes of URL loading (NSURLErrorDomain) that callers test for, and the errors
// the loading system reports with them.
namespace platform::urlerror {

inline constexpr long kUnknown = -1;
inline constexpr long kCancelled = -999;
inline constexpr long kBadURL = -1000;
inline constexpr long kTimedOut = -1001;
inline constexpr long kUnsupportedURL = -1002;
inline constexpr long kCannotFindHost = -1003;
inline constexpr long kCannotConnectToHost = -1004;
inline constexpr long kNetworkConnectionLost = -1005;
inline constexpr long kHTTPTooManyRedirects = -1007;
inline constexpr long kBadServerResponse = -1011;
inline constexpr long kFileDoesNotExist = -1100;
inline constexpr long kNoPermissionsToReadFile = -1102;
inline constexpr long kDataLengthExceedsMaximum = -1103;
inline constexpr long kSecureConnectionFailed = -1200;
inline constexpr long kServerCertificateUntrusted = -1202;
inline constexpr long kCannotCreateFile = -3000;
inline constexpr long kCannotWriteToFile = -3003;

// The localised description the platform gives each code ("cancelled", "The request timed
// out.").
std::string localizedDescription(long code);

// An error of NSURLErrorDomain with the code's description and, when given, the failing URL
// under "NSErrorFailingURLStringKey". `detail` (the transport's own words) goes under
// "NSUnderlyingErrorDescription" so logs can show why, without changing the description.
Error make(long code, const URL* failingURL = nullptr, const std::string& detail = {});

}  // namespace platform::urlerror
