#pragma once

#include <memory>
#include <optional>
#include <string>

#include "host/HBRPlugin.h"
#include "platform/foundation/URL.h"

class VLHttp;
class VLHttpWKWebViewCookieHandlerEngine;

// Lets the page send GET and POST requests natively. Each request is named by the page's own
// request id and answered with exactly one payload (status OK), failures included; an aborted
// request answers nothing. Installs the page's cookie manager (window.VeltroNative.
// HttpCookieManager) and keeps it filled with the application server's cookie header.
class VLHttpPlugin : public HBRPlugin {
 public:
  VLHttpPlugin();
  std::string className() const override { return "VLHttpPlugin"; }

  void pluginInitialize() override;
  void onReset() override;

  // Actions.
  void sendRequest(const HBRInvokedUrlCommand& command);
  void abortRequest(const HBRInvokedUrlCommand& command);

  // "VLHttpSyncNow": a page of the application's server finished loading and wants the cookie
  // header. The web view does not say which frame sent the message; the URL of its main frame
  // (where the injected script runs) stands for the sender.
  void syncNow();

  // "https://<host>/<path>/" from the two settings, or nothing when either is blank.
  static std::optional<platform::URL> getBaseUrl(const std::string& applicationPath, const std::string& hostname);
  // The start page's "scheme://host[:port]", or nothing without scheme or host.
  std::optional<std::string> getAppOrigin() const;
  // The body argument as text: a string as it is, a number in decimal, a dictionary as JSON.
  static std::optional<std::string> getBodyFromCommand(const HBRInvokedUrlCommand& command, size_t index);

  const std::optional<platform::URL>& baseURL() const { return baseURL_; }
  const std::shared_ptr<VLHttp>& vlHttp() const { return vlHttp_; }
  const std::shared_ptr<VLHttpWKWebViewCookieHandlerEngine>& cookieHandler() const { return cookieHandler_; }

 private:
  void createVLHttp();

  std::optional<platform::URL> baseURL_;
  std::shared_ptr<VLHttp> vlHttp_;
  std::shared_ptr<VLHttpWKWebViewCookieHandlerEngine> cookieHandler_;
};

// Registers the plugin class under its name.
void VLRegisterHttpPlugin();
