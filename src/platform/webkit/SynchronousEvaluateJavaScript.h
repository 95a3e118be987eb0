#pragma once

#include <optional>
#include <string>

#include "platform/webkit/WebView.h"

namespace platform::webkit {

// How long `stringByEvaluatingJavaScriptFromString` waits at most, by default.
inline constexpr double kSynchronousEvaluationTimeLimit = 10;
// How many synchronous evaluations may wait inside one another at most.
inline constexpr int kMaxSynchronousEvaluationDepth = 8;

// Evaluates `script` in `webView` and waits for its result: the result as text (a string as
// it is, a number in its shortest form, a boolean as "1" or "0", an object or array as JSON),
// or nothing when there is none (null, undefined), the evaluation failed (logged as
// "evaluateJavaScript error : <description>") or it did not finish within
// `timeLimitSeconds` (logged; its late result is dropped).
//
// Main thread only (elsewhere it logs and answers nothing). It waits by running the main
// loop in place, so everything else due on the main thread (timers, other callbacks) runs
// meanwhile: callers must be ready for that. The page's commands wait until the plugin action
// that waits has returned (HBRCommandQueue). The time limit keeps a page that never answers
// (a script that loops, a web process that hangs) from holding the shell, and an evaluation
// asked for while `kMaxSynchronousEvaluationDepth` wait already is refused (logged, nothing),
// so waits never pile up on the stack.
std::optional<std::string> stringByEvaluatingJavaScriptFromString(
    WebView& webView, const std::string& script, double timeLimitSeconds = kSynchronousEvaluationTimeLimit);

}  // namespace platform::webkit
