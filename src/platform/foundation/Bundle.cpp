#include "platform/foundation/Bundle.h"

#include <glib.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Strings.h"

namespace platform {

namespace {

std::mutex gMainMutex;
Bundle* gMain = nullptr;

// Bundles replaced by setMainPath: kept alive because callers may still hold references.
std::vector<std::unique_ptr<Bundle>>& retiredBundles() {
  static auto* bundles = new std::vector<std::unique_ptr<Bundle>>();
  return *bundles;
}

// Old-style strings syntax: a tiny tokenizer over quoted strings, bare words, '=', ';' and
// C/C++ comments.
class StringsReader {
 public:
  explicit StringsReader(std::string_view text) : text_(text) {}

  std::optional<Value> read() {
    Value table = Value::object();
    while (true) {
      skipSpace();
      if (pos_ >= text_.size()) return table;
      auto key = token();
      if (!key) return fail(table);
      skipSpace();
      std::string value = *key;  // "key"; alone means the key is its own value
      if (peek() == '=') {
        ++pos_;
        skipSpace();
        auto v = token();
        if (!v) return fail(table);
        value = std::move(*v);
        skipSpace();
      }
      if (peek() != ';') return fail(table);
      ++pos_;
      table[*key] = std::move(value);
    }
  }

 private:
  std::optional<Value> fail(Value& table) {
    log(stringf("Malformed strings file near byte %zu", pos_));
    if (table.empty()) return std::nullopt;
    return std::move(table);
  }

  char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }

  void skipSpace() {
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
        ++pos_;
      } else if (text_.compare(pos_, 2, "//") == 0) {
        size_t end = text_.find('\n', pos_);
        pos_ = end == std::string_view::npos ? text_.size() : end + 1;
      } else if (text_.compare(pos_, 2, "/*") == 0) {
        size_t end = text_.find("*/", pos_ + 2);
        pos_ = end == std::string_view::npos ? text_.size() : end + 2;
      } else {
        return;
      }
    }
  }

  static bool isBareChar(char c) {
    return g_ascii_isalnum(c) || c == '_' || c == '$' || c == '+' || c == '/' || c == ':' ||
           c == '.' || c == '-';
  }

  std::optional<std::string> token() {
    if (peek() == '"') return quoted();
    size_t start = pos_;
    while (pos_ < text_.size() && isBareChar(text_[pos_])) ++pos_;
    if (pos_ == start) return std::nullopt;
    return std::string(text_.substr(start, pos_ - start));
  }

  static void appendCodePoint(std::string& out, gunichar c) {
    char buffer[6];
    int n = g_unichar_to_utf8(c, buffer);
    out.append(buffer, static_cast<size_t>(n));
  }

  std::optional<std::string> quoted() {
    ++pos_;  // opening quote
    std::string out;
    while (pos_ < text_.size()) {
      char c = text_[pos_++];
      if (c == '"') return out;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (pos_ >= text_.size()) break;
      char e = text_[pos_++];
      switch (e) {
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case 'r': out.push_back('\r'); break;
        case 'a': out.push_back('\a'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'v': out.push_back('\v'); break;
        case 'U':
        case 'u': {
          gunichar code = 0;
          int digits = 0;
          while (digits < 4 && pos_ < text_.size() && g_ascii_isxdigit(text_[pos_])) {
            code = code * 16 + static_cast<gunichar>(g_ascii_xdigit_value(text_[pos_++]));
            ++digits;
          }
          if (digits == 0) return std::nullopt;
          appendCodePoint(out, code);
          break;
        }
        default:
          if (e >= '0' && e <= '7') {
            int code = e - '0';
            for (int i = 0; i < 2 && pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '7'; ++i)
              code = code * 8 + (text_[pos_++] - '0');
            appendCodePoint(out, static_cast<gunichar>(code));
          } else {
            out.push_back(e);  // \" \\ \' and anything else stand for themselves
          }
      }
    }
    return std::nullopt;  // unterminated
  }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

std::optional<Value> parseStringsFile(std::string_view data) {
  if (startsWith(data, "bplist") || startsWith(data, "<?xml") || startsWith(data, "<plist")) {
    auto plist = parsePropertyList(data);
    if (plist && plist->is_object()) return plist;
    return std::nullopt;
  }
  // Strings files are often UTF-16 with a byte-order mark.
  std::string utf8;
  const char* from = nullptr;
  if (startsWith(data, "\xFF\xFE")) from = "UTF-16LE";
  if (startsWith(data, "\xFE\xFF")) from = "UTF-16BE";
  if (from) {
    gsize written = 0;
    GError* error = nullptr;
    gchar* converted = g_convert(data.data() + 2, static_cast<gssize>(data.size() - 2), "UTF-8",
                                 from, nullptr, &written, &error);
    if (!converted) {
      g_clear_error(&error);
      return std::nullopt;
    }
    utf8.assign(converted, written);
    g_free(converted);
    data = utf8;
  } else if (startsWith(data, "\xEF\xBB\xBF")) {
    data.remove_prefix(3);
  }
  return StringsReader(data).read();
}

Bundle::Bundle(std::string path) : path_(std::move(path)) {
  std::string infoPath = fs::appendPath(path_, "Info.plist");
  if (!fs::exists(infoPath)) return;
  auto info = readPropertyList(infoPath);
  if (info && info->is_object())
    info_ = std::move(*info);
  else
    log("Ignoring Info.plist that is not a dictionary: " + infoPath);
}

Bundle& Bundle::main() {
  std::lock_guard lock(gMainMutex);
  if (!gMain) {
    const char* env = std::getenv("VELTRO_APP_PACKAGE");
    gMain = new Bundle(env && *env ? std::string(env) : fs::currentDirectory());
  }
  return *gMain;
}

void Bundle::setMainPath(std::string path) {
  auto bundle = std::make_unique<Bundle>(std::move(path));
  std::lock_guard lock(gMainMutex);
  if (gMain) retiredBundles().emplace_back(gMain);
  gMain = bundle.release();
}

const std::string& Bundle::bundlePath() const { return path_; }
std::string Bundle::resourcePath() const { return path_; }
const Value& Bundle::infoDictionary() const { return info_; }

Value Bundle::objectForInfoDictionaryKey(const std::string& key) const {
  auto it = info_.find(key);
  return it == info_.end() ? Value() : *it;
}

std::optional<std::string> Bundle::pathForResource(const std::string& name,
                                                   const std::string& type,
                                                   const std::string& directory) const {
  if (name.empty()) return std::nullopt;
  std::string file = name;
  std::string_view extension = type;
  if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
  if (!extension.empty()) file += "." + std::string(extension);
  std::string path = fs::normalizePath(fs::appendPath(fs::appendPath(path_, directory), file));
  if (!fs::isInside(path, path_) || !fs::exists(path)) return std::nullopt;
  return path;
}

const Value& Bundle::stringsTable(const std::string& language, const std::string& table) const {
  std::string relative = language + ".lproj/" + table + ".strings";
  std::lock_guard lock(tablesMutex_);
  auto it = tables_.find(relative);
  if (it != tables_.end()) return it->second;
  Value parsed = Value::object();
  if (auto data = fs::readFile(fs::appendPath(path_, relative))) {
    if (auto strings = parseStringsFile(*data))
      parsed = std::move(*strings);
    else
      log("Cannot read strings table " + fs::appendPath(path_, relative));
  }
  return tables_.emplace(relative, std::move(parsed)).first->second;
}

std::string Bundle::localizedString(const std::string& key, const std::string& value,
                                    const std::string& table) const {
  // A table name is a file name; anything that could walk out of the package is ignored.
  if (table.empty() || table.find('/') == std::string::npos) {
    std::string name = table.empty() ? std::string("Localizable") : table;
    for (const char* language : {"en", "Base"}) {
      const Value& strings = stringsTable(language, name);
      auto it = strings.find(key);
      if (it != strings.end() && it->is_string()) return it->get<std::string>();
    }
  }
  return value.empty() ? key : value;
}

std::string Bundle::bundleIdentifier() const {
  Value id = objectForInfoDictionaryKey("CFBundleIdentifier");
  return id.is_string() ? id.get<std::string>() : "";
}

}  // namespace platform
