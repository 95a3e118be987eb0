#include "platform/net/URLError.h"

namespace platform::urlerror {

std::string localizedDescription(long code) {
  switch (code) {
    case kCancelled:
      return "cancelled";
    case kBadURL:
      return "unsupported URL";
    case kTimedOut:
      return "The request timed out.";
    case kUnsupportedURL:
      return "unsupported URL";
    case kCannotFindHost:
      return "A server with the specified hostname could not be found.";
    case kCannotConnectToHost:
      return "Could not connect to the server.";
    case kNetworkConnectionLost:
      return "The network connection was lost.";
    case kHTTPTooManyRedirects:
      return "too many HTTP redirects";
    case kBadServerResponse:
      return "bad server response";
    case kFileDoesNotExist:
      return "The requested URL was not found on this server.";
    case kNoPermissionsToReadFile:
      return "The resource could not be loaded because of a lack of permission.";
    case kDataLengthExceedsMaximum:
      return "resource exceeds maximum size";
    case kSecureConnectionFailed:
      return "An SSL error has occurred and a secure connection to the server cannot be made.";
    case kServerCertificateUntrusted:
      return "The certificate for this server is invalid.";
    case kCannotCreateFile:
      return "cannot create file";
    case kCannotWriteToFile:
      return "cannot write file";
    default:
      return "unknown error";
  }
}

Error make(long code, const URL* failingURL, const std::string& detail) {
  Error error = Error::make(kURLErrorDomain, code, localizedDescription(code));
  if (failingURL && !failingURL->isEmpty())
    error.userInfo["NSErrorFailingURLStringKey"] = failingURL->absoluteString();
  if (!detail.empty()) error.userInfo["NSUnderlyingErrorDescription"] = detail;
  return error;
}

}  // namespace platform::urlerror
