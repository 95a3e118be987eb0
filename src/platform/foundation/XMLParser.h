#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"

namespace platform {

inline constexpr const char* kXMLParserErrorDomain = "NSXMLParserErrorDomain";

class XMLParserDelegate {
 public:
  virtual ~XMLParserDelegate() = default;
  virtual void didStartElement(const std::string& name,
                               const std::map<std::string, std::string>& attributes) {
    (void)name;
    (void)attributes;
  }
  virtual void didEndElement(const std::string& name) { (void)name; }
  virtual void foundCharacters(const std::string& text) { (void)text; }
  virtual void parseErrorOccurred(const Error& error) { (void)error; }
};

// An event parser over expat. Element names arrive as written (prefixes included, no
// namespace processing). On malformed input everything delivered before the fault stays
// delivered, then parseErrorOccurred reports it. Character data between two element
// events arrives as one foundCharacters call.
class XMLParser {
 public:
  static std::unique_ptr<XMLParser> fromFile(const std::string& path);  // nullptr if unreadable
  explicit XMLParser(std::string data);

  void setDelegate(XMLParserDelegate* delegate);  // not owned
  bool parse();                                    // false on error
  // Stops after the current event; parse() then returns false with an "aborted" error.
  void abortParsing();
  std::optional<Error> error() const;

 private:
  struct Callbacks;
  void flushCharacters();

  std::string data_;
  XMLParserDelegate* delegate_ = nullptr;
  std::optional<Error> error_;
  std::string pendingText_;
  void* parser_ = nullptr;  // the XML_Parser while parse() runs
  bool aborted_ = false;
};

}  // namespace platform
