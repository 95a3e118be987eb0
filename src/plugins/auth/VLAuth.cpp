#include "plugins/auth/VLAuth.h"

#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"
#include "host/HBRViewController.h"
#include "platform/ui/Application.h"

VLAuth::VLAuth() { registerAction("startFlow", &VLAuth::startFlow); }

VLAuth::~VLAuth() {
  if (authController_) authController_->cancel();
}

void VLAuth::pluginInitialize() {
  auto self = std::static_pointer_cast<VLAuth>(shared_from_this());
  authController_ = AuthController::initWithDelegate(std::weak_ptr<AuthControllerDelegate>(self));
}

void VLAuth::dispose() {
  // A flow of a released host has no one left to answer.
  if (authController_) authController_->cancel();
  HBRPlugin::dispose();
}

void VLAuth::startFlow(const HBRInvokedUrlCommand& command) {
  const platform::Value& args = command.arguments();
  if (!args.is_array() || args.size() != 2 || !args[0].is_string() || !args[1].is_string()) {
    answer(command.callbackId(), false, "ERROR_MISSING_PLUGIN_PARAMETERS");
    return;
  }
  {
    std::lock_guard lock(mutex_);
    if (command_) {
      // The running flow keeps its caller; this one learns at once that it did not start.
      answer(command.callbackId(), false, "ERROR_FLOW_IN_PROGRESS");
      return;
    }
    command_ = command;
  }
  if (!authController_) pluginInitialize();
  auto vc = viewController();
  authController_->startFlow(args[0].get<std::string>(), args[1].get<std::string>(),
                             vc ? vc->view()->window() : nullptr);
}

void VLAuth::authFinishedWithResult(const AuthResult& result) {
  std::optional<HBRInvokedUrlCommand> command;
  {
    std::lock_guard lock(mutex_);
    command.swap(command_);
  }
  if (!command) return;
  answer(command->callbackId(), result.status != AuthStatusFailed, result.message);
}

void VLAuth::answer(const std::optional<std::string>& callbackId, bool ok, const std::string& message) {
  auto delegate = commandDelegate();
  if (!delegate) return;
  delegate->sendPluginResult(
      HBRPluginResult::resultWithStatusAsString(ok ? HBRResultStatus::OK : HBRResultStatus::Error, message), callbackId);
}

void VLRegisterAuthPlugin() { HBRRegisterBuiltInPluginClass<VLAuth>("VLAuth"); }
