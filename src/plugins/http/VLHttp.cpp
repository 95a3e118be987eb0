#include "plugins/http/VLHttp.h"

#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"
#include "platform/net/URLError.h"
#include "plugins/http/VLHttpCommandArgs.h"
#include "plugins/http/VLHttpHeadersUtils.h"
#include "shell/VLLoggerProtocol.h"

VLHttp::VLHttp(std::shared_ptr<VLHttpRequesterProtocol> requester, std::shared_ptr<VLLoggerProtocol> logger)
    : requester_(std::move(requester)), logger_(std::move(logger)) {}

platform::Value VLHttp::responseData(const std::optional<std::string>& data, const platform::URLResponse& response,
                                     bool responseBodyIsText) {
  platform::Value chunk;
  if (data) {
    if (!responseBodyIsText)
      chunk = platform::base64Encode(reinterpret_cast<const std::uint8_t*>(data->data()), data->size());
    else if (platform::isValidUTF8(*data))
      chunk = *data;
  }
  platform::Value metadata = {
      {"responseHeaders", VLHttpHeadersUtils::processResponseHeaders(response.allHeaderFields())},
      {"responseUrl", platform::replacingInvalidUTF8(response.url().absoluteString())},
      {"status", response.statusCode()},
      {"statusText", platform::URLResponse::localizedStringForStatusCode(response.statusCode())}};
  return {{"metadata", std::move(metadata)}, {"chunkData", std::move(chunk)}, {"order", 0}, {"last", true}};
}

void VLHttp::sendRequest(const platform::Value& requestId, const platform::Value& url, const platform::Value& method,
                         const platform::Value& headers, const platform::Value& timeout,
                         const std::optional<std::string>& body, const std::optional<platform::URL>& baseUrl,
                         bool responseBodyIsText, PayloadHandler successHandler, PayloadHandler errorHandler) {
  auto args = VLSendRequestCommandArgs::tryGet(requestId, url, method, timeout, headers, body, baseUrl);
  if (!args.isValid) {
    errorHandler(VLHttpResultUtil::errorPayload(args.requestId, VLHttpErrorInvalidArgument, *args.errorMessage));
    return;
  }
  std::optional<std::string> passedId = args.requestId;
  std::weak_ptr<VLLoggerProtocol> weakLogger = logger_;
  requester_->sendRequest(
      *args.requestId, args.url, args.method, args.headers, args.timeout, args.body,
      [passedId, responseBodyIsText, weakLogger, successHandler = std::move(successHandler),
       errorHandler = std::move(errorHandler)](const std::string& id, const platform::URL&,
                                               const std::optional<std::string>& data,
                                               const std::optional<platform::URLResponse>& response,
                                               const std::optional<platform::Error>& error) {
        if (!error) {
          platform::Value payloadData =
              response ? responseData(data, *response, responseBodyIsText) : platform::Value();
          successHandler(VLHttpResultUtil::successPayload(id, std::move(payloadData)));
          return;
        }
        if (error->code == platform::urlerror::kCancelled) return;
        std::string description = error->localizedDescription();
        if (error->code == platform::urlerror::kTimedOut) {
          errorHandler(VLHttpResultUtil::errorPayload(passedId, VLHttpErrorTimedOut, description));
          return;
        }
        if (auto logger = weakLogger.lock())
          logger->logError("Failed to send request due to unexpected error: " + description, "VLHttp");
        errorHandler(VLHttpResultUtil::errorPayload(passedId, VLHttpErrorTransport, description));
      });
}

void VLHttp::abortRequest(const platform::Value& requestId, PayloadHandler successHandler,
                          PayloadHandler errorHandler) {
  auto args = VLAbortRequestCommandArgs::tryGet(requestId);
  if (!args.isValid) {
    errorHandler(VLHttpResultUtil::errorPayload(args.requestId, VLHttpErrorInvalidArgument, *args.errorMessage));
    return;
  }
  requester_->abortRequest(*args.requestId,
                           [id = args.requestId, successHandler = std::move(successHandler)] {
                             successHandler(VLHttpResultUtil::successPayload(id, nullptr));
                           });
}

void VLHttp::onReset() {
  requester_->abortAllRequests([] {});
}
