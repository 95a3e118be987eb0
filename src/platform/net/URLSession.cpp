#include "platform/net/URLSession.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "platform/foundation/CaughtException.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/SignalStack.h"
#include "platform/foundation/Strings.h"
#include "platform/net/TLSTrust.h"
#include "platform/net/URLError.h"
#include "platform/net/URLProtocol.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaximumRedirects = 16;
// A redirect's body is kept only in case the redirect is refused; a server sending megabytes
// with a redirect gets the rest dropped.
constexpr size_t kMaximumRedirectBody = 1 << 20;
// Resource time-outs and waiting tasks are checked at least this often.
constexpr int kSweepMilliseconds = 250;
// No time-out is longer than a year: longer ones (or infinite ones) would overflow the clock
// and millisecond sums they take part in.
constexpr double kLongestTimeout = 365.0 * 24 * 3600;

// A time-out as given by a caller (and, through plugins, by a page): one that is not a
// positive number means `fallback`; a huge one is cut to the longest.
double usableTimeout(double seconds, double fallback) {
  if (!(seconds > 0)) return fallback;
  return std::min(seconds, kLongestTimeout);
}

void ensureCurlInitialised() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

long urlErrorCodeFor(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return urlerror::kTimedOut;
    case CURLE_COULDNT_RESOLVE_HOST:
      return urlerror::kCannotFindHost;
    case CURLE_COULDNT_CONNECT:
      return urlerror::kCannotConnectToHost;
    case CURLE_PEER_FAILED_VERIFICATION:
      return urlerror::kServerCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
      return urlerror::kSecureConnectionFailed;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return urlerror::kNetworkConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
      return urlerror::kBadServerResponse;
    case CURLE_URL_MALFORMAT:
      return urlerror::kBadURL;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return urlerror::kUnsupportedURL;
    default:
      return urlerror::kUnknown;
  }
}

// Runs code of the session's users. What it throws stays here: it must not unwind through
// the session's loop or libcurl.
template <typename Function>
void guarded(const char* what, Function&& function) {
  try {
    function();
  } catch (...) {
    reportCaughtException((std::string("URLSession: ") + what).c_str());
  }
}

// Scheme, host and port, as redirects compare them.
std::string originOf(const URL& url) {
  std::string scheme = asciiLower(url.scheme());
  int port = url.port().value_or(scheme == "https" ? 443 : scheme == "http" ? 80 : 0);
  return scheme + "://" + asciiLower(url.host()) + ":" + std::to_string(port);
}

bool isRedirectStatus(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// A header line as libcurl hands it, without its line ending (CRLF, or a bare LF from a
// careless server).
std::string_view withoutLineEnding(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  return line;
}

// Repeated fields are joined with ", " as the platform presents them; "Set-Cookie" fields stay
// apart, because their dates hold commas.
HTTPHeaders combinedFields(const HTTPHeaders& fields) {
  HTTPHeaders out;
  for (const auto& [name, value] : fields) {
    if (!equalsIgnoreCase(name, "Set-Cookie")) {
      if (std::string* same = findHeaderField(out, name)) {
        *same += ", " + value;
        continue;
      }
    }
    out.emplace_back(name, value);
  }
  return out;
}

}  // namespace

// One network hop of a task: a request on its way to one server and the response coming back.
struct URLSessionTransfer {
  URLSessionEngine* engine = nullptr;
  std::shared_ptr<URLSessionTask> task;
  URLRequest request;
  std::string hostKey;
  std::string urlText;
  std::string body;
  double inactivityTimeout = 60.0;

  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  bool launched = false;
  Clock::time_point lastActivity = Clock::now();
  curl_off_t lastUploaded = 0;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  bool inHeaderBlock = false;
  int status = 0;
  std::string version = "HTTP/1.1";
  HTTPHeaders fields;
  bool isRedirect = false;
  std::optional<URLResponse> response;  // set once the final header block has ended
  std::string redirectBody;
  bool paused = false;  // a streamed body's reader has no room: libcurl holds the data

  URLSessionTransfer() = default;
  URLSessionTransfer(const URLSessionTransfer&) = delete;
  URLSessionTransfer& operator=(const URLSessionTransfer&) = delete;
  ~URLSessionTransfer() {
    if (easy) curl_easy_cleanup(easy);
    if (headerList) curl_slist_free_all(headerList);
  }
};

struct URLSessionTask::Loading {
  bool finished = false;  // the completion is on its way; later events are ignored
  bool responded = false;  // a streamed task's response handler was called
  std::uint64_t hop = 0;
  int redirects = 0;
  Clock::time_point startTime = Clock::now();
  std::string body;  // data tasks with a completion handler
  int fd = -1;       // download tasks
  std::string filePath;
  std::optional<Error> fileError;
  std::shared_ptr<URLProtocol> protocol;
  std::shared_ptr<URLSessionTransfer> transfer;

  ~Loading() {
    if (fd >= 0) ::close(fd);
    if (!filePath.empty()) ::unlink(filePath.c_str());
  }
};

class URLSessionEngine : public std::enable_shared_from_this<URLSessionEngine> {
 public:
  URLSessionEngine(URLSessionConfiguration configuration,
                   std::shared_ptr<URLSessionDelegate> delegate, bool usesRegisteredProtocols)
      : configuration_(std::move(configuration)),
        delegate_(std::move(delegate)),
        usesRegisteredProtocols_(usesRegisteredProtocols) {
    ensureCurlInitialised();
    multi_ = curl_multi_init();
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS,
                      static_cast<long>(configuration_.httpMaximumConnectionsPerHost()));
    curl_multi_setopt(
        multi_, CURLMOPT_MAXCONNECTS,
        static_cast<long>(std::max(16, configuration_.httpMaximumConnectionsPerHost() * 4)));
  }

  ~URLSessionEngine() {
    if (thread_.joinable()) thread_.detach();
    curl_multi_cleanup(multi_);
  }

  URLSessionEngine(const URLSessionEngine&) = delete;
  URLSessionEngine& operator=(const URLSessionEngine&) = delete;

  const URLSessionConfiguration& configuration() const { return configuration_; }
  const std::shared_ptr<URLSessionDelegate>& delegate() const { return delegate_; }

  void startThread() {
    // The thread keeps the engine alive, so that a session released by its own completion
    // handler can still finish the loop it is in.
    thread_ = std::thread([self = shared_from_this()] {
      ensureAlternateSignalStack();
      self->run();
    });
  }

  void shutdown() {
    {
      std::lock_guard lock(jobsMutex_);
      stopping_ = true;
    }
    curl_multi_wakeup(multi_);
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id())
      thread_.detach();
    else
      thread_.join();
  }

  void post(std::function<void()> job) {
    std::lock_guard lock(jobsMutex_);
    if (stopping_) return;
    jobs_.push_back(std::move(job));
    // The worker looks for jobs before it waits again, so a job it posts itself (a task's
    // completion after its transfer, an answer of a URL protocol that loads in place) needs
    // no wake-up, which would cost a write now and a read and an empty round later.
    if (std::this_thread::get_id() != worker_.load(std::memory_order_relaxed))
      curl_multi_wakeup(multi_);
  }

  std::uint64_t nextIdentifier() { return ++lastIdentifier_; }

  void addTask(const std::shared_ptr<URLSessionTask>& task) {
    std::lock_guard lock(tasksMutex_);
    std::erase_if(tasks_, [](const auto& weak) { return weak.expired(); });
    tasks_.push_back(task);
  }

  void resume(const std::shared_ptr<URLSessionTask>& task) {
    post([this, task] { begin(task); });
  }

  void cancel(const std::shared_ptr<URLSessionTask>& task) {
    post([this, task] {
      if (task->loading_->finished) return;
      complete(task, urlerror::make(urlerror::kCancelled, &task->currentRequest().url()));
    });
  }

  void getAllTasks(std::function<void(std::vector<std::shared_ptr<URLSessionTask>>)> completion) {
    post([this, completion = std::move(completion)] {
      std::vector<std::shared_ptr<URLSessionTask>> listed;
      {
        std::lock_guard lock(tasksMutex_);
        std::erase_if(tasks_, [](const auto& weak) { return weak.expired(); });
        for (const auto& weak : tasks_)
          if (auto task = weak.lock(); task && task->state() != URLSessionTask::State::Completed)
            listed.push_back(std::move(task));
      }
      guarded("a task list completion", [&] { completion(std::move(listed)); });
    });
  }

  // What a URL protocol tells its client, already on the worker thread. Events of a hop the
  // task has left, or of a task that has completed, are dropped.
  void protocolResponse(const std::shared_ptr<URLSessionTask>& task, std::uint64_t hop,
                        const URLResponse& response) {
    if (!acceptsProtocolEvent(*task, hop)) return;
    deliverResponse(task, response);
  }
  void protocolData(const std::shared_ptr<URLSessionTask>& task, std::uint64_t hop,
                    std::string data) {
    if (!acceptsProtocolEvent(*task, hop)) return;
    if (!deliverData(task, data, &data)) complete(task, task->loading_->fileError);
  }
  void protocolFinished(const std::shared_ptr<URLSessionTask>& task, std::uint64_t hop) {
    if (!acceptsProtocolEvent(*task, hop)) return;
    complete(task, std::nullopt);
  }
  void protocolFailed(const std::shared_ptr<URLSessionTask>& task, std::uint64_t hop,
                      const Error& error) {
    if (!acceptsProtocolEvent(*task, hop)) return;
    complete(task, error);
  }

 private:
  struct HostSlot {
    int active = 0;
    std::deque<std::shared_ptr<URLSessionTransfer>> waiting;
  };

  static bool acceptsProtocolEvent(const URLSessionTask& task, std::uint64_t hop) {
    const auto& loading = *task.loading_;
    return !loading.finished && loading.hop == hop && loading.protocol != nullptr;
  }

  // The body stream of a streamed data task, else nullptr.
  static BodyStream* streamOf(const URLSessionTask& task) {
    if (task.kind_ != URLSessionTask::Kind::Data) return nullptr;
    return static_cast<const URLSessionDataTask&>(task).stream_.get();
  }

  static std::shared_ptr<URLSession> sessionOf(const URLSessionTask& task) {
    std::lock_guard lock(task.mutex_);
    return task.session_;
  }

  static bool hasCompletionHandler(const URLSessionTask& task) {
    if (task.kind_ == URLSessionTask::Kind::Data) {
      const auto& data = static_cast<const URLSessionDataTask&>(task);
      return static_cast<bool>(data.completion_) || data.stream_ != nullptr;
    }
    return static_cast<bool>(static_cast<const URLSessionDownloadTask&>(task).completion_);
  }

  // ---- The loop ------------------------------------------------------------------------

  void run() {
    worker_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    auto lastSweep = Clock::now();
    while (true) {
      std::deque<std::function<void()>> jobs;
      {
        std::lock_guard lock(jobsMutex_);
        if (stopping_) break;
        jobs.swap(jobs_);
      }
      for (auto& job : jobs) guarded("a session job", job);
      jobs.clear();

      int running = 0;
      curl_multi_perform(multi_, &running);
      std::vector<std::pair<CURL*, CURLcode>> done;
      int left = 0;
      while (CURLMsg* message = curl_multi_info_read(multi_, &left))
        if (message->msg == CURLMSG_DONE)
          done.emplace_back(message->easy_handle, message->data.result);
      for (const auto& [easy, result] : done) transferDone(easy, result);

      auto now = Clock::now();
      checkInactivity(now);
      if (now - lastSweep >= std::chrono::milliseconds(kSweepMilliseconds)) {
        lastSweep = now;
        checkResourceTimeouts(now);
      }

      {
        std::lock_guard lock(jobsMutex_);
        if (stopping_) break;
        if (!jobs_.empty()) continue;
      }
      long curlTimeout = -1;
      curl_multi_timeout(multi_, &curlTimeout);
      long wait = 1000;
      if (curlTimeout >= 0) wait = std::min(wait, curlTimeout);
      if (!running_.empty()) wait = std::min<long>(wait, kSweepMilliseconds);
      wait = std::min(wait, millisecondsToNextInactivityDeadline(Clock::now()));
      if (wait > 0) curl_multi_poll(multi_, nullptr, 0, static_cast<int>(wait), nullptr);
    }
    teardown();
  }

  void teardown() {
    for (auto& [easy, transfer] : active_) curl_multi_remove_handle(multi_, easy);
    active_.clear();
    hosts_.clear();
    running_.clear();
    std::lock_guard lock(jobsMutex_);
    jobs_.clear();
  }

  // ---- Starting -------------------------------------------------------------------------

  void begin(const std::shared_ptr<URLSessionTask>& task) {
    auto& loading = *task->loading_;
    if (loading.finished) return;  // cancelled before it started
    loading.startTime = Clock::now();
    running_.insert(task);
    if (BodyStream* stream = streamOf(*task)) {
      // The reader makes room: the paused transfer goes on. The reader stops: so does the task.
      std::weak_ptr<URLSessionTask> weakTask = task;
      std::weak_ptr<URLSessionEngine> weakEngine = weak_from_this();
      stream->setRoomCallback([weakEngine, weakTask] {
        if (auto engine = weakEngine.lock())
          engine->post([engine = engine.get(), weakTask] {
            if (auto task = weakTask.lock()) engine->unpause(task);
          });
      });
      stream->setCancelCallback([weakTask] {
        if (auto task = weakTask.lock()) task->cancel();
      });
    }
    startHop(task);
  }

  // Tells a streamed task's reader of the response, once, after what is already queued for it.
  void respondStreamed(const std::shared_ptr<URLSessionTask>& task) {
    post([task] {
      auto& loading = *task->loading_;
      if (loading.responded || loading.finished) return;
      loading.responded = true;
      auto& dataTask = static_cast<URLSessionDataTask&>(*task);
      std::optional<URLResponse> response = task->response();
      guarded("a streamed task's response", [&] { dataTask.streamResponse_(response, std::nullopt); });
    });
  }

  void unpause(const std::shared_ptr<URLSessionTask>& task) {
    auto& loading = *task->loading_;
    auto transfer = loading.transfer;
    if (loading.finished || !transfer || !transfer->paused || !transfer->easy) return;
    transfer->paused = false;
    transfer->lastActivity = Clock::now();
    // libcurl hands the data it held to the write callback from here, which may pause again.
    curl_easy_pause(transfer->easy, CURLPAUSE_CONT);
  }

  void startHop(const std::shared_ptr<URLSessionTask>& task) {
    auto& loading = *task->loading_;
    ++loading.hop;
    URLRequest request = task->currentRequest();
    if (!allowsScheme(request)) {
      complete(task, urlerror::make(urlerror::kUnsupportedURL, &request.url(), "the session does not load this scheme"));
      return;
    }
    if (auto protocolClass = protocolClassFor(request)) {
      startProtocol(task, protocolClass, request);
      return;
    }
    startNetwork(task, request);
  }

 public:
  bool allowsScheme(const URLRequest& request) const {
    const auto& allowed = configuration_.allowedSchemes();
    return allowed.empty() ||
           std::find(allowed.begin(), allowed.end(), asciiLower(request.url().scheme())) != allowed.end();
  }

  std::vector<URLProtocolClassRef> protocolClasses() const {
    return usesRegisteredProtocols_ ? URLProtocol::registeredClasses() : configuration_.protocolClasses();
  }

  // The first of the session's URL protocol classes that takes `request`, or none.
  URLProtocolClassRef protocolClassFor(const URLRequest& request) const {
    for (const auto& protocolClass : protocolClasses()) {
      if (!protocolClass) continue;
      bool takes = false;
      guarded("canInitWithRequest", [&] { takes = protocolClass->canInitWithRequest(request); });
      if (takes) return protocolClass;
    }
    return nullptr;
  }

 private:

  class ProtocolClient;

  void startProtocol(const std::shared_ptr<URLSessionTask>& task,
                     const URLProtocolClassRef& protocolClass, const URLRequest& request);

  void startNetwork(const std::shared_ptr<URLSessionTask>& task, const URLRequest& request) {
    const URL& url = request.url();
    std::string scheme = asciiLower(url.scheme());
    if (scheme != "http" && scheme != "https") {
      complete(task, urlerror::make(urlerror::kUnsupportedURL, &url));
      return;
    }
    if (url.host().empty()) {
      complete(task, urlerror::make(urlerror::kBadURL, &url));
      return;
    }
    // The method goes onto the request line as it stands: anything but a token could end the
    // line there and smuggle in a request of its own.
    if (!request.httpMethod().empty() && !isHTTPToken(request.httpMethod())) {
      complete(task, urlerror::make(urlerror::kBadURL, &url, "the HTTP method is not a token"));
      return;
    }
    auto transfer = std::make_shared<URLSessionTransfer>();
    transfer->engine = this;
    transfer->task = task;
    transfer->request = request;
    transfer->hostKey = originOf(url);
    transfer->urlText = url.withoutFragment().absoluteString();
    const double configured =
        usableTimeout(configuration_.timeoutIntervalForRequest(),
                      URLSessionConfiguration::kDefaultTimeoutIntervalForRequest);
    transfer->inactivityTimeout = request.hasOwnTimeoutInterval()
                                      ? usableTimeout(request.timeoutInterval(), configured)
                                      : configured;
    task->loading_->transfer = transfer;

    HostSlot& slot = hosts_[transfer->hostKey];
    if (slot.active < configuration_.httpMaximumConnectionsPerHost())
      launch(transfer);
    else
      slot.waiting.push_back(transfer);
  }

  void launch(const std::shared_ptr<URLSessionTransfer>& transfer) {
    const URLRequest& request = transfer->request;
    CURL* easy = curl_easy_init();
    if (!easy) {
      failLater(transfer, "no transfer handle");
      return;
    }
    transfer->easy = easy;
    URLSessionTransfer* raw = transfer.get();
    curl_easy_setopt(easy, CURLOPT_URL, transfer->urlText.c_str());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, raw);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->errorBuffer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &URLSessionEngine::headerCallback);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, raw);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &URLSessionEngine::writeCallback);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, raw);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &URLSessionEngine::progressCallback);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, raw);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                     std::max(1L, static_cast<long>(transfer->inactivityTimeout * 1000)));
    // Through a proxy, the proxy's reply to CONNECT is no response of the origin's: its fields
    // (cookies among them) must not reach the task.
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    // New connections verify against the process's trust store (the system's authorities and
    // any additional ones), parsed once instead of once per connection. Without it libcurl
    // keeps its own set-up.
    if (usesTrustStore()) {
      curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
      curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
      curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &URLSessionEngine::sslContextCallback);
    }

    std::string method = request.httpMethod().empty() ? "GET" : request.httpMethod();
    std::string upper = asciiUpper(method);
    if (upper == "GET") {
      curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else if (upper == "HEAD") {
      curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else {
      transfer->body = request.httpBody();
      if (upper == "POST") {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
      } else {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
      }
      if (upper == "POST" || !transfer->body.empty()) {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(transfer->body.size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, transfer->body.data());
      }
    }
    transfer->headerList = buildHeaderList(request);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headerList);

    if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
      failLater(transfer, "cannot start the transfer");
      return;
    }
    transfer->launched = true;
    transfer->lastActivity = Clock::now();
    active_[easy] = transfer;
    hosts_[transfer->hostKey].active++;
  }

  // A transfer that could not start fails from the queue rather than here, because `launch`
  // runs while its host's waiting line is being worked through.
  void failLater(const std::shared_ptr<URLSessionTransfer>& transfer, const char* why) {
    post([this, task = transfer->task, url = transfer->request.url(), why] {
      complete(task, urlerror::make(urlerror::kUnknown, &url, why));
    });
  }

  curl_slist* buildHeaderList(const URLRequest& request) const {
    curl_slist* list = nullptr;
    auto add = [&list](const std::string& name, const std::string& value) {
      // Every field passed the header check when it was set; this one guards against a field
      // that reached us some other way, since a line break here would split the request.
      if (!isValidHTTPHeaderField(name, value)) {
        log("URLSession: header field \"" + name + "\" refused");
        return;
      }
      // "Name;" is how libcurl sends a field with an empty value ("Name:" would remove it).
      std::string line = value.empty() ? name + ";" : name + ": " + value;
      if (curl_slist* grown = curl_slist_append(list, line.c_str())) list = grown;
    };
    for (const auto& [name, value] : request.allHTTPHeaderFields()) {
      // libcurl states the length of what it sends itself.
      if (equalsIgnoreCase(name, "Content-Length")) continue;
      add(name, value);
    }
    for (const auto& [name, value] : configuration_.httpAdditionalHeaders())
      if (!request.valueForHTTPHeaderField(name)) add(name, value);
    const auto& storage = configuration_.httpCookieStorage();
    if (storage && configuration_.httpShouldSetCookies() &&
        !request.valueForHTTPHeaderField("Cookie"))
      if (auto cookie = storage->cookieHeaderForURL(request.url())) add("Cookie", *cookie);
    // Without this libcurl waits for "100 Continue" before sending a larger body.
    if (!request.valueForHTTPHeaderField("Expect"))
      if (curl_slist* grown = curl_slist_append(list, "Expect:")) list = grown;
    return list;
  }

  // ---- libcurl callbacks (no user code runs inside them) ----------------------------------

  static size_t headerCallback(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<URLSessionTransfer*>(user);
    size_t length = size * count;
    transfer->engine->headerLine(*transfer, std::string_view(data, length));
    return length;
  }

  static size_t writeCallback(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<URLSessionTransfer*>(user);
    size_t length = size * count;
    transfer->lastActivity = Clock::now();
    if (transfer->isRedirect) {
      size_t room =
          kMaximumRedirectBody - std::min(kMaximumRedirectBody, transfer->redirectBody.size());
      transfer->redirectBody.append(data, std::min(room, length));
      return length;
    }
    if (BodyStream* stream = streamOf(*transfer->task)) {
      if (transfer->task->loading_->finished) return 0;
      switch (stream->push(std::string_view(data, length))) {
        case BodyStream::Push::Taken:
          return length;
        case BodyStream::Push::Full:
          // libcurl keeps this piece and reads no more until the reader makes room. A body
          // that fills the stream is a large one: its reader is told of it now.
          transfer->paused = true;
          transfer->engine->respondStreamed(transfer->task);
          return CURL_WRITEFUNC_PAUSE;
        case BodyStream::Push::Closed:
          return 0;
      }
    }
    if (!transfer->engine->deliverData(transfer->task, std::string_view(data, length))) return 0;
    return length;
  }

  static int progressCallback(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded) {
    auto* transfer = static_cast<URLSessionTransfer*>(user);
    if (uploaded != transfer->lastUploaded) {
      transfer->lastUploaded = uploaded;
      transfer->lastActivity = Clock::now();
    }
    return 0;
  }

  static CURLcode sslContextCallback(CURL*, void* sslContext, void*) {
    // Verification stays on whatever happens: without the store nothing is trusted.
    return net::detail::installTrustStore(sslContext, systemCABundle()) ? CURLE_OK
                                                                        : CURLE_SSL_CACERT_BADFILE;
  }

  // Whether this session's connections take the process's trust store. Decided on the first
  // launch rather than on each: asking takes the trust store's process-wide lock. Whether the
  // store can be made depends only on the system bundle being readable; a change of the
  // additional file later is still picked up by each connection's install.
  bool usesTrustStore() {
    if (!usesTrustStore_) {
      const std::string& bundle = systemCABundle();
      usesTrustStore_ = !bundle.empty() && net::detail::prepareTrustStore(bundle);
    }
    return *usesTrustStore_;
  }

  // The CA bundle libcurl was built to use.
  static const std::string& systemCABundle() {
    static const std::string bundle = [] {
      std::string path;
      if (CURL* probe = curl_easy_init()) {
        char* value = nullptr;
        if (curl_easy_getinfo(probe, CURLINFO_CAINFO, &value) == CURLE_OK && value) path = value;
        curl_easy_cleanup(probe);
      }
      return path;
    }();
    return bundle;
  }

  void headerLine(URLSessionTransfer& transfer, std::string_view line) {
    transfer.lastActivity = Clock::now();
    line = withoutLineEnding(line);
    if (startsWith(line, "HTTP/")) {
      // A new block: a final response, or an interim one ("100 Continue") that another
      // block follows.
      transfer.inHeaderBlock = true;
      transfer.fields.clear();
      std::string_view rest = trim(line);
      size_t space = rest.find(' ');
      transfer.version = std::string(rest.substr(0, space));
      transfer.status = space == std::string_view::npos
                            ? 0
                            : std::atoi(std::string(rest.substr(space + 1)).c_str());
      return;
    }
    if (!transfer.inHeaderBlock) return;
    if (trim(line).empty()) {
      transfer.inHeaderBlock = false;
      if (transfer.status >= 100 && transfer.status < 200) return;
      headersComplete(transfer);
      return;
    }
    if ((line.front() == ' ' || line.front() == '\t') && !transfer.fields.empty()) {
      std::string& value = transfer.fields.back().second;
      value += ' ';
      value.append(trim(line));
      return;
    }
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    transfer.fields.emplace_back(std::string(trim(line.substr(0, colon))),
                                 std::string(trim(line.substr(colon + 1))));
  }

  void headersComplete(URLSessionTransfer& transfer) {
    URLResponse response = URLResponse::http(transfer.request.url(), transfer.status,
                                             combinedFields(transfer.fields), transfer.version);
    const auto& storage = configuration_.httpCookieStorage();
    if (storage && configuration_.httpCookieAcceptPolicy() != HTTPCookieAcceptPolicy::Never)
      storage->setCookiesFromResponseHeaderFields(transfer.fields, transfer.request.url(),
                                                  transfer.request.mainDocumentURL());
    transfer.response = response;
    // An empty Location names no target: the response is the answer, not a redirect to itself.
    if (isRedirectStatus(transfer.status) &&
        !response.valueForHTTPHeaderField("Location").value_or("").empty()) {
      transfer.isRedirect = true;
      return;
    }
    deliverResponse(transfer.task, response);
  }

  // ---- Delivering to the task -------------------------------------------------------------

  void deliverResponse(const std::shared_ptr<URLSessionTask>& task, const URLResponse& response) {
    {
      std::lock_guard lock(task->mutex_);
      task->response_ = response;
    }
    auto& loading = *task->loading_;
    if (task->kind_ == URLSessionTask::Kind::Download) {
      if (loading.fd < 0 && !loading.fileError) openDownloadFile(task);
      return;
    }
    // A streamed task's reader hears of the response once the body filled the stream or ended.
    if (streamOf(*task)) return;
    if (!hasCompletionHandler(*task) && delegate_) {
      post([this, task, response] {
        auto session = sessionOf(*task);
        if (!session) return;
        guarded("didReceiveResponse", [&] {
          delegate_->didReceiveResponse(*session, static_cast<URLSessionDataTask&>(*task),
                                        response);
        });
      });
    }
  }

  // False when the data cannot be kept (the download file failed, or the body grew past the
  // task's limit); the task then fails with the error kept in `fileError`.
  // `owned`, when given, holds the same bytes as `data` and may be moved from.
  bool deliverData(const std::shared_ptr<URLSessionTask>& task, std::string_view data,
                   std::string* owned = nullptr) {
    auto& loading = *task->loading_;
    if (task->kind_ == URLSessionTask::Kind::Download) {
      if (loading.fd < 0) {
        if (loading.fileError) return false;
        openDownloadFile(task);
        if (loading.fd < 0) return false;
      }
      while (!data.empty()) {
        ssize_t written = ::write(loading.fd, data.data(), data.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
          loading.fileError = urlerror::make(urlerror::kCannotWriteToFile,
                                             &task->originalRequest_.url(), std::strerror(errno));
          return false;
        }
        data.remove_prefix(static_cast<size_t>(written));
      }
      return true;
    }
    if (BodyStream* stream = streamOf(*task)) {
      // Data given whole (a URL protocol's) cannot wait: it goes in as it is. A reader that
      // stopped has cancelled the task already.
      if (owned)
        stream->push(std::move(*owned), /*force=*/true);
      else
        stream->push(data, /*force=*/true);
      return true;
    }
    if (hasCompletionHandler(*task)) {
      std::size_t limit = static_cast<URLSessionDataTask&>(*task).maximumDataLength();
      if (data.size() > limit - std::min(limit, loading.body.size())) {
        loading.fileError =
            urlerror::make(urlerror::kDataLengthExceedsMaximum, &task->originalRequest_.url());
        return false;
      }
      if (owned && loading.body.empty())
        loading.body = std::move(*owned);
      else
        loading.body.append(data);
    } else if (delegate_) {
      post([this, task, chunk = owned ? std::move(*owned) : std::string(data)] {
        auto session = sessionOf(*task);
        if (!session) return;
        guarded("didReceiveData", [&] {
          delegate_->didReceiveData(*session, static_cast<URLSessionDataTask&>(*task), chunk);
        });
      });
    }
    return true;
  }

  void openDownloadFile(const std::shared_ptr<URLSessionTask>& task) {
    auto& loading = *task->loading_;
    std::string destination = static_cast<URLSessionDownloadTask&>(*task).destinationFile();
    if (!destination.empty()) {
      int fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                      S_IRUSR | S_IWUSR);
      if (fd < 0) {
        loading.fileError = urlerror::make(urlerror::kCannotCreateFile,
                                           &task->originalRequest_.url(), std::strerror(errno));
        return;
      }
      loading.fd = fd;
      loading.filePath = std::move(destination);
      return;
    }
    std::string pattern = fs::appendPath(paths::tmp(), "CFNetworkDownload_XXXXXX.tmp");
    int fd = ::mkstemps(pattern.data(), 4);
    if (fd < 0) {
      loading.fileError = urlerror::make(urlerror::kCannotCreateFile, &task->originalRequest_.url(),
                                         std::strerror(errno));
      return;
    }
    loading.fd = fd;
    loading.filePath = pattern;
  }

  // ---- Ending a hop or a task -----------------------------------------------------------

  void transferDone(CURL* easy, CURLcode result) {
    auto found = active_.find(easy);
    if (found == active_.end()) return;
    std::shared_ptr<URLSessionTransfer> transfer = found->second;
    std::shared_ptr<URLSessionTask> task = transfer->task;
    retire(transfer);
    auto& loading = *task->loading_;
    if (loading.transfer == transfer) loading.transfer.reset();
    if (loading.finished) return;
    const URL& url = transfer->request.url();
    if (result != CURLE_OK) {
      if (loading.fileError) {
        complete(task, loading.fileError);
        return;
      }
      long code = urlErrorCodeFor(result);
      // A proxy that refused the tunnel never let us reach the host; nothing was lost.
      long connectStatus = 0;
      if (curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &connectStatus) == CURLE_OK &&
          connectStatus >= 300)
        code = urlerror::kCannotConnectToHost;
      complete(task, urlerror::make(code, &url, transfer->errorBuffer));
      return;
    }
    if (!transfer->response) {
      complete(task, urlerror::make(urlerror::kBadServerResponse, &url));
      return;
    }
    if (transfer->isRedirect) {
      redirect(task, *transfer);
      return;
    }
    complete(task, std::nullopt);
  }

  // Takes a transfer off the network (or out of its host's waiting line) and lets the next
  // waiting transfer of that host start.
  void retire(const std::shared_ptr<URLSessionTransfer>& transfer) {
    auto slot = hosts_.find(transfer->hostKey);
    if (transfer->launched) {
      transfer->launched = false;
      curl_multi_remove_handle(multi_, transfer->easy);
      active_.erase(transfer->easy);
      if (slot != hosts_.end()) slot->second.active--;
    } else if (slot != hosts_.end()) {
      std::erase(slot->second.waiting, transfer);
    }
    if (slot == hosts_.end()) return;
    HostSlot& host = slot->second;
    while (host.active < configuration_.httpMaximumConnectionsPerHost() && !host.waiting.empty()) {
      auto next = host.waiting.front();
      host.waiting.pop_front();
      if (next->task->loading_->finished) continue;
      launch(next);
    }
    if (host.active == 0 && host.waiting.empty()) hosts_.erase(slot);
  }

  void redirect(const std::shared_ptr<URLSessionTask>& task, const URLSessionTransfer& transfer) {
    auto& loading = *task->loading_;
    const URLResponse& response = *transfer.response;
    if (!configuration_.httpShouldFollowRedirects()) {
      deliverFinal(task, response, transfer.redirectBody);
      return;
    }
    if (++loading.redirects > kMaximumRedirects) {
      complete(task, urlerror::make(urlerror::kHTTPTooManyRedirects, &transfer.request.url()));
      return;
    }
    std::optional<URL> target =
        transfer.request.url().resolve(*response.valueForHTTPHeaderField("Location"));
    if (!target || target->isEmpty()) {
      // A redirect the session cannot follow is the answer.
      deliverFinal(task, response, transfer.redirectBody);
      return;
    }
    URLRequest next = transfer.request;
    next.setURL(*target);
    if (originOf(transfer.request.url()) != originOf(*target)) {
      // Credentials the caller meant for one server never follow a redirect to another; the
      // delegate may put them back.
      next.removeHTTPHeaderField("Authorization");
      next.removeHTTPHeaderField("Proxy-Authorization");
      next.removeHTTPHeaderField("Cookie");
      for (const auto& name : configuration_.credentialHeaderFields())
        next.removeHTTPHeaderField(name);
    }
    std::string method = asciiUpper(next.httpMethod());
    bool becomesGet = (transfer.status == 303 && method != "GET" && method != "HEAD") ||
                      ((transfer.status == 301 || transfer.status == 302) && method == "POST");
    if (becomesGet) {
      next.setHTTPMethod("GET");
      next.setHTTPBody("");
      next.removeHTTPHeaderField("Content-Type");
      next.removeHTTPHeaderField("Content-Length");
    }
    std::uint64_t hop = loading.hop;
    if (!delegate_) {
      follow(task, hop, std::move(next), response, transfer.redirectBody);
      return;
    }
    post([this, task, hop, next = std::move(next), response,
          body = transfer.redirectBody]() mutable {
      auto session = sessionOf(*task);
      if (!session) return;
      auto decided = std::make_shared<std::atomic<bool>>(false);
      std::weak_ptr<URLSessionEngine> weak = weak_from_this();
      auto decide = [weak, task, hop, response, body, decided](std::optional<URLRequest> chosen) {
        if (decided->exchange(true)) return;
        auto engine = weak.lock();
        if (!engine) return;
        engine->post([engine, task, hop, chosen = std::move(chosen), response, body]() mutable {
          engine->follow(task, hop, std::move(chosen), response, body);
        });
      };
      bool threw = true;
      guarded("willPerformHTTPRedirection", [&] {
        delegate_->willPerformHTTPRedirection(*session, *task, response, std::move(next), decide);
        threw = false;
      });
      // A delegate that failed has not chosen: the redirect is not followed.
      if (threw) decide(std::nullopt);
    });
  }

  void follow(const std::shared_ptr<URLSessionTask>& task, std::uint64_t hop,
              std::optional<URLRequest> chosen, const URLResponse& response,
              const std::string& body) {
    auto& loading = *task->loading_;
    if (loading.finished || loading.hop != hop) return;
    if (!chosen) {
      deliverFinal(task, response, body);
      return;
    }
    {
      std::lock_guard lock(task->mutex_);
      task->currentRequest_ = std::move(*chosen);
    }
    startHop(task);
  }

  void deliverFinal(const std::shared_ptr<URLSessionTask>& task, const URLResponse& response,
                    const std::string& body) {
    deliverResponse(task, response);
    if (!body.empty() && !deliverData(task, body)) {
      complete(task, task->loading_->fileError);
      return;
    }
    complete(task, std::nullopt);
  }

  // Ends the task's loading now and schedules its completion behind everything already
  // queued for it, so that a delegate sees the response and data before the end.
  void complete(const std::shared_ptr<URLSessionTask>& task, std::optional<Error> error) {
    auto& loading = *task->loading_;
    if (loading.finished) return;
    loading.finished = true;
    if (auto transfer = std::move(loading.transfer)) retire(transfer);
    if (auto protocol = std::move(loading.protocol))
      guarded("stopLoading", [&] { protocol->stopLoading(); });
    if (loading.fd >= 0) {
      ::close(loading.fd);
      loading.fd = -1;
    }
    if (!error && loading.fileError) error = loading.fileError;
    if (!error && task->kind_ == URLSessionTask::Kind::Download && loading.filePath.empty()) {
      // A download with an empty body still hands over a (empty) file.
      openDownloadFile(task);
      if (loading.fd >= 0) {
        ::close(loading.fd);
        loading.fd = -1;
      } else {
        error = loading.fileError;
      }
    }
    post([this, task, error = std::move(error)] { finish(task, error); });
  }

  void finish(const std::shared_ptr<URLSessionTask>& task, const std::optional<Error>& error) {
    std::shared_ptr<URLSession> session;
    std::optional<URLResponse> response;
    {
      std::lock_guard lock(task->mutex_);
      task->state_ = URLSessionTask::State::Completed;
      task->error_ = error;
      session = task->session_;
      response = task->response_;
    }
    running_.erase(task);
    auto& loading = *task->loading_;
    if (task->kind_ == URLSessionTask::Kind::Data) {
      auto& dataTask = static_cast<URLSessionDataTask&>(*task);
      if (dataTask.stream_) {
        // The stream ends first: a reader told of the response only now finds the whole body.
        if (error)
          dataTask.stream_->fail(*error);
        else
          dataTask.stream_->finish();
        if (!loading.responded) {
          loading.responded = true;
          std::optional<Error> failure = error;
          if (!response && !failure)
            failure = urlerror::make(urlerror::kBadServerResponse, &task->originalRequest_.url());
          guarded("a streamed task's response",
                  [&] { dataTask.streamResponse_(failure ? std::nullopt : response, failure); });
        }
        dataTask.streamResponse_ = nullptr;
      } else if (dataTask.completion_) {
        std::optional<std::string> data;
        if (!error) data = std::move(loading.body);
        auto completion = std::move(dataTask.completion_);
        dataTask.completion_ = nullptr;
        guarded("a data task completion", [&] { completion(std::move(data), response, error); });
      } else if (delegate_ && session) {
        guarded("didCompleteWithError",
                [&] { delegate_->didCompleteWithError(*session, *task, error); });
      }
    } else {
      auto& downloadTask = static_cast<URLSessionDownloadTask&>(*task);
      std::optional<std::string> location;
      if (!error && !loading.filePath.empty()) location = loading.filePath;
      if (downloadTask.completion_) {
        auto completion = std::move(downloadTask.completion_);
        downloadTask.completion_ = nullptr;
        guarded("a download task completion", [&] { completion(location, response, error); });
      } else if (delegate_ && session) {
        if (location)
          guarded("didFinishDownloading",
                  [&] { delegate_->didFinishDownloading(*session, downloadTask, *location); });
        guarded("didCompleteWithError",
                [&] { delegate_->didCompleteWithError(*session, *task, error); });
      }
      // A destination file handed over is the caller's now.
      if (location && !downloadTask.destinationFile().empty()) loading.filePath.clear();
      // The file was the completion's to move; whatever is left goes.
      if (!loading.filePath.empty()) {
        ::unlink(loading.filePath.c_str());
        loading.filePath.clear();
      }
    }
    // The task no longer keeps its session; this may be the session's last holder.
    std::lock_guard lock(task->mutex_);
    task->session_.reset();
  }

  // ---- Time-outs -------------------------------------------------------------------------

  void checkInactivity(Clock::time_point now) {
    std::vector<std::shared_ptr<URLSessionTask>> timedOut;
    for (const auto& [easy, transfer] : active_) {
      // A paused transfer waits for its reader, not for the server.
      if (transfer->paused) continue;
      auto idle = std::chrono::duration<double>(now - transfer->lastActivity).count();
      if (idle > transfer->inactivityTimeout) timedOut.push_back(transfer->task);
    }
    for (const auto& task : timedOut)
      complete(task, urlerror::make(urlerror::kTimedOut, &task->currentRequest().url()));
  }

  void checkResourceTimeouts(Clock::time_point now) {
    const double limit = usableTimeout(configuration_.timeoutIntervalForResource(),
                                       URLSessionConfiguration::kDefaultTimeoutIntervalForResource);
    std::vector<std::shared_ptr<URLSessionTask>> timedOut;
    for (const auto& task : running_) {
      const auto& loading = *task->loading_;
      if (!loading.finished &&
          std::chrono::duration<double>(now - loading.startTime).count() > limit)
        timedOut.push_back(task);
    }
    for (const auto& task : timedOut)
      complete(task, urlerror::make(urlerror::kTimedOut, &task->currentRequest().url()));
  }

  long millisecondsToNextInactivityDeadline(Clock::time_point now) const {
    long soonest = 1000;
    for (const auto& [easy, transfer] : active_) {
      if (transfer->paused) continue;
      auto deadline =
          transfer->lastActivity + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(transfer->inactivityTimeout));
      long ms = static_cast<long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()) +
                1;
      soonest = std::min(soonest, std::max(0L, ms));
    }
    return soonest;
  }

  const URLSessionConfiguration configuration_;
  const std::shared_ptr<URLSessionDelegate> delegate_;
  const bool usesRegisteredProtocols_;
  CURLM* multi_ = nullptr;
  std::thread thread_;
  // The worker thread's id, once it runs.
  std::atomic<std::thread::id> worker_{};
  std::atomic<std::uint64_t> lastIdentifier_{0};

  std::mutex jobsMutex_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;

  std::mutex tasksMutex_;
  std::vector<std::weak_ptr<URLSessionTask>> tasks_;

  // Worker thread only.
  std::optional<bool> usesTrustStore_;
  std::set<std::shared_ptr<URLSessionTask>> running_;
  std::unordered_map<CURL*, std::shared_ptr<URLSessionTransfer>> active_;
  std::map<std::string, HostSlot> hosts_;
};

// Hands what a URL protocol says to the task's session queue. It holds the task and the
// engine weakly: a protocol that outlives its task talks to nobody.
class URLSessionEngine::ProtocolClient final : public URLProtocolClient {
 public:
  ProtocolClient(std::weak_ptr<URLSessionEngine> engine, std::weak_ptr<URLSessionTask> task,
                 std::uint64_t hop)
      : engine_(std::move(engine)), task_(std::move(task)), hop_(hop) {}

  void didReceiveResponse(URLProtocol&, const URLResponse& response,
                          URLCacheStoragePolicy) override {
    forward([response](URLSessionEngine& engine, const std::shared_ptr<URLSessionTask>& task,
                       std::uint64_t hop) { engine.protocolResponse(task, hop, response); });
  }
  void didLoadData(URLProtocol&, std::string data) override {
    forward([data = std::move(data)](URLSessionEngine& engine, const std::shared_ptr<URLSessionTask>& task,
                                     std::uint64_t hop) mutable {
      engine.protocolData(task, hop, std::move(data));
    });
  }
  void didFinishLoading(URLProtocol&) override {
    forward([](URLSessionEngine& engine, const std::shared_ptr<URLSessionTask>& task,
               std::uint64_t hop) { engine.protocolFinished(task, hop); });
  }
  void didFailWithError(URLProtocol&, const Error& error) override {
    forward([error](URLSessionEngine& engine, const std::shared_ptr<URLSessionTask>& task,
                    std::uint64_t hop) { engine.protocolFailed(task, hop, error); });
  }

 private:
  template <typename Event>
  void forward(Event event) {
    auto engine = engine_.lock();
    if (!engine) return;
    std::weak_ptr<URLSessionEngine> weakEngine = engine_;
    engine->post([weakEngine, task = task_, hop = hop_, event = std::move(event)]() mutable {
      auto strongEngine = weakEngine.lock();
      auto strongTask = task.lock();
      if (strongEngine && strongTask) event(*strongEngine, strongTask, hop);
    });
  }

  std::weak_ptr<URLSessionEngine> engine_;
  std::weak_ptr<URLSessionTask> task_;
  std::uint64_t hop_;
};

void URLSessionEngine::startProtocol(const std::shared_ptr<URLSessionTask>& task,
                                     const URLProtocolClassRef& protocolClass,
                                     const URLRequest& request) {
  auto& loading = *task->loading_;
  URLRequest canonical = request;
  guarded("canonicalRequestForRequest",
          [&] { canonical = protocolClass->canonicalRequestForRequest(request); });
  {
    std::lock_guard lock(task->mutex_);
    task->currentRequest_ = canonical;
  }
  auto client = std::make_shared<ProtocolClient>(weak_from_this(), task, loading.hop);
  guarded("making a URL protocol",
          [&] { loading.protocol = protocolClass->makeProtocol(canonical, client); });
  if (!loading.protocol) {
    complete(task, urlerror::make(urlerror::kUnknown, &canonical.url(),
                                  protocolClass->name() + " made no protocol"));
    return;
  }
  std::shared_ptr<URLProtocol> protocol = loading.protocol;
  bool threw = true;
  guarded("startLoading", [&] {
    protocol->startLoading();
    threw = false;
  });
  if (threw)
    complete(task, urlerror::make(urlerror::kUnknown, &canonical.url(),
                                  "the URL protocol failed to start"));
}

// ---- Tasks -----------------------------------------------------------------------------------

URLSessionTask::URLSessionTask(Kind kind, std::shared_ptr<URLSession> session,
                               std::uint64_t identifier, URLRequest request)
    : kind_(kind),
      identifier_(identifier),
      originalRequest_(request),
      session_(std::move(session)),
      currentRequest_(std::move(request)),
      loading_(std::make_unique<Loading>()) {}

URLSessionTask::~URLSessionTask() = default;

URLRequest URLSessionTask::originalRequest() const { return originalRequest_; }

URLRequest URLSessionTask::currentRequest() const {
  std::lock_guard lock(mutex_);
  return currentRequest_;
}

std::optional<URLResponse> URLSessionTask::response() const {
  std::lock_guard lock(mutex_);
  return response_;
}

std::optional<Error> URLSessionTask::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

std::string URLSessionTask::taskDescription() const {
  std::lock_guard lock(mutex_);
  return description_;
}

void URLSessionTask::setTaskDescription(std::string description) {
  std::lock_guard lock(mutex_);
  description_ = std::move(description);
}

URLSessionTask::State URLSessionTask::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void URLSessionTask::resume() {
  std::shared_ptr<URLSession> session;
  {
    std::lock_guard lock(mutex_);
    // Only a suspended task starts: a task leaves Suspended once and never comes back to it.
    if (state_ != State::Suspended || !session_) return;
    state_ = State::Running;
    session = session_;
  }
  session->engine_->resume(shared_from_this());
}

void URLSessionTask::cancel() {
  std::shared_ptr<URLSession> session;
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::Completed || state_ == State::Canceling || !session_) return;
    state_ = State::Canceling;
    session = session_;
  }
  session->engine_->cancel(shared_from_this());
}

URLSessionDataTask::URLSessionDataTask(std::shared_ptr<URLSession> session,
                                       std::uint64_t identifier, URLRequest request,
                                       URLSessionDataCompletion completion)
    : URLSessionTask(Kind::Data, std::move(session), identifier, std::move(request)),
      completion_(std::move(completion)) {}

URLSessionDownloadTask::URLSessionDownloadTask(std::shared_ptr<URLSession> session,
                                               std::uint64_t identifier, URLRequest request,
                                               URLSessionDownloadCompletion completion)
    : URLSessionTask(Kind::Download, std::move(session), identifier, std::move(request)),
      completion_(std::move(completion)) {}

void URLSessionDownloadTask::setDestinationFile(std::string path) {
  std::lock_guard lock(destinationMutex_);
  destinationFile_ = std::move(path);
}

std::string URLSessionDownloadTask::destinationFile() const {
  std::lock_guard lock(destinationMutex_);
  return destinationFile_;
}

// ---- Sessions --------------------------------------------------------------------------------

URLSession::URLSession(const URLSessionConfiguration& configuration,
                       std::shared_ptr<URLSessionDelegate> delegate, bool usesRegisteredProtocols)
    : engine_(std::make_shared<URLSessionEngine>(configuration, std::move(delegate),
                                                 usesRegisteredProtocols)) {
  engine_->startThread();
}

URLSession::~URLSession() { engine_->shutdown(); }

std::shared_ptr<URLSession> URLSession::sessionWithConfiguration(
    const URLSessionConfiguration& configuration, std::shared_ptr<URLSessionDelegate> delegate) {
  return std::shared_ptr<URLSession>(new URLSession(configuration, std::move(delegate), false));
}

std::shared_ptr<URLSession> URLSession::sharedSession() {
  // Never destroyed: tasks may still be completing while static objects are torn down.
  static auto* shared = new std::shared_ptr<URLSession>(
      new URLSession(URLSessionConfiguration::defaultSessionConfiguration(), nullptr, true));
  return *shared;
}

const URLSessionConfiguration& URLSession::configuration() const {
  return engine_->configuration();
}

const std::shared_ptr<URLSessionDelegate>& URLSession::delegate() const {
  return engine_->delegate();
}

URLProtocolClassRef URLSession::protocolClassForRequest(const URLRequest& request) const {
  if (!engine_->allowsScheme(request)) return nullptr;
  return engine_->protocolClassFor(request);
}

URLProtocolClassRef URLSession::firstProtocolClassForRequest(const URLRequest& request) const {
  if (!engine_->allowsScheme(request)) return nullptr;
  for (const auto& protocolClass : engine_->protocolClasses())
    if (protocolClass) return protocolClass;
  return nullptr;
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithRequest(
    const URLRequest& request, URLSessionDataCompletion completion) {
  auto task = std::make_shared<URLSessionDataTask>(shared_from_this(), engine_->nextIdentifier(),
                                                   request, std::move(completion));
  engine_->addTask(task);
  return task;
}

std::shared_ptr<URLSessionDataTask> URLSession::streamingDataTaskWithRequest(const URLRequest& request,
                                                                         std::shared_ptr<BodyStream> body,
                                                                         URLSessionStreamResponse response) {
  auto task = std::make_shared<URLSessionDataTask>(shared_from_this(), engine_->nextIdentifier(), request, nullptr);
  task->stream_ = body ? std::move(body) : std::make_shared<BodyStream>();
  task->streamResponse_ = response ? std::move(response)
                                   : [](const std::optional<URLResponse>&, const std::optional<Error>&) {};
  engine_->addTask(task);
  return task;
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithURL(
    const URL& url, URLSessionDataCompletion completion) {
  return dataTaskWithRequest(URLRequest(url), std::move(completion));
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithRequest(
    const URLRequest& request, URLSessionDownloadCompletion completion) {
  auto task = std::make_shared<URLSessionDownloadTask>(
      shared_from_this(), engine_->nextIdentifier(), request, std::move(completion));
  engine_->addTask(task);
  return task;
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithURL(
    const URL& url, URLSessionDownloadCompletion completion) {
  return downloadTaskWithRequest(URLRequest(url), std::move(completion));
}

void URLSession::getAllTasks(
    std::function<void(std::vector<std::shared_ptr<URLSessionTask>>)> completion) {
  engine_->getAllTasks(std::move(completion));
}

}  // namespace platform
