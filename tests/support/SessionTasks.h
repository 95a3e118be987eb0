#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/net/URLSession.h"

namespace testing_support {

// What a task handed to its completion.
struct DataResult {
  std::optional<std::string> data;
  std::optional<platform::URLResponse> response;
  std::optional<platform::Error> error;
};

struct DownloadResult {
  // Where the session put the file, and what it held: the session removes the file as soon as
  // the completion returns, so the content is read inside it.
  std::optional<std::string> location;
  std::optional<std::string> content;
  std::optional<platform::URLResponse> response;
  std::optional<platform::Error> error;
};

// A session of its own on an ephemeral configuration, with `delegate` when one is given.
std::shared_ptr<platform::URLSession> ephemeralSession(
    std::shared_ptr<platform::URLSessionDelegate> delegate = nullptr);

// The URL of `text`; a text that does not parse fails the test.
platform::URL urlOf(const std::string& text);

// Run a task to its end and hand back what its completion got; a task that does not end
// within `seconds` fails the test and is cancelled.
DataResult fetch(platform::URLSession& session, const platform::URLRequest& request,
                 double seconds = 10);
DataResult fetch(platform::URLSession& session, const std::string& url, double seconds = 10);
DownloadResult download(platform::URLSession& session, const platform::URLRequest& request,
                        double seconds = 10);
DownloadResult download(platform::URLSession& session, const std::string& url, double seconds = 10);

}  // namespace testing_support
