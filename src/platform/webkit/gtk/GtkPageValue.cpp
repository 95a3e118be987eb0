#include "platform/webkit/gtk/GtkPageValue.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"

namespace platform::webkit {

namespace {

// How deep a value from a page may nest before it is refused here. Building the value takes
// no recursion, so this only keeps memory in bounds; receivers that walk the value recursively
// apply the much lower `kMaxNestingDepth` themselves and answer the page with an error.
constexpr size_t kMaxReceivedDepth = kMaxNestingDepth * 64;

// The context's own String.prototype.toWellFormed, fetched once per context.
JSCValue* wellFormedFunction(JSCContext* context) {
  static const char* kKey = "veltro-to-well-formed";
  if (auto* cached = static_cast<JSCValue*>(g_object_get_data(G_OBJECT(context), kKey)))
    return cached;
  JSCValue* function = jsc_context_evaluate(
      context, "(function (s) { return s.toWellFormed ? s.toWellFormed() : s; })", -1);
  if (!function || !jsc_value_is_function(function)) {
    if (function) g_object_unref(function);
    return nullptr;
  }
  g_object_set_data_full(G_OBJECT(context), kKey, function, g_object_unref);
  return function;
}

// The UTF-8 bytes of a JavaScript string, NUL characters included.
std::string utf8FromJSC(JSCValue* value) {
  GBytes* bytes = jsc_value_to_string_as_bytes(value);
  if (!bytes) return std::string();
  gsize size = 0;
  const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
  std::string text(data ? data : "", data ? size : 0);
  g_bytes_unref(bytes);
  return text;
}


}  // namespace

// The element at `index` of a message's array, as a raw value; null when there is none.
RawArray rawElement(const RawArray& raw, unsigned index) {
  if (!raw.context || !raw.array) return {};
  JSValueRef element = JSObjectGetPropertyAtIndex(raw.context, raw.array, index, nullptr);
  if (!element || !JSValueIsArray(raw.context, element)) return {};
  return {raw.context, JSValueToObject(raw.context, element, nullptr)};
}

// The UTF-8 text of the string at `index` of `raw`; nullopt when it is no string.
std::optional<std::string> utf8FromRawElement(const RawArray& raw, unsigned index) {
  if (!raw.context || !raw.array) return std::nullopt;
  JSValueRef element = JSObjectGetPropertyAtIndex(raw.context, raw.array, index, nullptr);
  if (!element || !JSValueIsString(raw.context, element)) return std::nullopt;
  JSStringRef string = JSValueToStringCopy(raw.context, element, nullptr);
  if (!string) return std::nullopt;
  std::string text;
  size_t length = JSStringGetLength(string);
  if (length) appendUTF8FromUTF16(text, JSStringGetCharactersPtr(string), length);
  JSStringRelease(string);
  return text;
}

namespace {

Value stringFromJSC(JSCValue* value) {
  // A lone surrogate has no UTF-8 form and would cut the text short; it becomes U+FFFD first.
  JSCValue* wellFormed = nullptr;
  if (JSCValue* function = wellFormedFunction(jsc_value_get_context(value)))
    wellFormed = jsc_value_function_call(function, JSC_TYPE_VALUE, value, G_TYPE_NONE);
  Value result(utf8FromJSC(wellFormed && jsc_value_is_string(wellFormed) ? wellFormed : value));
  if (wellFormed) g_object_unref(wellFormed);
  return result;
}

// Strings this long are taken out of a value before it becomes JSON text: each is converted
// to UTF-8 once, instead of being escaped into JSON and parsed out of it again.
constexpr int kLongStringUnits = 16 * 1024;

// The prefix of the markers that stand for long strings in JSON text, random for each run of
// the shell so that no page can count on text that looks like one.
const std::string& longStringPrefix() {
  static const std::string prefix = "\x01veltro-long-string:" + std::to_string(g_random_int()) + "-" +
                                    std::to_string(g_random_int()) + ":";
  return prefix;
}

// The same for wrapped bytes, which cross as Base64 text of their own.
const std::string& bytesPrefix() {
  static const std::string prefix =
      "\x01veltro-bytes:" + std::to_string(g_random_int()) + "-" + std::to_string(g_random_int()) + ":";
  return prefix;
}

}  // namespace

// A JavaScript function that turns a value into its JSON text, or, when the value holds long
// strings or wrapped bytes, into [text, parts...] where the text has a marker (a prefix and an
// index) in place of each: a long string is a part as it is; bytes that `wrapBytes` wrapped (an
// ArrayBuffer, or the bytes a view covers) are a part in Base64, made with the engine's own
// coder. Anything else is as JSON writes it (an ArrayBuffer an empty object). It calls the
// names `splitBindings` binds in the script around it, which hold the functions it needs as
// they were at that script's start; it uses no method a page can replace. A value JSON cannot
// write (a cycle) throws, and so do bytes of a buffer that was handed over elsewhere.
std::string splitFunctionSource() {
  std::string longUnits = std::to_string(kLongStringUnits);
  return "(function (value) {"
         // A value of a few small parts takes the engine's fast path, without a replacer.
         "var stack = [value], depth = 1, parts = 0, plain = true;"
         "while (depth) {"
         "  var part = stack[--depth];"
         "  if (typeof part === 'string') { if (part.length >= " + longUnits + ") { plain = false; break; } continue; }"
         "  if (part === null || typeof part !== 'object') continue;"
         "  if (isBytes(part)) { plain = false; break; }"
         // An array's elements by their index: no list of names is made for it.
         "  if (isArray(part)) {"
         "    var length = part.length;"
         "    parts += length + 1;"
         "    if (parts > 64) { plain = false; break; }"
         "    for (var j = 0; j < length; j++) stack[depth++] = part[j];"
         "    continue;"
         "  }"
         "  var names = keys(part);"
         "  parts += names.length + 1;"
         "  if (parts > 64) { plain = false; break; }"
         "  for (var i = 0; i < names.length; i++) stack[depth++] = part[names[i]];"
         "}"
         "if (plain) return stringify(value);"
         "var split = [''], prefix = " + Value(longStringPrefix()).dump() + ", bytes = " + Value(bytesPrefix()).dump() + ";"
         "var text = stringify(value, function (key, item) {"
         "  if (item !== null && typeof item === 'object' && isBytes(item)) {"
         "    split[split.length] = base64(item);"
         "    return bytes + (split.length - 2);"
         "  }"
         "  if (typeof item !== 'string' || item.length < " + longUnits + ") return item;"
         "  split[split.length] = wellFormed(item);"
         "  return prefix + (split.length - 2);"
         "});"
         "if (split.length === 1 || text === undefined) return text;"
         "split[0] = text;"
         "return split; })";
}

// The script that binds what the function above calls, in the world it runs in. Where the
// engine has no Base64 coder of its own, bytes go through btoa in chunks that keep
// String.fromCharCode within argument limits.
std::string splitBindings() {
  return "var stringify = JSON.stringify, keys = Object.keys, isArray = Array.isArray;"
         "var toWellFormed = String.prototype.toWellFormed;"
         "var wellFormed = function (s) { return toWellFormed ? call(toWellFormed, s, []) : s; };"
         "var Buffer = ArrayBuffer, isView = ArrayBuffer.isView, Bytes = Uint8Array, call = Reflect.apply;"
         "var toBase64 = Uint8Array.prototype.toBase64, fromCharCode = String.fromCharCode, freeze = Object.freeze;"
         "var toAscii = typeof btoa === 'function' ? btoa : null;"
         "var Wrapped = function (v) { this.v = v; freeze(this); };"
         "freeze(Wrapped.prototype);"
         "var wrapBytes = function (v) {"
         "  if (!(v instanceof Buffer) && !isView(v)) throw new TypeError('bytes: an ArrayBuffer or a view of one');"
         "  return new Wrapped(v);"
         "};"
         "var isBytes = function (v) { return v instanceof Wrapped; };"
         "var base64 = function (w) {"
         "  var v = w.v, view = v instanceof Buffer ? new Bytes(v) : new Bytes(v.buffer, v.byteOffset, v.byteLength);"
         "  if (toBase64) return call(toBase64, view, []);"
         "  var text = '';"
         "  for (var i = 0; i < view.length; i += 32768) text += call(fromCharCode, null, view.subarray(i, i + 32768));"
         "  return toAscii(text);"
         "};";
}

namespace {

// The function `source` evaluates to in `context`, made once per context and kept under
// `key`; null when the source gives no function.
JSCValue* contextFunction(JSCContext* context, const char* key, const std::function<std::string()>& source) {
  if (auto* cached = static_cast<JSCValue*>(g_object_get_data(G_OBJECT(context), key))) return cached;
  std::string text = source();
  JSCValue* function = jsc_context_evaluate(context, text.c_str(), static_cast<gssize>(text.size()));
  if (!function || !jsc_value_is_function(function)) {
    if (function) g_object_unref(function);
    jsc_context_clear_exception(context);
    return nullptr;
  }
  g_object_set_data_full(G_OBJECT(context), key, function, g_object_unref);
  return function;
}

// The context's own splitter.
JSCValue* splitterFor(JSCContext* context) {
  return contextFunction(context, "veltro-long-string-splitter", [] {
    return "(function () {" + splitBindings() + "return " + splitFunctionSource() + "; })()";
  });
}

// Bytes up to this size are decoded into one buffer the context keeps, so that messages of
// them leave no garbage of their size behind for the collector; larger ones get their own.
constexpr int kKeptDecodeBufferBytes = 2 * 1024 * 1024;

// A function of the context that decodes Base64 with its own Uint8Array.fromBase64 into a
// Uint8Array (a view of the kept buffer, valid until the next call), made once per context;
// null where the engine has no such coder.
JSCValue* fromBase64Function(JSCContext* context) {
  return contextFunction(context, "veltro-from-base64", [] {
    return std::string(
      "(function () {"
      "  var from = Uint8Array.fromBase64, into = Uint8Array.prototype.setFromBase64, kept = null;"
      "  if (typeof from !== 'function') return null;"
      "  return function (s) {"
      "    var most = Math.ceil(s.length / 4) * 3;"
      "    if (typeof into !== 'function' || most > " + std::to_string(kKeptDecodeBufferBytes) + ") return from(s);"
      "    if (!kept || kept.length < most) kept = new Uint8Array(Math.max(most, 65536));"
      "    return kept.subarray(0, into.call(kept, s).written);"
      "  };"
      "})()");
  });
}

// The bytes of a part the page sent in Base64, decoded by the engine straight from its string
// (no UTF-8 copy of the text on the way); null when the text is not Base64.
Value bytesFromBase64JSC(JSCValue* text) {
  JSCContext* context = jsc_value_get_context(text);
  if (JSCValue* decode = fromBase64Function(context)) {
    JSCValue* array = jsc_value_function_call(decode, JSC_TYPE_VALUE, text, G_TYPE_NONE);
    if (jsc_context_get_exception(context)) jsc_context_clear_exception(context);
    Value result;
    if (array && jsc_value_is_typed_array(array)) {
      gsize length = 0;
      const auto* data = static_cast<const std::uint8_t*>(jsc_value_typed_array_get_data(array, &length));
      result = Value::binary(data && length ? Bytes(data, data + length) : Bytes());
    }
    if (array) g_object_unref(array);
    if (result.is_null()) log("GtkWebView: bytes from the page that are not Base64 arrive as null.");
    return result;
  }
  if (auto bytes = base64Decode(utf8FromJSC(text))) return Value::binary(std::move(*bytes));
  log("GtkWebView: bytes from the page that are not Base64 arrive as null.");
  return Value();
}

// The index after `prefix` at the start of `text`, or nullopt when it is no such marker.
std::optional<size_t> markerIndex(const std::string& text, const std::string& prefix) {
  if (text.size() <= prefix.size() || text.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  return std::strtoul(text.c_str() + prefix.size(), nullptr, 10);
}

// Puts the long strings and bytes back where their markers stand; each part is taken once.
// Walks with its own stack: the value may nest as deep as the page likes.
void restoreParts(Value& value, const std::vector<JSCValue*>& parts, const RawArray& raw) {
  std::vector<bool> taken(parts.size(), false);
  std::vector<Value*> pending{&value};
  while (!pending.empty()) {
    Value* current = pending.back();
    pending.pop_back();
    if (current->is_string()) {
      const auto& text = current->get_ref<const std::string&>();
      bool isBytes = false;
      auto index = markerIndex(text, longStringPrefix());
      if (!index) {
        index = markerIndex(text, bytesPrefix());
        isBytes = index.has_value();
      }
      if (!index || *index >= parts.size() || taken[*index]) continue;
      taken[*index] = true;
      JSCValue* part = parts[*index];
      if (isBytes)
        *current = part && jsc_value_is_string(part) ? bytesFromBase64JSC(part) : Value();
      else if (auto text = utf8FromRawElement(raw, static_cast<unsigned>(*index + 1)))
        *current = Value(std::move(*text));
      else
        *current = Value(part && jsc_value_is_string(part) ? utf8FromJSC(part) : std::string());
    } else if (current->is_array() || current->is_object()) {
      for (Value& child : *current) pending.push_back(&child);
    }
  }
}

}  // namespace

Value parsedFromJSON(std::string_view json) {
  std::string error;
  auto result = parseJSONText(json, &error, kMaxReceivedDepth);
  if (!result) {
    log("GtkWebView: a value from the page was dropped: " + error);
    return Value();
  }
  return std::move(*result);
}

namespace {

// The value of a splitter's [text, parts...], the long strings and bytes put back in place.
Value joinedFromSplit(JSCValue* split, const RawArray& raw) {
  // More parts than any real message has are a page's mistake; the rest stay markers.
  constexpr int kMaxLongStrings = 65536;
  JSCValue* length = jsc_value_object_get_property(split, "length");
  guint count = length ? static_cast<guint>(std::clamp(jsc_value_to_int32(length), 0, kMaxLongStrings + 1)) : 0;
  if (length) g_object_unref(length);
  JSCValue* text = jsc_value_object_get_property_at_index(split, 0);
  Value result = parsedFromJSON(text ? utf8FromJSC(text) : std::string());
  if (text) g_object_unref(text);
  std::vector<JSCValue*> parts;
  parts.reserve(count > 0 ? count - 1 : 0);
  for (guint i = 1; i < count; ++i) parts.push_back(jsc_value_object_get_property_at_index(split, i));
  restoreParts(result, parts, raw);
  for (JSCValue* part : parts)
    if (part) g_object_unref(part);
  return result;
}

Value parsedFromJSC(JSCValue* value) {
  if (!value) return Value();
  // Strings first: every answer of the bridge's callbacks is one.
  if (jsc_value_is_string(value)) return stringFromJSC(value);
  if (jsc_value_is_undefined(value) || jsc_value_is_null(value)) return Value();
  // Other values go through their JSON text: a string holding half a UTF-16 surrogate pair
  // has no UTF-8 form, and WebKit's direct conversion stops short at it. In JSON it is an
  // escape, which the parser turns into U+FFFD.
  JSCContext* context = jsc_value_get_context(value);
  JSCValue* splitter = (jsc_value_is_array(value) || jsc_value_is_object(value)) && !jsc_value_is_function(value)
                           ? splitterFor(context)
                           : nullptr;
  if (splitter) {
    JSCValue* split = jsc_value_function_call(splitter, JSC_TYPE_VALUE, value, G_TYPE_NONE);
    if (jsc_context_get_exception(context)) {
      jsc_context_clear_exception(context);
    } else if (split && jsc_value_is_string(split)) {
      std::string json = utf8FromJSC(split);
      g_object_unref(split);
      return parsedFromJSON(json);
    } else if (split && jsc_value_is_array(split)) {
      Value result = joinedFromSplit(split, RawArray{});
      g_object_unref(split);
      return result;
    }
    // undefined: a value JSON leaves out altogether (a function, a symbol).
    if (split) g_object_unref(split);
  }
  char* json = jsc_value_to_json(value, 0);
  if (!json) {
    if (JSCException* exception = jsc_context_get_exception(context)) {
      (void)exception;
      jsc_context_clear_exception(context);
    }
    // Functions, symbols and cyclic objects have no JSON form; their text is the best answer.
    char* text = jsc_value_to_string(value);
    Value result = text ? Value(text) : Value();
    g_free(text);
    return result;
  }
  Value result = parsedFromJSON(std::string_view(json, std::strlen(json)));
  g_free(json);
  return result;
}

}  // namespace

Value valueFromJSC(JSCValue* value) { return parsedFromJSC(value); }

// A message body as the page's side of a main-frame channel sends it: its JSON text, or
// [text, long strings...]; a value JSON cannot write comes as it is.
// `raw`, when given, is the same body through the engine's C API.
Value bodyFromPage(JSCValue* body, const RawArray& raw) {
  if (body && jsc_value_is_string(body)) return parsedFromJSON(utf8FromJSC(body));
  if (body && jsc_value_is_array(body)) {
    JSCValue* first = jsc_value_object_get_property_at_index(body, 0);
    bool split = first && jsc_value_is_string(first);
    if (first) g_object_unref(first);
    if (split) return joinedFromSplit(body, raw);
  }
  return parsedFromJSC(body);
}

}  // namespace platform::webkit
