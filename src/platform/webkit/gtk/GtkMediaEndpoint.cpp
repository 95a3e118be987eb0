#include "platform/webkit/gtk/GtkMediaEndpoint.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <optional>
#include <thread>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/Strings.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"
#include "platform/webkit/gtk/GtkWebView.h"

#ifndef VELTRO_GST_PLUGIN_DIR
#define VELTRO_GST_PLUGIN_DIR ""
#endif

namespace platform::webkit {
namespace {

// How long the handler may take to begin its answer, and how long a connection may stall
// (a request head that does not come, a player that stopped reading while paused: it asks
// again when it goes on).
constexpr auto kAnswerTimeout = std::chrono::seconds(60);
constexpr int kReadTimeoutSeconds = 10;
constexpr int kWriteTimeoutSeconds = 60;
constexpr size_t kSecretBytes = 32;
constexpr size_t kMaxRangeHeader = 256;

std::string hex(const unsigned char* bytes, size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

// Compares without stopping at the first difference: how long the answer takes says nothing
// about how much of the secret a guess had right.
bool sameSecret(std::string_view given, std::string_view secret) {
  if (given.size() != secret.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < secret.size(); ++i)
    difference |= static_cast<unsigned char>(given[i] ^ secret[i]);
  return difference == 0;
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

void answerPlainly(int fd, int status, const std::string& reason) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                     "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  writeAll(fd, head);
}

bool sameOrigin(const URL& a, const URL& b) {
  return asciiLower(a.scheme()) == asciiLower(b.scheme()) && asciiLower(a.host()) == asciiLower(b.host()) &&
         a.port() == b.port();
}

std::string origin(const URL& url) {
  std::string text = asciiLower(url.scheme()) + "://" + asciiLower(url.host());
  if (url.port()) text += ":" + std::to_string(*url.port());
  return text;
}

// Header fields that belong to one connection, which the endpoint sets itself.
bool isConnectionField(const std::string& name) {
  for (const char* field : {"Connection", "Keep-Alive", "Transfer-Encoding", "Content-Length", "Upgrade",
                            "Proxy-Connection", "Trailer", "TE"})
    if (equalsIgnoreCase(name, field)) return true;
  return false;
}

bool isFieldText(std::string_view text) {
  for (char c : text)
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) return false;
  return true;
}

}  // namespace

// What one request's connection and its scheme task share. The task may be called on any
// thread; the connection's thread waits on `changed`.
struct GtkMediaEndpoint::Exchange {
  std::mutex mutex;
  std::condition_variable changed;
  int socket = -1;
  // The request, as the connection read it.
  URL url;
  std::string method;
  std::optional<std::string> range;
  // The answer, as the handler gives it.
  std::optional<URLResponse> response;
  std::deque<std::string> chunks;
  size_t held = 0;
  int file = -1;
  std::shared_ptr<BodyStream> stream;
  std::int64_t fileOffset = 0;
  std::int64_t fileLength = 0;
  bool finished = false;
  std::optional<std::string> failure;
  // Refused before a handler saw it: the status to answer.
  int refusedStatus = 0;
  // The connection ended, the page changed, or the answer broke a rule: nothing more is taken.
  bool cancelled = false;
  // Set on the main thread when the handler was started.
  const GtkWebView* view = nullptr;
  std::weak_ptr<GtkWebView> webView;
  std::weak_ptr<URLSchemeHandler> handler;
  std::shared_ptr<URLSchemeTask> task;

  bool answered() const { return finished || failure || refusedStatus != 0; }
  // Called with the mutex held. `closing` also ends the connection, which wakes a thread
  // blocked writing to the player; the connection's own thread leaves it open to answer.
  void cancel(bool closing = true) {
    if (cancelled) return;
    cancelled = true;
    if (file >= 0) ::close(file);
    file = -1;
    if (stream) stream->cancel();
    stream.reset();
    chunks.clear();
    held = 0;
    if (closing && socket >= 0) ::shutdown(socket, SHUT_RDWR);
    changed.notify_all();
  }
};

// The scheme task the endpoint hands the web view's handler: its answer goes to the connection.
class GtkMediaEndpoint::Task : public URLSchemeTask {
 public:
  Task(URLRequest request, std::shared_ptr<Exchange> exchange)
      : request_(std::move(request)), exchange_(std::move(exchange)) {}

  const URLRequest& request() const override { return request_; }

  void didReceiveResponse(const URLResponse& response) override {
    std::lock_guard lock(exchange_->mutex);
    if (exchange_->cancelled || exchange_->answered() || exchange_->response) return;
    exchange_->response = response;
    exchange_->changed.notify_all();
  }
  void didReceiveData(std::string_view data) override { take(std::string(data)); }
  void didReceiveOwnedData(std::string data) override { take(std::move(data)); }
  void didFinish() override {
    std::lock_guard lock(exchange_->mutex);
    if (exchange_->cancelled || exchange_->answered()) return;
    exchange_->finished = true;
    exchange_->changed.notify_all();
  }
  void didReceiveAnswer(URLResponse response, std::string body) override {
    didReceiveResponse(response);
    take(std::move(body));
    didFinish();
  }
  void didFailWithError(const Error& error) override {
    std::lock_guard lock(exchange_->mutex);
    if (exchange_->cancelled || exchange_->answered()) return;
    exchange_->failure = error.localizedDescription();
    exchange_->changed.notify_all();
  }
  void didReceiveFileBody(int fd, std::int64_t offset, std::int64_t length) override {
    std::lock_guard lock(exchange_->mutex);
    if (exchange_->cancelled || exchange_->answered()) {
      ::close(fd);
      return;
    }
    exchange_->file = fd;
    exchange_->fileOffset = offset;
    exchange_->fileLength = std::max<std::int64_t>(0, length);
    exchange_->finished = true;
    exchange_->changed.notify_all();
  }
  // The connection's thread reads the body as it arrives, as fast as the player takes it.
  bool didReceiveBodyStream(const std::shared_ptr<BodyStream>& body) override {
    std::lock_guard lock(exchange_->mutex);
    if (exchange_->cancelled || exchange_->answered()) {
      body->cancel();
      return true;
    }
    exchange_->stream = body;
    exchange_->finished = true;
    exchange_->changed.notify_all();
    return true;
  }

 private:
  void take(std::string data) {
    if (data.empty()) return;
    std::lock_guard lock(exchange_->mutex);
    if (exchange_->cancelled || exchange_->answered()) return;
    // A piece given whole is already in memory; what piles up behind it is bounded.
    if (exchange_->held > 0 && exchange_->held + data.size() > kMaxHeldDataBytes) {
      log("Ended the media answer for " + request_.url().absoluteString() + ": the player reads it slower than " +
          "the handler gives it, and more than " + std::to_string(kMaxHeldDataBytes >> 20) + " MiB were waiting.");
      exchange_->cancel();
      return;
    }
    exchange_->held += data.size();
    exchange_->chunks.push_back(std::move(data));
    exchange_->changed.notify_all();
  }

  URLRequest request_;
  std::shared_ptr<Exchange> exchange_;
};

GtkMediaEndpoint& GtkMediaEndpoint::shared() {
  // Never destroyed: serving threads may still run while the process exits.
  static auto* endpoint = new GtkMediaEndpoint();
  return *endpoint;
}

std::string GtkMediaEndpoint::socketPath() const {
  std::lock_guard lock(mutex_);
  return listener_ < 0 ? std::string() : socketPath_;
}

std::vector<std::string> GtkMediaEndpoint::schemes() const {
  std::lock_guard lock(mutex_);
  return {schemes_.begin(), schemes_.end()};
}

std::vector<GtkMediaEndpoint::SandboxPath> GtkMediaEndpoint::sandboxPaths() const {
  std::lock_guard lock(mutex_);
  if (listener_ < 0) return {};
  std::vector<SandboxPath> paths{{socketFolder_, true}};
  if (std::string plugins = VELTRO_GST_PLUGIN_DIR; !plugins.empty()) paths.push_back({plugins, true});
  return paths;
}

namespace {

constexpr const char* kFolderPrefix = "veltro-media-";
constexpr const char* kSocketName = "endpoint";

// The socket and its folder, removed when the process exits normally.
std::string gRemovedAtExit[2];
void removeSocketAtExit() {
  g_unlink(gRemovedAtExit[0].c_str());
  g_rmdir(gRemovedAtExit[1].c_str());
}

// Where the socket's folder goes: the user's runtime folder, which the session empties at its
// end, else the temporary folder.
std::string socketParent() {
  const char* runtime = g_getenv("XDG_RUNTIME_DIR");
  struct stat status {};
  if (runtime && g_path_is_absolute(runtime) && ::stat(runtime, &status) == 0 && S_ISDIR(status.st_mode) &&
      status.st_uid == ::geteuid())
    return runtime;
  return g_get_tmp_dir();
}

// A shell that was killed leaves its folder behind. Such folders of this user in `parent`, a
// minute old or more, whose socket nobody listens on, are removed; everything is looked at
// through the opened folders, so a link put in their place removes nothing elsewhere, and a
// folder holding anything else stays (rmdir fails).
void removeLeftFolders(const std::string& parent) {
  int parentFd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parentFd < 0) return;
  GDir* listing = g_dir_open(parent.c_str(), 0, nullptr);
  const std::int64_t now = g_get_real_time() / G_USEC_PER_SEC;
  while (const char* name = listing ? g_dir_read_name(listing) : nullptr) {
    if (!g_str_has_prefix(name, kFolderPrefix)) continue;
    struct stat folder {};
    if (::fstatat(parentFd, name, &folder, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(folder.st_mode) ||
        folder.st_uid != ::geteuid() || now - folder.st_mtime < 60)
      continue;
    int folderFd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folderFd < 0) continue;
    struct stat socketStatus {};
    bool abandoned = false;
    if (::fstatat(folderFd, kSocketName, &socketStatus, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(socketStatus.st_mode)) {
      // Connected through the opened folder: its path in /proc is short enough for any name.
      std::string path = "/proc/self/fd/" + std::to_string(folderFd) + "/" + kSocketName;
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::copy(path.begin(), path.end(), address.sun_path);
      int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      abandoned = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
                  errno == ECONNREFUSED;
      if (probe >= 0) ::close(probe);
      if (abandoned) ::unlinkat(folderFd, kSocketName, 0);
    }
    ::close(folderFd);
    if (abandoned) ::unlinkat(parentFd, name, AT_REMOVEDIR);
  }
  if (listing) g_dir_close(listing);
  ::close(parentFd);
}

}  // namespace

bool GtkMediaEndpoint::start() {
  if (listener_ >= 0) return true;
  unsigned char random[kSecretBytes];
  size_t filled = 0;
  while (filled < sizeof random) {
    ssize_t got = ::getrandom(random + filled, sizeof random - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      log("The media endpoint cannot start: no random numbers for its secret.");
      return false;
    }
    filled += static_cast<size_t>(got);
  }
  // A folder of the user's alone (mkdtemp makes it 0700), so no other user can even reach the
  // socket; the secret keeps the user's other programs out.
  std::string parent = socketParent();
  removeLeftFolders(parent);
  std::string folder = parent + "/" + kFolderPrefix + "XXXXXX";
  if (!::mkdtemp(folder.data())) {
    log("The media endpoint cannot start: cannot make a folder in " + parent + ": " + g_strerror(errno));
    return false;
  }
  std::string path = folder + "/" + kSocketName;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    log("The media endpoint cannot start: the path of its socket is too long: " + path);
    g_rmdir(folder.c_str());
    return false;
  }
  std::copy(path.begin(), path.end(), address.sun_path);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 64) != 0) {
    log(std::string("The media endpoint cannot start: ") + g_strerror(errno));
    if (fd >= 0) ::close(fd);
    g_unlink(path.c_str());
    g_rmdir(folder.c_str());
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    listener_ = fd;
    socketFolder_ = folder;
    socketPath_ = path;
    secret_ = hex(random, sizeof random);
  }
  gRemovedAtExit[0] = path;
  gRemovedAtExit[1] = folder;
  std::atexit(removeSocketAtExit);
  std::thread([this] { acceptLoop(); }).detach();
  return true;
}

void GtkMediaEndpoint::addScheme(const std::string& scheme) {
  std::string lowered = asciiLower(scheme);
  {
    std::lock_guard lock(mutex_);
    if (!schemes_.insert(lowered).second) return;
  }
  if (!start()) return;
  exportEnvironment();
}

void GtkMediaEndpoint::exportEnvironment() {
  // The variables are read by web processes started from now on, which inherit this
  // process's environment: readable by the user alone, like the process itself.
  auto read = [](const char* name, std::string& into) {
    const char* value = g_getenv(name);
    into = value ? value : "";
    return value != nullptr;
  };
  if (!environmentSaved_) {
    environmentSaved_ = true;
    read(kAllowedProtocolsVariable, userAllowedProtocols_);
    hadPluginPath_ = read("GST_PLUGIN_PATH", userPluginPath_);
    hadPluginPath10_ = read("GST_PLUGIN_PATH_1_0", userPluginPath10_);
  }
  std::string schemes;
  for (const auto& scheme : this->schemes()) schemes += (schemes.empty() ? "" : ",") + scheme;
  std::string allowed = userAllowedProtocols_;
  if (!schemes.empty()) allowed += (allowed.empty() ? "" : ",") + schemes;
  g_setenv(kSchemesVariable, schemes.c_str(), TRUE);
  {
    std::lock_guard lock(mutex_);
    g_setenv(kSocketVariable, socketPath_.c_str(), TRUE);
    g_setenv(kSecretVariable, secret_.c_str(), TRUE);
  }
  g_setenv(kAllowedProtocolsVariable, allowed.c_str(), TRUE);
  std::string pluginDirectory = VELTRO_GST_PLUGIN_DIR;
  if (!pluginDirectory.empty()) {
    g_setenv("GST_PLUGIN_PATH", (pluginDirectory + (hadPluginPath_ ? ":" + userPluginPath_ : "")).c_str(), TRUE);
    g_setenv("GST_PLUGIN_PATH_1_0", (pluginDirectory + (hadPluginPath10_ ? ":" + userPluginPath10_ : "")).c_str(),
             TRUE);
  }
}

void GtkMediaEndpoint::addWebView(const std::shared_ptr<GtkWebView>& view) {
  std::lock_guard lock(mutex_);
  views_.erase(std::remove_if(views_.begin(), views_.end(), [](const auto& each) { return each.expired(); }),
               views_.end());
  views_.push_back(view);
}

void GtkMediaEndpoint::pageChanged(const GtkWebView* view) {
  std::vector<std::shared_ptr<Exchange>> ended;
  {
    std::lock_guard lock(mutex_);
    for (const auto& weak : running_)
      if (auto exchange = weak.lock()) ended.push_back(exchange);
  }
  for (const auto& exchange : ended) {
    std::lock_guard lock(exchange->mutex);
    if (exchange->view == view) exchange->cancel();
  }
}

void GtkMediaEndpoint::acceptLoop() {
  for (;;) {
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        continue;
      }
      log(std::string("The media endpoint stopped accepting connections: ") + g_strerror(errno));
      return;
    }
    timeval readTimeout{kReadTimeoutSeconds, 0};
    timeval writeTimeout{kWriteTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &readTimeout, sizeof readTimeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &writeTimeout, sizeof writeTimeout);
    if (connections_.fetch_add(1) >= kMaxConnections) {
      connections_.fetch_sub(1);
      answerPlainly(fd, 503, "Service Unavailable");
      ::close(fd);
      continue;
    }
    try {
      std::thread([this, fd] {
        try {
          serve(fd);
        } catch (const std::exception& e) {
          log(std::string("A media request failed: ") + e.what());
        } catch (...) {
          log("A media request failed");
        }
        ::close(fd);
        connections_.fetch_sub(1);
      }).detach();
    } catch (...) {
      connections_.fetch_sub(1);
      answerPlainly(fd, 503, "Service Unavailable");
      ::close(fd);
    }
  }
}

void GtkMediaEndpoint::logRefusalWithoutSecret() {
  // Anyone on the machine can knock; the log takes one line a second of it at most.
  static std::atomic<std::int64_t> lastLogged{0};
  static std::atomic<unsigned> unlogged{0};
  std::int64_t now = g_get_monotonic_time();
  std::int64_t last = lastLogged.load();
  if (now - last < G_USEC_PER_SEC || !lastLogged.compare_exchange_strong(last, now)) {
    ++unlogged;
    return;
  }
  unsigned more = unlogged.exchange(0);
  log("Refused a media request without the media endpoint's secret" +
      (more ? " (and " + std::to_string(more) + " more since the last such line)" : std::string()) + ".");
}

void GtkMediaEndpoint::serve(int fd) {
  // The request head.
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos) {
    if (head.size() > kMaxRequestHeadBytes) {
      answerPlainly(fd, 431, "Request Header Fields Too Large");
      return;
    }
    ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    head.append(buffer, static_cast<size_t>(got));
  }
  head.resize(head.find("\r\n\r\n"));
  std::vector<std::string> lines;
  for (size_t at = 0;;) {
    size_t end = head.find("\r\n", at);
    lines.push_back(head.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) break;
    at = end + 2;
  }
  // "METHOD /<secret>/<scheme>/<authority><path> HTTP/1.x"
  const std::string& requestLine = lines.front();
  size_t firstSpace = requestLine.find(' ');
  size_t lastSpace = requestLine.rfind(' ');
  if (firstSpace == std::string::npos || lastSpace <= firstSpace || !startsWith(requestLine.substr(lastSpace + 1), "HTTP/1.")) {
    answerPlainly(fd, 400, "Bad Request");
    return;
  }
  std::string method = requestLine.substr(0, firstSpace);
  std::string target = requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1);

  std::string secret;
  {
    std::lock_guard lock(mutex_);
    secret = secret_;
  }
  // Without the secret, nothing: the same answer for every path, the root included.
  if (target.size() < secret.size() + 2 || target[0] != '/' || target[secret.size() + 1] != '/' ||
      !sameSecret(std::string_view(target).substr(1, secret.size()), secret)) {
    logRefusalWithoutSecret();
    answerPlainly(fd, 404, "Not Found");
    return;
  }
  std::string rest = target.substr(secret.size() + 2);
  if (method != "GET" && method != "HEAD") {
    log("Refused a media request with the method " + method.substr(0, 16) + ": the media endpoint answers GET and HEAD.");
    std::string answer = "HTTP/1.1 405 Method Not Allowed\r\nAllow: GET, HEAD\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    writeAll(fd, answer);
    return;
  }
  size_t slash = rest.find('/');
  std::string scheme = asciiLower(rest.substr(0, slash));
  bool served = false;
  {
    std::lock_guard lock(mutex_);
    served = schemes_.count(scheme) > 0;
  }
  std::optional<URL> url;
  if (served && slash != std::string::npos && slash + 1 < rest.size() && rest[slash + 1] != '/')
    url = URL::parse(scheme + "://" + rest.substr(slash + 1));
  if (!url || url->host().empty()) {
    log("Refused a media request for " + rest.substr(0, 200) + ": not a URL of the application's schemes.");
    answerPlainly(fd, 404, "Not Found");
    return;
  }

  auto exchange = std::make_shared<Exchange>();
  exchange->socket = fd;
  exchange->url = *url;
  exchange->method = method;
  for (size_t i = 1; i < lines.size(); ++i) {
    size_t colon = lines[i].find(':');
    if (colon == std::string::npos || !equalsIgnoreCase(lines[i].substr(0, colon), "Range")) continue;
    std::string value = lines[i].substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    if (value.size() <= kMaxRangeHeader && isFieldText(value)) exchange->range = value;
  }
  {
    std::lock_guard lock(mutex_);
    running_.erase(std::remove_if(running_.begin(), running_.end(), [](const auto& each) { return each.expired(); }),
                   running_.end());
    running_.push_back(exchange);
  }
  MainLoop::post([this, exchange] { startOnMainThread(exchange); });

  // The head goes out once the handler said how its body comes.
  std::unique_lock lock(exchange->mutex);
  bool ready = exchange->changed.wait_for(lock, kAnswerTimeout, [&] {
    return exchange->cancelled || exchange->refusedStatus || exchange->failure ||
           (exchange->response && (exchange->finished || !exchange->chunks.empty()));
  });
  if (!ready || exchange->cancelled || exchange->refusedStatus || exchange->failure || !exchange->response) {
    int status = exchange->refusedStatus ? exchange->refusedStatus : 502;
    if (!ready) {
      log("The media request for " + exchange->url.absoluteString() + " got no answer in time.");
      status = 504;
    } else if (exchange->failure) {
      log("The media request for " + exchange->url.absoluteString() + " failed: " + *exchange->failure);
    }
    bool ended = exchange->cancelled;
    bool stopHandler = !exchange->answered();
    exchange->cancel(false);
    lock.unlock();
    forget(exchange);
    if (!ended) answerPlainly(fd, status, URLResponse::localizedStringForStatusCode(status));
    release(exchange, stopHandler);
    return;
  }
  const URLResponse& response = *exchange->response;
  int status = response.isHTTP() ? response.statusCode() : 200;
  std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + URLResponse::localizedStringForStatusCode(status) + "\r\n";
  std::optional<std::int64_t> length;
  if (exchange->file >= 0) length = exchange->fileLength;
  if (response.isHTTP()) {
    for (const auto& [name, value] : response.allHeaderFields()) {
      if (equalsIgnoreCase(name, "Content-Length") && !length) {
        char* end = nullptr;
        long long given = std::strtoll(value.c_str(), &end, 10);
        if (end && *end == '\0' && given >= 0) length = given;
      }
      if (isConnectionField(name) || !isFieldText(name) || !isFieldText(value)) continue;
      answer += name + ": " + value + "\r\n";
    }
  } else {
    if (!response.mimeType().empty()) answer += "Content-Type: " + response.mimeType() + "\r\n";
    if (!length) length = response.expectedContentLength();
  }
  if (length) answer += "Content-Length: " + std::to_string(*length) + "\r\n";
  answer += "Connection: close\r\n\r\n";
  lock.unlock();
  bool ok = writeAll(fd, answer);

  // The body: from the file, or the handler's data as it comes, each piece let go once sent.
  lock.lock();
  if (ok && exchange->file >= 0 && method != "HEAD") {
    int file = exchange->file;
    off_t offset = static_cast<off_t>(exchange->fileOffset);
    std::int64_t remaining = exchange->fileLength;
    lock.unlock();
    // A file rewritten or cut short while it is sent ends the connection before the length
    // promised: the player sees a failed answer, not bytes of two versions.
    const fs::FileVersion version = fs::FileVersion::of(file);
    while (remaining > 0 && version.isCurrent(file)) {
      ssize_t sent = ::sendfile(fd, file, &offset, static_cast<size_t>(std::min<std::int64_t>(remaining, 256 << 10)));
      if (sent < 0 && errno == EINTR) continue;
      if (sent <= 0) break;  // the player went away, stalled, or the file shrank
      remaining -= sent;
    }
    if (remaining > 0) ::shutdown(fd, SHUT_RDWR);
    lock.lock();
  } else if (ok && exchange->stream && method != "HEAD") {
    std::shared_ptr<BodyStream> stream = exchange->stream;
    lock.unlock();
    std::string buffer(64 * 1024, '\0');
    for (;;) {
      size_t got = 0;
      auto result = stream->readWaiting(buffer.data(), buffer.size(), got, std::chrono::seconds(kWriteTimeoutSeconds));
      if (result == BodyStream::Read::Data) {
        if (!writeAll(fd, std::string_view(buffer.data(), got))) break;
        continue;
      }
      // A body that failed or stalled ends the connection short of its length.
      if (result != BodyStream::Read::Ended) ::shutdown(fd, SHUT_RDWR);
      break;
    }
    lock.lock();
  } else if (ok && method != "HEAD") {
    for (;;) {
      exchange->changed.wait(lock, [&] {
        return exchange->cancelled || exchange->failure || exchange->finished || !exchange->chunks.empty();
      });
      if (exchange->cancelled || exchange->chunks.empty()) break;
      std::string piece = std::move(exchange->chunks.front());
      exchange->chunks.pop_front();
      lock.unlock();
      ok = writeAll(fd, piece);
      lock.lock();
      exchange->held -= std::min(exchange->held, piece.size());
      if (!ok) break;
    }
  }
  bool stopHandler = !exchange->answered();
  exchange->cancel();
  lock.unlock();
  forget(exchange);
  release(exchange, stopHandler);
}

void GtkMediaEndpoint::release(const std::shared_ptr<Exchange>& exchange, bool stopHandler) {
  // The task is let go on the main thread, where it was made. A player that went away before
  // the handler was done stops the handler, like a load WebKit cancels.
  MainLoop::post([exchange, stopHandler] {
    auto handler = exchange->handler.lock();
    auto view = exchange->webView.lock();
    if (stopHandler && handler && view && exchange->task) {
      try {
        handler->stopURLSchemeTask(*view, exchange->task);
      } catch (...) {
        log("Stopping a media request failed: " + exchange->url.absoluteString());
      }
    }
    exchange->task.reset();
  });
}

void GtkMediaEndpoint::forget(const std::shared_ptr<Exchange>& exchange) {
  std::lock_guard lock(mutex_);
  running_.erase(std::remove_if(running_.begin(), running_.end(),
                                [&](const auto& each) { return each.expired() || each.lock() == exchange; }),
                 running_.end());
}

void GtkMediaEndpoint::startOnMainThread(const std::shared_ptr<Exchange>& exchange) {
  auto refuse = [&](int status, const std::string& why) {
    log("Refused the media request for " + exchange->url.absoluteString() + ": " + why);
    std::lock_guard lock(exchange->mutex);
    exchange->refusedStatus = status;
    exchange->changed.notify_all();
  };
  {
    std::lock_guard lock(exchange->mutex);
    if (exchange->cancelled) return;
  }
  // The page that asked is not known: the request is served for the web view whose committed
  // top document is of the requested origin, and only while no other web view shows a
  // document of another origin, whose request this could as well be.
  std::shared_ptr<GtkWebView> chosen;
  std::string other;
  {
    std::lock_guard lock(mutex_);
    for (const auto& weak : views_) {
      auto view = weak.lock();
      if (!view || !view->committedPage().url) continue;
      if (sameOrigin(*view->committedPage().url, exchange->url)) {
        if (!chosen) chosen = view;
      } else if (other.empty()) {
        other = origin(*view->committedPage().url);
      }
    }
  }
  if (!chosen) {
    refuse(403, "no page of " + origin(exchange->url) + " is the committed top document.");
    return;
  }
  if (!other.empty()) {
    refuse(403, "a window shows a document of " + other + ", and its requests cannot be told from the page's own.");
    return;
  }
  auto handler = chosen->configuration().handlerForScheme(exchange->url.scheme());
  if (!handler) {
    refuse(404, "the web view has no handler for the scheme.");
    return;
  }
  URLRequest request(exchange->url);
  request.setHTTPMethod(exchange->method);
  if (exchange->range) request.setValue(*exchange->range, "Range");
  auto task = std::make_shared<Task>(std::move(request), exchange);
  {
    std::lock_guard lock(exchange->mutex);
    exchange->view = chosen.get();
    exchange->webView = chosen;
    exchange->handler = handler;
    exchange->task = task;
  }
  try {
    handler->startURLSchemeTask(*chosen, task);
  } catch (const std::exception& e) {
    task->didFailWithError(Error::make("WebKitErrorDomain", 0, e.what()));
  } catch (...) {
    task->didFailWithError(Error::make("WebKitErrorDomain", 0, "the handler failed"));
  }
}

}  // namespace platform::webkit
