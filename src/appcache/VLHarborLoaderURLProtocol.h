#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "appcache/VLDownloadOperation.h"
#include "appcache/VLWebResponse.h"
#include "platform/net/URLProtocol.h"

// Decides which http and https requests of the web application are answered on the device,
// and answers them: from the application cache, else from the package's "www" folder for the
// shell's script paths ("/<folder>/hbrload/..." and "/<folder>/scripts/..."), else 404. It
// never answers with a transport error.
//
// Threads: the class operations run on the loading system's threads. `startLoading` runs on
// the session's worker, which serves every task of the session, so it only hands the work to
// the global queue; the answer reaches the client from that queue or from the cache's URL
// session (the client takes calls from any thread).
class VLHarborLoaderURLProtocol : public platform::URLProtocol {
 public:
  static constexpr const char* kClassName = "VLHarborLoaderURLProtocol";
  static constexpr const char* kHandledKey = kVLHarborLoaderURLProtocolHandledKey;
  static constexpr const char* kLogModule = "VLHarborLoaderURLProtocol";

  using URLProtocol::URLProtocol;

  static bool canInitWithRequest(const platform::URLRequest& request);
  static platform::URLRequest canonicalRequestForRequest(const platform::URLRequest& request) {
    return request;
  }
  // Equal resource specifiers: the scheme does not matter.
  static bool requestIsCacheEquivalent(const platform::URLRequest& a,
                                       const platform::URLRequest& b);
  static bool shouldInterceptRequest(const platform::URL& url);
  // Whether the URL names a script path whose packaged file exists.
  static bool interceptHarborRequest(const platform::URL& url);

  // The packaged file of a script path (any other path is looked up as it stands under the
  // package), or none.
  std::optional<VLWebResponse> getHarborResource(const platform::URL& url) const;
  void getResourceResponse(const platform::URLRequest& request,
                           std::function<void(std::optional<VLWebResponse>)> completionHandler);
  void startLoading() override;
  // Stops a server's answer that is still being handed on.
  void stopLoading() override;

  // What the loader answers for `request`, handed to `completion` once, on this thread or
  // on the one that healed the file: the cached or packaged resource, else a 404. This is
  // what `startLoading` delivers to its client; a caller that is already off the main thread
  // and the session's worker runs it in place. `justAsked`: the caller asked
  // `canInitWithRequest` just before, on this thread, and the request is not checked again.
  // Either way the entry the check looked up is served, unless something that decides
  // lookups (a new version, the page's version, the current application) changed since.
  // Inside a no-wait scope (platform/foundation/NoWait.h), as on the main thread, it answers
  // only a cached file it can read without waiting; for anything else the scope gives up and
  // `completion` is not called.
  static void answerRequest(const platform::URLRequest& request, bool justAsked,
                            std::function<void(VLWebResponse)> completion);

  // The package file a script path names, when the path is one and stays inside the package.
  static std::optional<std::string> packagedFileForPath(const std::string& path);

 private:
  void load();
  static std::optional<VLWebResponse> harborResource(const platform::URL& url);
  // `checked`: the request's check ran just before on this thread, and its lookup may serve.
  static void resourceResponse(const platform::URLRequest& request,
                               std::function<void(std::optional<VLWebResponse>)> completionHandler,
                               bool checked = false);
  void deliver(VLWebResponse answer);

  std::mutex streamMutex_;
  std::shared_ptr<platform::BodyStream> stream_;
};
