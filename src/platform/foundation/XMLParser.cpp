#include "platform/foundation/XMLParser.h"

#include <expat.h>

#include <limits>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"

namespace platform {

namespace {
// Same code the platform parser uses when its delegate aborts.
constexpr long kDelegateAbortedParseError = 512;
}  // namespace

struct XMLParser::Callbacks {
  static XMLParser* self(void* data) { return static_cast<XMLParser*>(data); }

  static void start(void* data, const XML_Char* name, const XML_Char** attributes) {
    XMLParser* parser = self(data);
    parser->flushCharacters();
    if (!parser->delegate_ || parser->aborted_) return;
    std::map<std::string, std::string> map;
    for (int i = 0; attributes[i] && attributes[i + 1]; i += 2) map[attributes[i]] = attributes[i + 1];
    parser->delegate_->didStartElement(name, map);
  }

  static void end(void* data, const XML_Char* name) {
    XMLParser* parser = self(data);
    parser->flushCharacters();
    if (parser->delegate_ && !parser->aborted_) parser->delegate_->didEndElement(name);
  }

  static void characters(void* data, const XML_Char* text, int length) {
    self(data)->pendingText_.append(text, static_cast<size_t>(length));
  }
};

std::unique_ptr<XMLParser> XMLParser::fromFile(const std::string& path) {
  auto data = fs::readFile(path);
  if (!data) return nullptr;
  return std::make_unique<XMLParser>(std::move(*data));
}

XMLParser::XMLParser(std::string data) : data_(std::move(data)) {}

void XMLParser::setDelegate(XMLParserDelegate* delegate) { delegate_ = delegate; }

void XMLParser::flushCharacters() {
  if (pendingText_.empty()) return;
  std::string text = std::move(pendingText_);
  pendingText_.clear();
  if (delegate_ && !aborted_) delegate_->foundCharacters(text);
}

void XMLParser::abortParsing() {
  aborted_ = true;
  if (parser_) XML_StopParser(static_cast<XML_Parser>(parser_), XML_FALSE);
}

bool XMLParser::parse() {
  error_.reset();
  pendingText_.clear();
  aborted_ = false;
  if (data_.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
    error_ = Error::make(kXMLParserErrorDomain, XML_ERROR_NO_MEMORY, "The document is too large");
    if (delegate_) delegate_->parseErrorOccurred(*error_);
    return false;
  }
  XML_Parser parser = XML_ParserCreate("UTF-8");
  if (!parser) {
    error_ = Error::make(kXMLParserErrorDomain, XML_ERROR_NO_MEMORY, "Out of memory");
    return false;
  }
  parser_ = parser;
  XML_SetUserData(parser, this);
  XML_SetElementHandler(parser, &Callbacks::start, &Callbacks::end);
  XML_SetCharacterDataHandler(parser, &Callbacks::characters);

  XML_Status status = XML_Parse(parser, data_.data(), static_cast<int>(data_.size()), XML_TRUE);
  if (aborted_) {
    pendingText_.clear();
    error_ = Error::make(kXMLParserErrorDomain, kDelegateAbortedParseError, "Parsing was aborted");
  } else if (status != XML_STATUS_OK) {
    // Text read before the fault is an event like any other: deliver it, then the error.
    flushCharacters();
    XML_Error code = XML_GetErrorCode(parser);
    auto line = XML_GetCurrentLineNumber(parser);
    auto column = XML_GetCurrentColumnNumber(parser);
    error_ = Error::make(kXMLParserErrorDomain, code,
                         stringf("%s at line %lu, column %lu", XML_ErrorString(code),
                                 static_cast<unsigned long>(line),
                                 static_cast<unsigned long>(column)));
    error_->userInfo["NSXMLParserErrorLineNumber"] = static_cast<std::uint64_t>(line);
    error_->userInfo["NSXMLParserErrorColumn"] = static_cast<std::uint64_t>(column);
  } else {
    flushCharacters();
  }
  parser_ = nullptr;
  XML_ParserFree(parser);
  if (error_ && delegate_) delegate_->parseErrorOccurred(*error_);
  return !error_;
}

std::optional<Error> XMLParser::error() const { return error_; }

}  // namespace platform
