#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/URL.h"
#include "platform/webkit/WebView.h"

class HBRPlugin;
class HBRViewController;

// Answers the web view's requests of the application scheme from the packaged web folder,
// after letting every plugin take a request over. Paths under "/_app_file_" name files of
// the application package or of the application's data root by their absolute path;
// nothing else on the machine is served. Main thread only.
class HBRURLSchemeHandler : public platform::webkit::URLSchemeHandler {
 public:
  // The reserved path prefix for absolute file paths.
  static constexpr const char* kAppFilePrefix = "/_app_file_";

  explicit HBRURLSchemeHandler(std::weak_ptr<HBRViewController> viewController);

  void startURLSchemeTask(platform::webkit::WebView& webView,
                          const std::shared_ptr<platform::webkit::URLSchemeTask>& task) override;
  // Passes the stop on to the plugin that took the task over; tasks the handler answered
  // itself are already finished.
  void stopURLSchemeTask(platform::webkit::WebView& webView,
                         const std::shared_ptr<platform::webkit::URLSchemeTask>& task) override;

  // "text/html" for no extension; else the MIME type the system knows for the extension,
  // or "application/octet-stream".
  static std::string getMimeType(const std::string& extension);
  static bool isMediaExtension(const std::string& extension);
  // The absolute, normalised form of a path (relative paths are taken from the current folder).
  static std::string absolutePath(const std::string& path);

  // The file a request URL names, or nullopt when it names nothing that may be served.
  std::optional<std::string> filePathForURL(const platform::URL& url) const;

  std::shared_ptr<HBRViewController> viewController() const { return viewController_.lock(); }

 private:
  struct TakenTask {
    std::weak_ptr<platform::webkit::URLSchemeTask> task;
    std::weak_ptr<HBRPlugin> plugin;
  };

  std::weak_ptr<HBRViewController> viewController_;
  // Which plugin took which task, so that a stop reaches the plugin answering it.
  std::vector<TakenTask> taken_;
};
