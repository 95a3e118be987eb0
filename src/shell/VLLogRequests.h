#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "platform/foundation/Error.h"
#include "platform/net/URLResponse.h"
#include "platform/net/URLSession.h"

// How the log outputs and the tag-id manager talk to the log server, which may fail, be slow
// or misbehave: their sessions follow no redirect (a 3xx is a failed send, never a delivered
// one), strip the logging credentials on any cross-origin hop, bound every request in time as
// a whole, and their tasks keep at most a few kilobytes of any answer.
namespace VLLogRequests {

// Seconds without data, and seconds a whole request may take, slow server or not.
inline constexpr double kInactivityTimeout = 20;
inline constexpr double kWholeRequestTimeout = 30;
// The most of an answer kept: the log endpoints' answers are not read, the client settings
// are a small JSON object.
inline constexpr std::size_t kMaximumLogAnswerBytes = 64 * 1024;
inline constexpr std::size_t kMaximumSettingsAnswerBytes = 1024 * 1024;

// The header fields that carry the logging tag id.
inline constexpr const char* kTagIdField = "tag-id";
inline constexpr const char* kApiKeyField = "api-key";

// The factory's default configuration with at most one connection per host and the rules
// above.
std::shared_ptr<platform::URLSession> makeSession();
// Tests shorten the two time bounds (0 puts the defaults back); sessions made later take them.
void setTimeoutsForTesting(double inactivity, double wholeRequest);

// A data task on `session` that fails once its answer grows past `maximumBytes`.
std::shared_ptr<platform::URLSessionDataTask> dataTask(
    const std::shared_ptr<platform::URLSession>& session, const platform::URLRequest& request,
    std::size_t maximumBytes, platform::URLSessionDataCompletion completion);

// What the answer to a send says about the logs it carried.
enum class Outcome {
  // 200: the server has them (a 200 whose body was too long to keep counts too).
  Delivered,
  // A transport error, a time-out, a redirect, 408, 429, 5xx, and 401/403 (credentials
  // that may be renewed): the same logs may be sent again later.
  Retryable,
  // Any other 4xx: the server will never take these logs as they are.
  Refused,
};
Outcome outcomeOf(const std::optional<platform::URLResponse>& response,
                  const std::optional<platform::Error>& error);
// Whether an answer with `status` refuses the logs for good.
bool isRefusal(int status);
// Whether a refusal may be about the size or the content of some of the logs, so that fewer
// of them might pass (413, 400, 422).
bool refusalMaySplit(int status);

}  // namespace VLLogRequests
