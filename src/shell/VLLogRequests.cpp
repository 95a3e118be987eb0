#include "shell/VLLogRequests.h"

#include <atomic>

#include "platform/net/URLError.h"
#include "shell/VLHTTPFactory.h"

namespace VLLogRequests {

namespace {
std::atomic<double> gInactivityTimeout{kInactivityTimeout};
std::atomic<double> gWholeRequestTimeout{kWholeRequestTimeout};
}  // namespace

void setTimeoutsForTesting(double inactivity, double wholeRequest) {
  gInactivityTimeout = inactivity > 0 ? inactivity : kInactivityTimeout;
  gWholeRequestTimeout = wholeRequest > 0 ? wholeRequest : kWholeRequestTimeout;
}

std::shared_ptr<platform::URLSession> makeSession() {
  auto configuration = VLHTTPFactory::defaultConfiguration();
  configuration.setHTTPMaximumConnectionsPerHost(1);
  configuration.setHTTPShouldFollowRedirects(false);
  configuration.setCredentialHeaderFields({kTagIdField, kApiKeyField});
  configuration.setTimeoutIntervalForRequest(gInactivityTimeout);
  configuration.setTimeoutIntervalForResource(gWholeRequestTimeout);
  return platform::URLSession::sessionWithConfiguration(configuration);
}

std::shared_ptr<platform::URLSessionDataTask> dataTask(
    const std::shared_ptr<platform::URLSession>& session, const platform::URLRequest& request,
    std::size_t maximumBytes, platform::URLSessionDataCompletion completion) {
  auto task = session->dataTaskWithRequest(request, std::move(completion));
  task->setMaximumDataLength(maximumBytes);
  return task;
}

Outcome outcomeOf(const std::optional<platform::URLResponse>& response,
                  const std::optional<platform::Error>& error) {
  const int status = response ? response->statusCode() : 0;
  if (error) {
    const bool onlyTooLong = error->domain == platform::kURLErrorDomain &&
                             error->code == platform::urlerror::kDataLengthExceedsMaximum;
    return onlyTooLong && status == 200 ? Outcome::Delivered : Outcome::Retryable;
  }
  if (status == 200) return Outcome::Delivered;
  return isRefusal(status) ? Outcome::Refused : Outcome::Retryable;
}

bool isRefusal(int status) {
  return status >= 400 && status < 500 && status != 408 && status != 429 && status != 401 &&
         status != 403;
}

bool refusalMaySplit(int status) { return status == 413 || status == 400 || status == 422; }

}  // namespace VLLogRequests
