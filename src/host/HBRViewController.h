#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"
#include "platform/ui/ViewController.h"

class HBRCommandDelegate;
class HBRCommandDelegateImpl;
class HBRCommandQueue;
class HBRConfigParser;
class HBRWebViewEngineProtocol;

// The view controller that hosts the web application: it reads "config.xml", owns the web
// view engine and the plugin instances, and is the plugin registry that the command queue
// and every plugin reach through the command delegate.
class HBRViewController : public platform::ui::ViewController {
 public:
  // Makes a controller of class T and runs the common initialisation on it.
  template <typename T = HBRViewController, typename... Args>
  static std::shared_ptr<T> create(Args&&... args) {
    auto vc = std::make_shared<T>(std::forward<Args>(args)...);
    vc->commonInit();
    return vc;
  }

  HBRViewController() = default;
  ~HBRViewController() override;
  std::string className() const override { return "HBRViewController"; }

  // Settings and configuration.
  void loadSettings();
  std::optional<std::string> configFilePath() const;
  const platform::Value& settings() const { return settings_; }
  platform::Value& mutableSettings() { return settings_; }
  const std::string& wwwFolderName() const { return wwwFolderName_; }
  void setWwwFolderName(std::string name) { wwwFolderName_ = std::move(name); }
  const std::string& startPage() const { return startPage_; }
  void setStartPage(std::string page) { startPage_ = std::move(page); }
  const std::optional<std::string>& configFile() const { return configFile_; }
  void setConfigFile(std::optional<std::string> file) { configFile_ = std::move(file); }
  const std::optional<std::string>& appScheme() const { return appScheme_; }
  void setAppScheme(std::optional<std::string> scheme) { appScheme_ = std::move(scheme); }
  std::optional<platform::URL> appUrl() const;
  std::optional<platform::URL> errorURL() const;
  // The first URL scheme the package's Info.plist declares.
  static std::optional<std::string> appURLScheme();

  // Plugin registry.
  std::shared_ptr<platform::Object> getCommandInstance(const std::string& pluginName);
  void registerPlugin(const std::shared_ptr<platform::Object>& plugin, const std::string& className);
  void registerPluginWithPluginName(const std::shared_ptr<platform::Object>& plugin, const std::string& pluginName);
  // Plugin instances by the class name they were registered under (sorted by that name).
  const std::map<std::string, std::shared_ptr<platform::Object>>& pluginObjects() const { return pluginObjects_; }
  const platform::Value& pluginsMap() const { return pluginsMap_; }
  const std::vector<std::string>& startupPluginNames() const { return startupPluginNames_; }

  std::shared_ptr<HBRWebViewEngineProtocol> webViewEngine() const { return webViewEngine_; }
  void setWebViewEngine(std::shared_ptr<HBRWebViewEngineProtocol> engine) { webViewEngine_ = std::move(engine); }
  std::shared_ptr<HBRCommandDelegate> commandDelegate() const;
  std::shared_ptr<HBRCommandQueue> commandQueue() const { return commandQueue_; }

  bool initialized() const { return initialized_; }

 protected:
  // Queue, delegate and observers; runs once.
  virtual void commonInit();

  std::shared_ptr<HBRWebViewEngineProtocol> webViewEngine_;
  std::shared_ptr<HBRCommandQueue> commandQueue_;
  std::shared_ptr<HBRCommandDelegateImpl> commandDelegate_;
  std::map<std::string, std::shared_ptr<platform::Object>> pluginObjects_;
  platform::Value pluginsMap_ = platform::Value::object();
  std::vector<std::string> startupPluginNames_;
  platform::Value settings_ = platform::Value::object();
  std::string wwwFolderName_;
  std::string startPage_;
  std::optional<std::string> configFile_;
  std::optional<std::string> appScheme_;
  bool initialized_ = false;

 private:
  std::shared_ptr<platform::Object> instantiatePlugin(const std::string& className);
};
