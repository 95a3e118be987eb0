#include "platform/foundation/PropertyList.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"

namespace platform {

namespace {

// Property-list dates count seconds from 2001-01-01 00:00:00 UTC.
constexpr std::int64_t kReferenceDateOffset = 978307200;

// Depth guard: a hostile binary plist can nest (or even loop back) far enough to exhaust
// the stack.
constexpr int kMaxDepth = 512;

std::optional<Value> toValue(plist_t node, int depth) {
  if (!node || depth > kMaxDepth) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
      Value object = Value::object();
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      while (it) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, it, &key, &item);
        if (!item) {
          free(key);
          break;
        }
        auto value = toValue(item, depth + 1);
        if (value && key) object[key] = std::move(*value);
        free(key);
        if (!value) {
          free(it);
          return std::nullopt;
        }
      }
      free(it);
      return object;
    }
    case PLIST_ARRAY: {
      Value array = Value::array();
      uint32_t size = plist_array_get_size(node);
      for (uint32_t i = 0; i < size; ++i) {
        auto value = toValue(plist_array_get_item(node, i), depth + 1);
        if (!value) return std::nullopt;
        array.push_back(std::move(*value));
      }
      return array;
    }
    case PLIST_STRING: {
      uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      return Value(std::string(text ? text : "", text ? length : 0));
    }
    case PLIST_BOOLEAN: {
      uint8_t flag = 0;
      plist_get_bool_val(node, &flag);
      return Value(flag != 0);
    }
    case PLIST_UINT: {
      uint64_t number = 0;
      plist_get_uint_val(node, &number);
      // This libplist hands back every integer as its unsigned 64-bit pattern; negative
      // values are far more common in our files than values above 2^63.
      return Value(static_cast<std::int64_t>(number));
    }
    case PLIST_REAL: {
      double number = 0;
      plist_get_real_val(node, &number);
      return Value(number);
    }
    case PLIST_DATA: {
      uint64_t length = 0;
      const char* bytes = plist_get_data_ptr(node, &length);
      const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
      return Value::binary(bytes ? Bytes(begin, begin + length) : Bytes());
    }
    case PLIST_DATE: {
      int32_t seconds = 0, micros = 0;
      plist_get_date_val(node, &seconds, &micros);
      time_t t = static_cast<time_t>(seconds + kReferenceDateOffset);
      struct tm tm {};
      gmtime_r(&t, &tm);
      char text[32];
      strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
      return Value(std::string(text));
    }
    case PLIST_UID: {
      uint64_t uid = 0;
      plist_get_uid_val(node, &uid);
      return Value(uid);
    }
    default:
      return std::nullopt;
  }
}

// nullptr for null, which the format cannot hold.
plist_t toNode(const Value& value) {
  switch (value.type()) {
    case Value::value_t::object: {
      plist_t dict = plist_new_dict();
      for (const auto& [key, item] : value.items())  // std::map order: sorted keys
        if (plist_t child = toNode(item)) plist_dict_set_item(dict, key.c_str(), child);
      return dict;
    }
    case Value::value_t::array: {
      plist_t array = plist_new_array();
      for (const Value& item : value)
        if (plist_t child = toNode(item)) plist_array_append_item(array, child);
      return array;
    }
    case Value::value_t::string:
      return plist_new_string(value.get_ref<const std::string&>().c_str());
    case Value::value_t::boolean:
      return plist_new_bool(value.get<bool>() ? 1 : 0);
    case Value::value_t::number_integer:
      return plist_new_uint(static_cast<uint64_t>(value.get<std::int64_t>()));
    case Value::value_t::number_unsigned:
      return plist_new_uint(value.get<std::uint64_t>());
    case Value::value_t::number_float:
      return plist_new_real(value.get<double>());
    case Value::value_t::binary: {
      const auto& bytes = value.get_binary();
      return plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    default:
      return nullptr;
  }
}

}  // namespace

std::optional<Value> parsePropertyList(std::string_view data) {
  if (data.empty() || data.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  plist_t root = nullptr;
  plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
  if (!root) return std::nullopt;
  auto value = toValue(root, 0);
  plist_free(root);
  return value;
}

std::optional<Value> readPropertyList(const std::string& path) {
  auto data = fs::readFile(path);
  if (!data) return std::nullopt;
  auto value = parsePropertyList(*data);
  if (!value) log("Cannot read the property list " + path);
  return value;
}

std::string serializePropertyListXML(const Value& value) {
  plist_t root = toNode(value);
  if (!root) return "";
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root, &xml, &length);
  std::string out = xml ? std::string(xml, length) : std::string();
  plist_to_xml_free(xml);
  plist_free(root);
  return out;
}

std::optional<Error> writePropertyList(const std::string& path, const Value& value) {
  std::string xml = serializePropertyListXML(value);
  if (xml.empty())
    return Error::make(kCocoaErrorDomain, 3851, "The value cannot be written as a property list");
  return fs::writeFileAtomically(path, xml);
}

}  // namespace platform
