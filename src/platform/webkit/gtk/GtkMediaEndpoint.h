#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace platform::webkit {

class GtkWebView;

// Where WebKit's media player reads media of the application's own URL schemes. The player
// (GStreamer, in the web process) cannot use the web view's scheme handlers; the project's
// GStreamer source ("veltromediasrc") turns `app://host/path` into an HTTP request to this
// small server, which listens on a UNIX socket in a folder of its own (0700, made at start)
// under a secret path prefix that only the web process is told (in its environment). WebKit's
// sandbox gives the web process a network of its own, where the shell's loopback cannot be
// reached; the socket's folder and the plugin's folder are given to the sandbox instead. Each
// request is handed, on the main thread, to the scheme handler of the web view whose committed
// top document is of the requested URL's origin, through a task of the endpoint's own that
// writes the answer to the connection; so every rule of the scheme holds for media as for the
// page's other requests.
//
// What it answers: GET and HEAD, with the handler's status and headers ("Range" is handed on
// and 206/416 come from the handler), for URLs of the schemes the web views registered, while
// a page of that origin is the committed top document of a web view and no other web view
// shows a document of another origin (a window a page opened could not be told apart). Every
// other request gets a clear status and one log line; one without the secret learns nothing
// (404 for any path). Bodies stream: a file body is sent from the descriptor (sendfile), and
// data a handler gives is written as it comes and let go once written; data held for one
// request beyond kMaxHeldDataBytes (past the first piece) ends that request. A new document in
// the web view ends the answers that were running for it.
//
// One connection per request ("Connection: close"), one thread per connection, at most
// kMaxConnections at once.
class GtkMediaEndpoint {
 public:
  static constexpr const char* kSocketVariable = "VELTRO_MEDIA_SOCKET";
  static constexpr const char* kSecretVariable = "VELTRO_MEDIA_SECRET";
  static constexpr const char* kSchemesVariable = "VELTRO_MEDIA_SCHEMES";
  static constexpr const char* kAllowedProtocolsVariable = "WEBKIT_GST_ALLOWED_URI_PROTOCOLS";
  static constexpr size_t kMaxConnections = 32;
  static constexpr size_t kMaxHeldDataBytes = 32u * 1024 * 1024;
  static constexpr size_t kMaxRequestHeadBytes = 16 * 1024;

  // The endpoint of this process, which lives as long as the process.
  static GtkMediaEndpoint& shared();

  // Makes `scheme` one whose media the web process reads through the endpoint: the endpoint
  // starts on first use, and the environment a web process started from now on inherits says
  // so (the schemes, the endpoint's socket and secret, GStreamer's plugin path and the
  // protocols WebKit lets GStreamer load, each keeping what the user had). Main thread; before
  // the web process that should play the scheme's media starts.
  void addScheme(const std::string& scheme);
  // The folders a sandboxed web process needs to play the schemes' media: the socket's folder
  // (it connects there) and the plugin's (read only). Empty before the endpoint started.
  struct SandboxPath {
    std::string path;
    bool readOnly;
  };
  std::vector<SandboxPath> sandboxPaths() const;
  // The web views whose pages the endpoint serves. Held weakly. Main thread.
  void addWebView(const std::shared_ptr<GtkWebView>& view);
  // `view` committed a new document or lost its page: the answers that were running for it end.
  void pageChanged(const GtkWebView* view);

  // The socket's path, empty before the endpoint started.
  std::string socketPath() const;
  // The schemes served, as the web process is told them.
  std::vector<std::string> schemes() const;

  struct Exchange;
  class Task;

 private:
  GtkMediaEndpoint() = default;
  bool start();
  void exportEnvironment();
  void acceptLoop();
  void serve(int fd);
  void startOnMainThread(const std::shared_ptr<Exchange>& exchange);
  void forget(const std::shared_ptr<Exchange>& exchange);
  static void release(const std::shared_ptr<Exchange>& exchange, bool stopHandler);
  void logRefusalWithoutSecret();

  mutable std::mutex mutex_;
  int listener_ = -1;
  std::string socketFolder_;
  std::string socketPath_;
  std::string secret_;
  std::set<std::string> schemes_;
  std::vector<std::weak_ptr<GtkWebView>> views_;
  std::vector<std::weak_ptr<Exchange>> running_;
  std::atomic<size_t> connections_{0};
  // What the user's environment had before the endpoint added to it.
  bool environmentSaved_ = false;
  std::string userAllowedProtocols_, userPluginPath_, userPluginPath10_;
  bool hadPluginPath_ = false, hadPluginPath10_ = false;
};

}  // namespace platform::webkit
