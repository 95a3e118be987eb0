#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/Strings.h"
#include "plugins/camera/VLCamera.h"
#include "support/TestSupport.h"

namespace {

using platform::Value;

// Every result by callback id, in arrival order.
class RecordingDelegate : public HBRCommandDelegate {
 public:
  std::optional<std::string> pathForResource(const std::string&) override { return std::nullopt; }
  std::shared_ptr<platform::Object> getCommandInstance(const std::string&) override { return nullptr; }
  void sendPluginResult(const std::shared_ptr<HBRPluginResult>& result,
                        const std::optional<std::string>& callbackId) override {
    std::lock_guard lock(mutex_);
    results_[callbackId.value_or("")].push_back(result);
  }
  void evalJs(const std::string&) override {}
  void evalJs(const std::string&, bool) override {}
  void runInBackground(std::function<void()> block) override {
    {
      std::lock_guard lock(mutex_);
      if (holdBackgroundWork) return held_.push_back(std::move(block));
    }
    platform::DispatchQueue::global().async(std::move(block));
  }
  void runHeldWork() {
    std::vector<std::function<void()>> work;
    {
      std::lock_guard lock(mutex_);
      work.swap(held_);
    }
    for (auto& block : work) block();
  }
  Value& settings() override { return settings_; }
  Value settings_ = Value::object();
  URLTransformer urlTransformer() const override { return nullptr; }
  void setUrlTransformer(URLTransformer) override {}

  bool holdBackgroundWork = false;

  std::vector<std::shared_ptr<HBRPluginResult>> results(const std::string& id) {
    std::lock_guard lock(mutex_);
    return results_[id];
  }
  // The one result for `id`, waiting a few seconds for background work.
  std::shared_ptr<HBRPluginResult> wait(const std::string& id) {
    testing_support::waitUntil([&] { return !results(id).empty(); }, 5);
    auto all = results(id);
    EXPECT_EQ(all.size(), 1u) << id;
    return all.empty() ? nullptr : all.front();
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::vector<std::shared_ptr<HBRPluginResult>>> results_;
  std::vector<std::function<void()>> held_;
};

// Records each request with its tag; the test answers them when it likes.
class ScriptedWrapper : public VLCAMRActionDelegate {
 public:
  struct Call {
    std::string name;
    std::string tag;
    Value detail;
  };

  void captureMedia(const VLCAMRMediaOptions& options, const std::string& tag) override {
    if (auto* picture = dynamic_cast<const VLCAMRPictureOptions*>(&options))
      record("capturePicture", tag, {{"quality", picture->quality}, {"width", picture->size.width}});
    else if (auto* video = dynamic_cast<const VLCAMRVideoOptions*>(&options))
      record("captureVideo", tag, {{"save", video->saveToPhotoAlbum}, {"metadata", video->returnMetadata}});
  }
  void choosePicture(bool allowEdit, const std::string& tag) override { record("choosePicture", tag, allowEdit); }
  void chooseMultimedia(VLCAMRMediaType type, bool multiple, bool metadata, bool edit, const std::string& tag) override {
    record("chooseMultimedia", tag, {int(type), multiple, metadata, edit});
  }
  void editPicture(const VLCAMRImage& image, const std::string& tag) override {
    record("editPicture", tag, {image.width, image.height});
  }
  void editPicture(const std::string& uri, const VLCAMREditOptions& options, const std::string& tag) override {
    record("editURIPicture", tag, {uri, options.saveToPhotoAlbum, options.returnMetadata});
  }
  void playVideo(const platform::URL& url, PlayCompletion completion) override {
    record("playVideo", "", url.absoluteString());
    if (playThrows) throw std::runtime_error("player gone");
    completion(playError);
  }
  void cleanTemporaryFiles() override { record("clean", "", nullptr); }

  std::vector<Call> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  Call waitForCall(size_t count) {
    testing_support::waitUntil([&] { return calls().size() >= count; }, 5);
    auto all = calls();
    EXPECT_GE(all.size(), count);
    return all.size() >= count ? all[count - 1] : Call{};
  }

  std::optional<VLCAMRError> playError;
  bool playThrows = false;

 private:
  void record(std::string name, std::string tag, Value detail) {
    std::lock_guard lock(mutex_);
    calls_.push_back({std::move(name), std::move(tag), std::move(detail)});
  }
  std::mutex mutex_;
  std::vector<Call> calls_;
};

std::uint32_t pngCRC(std::string_view bytes) {
  std::uint32_t crc = 0xffffffffu;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return crc ^ 0xffffffffu;
}

class CameraPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VLCamera::setWrapperFactory([this](const std::shared_ptr<VLCAMRCallbackDelegate>&, const std::shared_ptr<platform::Object>&) {
      return wrapper;
    });
    plugin = std::make_shared<VLCamera>();
    plugin->setCommandDelegate(delegate);
    plugin->pluginInitialize();
  }
  void TearDown() override {
    VLCamera::setWrapperFactory(nullptr);
    platform::MainLoop::drain();
  }

  std::string call(const std::string& action, Value arguments) {
    std::string id = "Camera" + std::to_string(++calls);
    EXPECT_TRUE(plugin->performAction(action, HBRInvokedUrlCommand(std::move(arguments), id, "Camera", action)));
    return id;
  }
  void expectError(const std::string& id, const char* code) {
    auto result = delegate->wait(id);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status(), HBRResultStatus::Error);
    EXPECT_EQ(result->message()["code"], code);
    EXPECT_TRUE(result->message()["message"].is_string());
    EXPECT_FALSE(result->keepCallback());
  }

  static Value picture(int sourceType) {
    return Value{{"quality", 50},         {"targetWidth", 64},        {"targetHeight", 48},
                 {"encodingType", 0},     {"sourceType", sourceType}, {"allowEdit", true},
                 {"correctOrientation", false}, {"saveToPhotoAlbum", false}, {"cameraDirection", 0}};
  }

  testing_support::ScopedDataRoot dir;
  std::shared_ptr<ScriptedWrapper> wrapper = std::make_shared<ScriptedWrapper>();
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  std::shared_ptr<VLCamera> plugin;
  int calls = 0;
};

TEST_F(CameraPluginTest, ActionsReachTheWrapperWithTheirOwnTags) {
  std::string choose = call("takePicture", {picture(0)});
  auto first = wrapper->waitForCall(1);
  EXPECT_EQ(first.name, "choosePicture");
  EXPECT_EQ(first.detail, true);
  EXPECT_EQ(first.tag, choose);

  std::string capture = call("takePicture", {picture(1)});
  auto second = wrapper->waitForCall(2);
  EXPECT_EQ(second.name, "capturePicture");
  EXPECT_EQ(second.detail, (Value{{"quality", 50}, {"width", 64}}));

  std::string record = call("recordVideo", {{{"saveToGallery", true}, {"includeMetadata", false}}});
  EXPECT_EQ(wrapper->waitForCall(3).detail, (Value{{"save", true}, {"metadata", false}}));
  std::string gallery = call("chooseFromGallery", {{{"mediaType", 1}, {"allowMultipleSelection", true},
                                                    {"includeMetadata", false}, {"allowEdit", true}}});
  EXPECT_EQ(wrapper->waitForCall(4).detail, (Value{1, true, false, true}));
  call("editURIPicture", {{{"uri", "assets-library://asset/asset.JPG?id=1&ext=JPG"}, {"saveToGallery", false},
                           {"includeMetadata", true}}});
  EXPECT_EQ(wrapper->waitForCall(5).detail, (Value{"assets-library://asset/asset.JPG?id=1&ext=JPG", false, true}));
  EXPECT_EQ(plugin->callbackId(), "Camera5");

  // Answers arrive late and out of order; each goes to the action that asked for it.
  plugin->callback(capture, "file:///tmp/camera/a.jpg", std::nullopt);
  plugin->callback(choose, "", std::nullopt);
  plugin->callback(record, "ignored", VLCAMRError{VLCAMRError::captureVideoIssue});
  plugin->callback(gallery, std::nullopt, std::nullopt);
  auto captured = delegate->wait(capture);
  EXPECT_EQ(captured->status(), HBRResultStatus::OK);
  EXPECT_EQ(captured->message(), "file:///tmp/camera/a.jpg");
  EXPECT_EQ(delegate->wait(choose)->message(), nullptr);
  expectError(record, "VL-PLUG-CAMR-0004");
  EXPECT_TRUE(delegate->results(gallery).empty());
  EXPECT_TRUE(delegate->results("Camera5").empty());
}

TEST_F(CameraPluginTest, UnusableArgumentsAnswerTheActionsErrorAndReachNothing) {
  expectError(call("takePicture", Value::array()), "VL-PLUG-CAMR-0001");
  expectError(call("takePicture", {"a string"}), "VL-PLUG-CAMR-0001");
  Value noQuality = picture(1);
  noQuality.erase("quality");
  expectError(call("takePicture", {noQuality}), "VL-PLUG-CAMR-0001");
  expectError(call("recordVideo", {{{"saveToGallery", true}, {"includeMetadata", false}, {"extra", 1}}}),
              "VL-PLUG-CAMR-0004");
  expectError(call("recordVideo", {{{"saveToGallery", true}}}), "VL-PLUG-CAMR-0004");
  expectError(call("editURIPicture", {{{"uri", "x"}}}), "VL-PLUG-CAMR-0003");
  expectError(call("chooseFromGallery", {{{"mediaType", 9}, {"allowMultipleSelection", true},
                                          {"includeMetadata", false}, {"allowEdit", true}}}),
              "VL-PLUG-CAMR-0005");
  expectError(call("playVideo", {{{"videoURI", ""}}}), "VL-PLUG-CAMR-0006");
  expectError(call("playVideo", {{{"videoURI", "not a url"}}}), "VL-PLUG-CAMR-0006");
  std::string lastId = call("editPicture", {42});
  expectError(lastId, "VL-PLUG-CAMR-0002");
  EXPECT_EQ(plugin->callbackId(), lastId);
  EXPECT_TRUE(wrapper->calls().empty());
}

TEST_F(CameraPluginTest, EditPictureNeedsStrictBase64OfAPictureWithinTheLimits) {
  // A 1x1 PNG.
  const std::string png =
      "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==";
  call("editPicture", {png});
  EXPECT_EQ(wrapper->waitForCall(1).detail, (Value{1, 1}));
  expectError(call("editPicture", {png.substr(0, 40) + "\n" + png.substr(40)}), "VL-PLUG-CAMR-0002");
  expectError(call("editPicture", {platform::base64Encode(reinterpret_cast<const std::uint8_t*>("not an image"), 12)}),
              "VL-PLUG-CAMR-0002");

  // A tiny file whose header claims 60000 x 60000 pixels: refused before any pixel is decoded.
  std::string chunk("IHDR\0\0\xea\x60\0\0\xea\x60\x08\x06\0\0\0", 17);
  std::uint32_t crc = pngCRC(chunk);
  std::string claimed = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0d", 12) + chunk;
  for (int shift = 24; shift >= 0; shift -= 8) claimed += char((crc >> shift) & 0xff);
  claimed += std::string("\0\0\0\x10IDAT", 8) + std::string(20, '\0');
  expectError(call("editPicture", {platform::base64Encode(reinterpret_cast<const std::uint8_t*>(claimed.data()),
                                                          claimed.size())}),
              "VL-PLUG-CAMR-0008");
  std::string huge(VLCAMRImage::kMaxBytes + 1, 'A');
  VLCAMRError error;
  EXPECT_FALSE(VLCAMRImage::decode(huge, &error));
  EXPECT_EQ(error.code, VLCAMRError::imageTooLarge);
  EXPECT_EQ(wrapper->calls().size(), 1u);
}

TEST_F(CameraPluginTest, PlayVideoAnswersOnceHowEverPlaybackEnds) {
  std::string played = call("playVideo", {{{"videoURI", "file:///video.avi"}}});
  EXPECT_EQ(delegate->wait(played)->status(), HBRResultStatus::OK);
  EXPECT_EQ(delegate->wait(played)->message(), nullptr);
  EXPECT_EQ(wrapper->waitForCall(1).detail, "file:///video.avi");

  wrapper->playError = VLCAMRError{VLCAMRError::cameraUnavailable};
  expectError(call("playVideo", {{{"videoURI", "file:///video.avi"}}}), "VL-PLUG-CAMR-0007");
  wrapper->playThrows = true;
  expectError(call("playVideo", {{{"videoURI", "file:///video.avi"}}}), "VL-PLUG-CAMR-0006");

  // Without a camera library nothing can play: an error, not OK.
  wrapper = nullptr;
  plugin->pluginInitialize();
  expectError(call("playVideo", {{{"videoURI", "file:///video.avi"}}}), "VL-PLUG-CAMR-0006");
}

TEST_F(CameraPluginTest, TerminationCleansTemporaryFilesAndAGonePluginDoesNothing) {
  plugin->onAppTerminate();
  EXPECT_EQ(wrapper->waitForCall(1).name, "clean");

  delegate->holdBackgroundWork = true;
  call("takePicture", {picture(1)});
  std::weak_ptr<VLCamera> weak = plugin;
  plugin.reset();  // the queued job holds the plugin weakly
  EXPECT_TRUE(weak.expired()) << weak.use_count();
  delegate->runHeldWork();
  EXPECT_EQ(wrapper->calls().size(), 1u);
}

}  // namespace
