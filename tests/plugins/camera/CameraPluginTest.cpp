#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "host/HBRPluginResult.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/Strings.h"
#include "plugins/camera/VLCamera.h"
#include "support/RecordingCommandDelegate.h"
#include "support/TestPictures.h"
#include "support/TestSupport.h"

namespace {

using platform::Value;

// Waits for the one result of `id`.
std::shared_ptr<HBRPluginResult> one(testing_support::RecordingCommandDelegate& delegate, const std::string& id) {
  auto result = delegate.wait(id);
  EXPECT_EQ(delegate.results(id).size(), 1u) << id;
  return result;
}

// Records each request with its tag; the test answers them when it likes.
class ScriptedWrapper : public VLCAMRActionDelegate {
 public:
  struct Call {
    std::string name;
    std::string tag;
    Value detail;
    bool operator==(const Call&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Call& call) {
      return out << call.name << " " << call.tag << " " << call.detail.dump();
    }
  };

  void captureMedia(const VLCAMRMediaOptions& options, const std::string& tag) override {
    if (auto* picture = dynamic_cast<const VLCAMRPictureOptions*>(&options))
      record("capturePicture", tag, {{"quality", picture->quality}, {"width", picture->size.width}});
    else if (auto* video = dynamic_cast<const VLCAMRVideoOptions*>(&options))
      record("captureVideo", tag, {{"save", video->saveToPhotoAlbum}, {"metadata", video->returnMetadata}});
  }
  void choosePicture(bool allowEdit, const std::string& tag) override { record("choosePicture", tag, allowEdit); }
  void chooseMultimedia(VLCAMRMediaType type, bool multiple, bool metadata, bool edit, const std::string& tag) override {
    if (chooseThrows) throw std::bad_alloc();
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
  std::atomic<bool> chooseThrows{false};
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
    auto result = one(*delegate, id);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->status() == HBRResultStatus::Error && !result->keepCallback()) << id;
    EXPECT_EQ(result->message()["code"], code);
    EXPECT_TRUE(result->message()["message"].is_string());
  }

  static Value picture(int sourceType) {
    return Value{{"quality", 50},         {"targetWidth", 64},        {"targetHeight", 48},
                 {"encodingType", 0},     {"sourceType", sourceType}, {"allowEdit", true},
                 {"correctOrientation", false}, {"saveToPhotoAlbum", false}, {"cameraDirection", 0}};
  }

  testing_support::ScopedDataRoot dir;
  std::shared_ptr<ScriptedWrapper> wrapper = std::make_shared<ScriptedWrapper>();
  std::shared_ptr<testing_support::RecordingCommandDelegate> delegate = std::make_shared<testing_support::RecordingCommandDelegate>();
  std::shared_ptr<VLCamera> plugin;
  int calls = 0;
};

TEST_F(CameraPluginTest, ActionsReachTheWrapperWithTheirOwnTags) {
  using Call = ScriptedWrapper::Call;
  std::string choose = call("takePicture", {picture(0)});
  EXPECT_EQ(wrapper->waitForCall(1), (Call{"choosePicture", choose, true}));
  std::string capture = call("takePicture", {picture(1)});
  EXPECT_EQ(wrapper->waitForCall(2), (Call{"capturePicture", capture, {{"quality", 50}, {"width", 64}}}));

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
  auto captured = one(*delegate, capture);
  EXPECT_TRUE(captured->status() == HBRResultStatus::OK && captured->message() == "file:///tmp/camera/a.jpg");
  EXPECT_EQ(one(*delegate, choose)->message(), nullptr);
  expectError(record, "VL-PLUG-CAMR-0004");
  EXPECT_TRUE(delegate->results(gallery).empty());
  EXPECT_TRUE(delegate->results("Camera5").empty());
}

TEST_F(CameraPluginTest, UnusableArgumentsAnswerTheActionsErrorAndReachNothing) {
  Value noQuality = picture(1);
  noQuality.erase("quality");
  for (const auto& [action, arguments, code] : std::vector<std::tuple<std::string, Value, const char*>>{
           {"takePicture", Value::array(), "0001"}, {"takePicture", {"a string"}, "0001"},
           {"takePicture", {noQuality}, "0001"},
           {"recordVideo", {{{"saveToGallery", true}, {"includeMetadata", false}, {"extra", 1}}}, "0004"},
           {"recordVideo", {{{"saveToGallery", true}}}, "0004"}, {"editURIPicture", {{{"uri", "x"}}}, "0003"},
           {"chooseFromGallery", Value::parse(R"([{"mediaType": 9, "allowMultipleSelection": true,
              "includeMetadata": false, "allowEdit": true}])"), "0005"},
           {"playVideo", {{{"videoURI", ""}}}, "0006"}, {"playVideo", {{{"videoURI", "not a url"}}}, "0006"},
           {"editPicture", {42}, "0002"}})
    expectError(call(action, arguments), (std::string("VL-PLUG-CAMR-") + code).c_str());
  EXPECT_EQ(plugin->callbackId(), "Camera10");
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
  std::string claimed = testing_support::pngClaimingSize(60000, 60000);
  expectError(call("editPicture", {platform::base64Encode(reinterpret_cast<const std::uint8_t*>(claimed.data()),
                                                          claimed.size())}),
              "VL-PLUG-CAMR-0008");
  VLCAMRError error;
  EXPECT_FALSE(VLCAMRImage::decode(std::string(VLCAMRImage::kMaxBytes + 1, 'A'), &error));
  EXPECT_EQ(error.code, VLCAMRError::imageTooLarge);
  EXPECT_EQ(wrapper->calls().size(), 1u);
}

TEST_F(CameraPluginTest, PlayVideoAnswersOnceHowEverPlaybackEnds) {
  auto played = one(*delegate, call("playVideo", {{{"videoURI", "file:///video.avi"}}}));
  EXPECT_TRUE(played->status() == HBRResultStatus::OK && played->message().is_null());
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

// A library request that throws on the background queue still answers its action's error.
TEST_F(CameraPluginTest, ARequestThatThrowsStillAnswers) {
  wrapper->chooseThrows = true;
  expectError(call("chooseFromGallery", {{{"mediaType", 0}, {"allowMultipleSelection", false},
                                          {"includeMetadata", false}, {"allowEdit", false}}}),
              "VL-PLUG-CAMR-0005");
}

TEST_F(CameraPluginTest, TerminationCleansTemporaryFilesAndAGonePluginDoesNothing) {
  // The process ends right after: the files are gone by the time the hook returns.
  plugin->onAppTerminate();
  ASSERT_EQ(wrapper->calls().size(), 1u);
  EXPECT_EQ(wrapper->calls()[0].name, "clean");

  delegate->holdBackgroundWork = true;
  call("takePicture", {picture(1)});
  std::weak_ptr<VLCamera> weak = plugin;
  // The cleaning job lets go of the plugin just after it has answered.
  testing_support::waitUntil([&] { return plugin.use_count() == 1; }, 5);
  plugin.reset();  // the queued job holds the plugin weakly
  EXPECT_TRUE(weak.expired()) << weak.use_count();
  delegate->runHeldWork();
  EXPECT_EQ(wrapper->calls().size(), 1u);
}

}  // namespace
