#include "platform/webkit/SynchronousEvaluateJavaScript.h"

#include <cmath>
#include <memory>

#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"

namespace platform::webkit {
namespace {

// How the result reads as text.
std::optional<std::string> textOf(const Value& result) {
  switch (result.type()) {
    case Value::value_t::null:
    case Value::value_t::discarded:
      return std::nullopt;
    case Value::value_t::string:
      return result.get<std::string>();
    case Value::value_t::boolean:
      return result.get<bool>() ? "1" : "0";
    case Value::value_t::number_float: {
      // Whole numbers read without a fraction, as page script writes them.
      double number = result.get<double>();
      if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) < 1e15)
        return std::to_string(static_cast<long long>(number));
      return result.dump();
    }
    default:
      return result.dump();
  }
}

}  // namespace

std::optional<std::string> stringByEvaluatingJavaScriptFromString(WebView& webView, const std::string& script,
                                                                  double timeLimitSeconds) {
  if (!MainLoop::isMainThread()) {
    log("stringByEvaluatingJavaScriptFromString is called off the main thread; nothing is evaluated.");
    return std::nullopt;
  }
  static int depth = 0;
  if (depth >= kMaxSynchronousEvaluationDepth) {
    log(stringf("stringByEvaluatingJavaScriptFromString is refused: %d synchronous evaluations wait already.", depth));
    return std::nullopt;
  }
  ++depth;
  struct Leave {
    ~Leave() { --depth; }
  } leave;
  // Shared with the completion, which may come after the wait has given up.
  struct Outcome {
    bool finished = false;
    std::optional<std::string> text;
  };
  auto outcome = std::make_shared<Outcome>();
  webView.evaluateJavaScript(script, [outcome](const Value& result, const std::optional<Error>& error) {
    outcome->finished = true;
    if (error) {
      log("evaluateJavaScript error : " + error->localizedDescription());
      return;
    }
    outcome->text = textOf(result);
  });
  if (!MainLoop::runUntil([&] { return outcome->finished; }, timeLimitSeconds)) {
    log(stringf("evaluateJavaScript did not finish within %g seconds; its result is dropped.", timeLimitSeconds));
    return std::nullopt;
  }
  return outcome->text;
}

}  // namespace platform::webkit
