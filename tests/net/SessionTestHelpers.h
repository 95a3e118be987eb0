#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "platform/net/URLSession.h"

namespace net_test {

struct DataResult {
  std::optional<std::string> data;
  std::optional<platform::URLResponse> response;
  std::optional<platform::Error> error;
};

inline platform::URL urlOf(const std::string& text) {
  auto url = platform::URL::parse(text);
  EXPECT_TRUE(url.has_value()) << text;
  return url.value_or(platform::URL());
}

// Runs a data task to its end; a task that does not end within `seconds` fails the test.
inline DataResult fetch(platform::URLSession& session, const platform::URLRequest& request,
                        double seconds = 10) {
  auto promise = std::make_shared<std::promise<DataResult>>();
  auto future = promise->get_future();
  auto task = session.dataTaskWithRequest(
      request, [promise](const auto& data, const auto& response, const auto& error) {
        promise->set_value(DataResult{data, response, error});
      });
  task->resume();
  if (future.wait_for(std::chrono::duration<double>(seconds)) != std::future_status::ready) {
    ADD_FAILURE() << "the task did not complete: " << request.url().absoluteString();
    task->cancel();
    return {};
  }
  return future.get();
}

inline DataResult fetch(platform::URLSession& session, const std::string& url,
                        double seconds = 10) {
  return fetch(session, platform::URLRequest(urlOf(url)), seconds);
}

}  // namespace net_test
