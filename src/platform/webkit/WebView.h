#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/BodyStream.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Strings.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"
#include "platform/ui/View.h"

namespace platform::webkit {

// The domain of the web view's own errors (a script that threw, a failed snapshot).
inline constexpr const char* kWKErrorDomain = "WKErrorDomain";

// Navigation types with the numbers the host's plugins are given.
enum class NavigationType : int {
  LinkActivated = 0,
  FormSubmitted = 1,
  BackForward = 2,
  Reload = 3,
  FormResubmitted = 4,
  Other = -1,
};

struct NavigationAction {
  URLRequest request;
  NavigationType navigationType = NavigationType::Other;
  bool targetsMainFrame = true;
  // Whether the user's own click or key press started it (WebKit grants this only to the
  // frame the user acted in); a navigation a script starts on its own has none.
  bool userGesture = false;
};

// Receives the messages a page posts with window.webkit.messageHandlers.<name>.postMessage.
class ScriptMessageHandler {
 public:
  virtual ~ScriptMessageHandler() = default;
  virtual void didReceiveScriptMessage(const std::string& name, const Value& body) = 0;
  // The same with a body the handler may keep: a message can carry megabytes.
  virtual void didReceiveScriptMessage(const std::string& name, Value&& body) {
    didReceiveScriptMessage(name, static_cast<const Value&>(body));
  }
};

struct UserScript {
  std::string source;
  bool atDocumentStart = true;
  bool mainFrameOnly = true;
};

// Decides, from the URL of the top-level page that sent it, whether a message may reach a
// main-frame handler.
using ScriptMessageOriginCheck = std::function<bool(const URL& mainFrameURL)>;

// Who may post to a main-frame handler. The relay in the top frame refuses a message before
// it leaves the page unless the page's origin ("scheme://host[:port]", lower case) is one of
// `origins` (or it is a file URL and `fileURLs` is set) and its JSON text, long strings
// included, is at most `maxMessageBytes`: a page that may not send costs the shell's process
// nothing. What the relay lets through, `check` decides again in the UI process, both on the
// URL the relay read and on the top document as the web engine committed it.
struct ScriptMessageOriginPolicy {
  ScriptMessageOriginCheck check;
  // Without a list, the relay leaves the origin to `check` alone.
  std::optional<std::vector<std::string>> origins;
  bool fileURLs = false;
  size_t maxMessageBytes = kMaxScriptMessageBytes;

  // The largest message a page may post, in bytes of its JSON text (UTF-16 code units as the
  // relay counts them, which is never more than the UTF-8 bytes the shell receives).
  static constexpr size_t kMaxScriptMessageBytes = 128u * 1024 * 1024;
};

// The scripts and message handlers of a web view. Handlers are held strongly, as the
// platform does; a host that must not be kept alive registers a weak wrapper.
class UserContentController {
 public:
  void addUserScript(UserScript script) { scripts_.push_back(std::move(script)); }
  const std::vector<UserScript>& userScripts() const { return scripts_; }
  void addScriptMessageHandler(std::shared_ptr<ScriptMessageHandler> handler, const std::string& name) {
    handlers_[name] = std::move(handler);
    originChecks_.erase(name);
  }
  // A handler only the main frame of the web view can reach, and only while `originCheck`
  // accepts the page's URL; everything else sent to it is dropped with a log line. Frames,
  // other windows and pages the check refuses do not see the handler at all.
  void addMainFrameScriptMessageHandler(std::shared_ptr<ScriptMessageHandler> handler, const std::string& name,
                                        ScriptMessageOriginCheck originCheck) {
    addMainFrameScriptMessageHandler(std::move(handler), name, ScriptMessageOriginPolicy{std::move(originCheck), std::nullopt, false});
  }
  void addMainFrameScriptMessageHandler(std::shared_ptr<ScriptMessageHandler> handler, const std::string& name,
                                        ScriptMessageOriginPolicy policy) {
    handlers_[name] = std::move(handler);
    if (!policy.check) policy.check = [](const URL&) { return false; };
    originChecks_[name] = std::move(policy);
  }
  // The check of a main-frame handler; nullptr for a handler every frame reaches.
  const ScriptMessageOriginCheck* originCheck(const std::string& name) const {
    auto it = originChecks_.find(name);
    return it == originChecks_.end() ? nullptr : &it->second.check;
  }
  const ScriptMessageOriginPolicy* originPolicy(const std::string& name) const {
    auto it = originChecks_.find(name);
    return it == originChecks_.end() ? nullptr : &it->second;
  }
  void removeScriptMessageHandler(const std::string& name) {
    handlers_.erase(name);
    originChecks_.erase(name);
  }
  std::shared_ptr<ScriptMessageHandler> handler(const std::string& name) const {
    auto it = handlers_.find(name);
    return it == handlers_.end() ? nullptr : it->second;
  }
  const std::map<std::string, std::shared_ptr<ScriptMessageHandler>>& handlers() const { return handlers_; }

 private:
  std::vector<UserScript> scripts_;
  std::map<std::string, std::shared_ptr<ScriptMessageHandler>> handlers_;
  std::map<std::string, ScriptMessageOriginPolicy> originChecks_;
};

// One web content process pool shared by every web view of the process. The WebKitGTK
// backend maps it to one WebKitWebContext.
class ProcessPool {
 public:
  virtual ~ProcessPool() = default;
};

class WebView;

// One request of a custom URL scheme. Answer with a response, data and finish, or a failure.
// Calls after the task was stopped are ignored. Main thread only.
class URLSchemeTask {
 public:
  virtual ~URLSchemeTask() = default;
  virtual const URLRequest& request() const = 0;
  virtual void didReceiveResponse(const URLResponse& response) = 0;
  virtual void didReceiveData(std::string_view data) = 0;
  // The same with data the handler is done with: a task that keeps the body may take it over
  // instead of copying it. This default hands it to didReceiveData.
  virtual void didReceiveOwnedData(std::string data) { didReceiveData(std::string_view(data)); }
  virtual void didFinish() = 0;
  // The whole answer at once: the response, a body the handler is done with, and the end.
  // This default makes the three calls; a task may hand it on without copying either.
  virtual void didReceiveAnswer(URLResponse response, std::string body) {
    didReceiveResponse(response);
    if (!body.empty()) didReceiveOwnedData(std::move(body));
    didFinish();
  }
  virtual void didFailWithError(const Error& error) = 0;
  // Answers the body with `length` bytes of the open regular file `fd` from `offset`, after
  // the response, and finishes. The task owns `fd` from here on. A web view reads the file
  // as the page consumes it, off the main thread and never whole into memory; this default,
  // for tasks without a stream of their own, reads it here in pieces.
  virtual void didReceiveFileBody(int fd, std::int64_t offset, std::int64_t length);
  // Answers the body from `body` as it arrives, after the response, and finishes when it ends
  // (fails when it fails). A task that takes it reads it as the page consumes it, so that what
  // waits between the handler and the page stays within the stream's capacity, and cancels it
  // when the load is stopped; it answers true. This default answers false: the task has no
  // stream of its own, and answerWithBodyStream hands the body to it piece by piece.
  virtual bool didReceiveBodyStream(const std::shared_ptr<BodyStream>& body);
};

// Answers `task` with the body in `body` (after its response): through the task's own stream
// when it has one, else on the main thread, each piece through didReceiveData as it arrives.
// A stream that the handler cancels (it stopped the task) answers nothing more.
void answerWithBodyStream(const std::shared_ptr<URLSchemeTask>& task, std::shared_ptr<BodyStream> body);

class URLSchemeHandler {
 public:
  virtual ~URLSchemeHandler() = default;
  virtual void startURLSchemeTask(WebView& webView, const std::shared_ptr<URLSchemeTask>& task) = 0;
  virtual void stopURLSchemeTask(WebView& webView, const std::shared_ptr<URLSchemeTask>& task) = 0;
};

// Media types whose playback needs a user gesture (a bit mask).
enum MediaTypes : unsigned { kMediaTypeNone = 0, kMediaTypeAudio = 1, kMediaTypeVideo = 2, kMediaTypeAll = 3 };

struct WebPreferences {
  double minimumFontSize = 0;
};

// Everything a web view is made with. Scheme handlers are per configuration here; the
// WebKitGTK backend registers them on the shared context.
struct WebViewConfiguration {
  std::shared_ptr<ProcessPool> processPool;
  std::shared_ptr<UserContentController> userContentController = std::make_shared<UserContentController>();
  std::map<std::string, std::shared_ptr<URLSchemeHandler>> urlSchemeHandlers;
  WebPreferences preferences;
  unsigned mediaTypesRequiringUserActionForPlayback = kMediaTypeAll;
  bool allowsInlineMediaPlayback = false;         // no Linux counterpart; kept
  bool suppressesIncrementalRendering = false;    // no Linux counterpart; kept
  bool allowsAirPlayForMediaPlayback = true;      // no Linux counterpart; kept
  std::optional<std::string> applicationNameForUserAgent;
  std::string defaultApplicationNameForUserAgent = "Mobile/15E148";

  // Schemes are kept lower-cased: a URL's scheme has no case, and the engine asks in lower case.
  void setURLSchemeHandler(std::shared_ptr<URLSchemeHandler> handler, const std::string& scheme) {
    urlSchemeHandlers[asciiLower(scheme)] = std::move(handler);
  }
  // The handler registered for `scheme` (in any case), or nullptr.
  std::shared_ptr<URLSchemeHandler> handlerForScheme(const std::string& scheme) const {
    auto it = urlSchemeHandlers.find(asciiLower(scheme));
    return it == urlSchemeHandlers.end() ? nullptr : it->second;
  }
};

// A load of the page (or of one of its frames) that the server answered with a request for
// credentials.
enum class AuthenticationScheme { Default, HTTPBasic, HTTPDigest, HTMLForm, NTLM, Negotiate, ClientCertificate, ServerTrust, Unknown };
struct AuthenticationChallenge {
  std::string host;
  int port = 0;
  std::string realm;
  AuthenticationScheme scheme = AuthenticationScheme::Unknown;
  bool isForProxy = false;
  bool isRetry = false;  // credentials given before were refused
  std::optional<std::string> proposedUser;
};
struct URLCredential {
  std::string user;
  std::string password;
};
// What becomes of a challenge that was taken. Default handling, once the challenge has been
// taken, continues the load without credentials, as rejecting the protection space does.
enum class AuthChallengeDisposition { UseCredential, PerformDefaultHandling, CancelAuthenticationChallenge, RejectProtectionSpace };
using AuthenticationCompletion = std::function<void(AuthChallengeDisposition, std::optional<URLCredential>)>;

class NavigationDelegate {
 public:
  virtual ~NavigationDelegate() = default;
  // A load needs credentials. True takes the challenge: `completion` is then called once, on
  // any thread (a completion dropped uncalled cancels the challenge). False leaves it to the
  // web engine's own handling.
  virtual bool didReceiveAuthenticationChallenge(WebView&, const AuthenticationChallenge&, AuthenticationCompletion) {
    return false;
  }
  virtual void decidePolicyForNavigationAction(WebView&, const NavigationAction&,
                                               std::function<void(bool allow)> decisionHandler) {
    decisionHandler(true);
  }
  virtual void didStartProvisionalNavigation(WebView&) {}
  // A new top document was committed: from here on it is the page (committedPage() tells
  // which). A navigation that starts and never commits (an answer without a document, a
  // failure, a download) leaves the page as it was.
  virtual void didCommitNavigation(WebView&) {}
  virtual void didFinishNavigation(WebView&) {}
  virtual void didFailProvisionalNavigation(WebView&, const Error&) {}
  virtual void didFailNavigation(WebView&, const Error&) {}
  virtual void webContentProcessDidTerminate(WebView&) {}
};

// Dialogs and windows a page asks for. Each completion must be called exactly once.
class UIDelegate {
 public:
  virtual ~UIDelegate() = default;
  virtual void runJavaScriptAlertPanel(WebView&, const std::string& message, std::function<void()> completion) {
    (void)message;
    completion();
  }
  virtual void runJavaScriptConfirmPanel(WebView&, const std::string& message, std::function<void(bool)> completion) {
    (void)message;
    completion(false);
  }
  virtual void runJavaScriptTextInputPanel(WebView&, const std::string& prompt, const std::string& defaultText,
                                           std::function<void(std::optional<std::string>)> completion) {
    (void)prompt;
    (void)defaultText;
    completion(std::nullopt);
  }
  // Answers the web view that shows a page's new window, or nullptr to refuse it.
  virtual std::shared_ptr<WebView> createWebView(WebView&, const WebViewConfiguration&, const NavigationAction&) {
    return nullptr;
  }
  virtual void webViewDidClose(WebView&) {}
};

using JavaScriptCompletion = std::function<void(const Value& result, const std::optional<Error>& error)>;

// The web view the host drives. Every call is made on the main thread.
class WebView : public ui::View {
 public:
  using ui::View::View;

  // Schemes the web engine serves itself; a scheme handler cannot be registered for them.
  static bool handlesURLScheme(const std::string& scheme);

  virtual void loadRequest(const URLRequest& request) = 0;
  virtual void loadHTMLString(const std::string& html, const std::optional<URL>& baseURL) = 0;
  virtual void loadFileURL(const URL& url, const URL& readAccessURL) = 0;
  virtual std::optional<URL> url() const = 0;
  virtual std::optional<std::string> title() const = 0;
  virtual void reload() = 0;
  // The completion runs later on the main thread, never inside this call.
  virtual void evaluateJavaScript(const std::string& script, JavaScriptCompletion completion) = 0;

  virtual const WebViewConfiguration& configuration() const = 0;
  virtual void setMinimumFontSize(double size) = 0;
  virtual void setAllowsBackForwardNavigationGestures(bool allow) = 0;
  virtual bool allowsBackForwardNavigationGestures() const = 0;
  virtual void setCustomUserAgent(std::optional<std::string> userAgent) = 0;
  virtual std::optional<std::string> customUserAgent() const = 0;
  // Registers a message handler after creation.
  virtual void addScriptMessageHandler(std::shared_ptr<ScriptMessageHandler> handler, const std::string& name) = 0;
  // Registers a main-frame handler after creation (see UserContentController); its page side
  // is there from the next load on.
  virtual void addMainFrameScriptMessageHandler(std::shared_ptr<ScriptMessageHandler> handler, const std::string& name,
                                                ScriptMessageOriginPolicy policy) = 0;

  // A document of the page as it described itself at its start, from the shell's own script
  // world, which no script of the page reaches: its origin as the web engine has it ("null"
  // for a document without an origin of its own: a sandboxed frame, a data: URL), its URL
  // (cut to kMaxDocumentURLLength), and for a top document a token of its own, which no other
  // document has.
  struct PageDocument {
    std::string origin;
    std::string url;
    std::string token;
  };
  static constexpr size_t kMaxDocumentURLLength = 4096;
  // The top document as the web engine last committed it: its URL (nullopt before the first
  // commit and once the content process ended) and the page generation, the number of
  // documents committed so far. Navigations within the document change neither; the URL is
  // the engine's own, which no script of the page can change. `documents` are those that
  // described themselves since (the top document's own and every frame's: each origin once,
  // and for documents of file URLs each URL once), up to kMaxPageDocuments; a page that had
  // more has `tooManyDocuments` set. A document that goes away stays counted until the next
  // commit.
  struct CommittedPage {
    std::optional<URL> url;
    std::uint64_t generation = 0;
    std::vector<PageDocument> documents;
    bool tooManyDocuments = false;
  };
  static constexpr size_t kMaxPageDocuments = 256;
  const CommittedPage& committedPage() const { return committedPage_; }
  // The top document that described itself last: the one the web process shows now, which
  // may be ahead of committedPage() (the engine reports a commit after the document has
  // started). Nothing before the first one and once the content process ended.
  const std::optional<PageDocument>& topDocument() const { return topDocument_; }
  // While a main-frame handler is given a message: the token of the top document that posted
  // it. Empty otherwise, and for a document that had none.
  const std::string& messageDocument() const { return messageDocument_; }

  // Whether a message to a main-frame handler with `policy`, posted from a top document at
  // `pageURL` (read where the page cannot change it), may reach the handler: that URL and the
  // top document as the engine committed it must both pass the policy's check. A message
  // posted by a page before another one was committed never counts for the next. Every
  // backend asks this of each message.
  bool acceptsMainFrameMessage(const ScriptMessageOriginPolicy& policy, const std::optional<URL>& pageURL) const {
    const auto& committed = committedPage_.url;
    return pageURL && policy.check && policy.check(*pageURL) && committed && policy.check(*committed);
  }

  // Evaluates `script` in the top document whose token is `documentToken` and nowhere else:
  // the check runs in the web process as the script is about to run, in code the page cannot
  // change, so a script meant for one document never runs in the next, however soon that one
  // is committed. Elsewhere nothing runs and the completion gets a null result. The script
  // runs as a block, so its completion value is its result.
  virtual void evaluateJavaScript(const std::string& script, JavaScriptCompletion completion,
                                  const std::string& documentToken) = 0;
  // The global function, defined in every top document before its own scripts, that says
  // whether a token is the document's own: texts that check their document themselves (the
  // bridge's answers) call it.
  static constexpr const char* kDocumentCheckFunction = "__veltroDocumentIs";
  // `script` made to run only in the document of `documentToken`.
  static std::string scriptForDocument(const std::string& script, const std::string& documentToken);
  // Whether `token` has the form of a document's token (what a web process sends is checked
  // before it is used in a script).
  static bool isDocumentToken(const std::string& token);
  // Adds a user script after creation; it runs from the next load on.
  virtual void addUserScript(UserScript script) = 0;
  // A web view that is not opaque draws no background of its own: where the page draws none,
  // what lies behind the view shows through. Views are opaque until told otherwise.
  virtual void setOpaque(bool opaque) { opaque_ = opaque; }
  bool isOpaque() const { return opaque_; }

  void setNavigationDelegate(std::weak_ptr<NavigationDelegate> delegate) { navigationDelegate_ = std::move(delegate); }
  std::shared_ptr<NavigationDelegate> navigationDelegate() const { return navigationDelegate_.lock(); }
  void setUIDelegate(std::weak_ptr<UIDelegate> delegate) { uiDelegate_ = std::move(delegate); }
  std::shared_ptr<UIDelegate> uiDelegate() const { return uiDelegate_.lock(); }

 protected:
  // The configuration a view keeps: one whose user content controller was cleared gets a
  // fresh one, so that a view never has to check for it.
  static WebViewConfiguration completedConfiguration(WebViewConfiguration configuration);
  // Backends call this when a new top document was committed (`url`), or with nullopt when the
  // document went away without one (the content process ended).
  void didCommitPage(std::optional<URL> url) {
    committedPage_.url = std::move(url);
    ++committedPage_.generation;
    committedPage_.documents.clear();
    committedPage_.tooManyDocuments = false;
  }
  // Backends call this when a document described itself (`topFrame` for the top document).
  void didDescribeDocument(bool topFrame, PageDocument document);
  // And this when the content process ended: no document is left.
  void didLoseDocuments() {
    didCommitPage(std::nullopt);
    topDocument_.reset();
  }
  // Sets messageDocument() while it lives.
  class DeliveringMessage {
   public:
    DeliveringMessage(WebView& view, std::string token) : view_(view), previous_(std::move(view.messageDocument_)) {
      view.messageDocument_ = std::move(token);
    }
    ~DeliveringMessage() { view_.messageDocument_ = std::move(previous_); }
    DeliveringMessage(const DeliveringMessage&) = delete;
    DeliveringMessage& operator=(const DeliveringMessage&) = delete;

   private:
    WebView& view_;
    std::string previous_;
  };

 private:
  CommittedPage committedPage_;
  std::optional<PageDocument> topDocument_;
  std::string messageDocument_;
  std::weak_ptr<NavigationDelegate> navigationDelegate_;
  std::weak_ptr<UIDelegate> uiDelegate_;
  bool opaque_ = true;
};

// How engines make their web view: the headless one unless the program installs another
// (the shell installs the WebKitGTK one at start).
using WebViewFactory = std::function<std::shared_ptr<WebView>(ui::Rect frame, const WebViewConfiguration&)>;
WebViewFactory& currentWebViewFactory();
std::shared_ptr<WebView> makeWebView(ui::Rect frame, const WebViewConfiguration& configuration);

// The user agent a web view made with a default configuration would send, read from the web
// engine's settings: no view is made and no script runs, so it is safe during start-up.
// Main thread only. The program that installs a web view factory installs the matching
// provider; the headless one answers a fixed text with the default application name.
using DefaultUserAgentProvider = std::function<std::string()>;
DefaultUserAgentProvider& currentDefaultUserAgentProvider();
std::string defaultUserAgent();

}  // namespace platform::webkit
