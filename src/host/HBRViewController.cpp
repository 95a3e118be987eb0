#include "host/HBRViewController.h"

#include "host/HBRCommandDelegateImpl.h"
#include "host/HBRCommandQueue.h"
#include "host/HBRConfigParser.h"
#include "host/HBRPlugin.h"
#include "host/HBRWebViewEngineProtocol.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"
#include "platform/foundation/XMLParser.h"

using platform::Value;

HBRViewController::~HBRViewController() = default;

void HBRViewController::commonInit() {
  if (initialized_) return;
  auto self = std::static_pointer_cast<HBRViewController>(shared_from_this());
  // The delegate takes the queue from the controller, so the queue comes first.
  commandQueue_ = std::make_shared<HBRCommandQueue>(self);
  commandDelegate_ = std::make_shared<HBRCommandDelegateImpl>(self);
  initialized_ = true;
}

std::shared_ptr<HBRCommandDelegate> HBRViewController::commandDelegate() const { return commandDelegate_; }

std::optional<std::string> HBRViewController::configFilePath() const {
  std::string name = configFile_.value_or("config.xml");
  std::string path = platform::startsWith(name, "/")
                         ? name
                         : platform::Bundle::main().pathForResource(name, "").value_or("");
  if (path.empty() || !platform::fs::exists(path)) return std::nullopt;
  return path;
}

void HBRViewController::loadSettings() {
  HBRConfigParser delegate;
  auto path = configFilePath();
  std::unique_ptr<platform::XMLParser> parser = path ? platform::XMLParser::fromFile(*path) : nullptr;
  if (!parser) {
    platform::log("Failed to initialize XML parser.");
  } else {
    parser->setDelegate(&delegate);
    parser->parse();
  }
  pluginsMap_ = delegate.pluginsDict;
  startupPluginNames_ = delegate.startupPluginNames;
  settings_ = delegate.settings;
  if (wwwFolderName_.empty()) wwwFolderName_ = "www";
  if (startPage_.empty()) startPage_ = delegate.startPage.value_or("index.html");
  // Instances registered before the configuration was read are dropped.
  pluginObjects_.clear();
}

std::optional<platform::URL> HBRViewController::appUrl() const {
  if (platform::contains(startPage_, "://")) return platform::URL::parse(startPage_);
  if (platform::contains(wwwFolderName_, "://"))
    return platform::URL::parse(wwwFolderName_ + "/" + startPage_);
  if (platform::contains(wwwFolderName_, ".bundle") || platform::contains(wwwFolderName_, ".framework")) {
    platform::Bundle bundle(platform::startsWith(wwwFolderName_, "/")
                                ? wwwFolderName_
                                : platform::fs::appendPath(platform::Bundle::main().bundlePath(), wwwFolderName_));
    auto path = bundle.pathForResource(startPage_, "");
    if (!path) return std::nullopt;
    return platform::URL::fileURL(*path);
  }
  auto startURL = platform::URL::parse(startPage_);
  if (!startURL || !commandDelegate_) return std::nullopt;
  auto path = commandDelegate_->pathForResource(startURL->path());
  if (!path) return std::nullopt;
  platform::URL fileURL = platform::URL::fileURL(*path);
  // Keep the start page's query and fragment.
  size_t mark = startPage_.find_first_of("?#");
  if (mark != std::string::npos) return fileURL.resolve(startPage_.substr(mark));
  return fileURL;
}

std::optional<platform::URL> HBRViewController::errorURL() const {
  auto setting = settings_.find("errorurl");
  if (setting == settings_.end() || !setting->is_string()) return std::nullopt;
  std::string text = setting->get<std::string>();
  if (platform::contains(text, "://")) return platform::URL::parse(text);
  auto parsed = platform::URL::parse(text);
  if (!parsed || !commandDelegate_) return std::nullopt;
  auto path = commandDelegate_->pathForResource(parsed->path());
  if (!path) return std::nullopt;
  return platform::URL::fileURL(*path);
}

std::optional<std::string> HBRViewController::appURLScheme() {
  const Value& info = platform::Bundle::main().infoDictionary();
  auto types = info.find("CFBundleURLTypes");
  if (types == info.end() || !types->is_array() || types->empty()) return std::nullopt;
  const Value& first = (*types)[0];
  if (!first.is_object()) return std::nullopt;
  auto schemes = first.find("CFBundleURLSchemes");
  if (schemes == first.end() || !schemes->is_array() || schemes->empty() || !(*schemes)[0].is_string())
    return std::nullopt;
  return (*schemes)[0].get<std::string>();
}

void HBRViewController::registerPlugin(const std::shared_ptr<platform::Object>& plugin, const std::string& className) {
  if (!plugin) return;
  if (auto hbrPlugin = std::dynamic_pointer_cast<HBRPlugin>(plugin)) {
    hbrPlugin->setViewController(std::static_pointer_cast<HBRViewController>(shared_from_this()));
    hbrPlugin->setCommandDelegate(commandDelegate_);
    pluginObjects_[className] = plugin;
    hbrPlugin->pluginInitialize();
  } else {
    pluginObjects_[className] = plugin;
  }
}

void HBRViewController::registerPluginWithPluginName(const std::shared_ptr<platform::Object>& plugin,
                                                     const std::string& pluginName) {
  if (!plugin) return;
  std::string className = plugin->className();
  pluginsMap_[platform::asciiLower(pluginName)] = className;
  registerPlugin(plugin, className);
}

std::shared_ptr<platform::Object> HBRViewController::instantiatePlugin(const std::string& className) {
  auto factory = HBRPluginClassRegistry::shared().factory(className);
  if (!factory) return nullptr;
  auto object = factory();
  if (auto plugin = std::dynamic_pointer_cast<HBRPlugin>(object)) plugin->initWithWebViewEngine(webViewEngine_);
  return object;
}

std::shared_ptr<platform::Object> HBRViewController::getCommandInstance(const std::string& pluginName) {
  auto mapped = pluginsMap_.find(platform::asciiLower(pluginName));
  if (mapped == pluginsMap_.end() || !mapped->is_string()) return nullptr;
  std::string className = mapped->get<std::string>();
  auto existing = pluginObjects_.find(className);
  if (existing != pluginObjects_.end()) return existing->second;

  auto object = instantiatePlugin(className);
  if (!object) {
    // A class known only under the executable's module name.
    Value executable = platform::Bundle::main().objectForInfoDictionaryKey("CFBundleExecutable");
    if (executable.is_string()) object = instantiatePlugin(executable.get<std::string>() + "." + className);
  }
  if (!object) {
    platform::log(platform::stringf("HBRPlugin class %s (pluginName: %s) does not exist.", className.c_str(),
                                    pluginName.c_str()));
    return nullptr;
  }
  registerPlugin(object, className);
  return object;
}
