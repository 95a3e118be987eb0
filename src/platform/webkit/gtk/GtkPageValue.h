#pragma once

#include <JavaScriptCore/JavaScript.h>
#include <webkit2/webkit2.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

// Values a page hands the shell, read from the web engine's own representation: the bodies
// of script messages and the results of evaluations. Strings are read from their UTF-16
// units in one pass; long strings and bytes cross beside a value's JSON text, each in one
// piece (the page's side of that format is `splitFunctionSource`). Main thread only, like
// the engine's values themselves.
namespace platform::webkit {

// A message's array as the engine's C API sees it: the long strings in it are read from their
// UTF-16 units and converted here in one pass, about three times as fast for text of
// megabytes as the engine's own UTF-8 conversion, and without a copy of the result.
struct RawArray {
  JSContextRef context = nullptr;
  JSObjectRef array = nullptr;
};

// The element at `index` of a message's array, as a raw value; null when there is none.
RawArray rawElement(const RawArray& raw, unsigned index);
// The UTF-8 text of the string at `index` of `raw`; nullopt when it is no string.
std::optional<std::string> utf8FromRawElement(const RawArray& raw, unsigned index);

// The value of a JSON text from the page; null (and a log line) when it is not one.
Value parsedFromJSON(std::string_view json);
// The value of an evaluation's result or of a message body that is not the page's JSON text.
Value valueFromJSC(JSCValue* value);
// A message body as the page's side of a main-frame channel sends it: its JSON text, or
// [text, long strings...]; a value JSON cannot write comes as it is. `raw`, when given, is
// the same body through the engine's C API.
Value bodyFromPage(JSCValue* body, const RawArray& raw);

// The page's side of the format: a JavaScript function that turns a value into its JSON
// text, or into [text, parts...] (see the definition), and the script that binds what it
// calls, which must run before it in the same world.
std::string splitFunctionSource();
std::string splitBindings();

}  // namespace platform::webkit
