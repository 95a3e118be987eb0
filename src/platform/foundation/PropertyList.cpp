#include "platform/foundation/PropertyList.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"

namespace platform {

namespace {

// Property-list dates count seconds from 2001-01-01 00:00:00 UTC.
constexpr std::int64_t kReferenceDateOffset = 978307200;

// The property-list library builds and frees its nodes recursively, before any check of ours
// could run, and it copies an object once for every reference to it. So the bytes are
// measured first, without recursion: nesting beyond `kMaxNestingDepth`, a reference loop, or
// more nodes than `kMaxNodes` once shared objects are copied, and the list is refused; so is a
// binary dictionary key with a NUL in it, on which the library asserts.
constexpr std::uint64_t kMaxNodes = 1u << 20;

// XML: <dict> and <array> open a level, their end tags close one, "<dict/>" is empty.
// Comments, CDATA sections, processing instructions and declarations are stepped over, so
// that a tag written inside one of them cannot hide a real one.
bool xmlWithinBounds(std::string_view data) {
  auto skipPast = [&](size_t from, std::string_view end) {
    size_t at = data.find(end, from);
    return at == std::string_view::npos ? data.size() : at + end.size();
  };
  auto isNameEnd = [&](size_t at) {
    return at >= data.size() || data[at] == '>' || data[at] == '/' || data[at] == ' ' || data[at] == '\t' ||
           data[at] == '\n' || data[at] == '\r';
  };
  auto startsContainer = [&](size_t at) {
    return (data.compare(at, 4, "dict") == 0 && isNameEnd(at + 4)) ||
           (data.compare(at, 5, "array") == 0 && isNameEnd(at + 5));
  };
  size_t depth = 0;
  size_t at = 0;
  while ((at = data.find('<', at)) != std::string_view::npos) {
    if (data.compare(at, 4, "<!--") == 0) {
      at = skipPast(at + 4, "-->");
    } else if (data.compare(at, 9, "<![CDATA[") == 0) {
      at = skipPast(at + 9, "]]>");
    } else if (data.compare(at, 2, "<?") == 0) {
      at = skipPast(at + 2, "?>");
    } else if (data.compare(at, 2, "<!") == 0) {
      at = skipPast(at + 2, ">");
    } else if (data.compare(at, 2, "</") == 0) {
      if (startsContainer(at + 2) && depth > 0) --depth;
      at = skipPast(at + 2, ">");
    } else {
      bool container = startsContainer(at + 1);
      size_t end = skipPast(at + 1, ">");
      bool empty = end >= 2 && end <= data.size() && data[end - 1] == '>' && data[end - 2] == '/';
      if (container && !empty && ++depth > kMaxNestingDepth) return false;
      at = end;
    }
  }
  return true;
}

// Binary: the trailer names the offset table and the root; arrays, sets and dictionaries
// list the indexes of their members. A depth-first walk with its own stack measures each
// object once.
bool binaryWithinBounds(std::string_view data) {
  auto readBE = [&](size_t at, size_t size) -> std::optional<std::uint64_t> {
    if (size == 0 || size > 8 || at > data.size() || data.size() - at < size) return std::nullopt;
    std::uint64_t value = 0;
    for (size_t i = 0; i < size; ++i) value = value << 8 | static_cast<std::uint8_t>(data[at + i]);
    return value;
  };
  if (data.size() < 8 + 32) return false;
  size_t trailer = data.size() - 32;
  size_t offsetSize = static_cast<std::uint8_t>(data[trailer + 6]);
  size_t refSize = static_cast<std::uint8_t>(data[trailer + 7]);
  auto count = readBE(trailer + 8, 8), root = readBE(trailer + 16, 8), table = readBE(trailer + 24, 8);
  if (!count || !root || !table || offsetSize == 0 || offsetSize > 8 || refSize == 0 || refSize > 8) return false;
  if (*root >= *count || *table > trailer || (trailer - *table) / offsetSize < *count) return false;
  std::uint64_t objects = *count;

  // The members of a container: where their indexes start and how many there are.
  struct Members {
    size_t at = 0;
    std::uint64_t count = 0;
    bool dictionary = false;
  };
  auto membersOf = [&](std::uint64_t index) -> std::optional<Members> {
    auto offset = readBE(*table + index * offsetSize, offsetSize);
    if (!offset || *offset >= trailer) return std::nullopt;
    std::uint8_t marker = static_cast<std::uint8_t>(data[*offset]);
    std::uint8_t kind = marker >> 4;
    if (kind != 0xA && kind != 0xC && kind != 0xD) return Members{};
    Members members{static_cast<size_t>(*offset) + 1, marker & 0x0Fu};
    if (members.count == 0x0F) {
      if (members.at >= trailer) return std::nullopt;
      std::uint8_t intMarker = static_cast<std::uint8_t>(data[members.at]);
      if (intMarker >> 4 != 0x1 || (intMarker & 0x0F) > 3) return std::nullopt;
      size_t intSize = size_t{1} << (intMarker & 0x0F);
      auto length = readBE(members.at + 1, intSize);
      if (!length) return std::nullopt;
      members.at += 1 + intSize;
      members.count = *length;
    }
    if (kind == 0xD) {
      members.count *= 2;  // keys, then values
      members.dictionary = true;
    }
    if (members.at > trailer || (trailer - members.at) / refSize < members.count) return std::nullopt;
    return members;
  };

  // A string object with a NUL in it. The library reads dictionary keys as C strings and
  // asserts when the length it stored disagrees.
  auto stringHasNul = [&](std::uint64_t index) {
    auto offset = readBE(*table + index * offsetSize, offsetSize);
    if (!offset || *offset >= trailer) return false;
    size_t at = static_cast<size_t>(*offset);
    std::uint8_t marker = static_cast<std::uint8_t>(data[at]);
    std::uint8_t kind = marker >> 4;
    if (kind != 0x5 && kind != 0x6) return false;
    std::uint64_t length = marker & 0x0Fu;
    ++at;
    if (length == 0x0F) {
      if (at >= trailer) return false;
      std::uint8_t intMarker = static_cast<std::uint8_t>(data[at]);
      if (intMarker >> 4 != 0x1 || (intMarker & 0x0F) > 3) return false;
      size_t intSize = size_t{1} << (intMarker & 0x0F);
      auto value = readBE(at + 1, intSize);
      if (!value) return false;
      at += 1 + intSize;
      length = *value;
    }
    const size_t unit = kind == 0x6 ? 2 : 1;
    if (at > trailer || (trailer - at) / unit < length) return false;
    for (std::uint64_t i = 0; i < length; ++i) {
      bool zero = data[at + i * unit] == '\0' && (unit == 1 || data[at + i * unit + 1] == '\0');
      if (zero) return true;
    }
    return false;
  };

  enum : std::uint8_t { kUnseen, kOpen, kDone };
  std::vector<std::uint8_t> state(objects, kUnseen);
  std::vector<std::uint64_t> nodes(objects, 0);
  struct Frame {
    std::uint64_t index;
    Members members;
    std::uint64_t next = 0;
    std::uint64_t nodes = 1;
  };
  std::vector<Frame> stack;
  auto open = [&](std::uint64_t index) {
    auto members = membersOf(index);
    if (!members) return false;
    state[index] = kOpen;
    stack.push_back({index, *members});
    // Every open frame but a leaf on top is a container enclosing the next.
    return stack.size() <= kMaxNestingDepth + 1;
  };
  if (!open(*root)) return false;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next < frame.members.count) {
      auto child = readBE(frame.members.at + frame.next * refSize, refSize);
      ++frame.next;
      if (!child || *child >= objects || state[*child] == kOpen) return false;  // broken, or a loop
      if (frame.members.dictionary && frame.next <= frame.members.count / 2 && stringHasNul(*child))
        return false;
      if (state[*child] == kDone) {
        frame.nodes = std::min(frame.nodes + nodes[*child], kMaxNodes + 1);
      } else if (!open(*child)) {
        return false;
      }
      continue;
    }
    std::uint64_t total = frame.nodes;
    state[frame.index] = kDone;
    nodes[frame.index] = total;
    stack.pop_back();
    if (total > kMaxNodes) return false;
    if (!stack.empty()) stack.back().nodes = std::min(stack.back().nodes + total, kMaxNodes + 1);
  }
  return true;
}

bool withinBounds(std::string_view data) {
  if (data.substr(0, 6) == "bplist") return binaryWithinBounds(data);
  return xmlWithinBounds(data);
}

std::optional<Value> toValue(plist_t node, size_t depth) {
  if (!node || depth > kMaxNestingDepth) return std::nullopt;
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
  if (!withinBounds(data)) {
    log(stringf("Refusing a property list nested deeper than %zu levels, looping or too large.", kMaxNestingDepth));
    return std::nullopt;
  }
  plist_t root = nullptr;
  {
    // The library reads "<real>" with the C library's strtod, in the process's locale: for a
    // German user (GTK sets the locale from the environment) "1.5" would read as 1.
    ScopedCLocale cLocale;
    plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
  }
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
  {
    // Written in the "C" locale too, so that the text never depends on the user's.
    ScopedCLocale cLocale;
    plist_to_xml(root, &xml, &length);
  }
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
