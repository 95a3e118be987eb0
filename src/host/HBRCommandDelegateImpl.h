#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/HBRCallbackNotes.h"
#include "host/HBRCommandDelegate.h"

class HBRCommandQueue;
class HBRViewController;

// The host's command delegate: delivers results to JavaScript callbacks and closes the
// bridge's loop by feeding the string an evaluation returns back to the command queue.
class HBRCommandDelegateImpl : public HBRCommandDelegate, public std::enable_shared_from_this<HBRCommandDelegateImpl> {
 public:
  // Takes the host's queue, so the host makes its queue first.
  explicit HBRCommandDelegateImpl(const std::shared_ptr<HBRViewController>& viewController);

  std::optional<std::string> pathForResource(const std::string& resourcePath) override;
  std::shared_ptr<platform::Object> getCommandInstance(const std::string& pluginName) override;
  void sendPluginResult(const std::shared_ptr<HBRPluginResult>& result,
                        const std::optional<std::string>& callbackId) override;
  void evalJs(const std::string& js) override { evalJs(js, true); }
  void evalJs(const std::string& js, bool scheduledOnRunLoop) override;
  void runInBackground(std::function<void()> block) override;
  platform::Value& settings() override;
  URLTransformer urlTransformer() const override;
  void setUrlTransformer(URLTransformer transformer) override;

  void flushCommandQueueWithDelayedJs();
  // Notes that `callbackId` was issued by the page shown now (main thread, as a command runs),
  // from its document `document` (its token; empty when unknown): an answer to it that comes
  // once another page was committed is dropped, never evaluated in the next page, and in the
  // web process it runs only in that document. The newest `kMaxTrackedCallbacks` ids are kept;
  // an id no longer known, like an id no command issued (a fixed channel), goes to the
  // application's document shown when it is evaluated.
  void noteCallbackPage(const std::string& callbackId, const std::string& document = {});
  static constexpr size_t kMaxTrackedCallbacks = 4096;
  bool isValidCallbackId(const std::optional<std::string>& callbackId) const;

  // The JavaScript text that delivers `result` to `callbackId` (already checked) in the
  // document `document` (a token; see platform::webkit::WebView::topDocument): the answer is
  // one array, [id, status, message, keep, 0, document], and runs nowhere else. Without a
  // document the text names none yet; `withDocument` adds it before the text is evaluated.
  static std::string callbackMessage(const std::string& callbackId, const HBRPluginResult* result,
                                     const std::string& document = {});
  // Whether a callback text names its document already, and the text made to name `document`.
  static bool namesDocument(const std::string& callbackText);
  static void withDocument(std::string& callbackText, const std::string& document);
  // The global every answer calls, the one that takes a run of answers, and the
  // document-start script of the top frame that defines both in the page's world.
  static constexpr const char* kNativeCallbackFunction = "__harborNativeCallback";
  static constexpr const char* kNativeCallbacksFunction = "__harborNativeCallbacks";
  static std::string nativeCallbackDefinitionScript();
  // The text that delivers a run of answers (callback texts) as one call of the second global
  // with one JSON array of their arrays: parsed by the engine, never compiled, so the engine
  // keeps no code for it. Empty when a text is not a callback text.
  static std::string joinedCallbackMessage(const std::vector<const std::string*>& texts);

  // Answers posted for a later turn are evaluated together, a run of callback texts as one
  // call that hands back what each returned: this many of them at most, and texts up to
  // this size (larger ones go alone, and are built off the main thread when posted).
  static constexpr size_t kMaxJoinedScripts = 1000;
  static constexpr size_t kMaxJoinedBytes = 64 * 1024;
  // Answers at least this large give their memory back to the system once they are out.
  static constexpr size_t kTrimAboveBytes = 1024 * 1024;

 private:
  // The page a text is meant for: its generation, and the document (a token; empty when not
  // known, for the application's document shown when the text is evaluated).
  struct PageRef {
    std::uint64_t generation = 0;
    std::string document;
    bool operator==(const PageRef&) const = default;
  };
  using PageGeneration = std::optional<PageRef>;
  // A text waiting for its turn; `ready` is false while a large answer is still being built.
  struct Pending {
    std::string script;
    bool callback = false;
    bool ready = true;
    // The page it is meant for, when known.
    PageGeneration page;
  };
  void evalJsHelper(std::string js, bool callback = false, PageGeneration page = std::nullopt);
  // Evaluates a callback text (`callback`) or a script now, in the document it is meant for.
  void evalJsHelper2(std::string js, bool callback, PageGeneration page = std::nullopt);
  // The page shown now (main thread), and the page that issued an id.
  PageGeneration currentPage() const;
  // The document a text for `page` goes to: its own, else the application's document shown
  // now; empty when there is none.
  std::string documentFor(const PageGeneration& page) const;
  // Evaluates a callback text (which must name its document) or a run of them, and feeds the
  // batches the page hands back to the queue as commands of `document`.
  void evaluateAnswers(const std::string& script, const std::string& document);
  PageGeneration pageOfCallback(const std::string& callbackId);
  // Whether a text meant for `page` may still be evaluated; logs when not.
  bool isForCurrentPage(const PageGeneration& page) const;
  bool nothingPending();
  void postPending(std::shared_ptr<Pending> pending);
  void schedulePending();
  void evaluatePending();
  void evaluateJoined(const std::vector<std::shared_ptr<Pending>>& run);
  void feedBatches(const platform::Value& result, const std::string& document);

  std::weak_ptr<HBRViewController> viewController_;
  std::weak_ptr<HBRCommandQueue> commandQueue_;
  std::atomic<bool> delayResponses_{false};
  mutable std::mutex transformerMutex_;
  URLTransformer urlTransformer_;
  // What `settings` hands out once the host is gone: writes still have somewhere to go.
  platform::Value detachedSettings_ = platform::Value::object();
  std::mutex pendingMutex_;
  std::vector<std::shared_ptr<Pending>> pending_;
  bool pendingPosted_ = false;
  // The main-loop turn in which an answer last went out at once (main thread): the answers
  // after it in the same turn wait for the next one, where they go out together.
  std::uint64_t answeredTurn_ = ~std::uint64_t{0};
  std::mutex callbackPagesMutex_;
  HBRCallbackNotes callbackPages_{kMaxTrackedCallbacks};
};
