#include "host/HBRConfigParser.h"

#include "platform/foundation/Strings.h"

namespace {
const std::string* attribute(const std::map<std::string, std::string>& attributes, const char* name) {
  auto it = attributes.find(name);
  return it == attributes.end() ? nullptr : &it->second;
}
}  // namespace

void HBRConfigParser::didStartElement(const std::string& name,
                                      const std::map<std::string, std::string>& attributes) {
  if (name == "preference") {
    const std::string* key = attribute(attributes, "name");
    // Without a name there is nothing to store the value under.
    if (!key) return;
    const std::string* value = attribute(attributes, "value");
    std::string lowered = platform::asciiLower(*key);
    if (value)
      settings[lowered] = *value;
    else
      settings.erase(lowered);
  } else if (name == "feature") {
    const std::string* featureName = attribute(attributes, "name");
    featureName_ = featureName ? std::optional<std::string>(platform::asciiLower(*featureName)) : std::nullopt;
  } else if (name == "param") {
    if (!featureName_) return;
    const std::string* paramName = attribute(attributes, "name");
    const std::string* value = attribute(attributes, "value");
    std::string loweredName = paramName ? platform::asciiLower(*paramName) : std::string();
    if (loweredName == "ios-package") {
      if (value)
        pluginsDict[*featureName_] = *value;
      else
        pluginsDict.erase(*featureName_);
    }
    const std::string* onload = attribute(attributes, "onload");
    bool onloadByParam = loweredName == "onload" && value && *value == "true";
    bool onloadByAttribute = onload && platform::asciiLower(*onload) == "true";
    if (onloadByParam || onloadByAttribute) startupPluginNames.push_back(*featureName_);
  } else if (name == "content") {
    if (const std::string* src = attribute(attributes, "src")) startPage = *src;
  }
}

void HBRConfigParser::didEndElement(const std::string& name) {
  if (name == "feature") featureName_.reset();
}
