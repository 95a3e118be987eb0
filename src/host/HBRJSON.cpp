#include "host/HBRJSON.h"

#include <cmath>
#include <utility>
#include <vector>

#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"

using platform::Value;

std::optional<std::string> hbr_JSONUnrepresentable(const Value& value) {
  // A walk with its own stack: the value may come from a page and nest as deep as it likes.
  std::vector<std::pair<const Value*, size_t>> pending{{&value, 0}};
  while (!pending.empty()) {
    auto [current, depth] = pending.back();
    pending.pop_back();
    switch (current->type()) {
      case Value::value_t::number_float:
        if (!std::isfinite(current->get<double>())) return "Invalid number value (infinite or NaN) in JSON write";
        break;
      case Value::value_t::binary:
        return "Invalid type in JSON write (data)";
      case Value::value_t::array:
      case Value::value_t::object:
        if (depth + 1 > platform::kMaxNestingDepth)
          return platform::stringf("Invalid value in JSON write (nested deeper than %zu levels)",
                                   platform::kMaxNestingDepth);
        for (const Value& child : *current) pending.emplace_back(&child, depth + 1);
        break;
      default:
        break;
    }
  }
  return std::nullopt;
}

namespace {
std::optional<std::string> write(const Value& value, int indent, const char* errorFormat) {
  if (auto why = hbr_JSONUnrepresentable(value)) {
    platform::log(platform::stringf(errorFormat, why->c_str()));
    return std::nullopt;
  }
  // Text that is not valid UTF-8 is delivered with U+FFFD in place of the bad bytes.
  return platform::jsonText(value, indent);
}
}  // namespace

std::optional<std::string> hbr_JSONStringOfArray(const Value& array) {
  return write(array, -1, "NSArray JSONString error: %s");
}

std::optional<std::string> hbr_JSONStringOfArrayElement(const Value& value) {
  std::string out;
  if (!hbr_appendJSONStringOfArrayElement(out, value)) return std::nullopt;
  return out;
}

bool hbr_appendJSONStringOfArrayElement(std::string& out, const Value& value) {
  if (auto why = hbr_JSONUnrepresentable(value)) {
    platform::log(platform::stringf("NSArray JSONString error: %s", why->c_str()));
    return false;
  }
  platform::appendJSONText(out, value);
  return true;
}

std::optional<std::string> hbr_JSONStringOfDictionary(const Value& dictionary) {
  return write(dictionary, 2, "NSDictionary JSONString error: %s");
}

std::optional<Value> hbr_JSONObject(const std::string& text) {
  std::string why;
  auto parsed = platform::parseJSONText(text, &why);
  if (parsed && !(parsed->is_array() || parsed->is_object())) {
    why = "JSON text did not start with array or object.";
    parsed.reset();
  }
  if (!parsed) {
    // The text is the page's: only its beginning goes into the log.
    constexpr size_t kShown = 1024;
    std::string shown = platform::replacingInvalidUTF8(std::string_view(text).substr(0, kShown));
    if (text.size() > kShown) shown += "...";
    platform::log(platform::stringf("NSString JSONObject error: %s, Malformed Data: %s", why.c_str(), shown.c_str()));
  }
  return parsed;
}

std::optional<Value> hbr_JSONFragment(const std::string& text) {
  std::string why;
  auto parsed = platform::parseJSONText(text, &why);
  if (!parsed) platform::log("NSString JSONObject error: " + why);
  return parsed;
}
