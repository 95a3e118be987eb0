#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/HBRPlugin.h"
#include "platform/auth/AuthController.h"

// Lets the web application run an authentication flow in native code: the page passes the
// flow's authentication URL and the callback URL at which it ends, and gets one result when
// the flow finishes: OK with the callback URL reached, or an error with the reason.
//
// One flow at a time: a call while a flow runs is answered with an error at once, so that a
// flow's answer can only ever reach the call that started it.
class VLAuth : public HBRPlugin, public AuthControllerDelegate {
 public:
  VLAuth();
  ~VLAuth() override;
  std::string className() const override { return "VLAuth"; }

  void pluginInitialize() override;
  void dispose() override;

  // Arguments: 0 the authentication URL (string), 1 the callback URL (string), nothing else.
  void startFlow(const HBRInvokedUrlCommand& command);

  void authFinishedWithResult(const AuthResult& result) override;

  std::shared_ptr<AuthController> authController() const { return authController_; }

 private:
  void answer(const std::optional<std::string>& callbackId, bool ok, const std::string& message);

  std::mutex mutex_;
  std::optional<HBRInvokedUrlCommand> command_;
  std::shared_ptr<AuthController> authController_;
};

// Registers VLAuth under its class name (unless the program registered its own first).
void VLRegisterAuthPlugin();
