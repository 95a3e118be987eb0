#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "host/HBRPlugin.h"
#include "host/HBRPluginResult.h"
#include "platform/camera/VLCAMR.h"

// The camera plugin: pictures, videos, the gallery and video playback for the web
// application, through the camera library's wrapper. Actions only decode their argument on
// the main thread; the wrapper works on the command delegate's background queue and answers
// later. Every request carries its own callback id to the library, so a late answer reaches
// the action that asked for it and never a newer one.
class VLCamera : public HBRPlugin, public VLCAMRCallbackDelegate {
 public:
  // Makes the wrapper; tests hand in a scripted one.
  using WrapperFactory = std::function<std::shared_ptr<VLCAMRActionDelegate>(
      const std::shared_ptr<VLCAMRCallbackDelegate>&, const std::shared_ptr<platform::Object>&)>;

  VLCamera();
  std::string className() const override { return "VLCamera"; }
  void pluginInitialize() override;
  void onAppTerminate() override;

  static void setWrapperFactory(WrapperFactory factory);

  void takePicture(const HBRInvokedUrlCommand& command);
  void editPicture(const HBRInvokedUrlCommand& command);
  void editURIPicture(const HBRInvokedUrlCommand& command);
  void recordVideo(const HBRInvokedUrlCommand& command);
  void chooseFromGallery(const HBRInvokedUrlCommand& command);
  void playVideo(const HBRInvokedUrlCommand& command);

  void callback(const std::string& tag, const std::optional<std::string>& result,
                const std::optional<VLCAMRError>& error) override;

  // The callback id of the most recent action.
  std::string callbackId() const;
  std::shared_ptr<VLCAMRActionDelegate> wrapper() const;

 private:
  // Remembers the command's callback id as the latest and returns it.
  std::string begin(const HBRInvokedUrlCommand& command);
  void sendError(const std::string& callbackId, const VLCAMRError& error);
  // Runs `job` on the background queue with the wrapper, unless the plugin or the wrapper is
  // gone; a job that throws answers `failure` to `id`.
  void inBackground(const std::string& id, VLCAMRError::Code failure, std::function<void(VLCAMRActionDelegate&)> job);

  mutable std::mutex mutex_;
  std::shared_ptr<VLCAMRActionDelegate> plugin_;
  std::string callbackId_;
};

// Registers the camera plugin's class ("VLCamera") so that "config.xml" can name it.
void VLRegisterCameraPlugin();
