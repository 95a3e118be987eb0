#pragma once

#include <webkit2/webkit2.h>

#include <memory>
#include <set>
#include <string>

#include "platform/webkit/WebView.h"
#include "platform/ui/gtk/GObjectPtr.h"

namespace platform::webkit {

// The WebKitWebContext behind one process pool: every web view made with the same pool
// shares its web processes, its website data and its URL scheme registrations. Scheme
// handlers are registered on the context once per scheme; requests are routed to the
// handler of the web view that made them. Its web processes run in WebKit's sandbox
// (bubblewrap), which WebKitGTK's 4.1 API leaves off unless asked. Main thread only.
class GtkWebContext {
 public:
  // The context of `pool`, made on first use. Web views made without a pool share one
  // default context.
  static std::shared_ptr<GtkWebContext> forPool(const std::shared_ptr<ProcessPool>& pool);

  explicit GtkWebContext(platform::gtk::GObjectPtr<WebKitWebContext> context);
  ~GtkWebContext();
  GtkWebContext(const GtkWebContext&) = delete;
  GtkWebContext& operator=(const GtkWebContext&) = delete;

  WebKitWebContext* context() const { return context_.get(); }

  // Routes requests of `scheme` on this context to the requesting web view. Registers the
  // scheme as secure and CORS-enabled, so pages served under it may fetch from it, and as one
  // whose media the media endpoint serves (GtkMediaEndpoint), whose folders the sandbox then
  // gives the web process. Answers false for schemes WebKit serves itself. Before the context's
  // first web process starts: WebKit takes neither the environment nor sandbox folders later.
  bool registerScheme(const std::string& scheme);

 private:
  platform::gtk::GObjectPtr<WebKitWebContext> context_;
  std::set<std::string> schemes_;
  bool sandboxPathsAdded_ = false;
};

}  // namespace platform::webkit
