#include "support/SessionTasks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>

#include "platform/foundation/FileManager.h"

namespace testing_support {
namespace {

// Waits for the task's result; on time-out the task is cancelled, and what it still
// delivers goes to a promise nobody reads.
template <typename Result>
Result await(platform::URLSessionTask& task, std::future<Result> future, const platform::URL& url,
             double seconds) {
  task.resume();
  if (future.wait_for(std::chrono::duration<double>(seconds)) != std::future_status::ready) {
    ADD_FAILURE() << "the task did not complete: " << url.absoluteString();
    task.cancel();
    return {};
  }
  return future.get();
}

}  // namespace

std::shared_ptr<platform::URLSession> ephemeralSession(
    std::shared_ptr<platform::URLSessionDelegate> delegate) {
  return platform::URLSession::sessionWithConfiguration(
      platform::URLSessionConfiguration::ephemeralSessionConfiguration(), std::move(delegate));
}

platform::URL urlOf(const std::string& text) {
  auto url = platform::URL::parse(text);
  EXPECT_TRUE(url.has_value()) << text;
  return url.value_or(platform::URL());
}

DataResult fetch(platform::URLSession& session, const platform::URLRequest& request,
                 double seconds) {
  auto promise = std::make_shared<std::promise<DataResult>>();
  auto task = session.dataTaskWithRequest(
      request, [promise](const auto& data, const auto& response, const auto& error) {
        promise->set_value(DataResult{data, response, error});
      });
  return await(*task, promise->get_future(), request.url(), seconds);
}

DataResult fetch(platform::URLSession& session, const std::string& url, double seconds) {
  return fetch(session, platform::URLRequest(urlOf(url)), seconds);
}

DownloadResult download(platform::URLSession& session, const platform::URLRequest& request,
                        double seconds) {
  auto promise = std::make_shared<std::promise<DownloadResult>>();
  auto task = session.downloadTaskWithRequest(
      request, [promise](const auto& location, const auto& response, const auto& error) {
        DownloadResult result{location, std::nullopt, response, error};
        if (location) result.content = platform::fs::readFile(*location);
        promise->set_value(std::move(result));
      });
  return await(*task, promise->get_future(), request.url(), seconds);
}

DownloadResult download(platform::URLSession& session, const std::string& url, double seconds) {
  return download(session, platform::URLRequest(urlOf(url)), seconds);
}

}  // namespace testing_support
