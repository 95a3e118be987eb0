#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/net/HTTPHeaders.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLSession.h"
#include "platform/webkit/WebView.h"

class VLLoggerProtocol;

// Serves the web view's "veltro" requests: each becomes the same request over HTTPS, run as a
// data task of a session made from the shell's session factory, whose URL protocols (the
// loader first) answer cached and packaged resources on the device. The answer goes back to
// the web view under the "veltro" scheme, on the main thread.
//
// Only GET is served; any other method gets a 404 without a request being made. A task the
// web view stopped is never answered afterwards, whenever its data task completes.
//
// Main thread only, as the web view calls it; the session's completions hop there.
class VLCustomSchemeHandler : public platform::webkit::URLSchemeHandler,
                              public std::enable_shared_from_this<VLCustomSchemeHandler> {
 public:
  static constexpr const char* kScheme = "veltro";
  static constexpr const char* kLogModule = "VLWKWebView";

  // The session of every request, made on first use from the factory's default configuration.
  std::shared_ptr<platform::URLSession> downloadSession();
  void setDownloadSession(std::shared_ptr<platform::URLSession> session) { downloadSession_ = std::move(session); }

  // Sets "Referer" to the HTTPS origin of `referrer` when the option is on.
  void setRefererHeaderIfEnabled(platform::URLRequest& request) const;
  // The HTTPS request that stands for a scheme request: the URL with the scheme "https", the
  // method and every header field, "veltro://" in a value becoming "https://". No body.
  platform::URLRequest convertToHTTPProtocol(const platform::URLRequest& request) const;
  // The header fields the web view is given: the session has already decoded the body, so
  // the fields that describe the encoded body on the wire do not go with it.
  static platform::HTTPHeaders headerFieldsForWebView(const platform::HTTPHeaders& fields);

  void startURLSchemeTask(platform::webkit::WebView& webView,
                          const std::shared_ptr<platform::webkit::URLSchemeTask>& task) override;
  void stopURLSchemeTask(platform::webkit::WebView& webView,
                         const std::shared_ptr<platform::webkit::URLSchemeTask>& task) override;

  void setLogger(std::shared_ptr<VLLoggerProtocol> logger) { logger_ = std::move(logger); }
  const std::string& referrer() const { return referrer_; }
  void setReferrer(std::string referrer) { referrer_ = std::move(referrer); }
  bool isReferrerHeaderEnabled() const { return referrerHeaderEnabled_; }
  void setReferrerHeaderEnabled(bool enabled) { referrerHeaderEnabled_ = enabled; }
  // Tasks whose data task has not answered yet.
  size_t runningCount() const { return running_.size(); }

 private:
  // What the platform keeps on the task object itself: its data task and the stopped flag.
  struct TaskState {
    std::shared_ptr<platform::URLSessionDataTask> dataTask;
    bool stopped = false;
  };
  void finish(const std::shared_ptr<platform::webkit::URLSchemeTask>& task,
              const std::shared_ptr<TaskState>& state, const std::optional<std::string>& data,
              const std::optional<platform::URLResponse>& response,
              const std::optional<platform::Error>& error);
  void logDebug(const std::string& message) const;
  void logInfo(const std::string& message) const;

  std::shared_ptr<VLLoggerProtocol> logger_;
  std::shared_ptr<platform::URLSession> downloadSession_;
  std::string referrer_;
  bool referrerHeaderEnabled_ = false;
  std::map<const platform::webkit::URLSchemeTask*, std::shared_ptr<TaskState>> running_;
};
