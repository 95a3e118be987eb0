#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/XMLParser.h"
#include "platform/foundation/Value.h"

// Reads "config.xml": preferences into the settings, features into the plugin map, the
// features to load at start, and the start page. What was read before an XML error stays.
class HBRConfigParser : public platform::XMLParserDelegate {
 public:
  void didStartElement(const std::string& name,
                       const std::map<std::string, std::string>& attributes) override;
  void didEndElement(const std::string& name) override;
  void parseErrorOccurred(const platform::Error&) override {}

  // Lower-cased feature name to class name.
  platform::Value pluginsDict = platform::Value::object();
  // Lower-cased preference name to value.
  platform::Value settings = platform::Value::object();
  std::optional<std::string> startPage;
  std::vector<std::string> startupPluginNames;

 private:
  std::optional<std::string> featureName_;
};
