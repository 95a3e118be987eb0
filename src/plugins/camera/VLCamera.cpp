#include "plugins/camera/VLCamera.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>

#include "host/HBRCommandDelegate.h"
#include "host/HBRViewController.h"
#include "platform/foundation/CaughtException.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Strings.h"
#include "plugins/camera/VLCAMRParameters.h"

using platform::Value;

namespace {

std::mutex gFactoryMutex;
VLCamera::WrapperFactory gFactory;

}  // namespace

VLCamera::VLCamera() {
  registerAction("takePicture", &VLCamera::takePicture);
  registerAction("editPicture", &VLCamera::editPicture);
  registerAction("editURIPicture", &VLCamera::editURIPicture);
  registerAction("recordVideo", &VLCamera::recordVideo);
  registerAction("chooseFromGallery", &VLCamera::chooseFromGallery);
  registerAction("playVideo", &VLCamera::playVideo);
}

void VLCamera::setWrapperFactory(WrapperFactory factory) {
  std::lock_guard lock(gFactoryMutex);
  gFactory = std::move(factory);
}

void VLCamera::pluginInitialize() {
  WrapperFactory factory;
  {
    std::lock_guard lock(gFactoryMutex);
    factory = gFactory;
  }
  auto self = std::static_pointer_cast<VLCamera>(shared_from_this());
  std::shared_ptr<platform::Object> host = viewController();
  auto wrapper = factory ? factory(self, host) : VLCAMRFactory::createCameraWrapper(self, host);
  std::lock_guard lock(mutex_);
  plugin_ = std::move(wrapper);
}

std::string VLCamera::callbackId() const {
  std::lock_guard lock(mutex_);
  return callbackId_;
}

std::shared_ptr<VLCAMRActionDelegate> VLCamera::wrapper() const {
  std::lock_guard lock(mutex_);
  return plugin_;
}

std::string VLCamera::begin(const HBRInvokedUrlCommand& command) {
  std::string id = command.callbackId().value_or("");
  std::lock_guard lock(mutex_);
  callbackId_ = id;
  return id;
}

void VLCamera::sendError(const std::string& callbackId, const VLCAMRError& error) {
  auto delegate = commandDelegate();
  if (!delegate) return;
  platform::Error platformError = error.asError();
  char code[32];
  std::snprintf(code, sizeof code, "VL-PLUG-CAMR-%04ld", platformError.code);
  delegate->sendPluginResult(
      HBRPluginResult::resultWithStatus(HBRResultStatus::Error,
                                        Value{{"code", code}, {"message", platformError.localizedDescription()}}),
      callbackId);
}

void VLCamera::inBackground(const std::string& id, VLCAMRError::Code failure,
                            std::function<void(VLCAMRActionDelegate&)> job) {
  auto delegate = commandDelegate();
  if (!delegate) return;
  std::weak_ptr<VLCamera> weakSelf = std::static_pointer_cast<VLCamera>(shared_from_this());
  delegate->runInBackground([weakSelf, id, failure, job = std::move(job)] {
    auto self = weakSelf.lock();
    auto wrapper = self ? self->wrapper() : nullptr;
    if (!wrapper) return;
    try {
      job(*wrapper);
    } catch (...) {
      // The library failed on the way (memory, GStreamer): the action still answers.
      platform::reportCaughtException("The camera plugin");
      if (!id.empty()) self->sendError(id, {failure});
    }
  });
}

void VLCamera::takePicture(const HBRInvokedUrlCommand& command) {
  std::string id = begin(command);
  auto record = VLCAMRTakePictureParameters::decode(command.argumentAtIndex(0));
  if (!record) return sendError(id, {VLCAMRError::takePictureIssue});
  if (record->sourceType == 0)
    return inBackground(id, VLCAMRError::takePictureIssue, [id, allowEdit = record->allowEdit](VLCAMRActionDelegate& wrapper) {
      wrapper.choosePicture(allowEdit, id);
    });
  inBackground(id, VLCAMRError::takePictureIssue, [id, options = record->pictureOptions()](VLCAMRActionDelegate& wrapper) {
    wrapper.captureMedia(options, id);
  });
}

void VLCamera::editPicture(const HBRInvokedUrlCommand& command) {
  std::string id = begin(command);
  Value argument = command.argumentAtIndex(0);
  std::optional<platform::Bytes> bytes;
  if (argument.is_string()) bytes = platform::base64Decode(argument.get_ref<const std::string&>());
  VLCAMRError error{VLCAMRError::invalidImageData};
  std::optional<VLCAMRImage> image;
  if (bytes) image = VLCAMRImage::decode(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), &error);
  if (!image) return sendError(id, error);
  inBackground(id, VLCAMRError::invalidImageData,
               [id, image = std::move(*image)](VLCAMRActionDelegate& wrapper) { wrapper.editPicture(image, id); });
}

void VLCamera::editURIPicture(const HBRInvokedUrlCommand& command) {
  std::string id = begin(command);
  auto record = VLCAMREditPictureParameters::decode(command.argumentAtIndex(0));
  if (!record) return sendError(id, {VLCAMRError::editPictureIssue});
  inBackground(id, VLCAMRError::editPictureIssue,
               [id, uri = record->uri, options = record->editOptions()](VLCAMRActionDelegate& wrapper) {
    wrapper.editPicture(uri, options, id);
  });
}

void VLCamera::recordVideo(const HBRInvokedUrlCommand& command) {
  std::string id = begin(command);
  Value argument = command.argumentAtIndex(0);
  bool allBooleans = argument.is_object();
  if (allBooleans)
    for (const auto& value : argument) allBooleans = allBooleans && value.is_boolean();
  auto record = allBooleans ? VLCAMRRecordVideoParameters::decode(argument) : std::nullopt;
  if (!record) return sendError(id, {VLCAMRError::captureVideoIssue});
  inBackground(id, VLCAMRError::captureVideoIssue, [id, options = record->videoOptions()](VLCAMRActionDelegate& wrapper) {
    wrapper.captureMedia(options, id);
  });
}

void VLCamera::chooseFromGallery(const HBRInvokedUrlCommand& command) {
  std::string id = begin(command);
  auto record = VLCAMRChooseGalleryParameters::decode(command.argumentAtIndex(0));
  if (!record) return sendError(id, {VLCAMRError::chooseMultimediaIssue});
  inBackground(id, VLCAMRError::chooseMultimediaIssue, [id, record = *record](VLCAMRActionDelegate& wrapper) {
    wrapper.chooseMultimedia(record.mediaType, record.allowMultipleSelection, record.includeMetadata,
                             record.allowEdit, id);
  });
}

void VLCamera::playVideo(const HBRInvokedUrlCommand& command) {
  std::string id = begin(command);
  auto record = VLCAMRPlayVideoParameters::decode(command.argumentAtIndex(0));
  if (!record) return sendError(id, {VLCAMRError::playVideoIssue});
  auto delegate = commandDelegate();
  if (!delegate) return;
  std::weak_ptr<VLCamera> weakSelf = std::static_pointer_cast<VLCamera>(shared_from_this());
  delegate->runInBackground([weakSelf, id, url = record->url] {
    auto self = weakSelf.lock();
    if (!self) return;
    auto wrapper = self->wrapper();
    // Nothing can play without the camera library: that is a failure, not a finished playback.
    if (!wrapper) return self->sendError(id, {VLCAMRError::playVideoIssue});
    try {
      wrapper->playVideo(url, [self, id](std::optional<VLCAMRError> error) {
        if (error) return self->sendError(id, *error);
        if (auto delegate = self->commandDelegate())
          delegate->sendPluginResult(HBRPluginResult::resultWithStatus(HBRResultStatus::OK), id);
      });
    } catch (...) {
      self->sendError(id, {VLCAMRError::playVideoIssue});
    }
  });
}

void VLCamera::callback(const std::string& tag, const std::optional<std::string>& result,
                        const std::optional<VLCAMRError>& error) {
  if (error) return sendError(tag, *error);
  if (!result) return;
  auto delegate = commandDelegate();
  if (!delegate) return;
  delegate->sendPluginResult(result->empty() ? HBRPluginResult::resultWithStatus(HBRResultStatus::OK)
                                             : HBRPluginResult::resultWithStatusAsString(HBRResultStatus::OK, *result),
                             tag);
}

void VLCamera::onAppTerminate() {
  // The process ends soon after this returns, and a queued job would end with it: wait (a
  // little) until the temporary files are gone.
  struct Cleaning {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
  };
  auto cleaning = std::make_shared<Cleaning>();
  inBackground("", VLCAMRError::takePictureIssue, [cleaning](VLCAMRActionDelegate& wrapper) {
    wrapper.cleanTemporaryFiles();
    std::lock_guard lock(cleaning->mutex);
    cleaning->finished = true;
    cleaning->done.notify_all();
  });
  std::unique_lock lock(cleaning->mutex);
  cleaning->done.wait_for(lock, std::chrono::seconds(2), [&] { return cleaning->finished; });
}

void VLRegisterCameraPlugin() { HBRRegisterBuiltInPluginClass<VLCamera>("VLCamera"); }
