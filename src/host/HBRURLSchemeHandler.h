#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/URL.h"
#include "platform/net/HTTPHeaders.h"
#include "platform/webkit/WebView.h"

class HBRPlugin;
class HBRViewController;

// Answers the web view's requests of the application scheme from the packaged web folder,
// after letting every plugin take a request over. Paths under "/_app_file_" name files of
// the application package or of the page's folders of the data root (Documents, tmp,
// Caches, Library's file folders) by their absolute path; nothing else on the machine, and
// none of the shell's own state, is served. Only regular files are served, opened off the
// main thread and streamed; GET and HEAD only, with single byte ranges (206). Main thread only.
class HBRURLSchemeHandler : public platform::webkit::URLSchemeHandler {
 public:
  // The reserved path prefix for absolute file paths.
  static constexpr const char* kAppFilePrefix = "/_app_file_";

  explicit HBRURLSchemeHandler(std::weak_ptr<HBRViewController> viewController);

  // Whether a request comes from the application's own page. Files under the reserved prefix
  // are served only to such requests (403 and a log line otherwise); none set: to none.
  using PageRule = std::function<bool(const platform::webkit::WebView&, const platform::URLRequest&)>;
  void setPageRule(PageRule rule) { pageRule_ = std::move(rule); }

  void startURLSchemeTask(platform::webkit::WebView& webView,
                          const std::shared_ptr<platform::webkit::URLSchemeTask>& task) override;
  // Passes the stop on to the plugin that took the task over; tasks the handler answered
  // itself are already finished.
  void stopURLSchemeTask(platform::webkit::WebView& webView,
                         const std::shared_ptr<platform::webkit::URLSchemeTask>& task) override;

  // "text/html" for no extension; else the type the shell's table of web formats gives it,
  // else the one the system knows for it, else "application/octet-stream".
  static std::string getMimeType(const std::string& extension);
  static bool isMediaExtension(const std::string& extension);
  // Every answer of the application's schemes: only documents of the same origin may use it
  // ("Cross-Origin-Resource-Policy: same-origin"), and only as the type it is sent with
  // ("X-Content-Type-Options: nosniff"). Replaces fields of those names already there.
  static void addApplicationAnswerHeaders(platform::HTTPHeaders& headers);
  // The absolute, normalised form of a path (relative paths are taken from the current folder).
  static std::string absolutePath(const std::string& path);

  // A byte range of a file.
  struct ByteRange {
    std::int64_t offset = 0;
    std::int64_t length = 0;
  };
  // The one range a "Range" header asks of a file of `size` bytes. nullopt means the whole
  // file (no usable header, or several ranges); `satisfiable` is false when the range lies
  // past the end (416).
  static std::optional<ByteRange> parseRange(const std::string& header, std::int64_t size, bool& satisfiable);

  // The file a request URL names, or nullopt when it names nothing that may be served.
  std::optional<std::string> filePathForURL(const platform::URL& url) const;

  std::shared_ptr<HBRViewController> viewController() const { return viewController_.lock(); }

 private:
  void serveFile(const std::shared_ptr<platform::webkit::URLSchemeTask>& task, bool applicationPage);

  struct TakenTask {
    std::weak_ptr<platform::webkit::URLSchemeTask> task;
    std::weak_ptr<HBRPlugin> plugin;
  };

  std::weak_ptr<HBRViewController> viewController_;
  PageRule pageRule_;
  // Which plugin took which task, so that a stop reaches the plugin answering it.
  std::vector<TakenTask> taken_;
};
