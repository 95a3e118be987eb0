#include "host/HBRCommandDelegateImpl.h"

#include "host/HBRCommandQueue.h"
#include "host/HBRJSON.h"
#include "host/HBRPluginResult.h"
#include "host/HBRViewController.h"
#include "host/HBRWebViewEngineProtocol.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/Strings.h"
#include "platform/webkit/WebView.h"

using platform::Value;

namespace {
const std::string kNoDocument;
}

HBRCommandDelegateImpl::HBRCommandDelegateImpl(const std::shared_ptr<HBRViewController>& viewController)
    : viewController_(viewController),
      commandQueue_(viewController ? viewController->commandQueue() : nullptr) {}

std::optional<std::string> HBRCommandDelegateImpl::pathForResource(const std::string& resourcePath) {
  auto vc = viewController_.lock();
  std::string folder = vc ? vc->wwwFolderName() : "www";
  auto components = platform::split(resourcePath, '/');
  std::string fileName = components.back();
  components.pop_back();
  std::string joined = platform::join(components, "/");
  std::string directory = joined.empty() ? folder : folder + "/" + joined;
  return platform::Bundle::main().pathForResource(fileName, "", directory);
}

std::shared_ptr<platform::Object> HBRCommandDelegateImpl::getCommandInstance(const std::string& pluginName) {
  auto vc = viewController_.lock();
  return vc ? vc->getCommandInstance(pluginName) : nullptr;
}

bool HBRCommandDelegateImpl::isValidCallbackId(const std::optional<std::string>& callbackId) const {
  if (!callbackId) return false;
  if (callbackId->size() > 100) return false;
  // Only letters, digits, '.', '_' and '-' (checked by hand: this runs for every answer).
  for (char c : *callbackId) {
    bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                   c == '_' || c == '-';
    if (!allowed) return false;
  }
  return true;
}

std::string HBRCommandDelegateImpl::callbackMessage(const std::string& callbackId, const HBRPluginResult* result,
                                                    const std::string& document) {
  // No result object is still an answer: status 0 with a null message, callback dropped.
  int status = result ? static_cast<int>(result->status()) : 0;
  bool keep = result && result->keepCallback();
  // Built by hand rather than with a format: this runs once for every answer, and the message
  // (megabytes, at times) is written straight into the text. The text is one call of the fixed
  // global with one JSON array: JavaScriptCore evaluates that shape with its JSON parser instead
  // of compiling it. The id has only letters, digits, '.', '_' and '-', and the message is JSON
  // text (string escapes of JSON only, U+FFFD for what UTF-8 cannot carry).
  std::string text;
  std::optional<size_t> known = result ? result->knownJSONSize() : std::nullopt;
  text.reserve(64 + callbackId.size() + document.size() + known.value_or(0));
  text += kNativeCallbackFunction;
  text += "([\"";
  text += callbackId;
  text += "\",";
  size_t statusAt = text.size();
  text += std::to_string(status);
  text += ',';
  if (!result) {
    text += "null";
  } else if (!result->appendArgumentsAsJSON(text)) {
    // A message JSON cannot carry must not reach JavaScript as a success with no payload.
    text.resize(statusAt);
    text += std::to_string(static_cast<int>(HBRResultStatus::JSONException)) + ',' +
            Value("The plugin result could not be serialized to JSON.").dump();
  }
  text += keep ? ",1,0" : ",0,0";
  if (!document.empty()) {
    // A token has only letters, digits and '-' (checked where the web view took it).
    text += ",\"";
    text += document;
    text += '"';
  }
  text += "])";
  return text;
}

bool HBRCommandDelegateImpl::namesDocument(const std::string& callbackText) {
  return callbackText.size() > 3 && callbackText.compare(callbackText.size() - 3, 3, "\"])") == 0;
}

void HBRCommandDelegateImpl::withDocument(std::string& callbackText, const std::string& document) {
  if (namesDocument(callbackText) || callbackText.size() < 2) return;
  callbackText.insert(callbackText.size() - 2, ",\"" + document + "\"");
}

std::string HBRCommandDelegateImpl::nativeCallbackDefinitionScript() {
  // Defined before any script of the page runs, as properties of the top window that can be
  // neither replaced nor deleted: answers reach the page's bridge and no one else. The first
  // runs an answer only in the document it names (the web view's check, defined before it, as
  // unchangeable) and there calls the bridge exactly as the answer would: same values, same
  // order, its result returned; without a bridge it throws as the bare call would ("harbor" is
  // not found). In any other document it runs nothing and hands back nothing. The second runs
  // a run of answers each as if evaluated alone (one that throws does not stop the next) and
  // hands back the batches they returned: one as it is, several as an array, none as nothing.
  std::string fixed = "',{writable:false,enumerable:false,configurable:false,value:";
  std::string script =
      "(function(){var one=function(a){if(!";
  script += platform::webkit::WebView::kDocumentCheckFunction;
  script +=
      "(a[5]))return;return harbor.require('harbor/exec').nativeCallback(a[0],a[1],a[2],a[3],a[4])};"
      "Object.defineProperty(window,'";
  script += kNativeCallbackFunction;
  script += fixed + "one});Object.defineProperty(window,'";
  script += kNativeCallbacksFunction;
  script += fixed +
            "function(l){var r=[],s,i;for(i=0;i<l.length;i++){try{s=one(l[i]);if(typeof s==='string'&&s)r.push(s)}"
            "catch(e){}}return r.length>1?r:r[0]}});})();";
  return script;
}

std::string HBRCommandDelegateImpl::joinedCallbackMessage(const std::vector<const std::string*>& texts) {
  const std::string head = std::string(kNativeCallbackFunction) + "([";
  std::string joined = kNativeCallbacksFunction;
  joined += "([";
  bool first = true;
  for (const std::string* text : texts) {
    // A callback text is the first global called with one JSON array: that array goes in.
    if (text->size() < head.size() + 2 || text->compare(0, head.size(), head) != 0 ||
        text->compare(text->size() - 2, 2, "])") != 0)
      return std::string();
    if (!first) joined += ',';
    first = false;
    joined.append(*text, head.size() - 1, text->size() - head.size());
  }
  joined += "])";
  return joined;
}

namespace {
// Roughly the size of a message's JSON text, stopping once it passes `limit`.
size_t estimatedSize(const Value& value, size_t limit) {
  switch (value.type()) {
    case Value::value_t::string: return value.get_ref<const std::string&>().size() + 2;
    case Value::value_t::binary: return value.get_binary().size() * 4 / 3 + 40;
    case Value::value_t::array:
    case Value::value_t::object: {
      size_t total = 2;
      for (const auto& item : value) {
        total += estimatedSize(item, limit) + 1;
        if (total > limit) break;
      }
      if (value.is_object()) {
        for (const auto& item : value.items()) total += item.key().size() + 3;
      }
      return total;
    }
    default: return 8;
  }
}
}  // namespace

void HBRCommandDelegateImpl::sendPluginResult(const std::shared_ptr<HBRPluginResult>& result,
                                              const std::optional<std::string>& callbackId) {
  if (callbackId && *callbackId == "INVALID") return;
  if (!isValidCallbackId(callbackId)) {
    platform::log("Invalid callback id received by sendPluginResult");
    return;
  }
  // Turning the answer into text is the bridge's work, not the plugin's: a command is not
  // reported as slow because the page asked for a large answer.
  HBRCommandQueue::ConversionClock clock;
  auto queue = commandQueue_.lock();
  bool onMain = platform::MainLoop::isMainThread();
  bool atOnce = !delayResponses_ && onMain && queue && queue->currentlyExecuting();
  std::optional<size_t> known = result ? result->knownJSONSize() : std::nullopt;
  if (!atOnce && onMain && result &&
      (known ? *known : estimatedSize(result->message(), kMaxJoinedBytes)) > kMaxJoinedBytes) {
    // A large answer that waits for a later turn anyway is built on the global queue; its
    // place among the other answers is kept.
    auto pending = std::make_shared<Pending>();
    pending->callback = true;
    pending->ready = false;
    pending->page = pageOfCallback(*callbackId);
    std::string document = pending->page ? pending->page->document : std::string();
    postPending(pending);
    std::weak_ptr<HBRCommandDelegateImpl> weakSelf = weak_from_this();
    platform::DispatchQueue::global().async([weakSelf, pending, result, id = *callbackId, document] {
      std::string text = callbackMessage(id, result.get(), document);
      auto self = weakSelf.lock();
      if (!self) return;
      {
        std::lock_guard<std::mutex> lock(self->pendingMutex_);
        pending->script = std::move(text);
        pending->ready = true;
      }
      self->schedulePending();
    });
    return;
  }
  PageGeneration page = pageOfCallback(*callbackId);
  evalJsHelper(callbackMessage(*callbackId, result.get(), page ? page->document : std::string()), true,
               std::move(page));
}

void HBRCommandDelegateImpl::noteCallbackPage(const std::string& callbackId, const std::string& document) {
  // Only the generation of the page shown is asked for here: the document is the command's.
  if (!platform::MainLoop::isMainThread()) return;
  auto vc = viewController_.lock();
  auto engine = vc ? vc->webViewEngine() : nullptr;
  if (!engine) return;
  std::uint64_t generation = engine->pageGeneration();
  std::lock_guard<std::mutex> lock(callbackPagesMutex_);
  callbackPages_.note(callbackId, generation, document);
}

HBRCommandDelegateImpl::PageGeneration HBRCommandDelegateImpl::pageOfCallback(const std::string& callbackId) {
  PageRef page;
  std::lock_guard<std::mutex> lock(callbackPagesMutex_);
  if (!callbackPages_.find(callbackId, page.generation, page.document)) return std::nullopt;
  return page;
}

HBRCommandDelegateImpl::PageGeneration HBRCommandDelegateImpl::currentPage() const {
  if (!platform::MainLoop::isMainThread()) return std::nullopt;
  auto vc = viewController_.lock();
  auto engine = vc ? vc->webViewEngine() : nullptr;
  if (!engine) return std::nullopt;
  return PageRef{engine->pageGeneration(), engine->applicationDocument().value_or(std::string())};
}

std::string HBRCommandDelegateImpl::documentFor(const PageGeneration& page) const {
  if (page && !page->document.empty()) return page->document;
  PageGeneration now = currentPage();
  return now ? now->document : std::string();
}

bool HBRCommandDelegateImpl::isForCurrentPage(const PageGeneration& page) const {
  if (!page) return true;
  PageGeneration now = currentPage();
  if (now && now->generation == page->generation) return true;
  platform::log("Dropped an answer or event meant for an earlier page.");
  return false;
}

void HBRCommandDelegateImpl::evalJs(const std::string& js, bool scheduledOnRunLoop) {
  std::string wrapped = "try{harbor.require('harbor/exec').nativeEvalAndFetch(function(){" + js +
                        "})}catch(e){console.log('exception nativeEvalAndFetch : '+e);};";
  if (scheduledOnRunLoop) {
    // Meant for the page shown now; a page committed before its turn does not get it.
    evalJsHelper(std::move(wrapped), false, currentPage());
  } else if (platform::MainLoop::isMainThread()) {
    evalJsHelper2(std::move(wrapped), false);
  } else {
    // The web view lives on the main thread; a caller elsewhere gets the next turn instead.
    std::weak_ptr<HBRCommandDelegateImpl> weakSelf = weak_from_this();
    platform::MainLoop::post([weakSelf, wrapped = std::move(wrapped)]() mutable {
      if (auto self = weakSelf.lock()) self->evalJsHelper2(std::move(wrapped), false);
    });
  }
}

void HBRCommandDelegateImpl::evalJsHelper(std::string js, bool callback, PageGeneration page) {
  auto queue = commandQueue_.lock();
  if (!delayResponses_ && platform::MainLoop::isMainThread() && queue && queue->currentlyExecuting() &&
      platform::MainLoop::turn() != answeredTurn_ && nothingPending()) {
    // The first answer of a turn goes out at once: a page that waits on each call waits no
    // longer than it must. The answers to the commands that came with it in the same turn (a
    // page that made many calls at once) follow in one evaluation in the next turn. Never
    // ahead of an answer sent before it that still waits.
    answeredTurn_ = platform::MainLoop::turn();
    evalJsHelper2(std::move(js), callback, std::move(page));
    return;
  }
  auto pending = std::make_shared<Pending>();
  pending->script = std::move(js);
  pending->callback = callback;
  pending->page = page;
  postPending(std::move(pending));
}

bool HBRCommandDelegateImpl::nothingPending() {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  return pending_.empty();
}

void HBRCommandDelegateImpl::postPending(std::shared_ptr<Pending> pending) {
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    pending_.push_back(std::move(pending));
  }
  schedulePending();
}

void HBRCommandDelegateImpl::schedulePending() {
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    // One turn of the main loop serves every answer posted before it.
    if (pendingPosted_ || pending_.empty() || !pending_.front()->ready) return;
    pendingPosted_ = true;
  }
  std::weak_ptr<HBRCommandDelegateImpl> weakSelf = weak_from_this();
  platform::MainLoop::post([weakSelf] {
    if (auto self = weakSelf.lock()) self->evaluatePending();
  });
}

void HBRCommandDelegateImpl::evaluatePending() {
  std::vector<std::shared_ptr<Pending>> taken;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    pendingPosted_ = false;
    // Answers go out in the order they were sent: the first one still being built holds
    // back the ones after it, and its builder asks for the next turn.
    size_t ready = 0;
    while (ready < pending_.size() && pending_[ready]->ready) ++ready;
    taken.assign(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(ready));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(ready));
  }
  std::vector<std::shared_ptr<Pending>> run;
  std::string runDocument;
  size_t runBytes = 0;
  // The page shown, asked once for every answer that is not evaluated in between: an
  // evaluation may commit another page, so it is asked again after each one.
  PageGeneration now = currentPage();
  auto flush = [&] {
    if (run.empty()) return;
    if (run.size() == 1) evalJsHelper2(std::move(run.front()->script), true, run.front()->page);
    if (run.size() > 1) evaluateJoined(run);
    run.clear();
    runBytes = 0;
    now = currentPage();
  };
  for (auto& pending : taken) {
    // What was meant for a page that went away is dropped here, before anything is joined.
    if (pending->page && !(now && now->generation == pending->page->generation)) {
      platform::log("Dropped an answer or event meant for an earlier page.");
      continue;
    }
    size_t size = pending->script.size();
    if (!pending->callback || size > kMaxJoinedBytes) {
      flush();
      evalJsHelper2(std::move(pending->script), pending->callback, pending->page);
      now = currentPage();
      continue;
    }
    // A run goes to one document: what the page hands back is that document's.
    const std::string& document =
        pending->page && !pending->page->document.empty() ? pending->page->document : (now ? now->document : kNoDocument);
    if (run.size() == kMaxJoinedScripts || runBytes + size > kMaxJoinedBytes || (!run.empty() && document != runDocument))
      flush();
    if (run.empty()) runDocument = document;
    run.push_back(pending);
    runBytes += size;
  }
  flush();
}

void HBRCommandDelegateImpl::evaluateJoined(const std::vector<std::shared_ptr<Pending>>& run) {
  std::string document = documentFor(run.front()->page);
  if (document.empty()) {
    // The engine refuses them, and says why.
    evaluateAnswers(std::string(), document);
    return;
  }
  std::vector<const std::string*> texts;
  texts.reserve(run.size());
  for (const auto& pending : run) {
    withDocument(pending->script, document);
    texts.push_back(&pending->script);
  }
  std::string script = joinedCallbackMessage(texts);
  if (script.empty()) {
    for (const auto& pending : run) evalJsHelper2(std::move(pending->script), true, pending->page);
    return;
  }
  evaluateAnswers(script, document);
}

void HBRCommandDelegateImpl::evaluateAnswers(const std::string& script, const std::string& document) {
  auto vc = viewController_.lock();
  auto engine = vc ? vc->webViewEngine() : nullptr;
  if (!engine) return;
  std::weak_ptr<HBRCommandDelegateImpl> weakSelf = weak_from_this();
  auto feed = [weakSelf, document](const Value& result, const std::optional<platform::Error>&) {
    if (auto self = weakSelf.lock()) self->feedBatches(result, document);
  };
  // Without a document the engine refuses, and says why.
  if (document.empty())
    engine->evaluateJavaScript(script, std::move(feed), document);
  else
    engine->evaluateAnswers(script, std::move(feed));
}

void HBRCommandDelegateImpl::feedBatches(const Value& result, const std::string& document) {
  auto queue = commandQueue_.lock();
  if (!queue) return;
  if (result.is_string()) {
    queue->enqueueCommandBatch(result.get<std::string>(), document);
  } else if (result.is_array()) {
    for (const auto& batch : result)
      if (batch.is_string()) queue->enqueueCommandBatch(batch.get<std::string>(), document);
  } else {
    return;
  }
  queue->executePending();
}

void HBRCommandDelegateImpl::evalJsHelper2(std::string js, bool callback, PageGeneration page) {
  auto vc = viewController_.lock();
  auto engine = vc ? vc->webViewEngine() : nullptr;
  if (!engine || !isForCurrentPage(page)) return;
  // The document it goes to: the one that issued the callback, else the application's
  // document shown now. In the web process it runs there only.
  std::string document = documentFor(page);
  if (js.size() >= kTrimAboveBytes) {
    // The allocator keeps freed blocks of this size for later; once the answer is gone, the
    // memory goes back to the system instead of staying with the process.
    platform::MainLoop::releaseFreedMemorySoon();
  }
  if (callback && !document.empty()) {
    withDocument(js, document);
    evaluateAnswers(js, document);
    return;
  }
  // A script, or an answer with no application's document to go to, which the engine refuses
  // (and says why).
  std::weak_ptr<HBRCommandQueue> weakQueue = commandQueue_;
  engine->evaluateJavaScript(
      js,
      [weakQueue, document](const Value& result, const std::optional<platform::Error>&) {
        if (!result.is_string()) return;
        if (auto queue = weakQueue.lock()) {
          queue->enqueueCommandBatch(result.get<std::string>(), document);
          queue->executePending();
        }
      },
      document);
}

void HBRCommandDelegateImpl::runInBackground(std::function<void()> block) {
  platform::DispatchQueue::global().async(std::move(block));
}

Value& HBRCommandDelegateImpl::settings() {
  auto vc = viewController_.lock();
  return vc ? vc->mutableSettings() : detachedSettings_;
}

HBRCommandDelegate::URLTransformer HBRCommandDelegateImpl::urlTransformer() const {
  std::lock_guard<std::mutex> lock(transformerMutex_);
  return urlTransformer_;
}

void HBRCommandDelegateImpl::setUrlTransformer(URLTransformer transformer) {
  std::lock_guard<std::mutex> lock(transformerMutex_);
  urlTransformer_ = std::move(transformer);
}

void HBRCommandDelegateImpl::flushCommandQueueWithDelayedJs() {
  delayResponses_ = true;
  if (auto queue = commandQueue_.lock()) queue->executePending();
  delayResponses_ = false;
}
