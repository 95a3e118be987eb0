#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gst/gst.h>
#include <gtk/gtk.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "platform/camera/VLCAMR.h"
#include "platform/camera/VLCAMREditorWindow.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/ui/Application.h"
#include "support/TestPictures.h"
#include "support/TestSupport.h"
#include "support/VirtualDisplay.h"

namespace {

using platform::Value;

struct Answer {
  std::string tag;
  std::optional<std::string> result;
  std::optional<VLCAMRError> error;
};

class Collector : public VLCAMRCallbackDelegate {
 public:
  void callback(const std::string& tag, const std::optional<std::string>& result,
                const std::optional<VLCAMRError>& error) override {
    std::lock_guard lock(mutex_);
    answers.push_back({tag, result, error});
  }
  std::mutex mutex_;
  std::vector<Answer> answers;
};

// The camera library on the test picture source, with a fresh data root.
class CameraLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VLCAMRFactory::Configuration configuration;
    configuration.source = "videotestsrc pattern=smpte";
    configuration.videoSeconds = 1;
    configuration.videoFramesPerSecond = 10;
    VLCAMRFactory::setConfiguration(configuration);
    wrapper = VLCAMRFactory::createCameraWrapper(collector, nullptr);
  }
  void TearDown() override { VLCAMRFactory::setConfiguration({}); }

  void configure(const std::function<void(VLCAMRFactory::Configuration&)>& change) {
    auto configuration = VLCAMRFactory::configuration();
    change(configuration);
    VLCAMRFactory::setConfiguration(configuration);
  }

  Answer only() {
    EXPECT_EQ(collector->answers.size(), 1u);
    Answer answer = collector->answers.empty() ? Answer{} : collector->answers.back();
    collector->answers.clear();
    return answer;
  }
  static std::string pathOf(const std::string& fileURL) { return platform::URL::parse(fileURL)->path(); }
  // Writes `content` to `name` in the test's folder and answers its "file:" URL.
  std::string written(const std::string& name, const std::string& content) {
    dir.write(name, content);
    return platform::URL::fileURL(dir.file(name)).absoluteString();
  }
  Answer capture(long long width, long long height, VLCAMREncodingType type, bool save, bool metadata,
                 bool allowEdit = false) {
    wrapper->captureMedia(
        VLCAMRPictureOptions(70, {width, height}, false, type, save, VLCAMRDirection::back, allowEdit, metadata, false),
        "capture");
    return only();
  }

  testing_support::ScopedDataRoot dir;
  std::shared_ptr<Collector> collector = std::make_shared<Collector>();
  std::shared_ptr<VLCAMRActionDelegate> wrapper;
};

// The size of the picture file behind a "file:" URL, and its pixel at (x, y).
struct Picture {
  int width = 0;
  int height = 0;
  std::array<int, 3> rgb{};
};
Picture pictureAt(const std::string& fileURL, int x, int y) {
  Picture picture;
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(platform::URL::parse(fileURL)->path().c_str(), nullptr);
  if (!pixbuf) return picture;
  picture.width = gdk_pixbuf_get_width(pixbuf);
  picture.height = gdk_pixbuf_get_height(pixbuf);
  const guchar* pixel = gdk_pixbuf_read_pixels(pixbuf) + y * gdk_pixbuf_get_rowstride(pixbuf) +
                        x * gdk_pixbuf_get_n_channels(pixbuf);
  picture.rgb = {pixel[0], pixel[1], pixel[2]};
  g_object_unref(pixbuf);
  return picture;
}

TEST_F(CameraLibraryTest, CapturesPicturesOfTheRequestedSizeAndFormatAndVideos) {
  Answer answer = capture(320, 240, VLCAMREncodingType::jpeg, true, false);
  EXPECT_EQ(answer.tag, "capture");
  ASSERT_TRUE(answer.result) << (answer.error ? answer.error->localizedDescription() : "");
  std::string path = pathOf(*answer.result);
  EXPECT_TRUE(platform::startsWith(path, platform::paths::tmp()));
  auto bytes = platform::fs::readFile(path);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->substr(0, 3), std::string("\xff\xd8\xff", 3));  // a JPEG file
  Picture picture = pictureAt(*answer.result, 0, 0);
  EXPECT_EQ(std::pair(picture.width, picture.height), std::pair(320, 240));
  auto gallery = platform::photos::PhotoLibrary().allAssets();
  ASSERT_EQ(gallery.size(), 1u);
  EXPECT_EQ(gallery[0].size, bytes->size());

  answer = capture(64, 32, VLCAMREncodingType::png, false, true);
  ASSERT_TRUE(answer.result);
  Value reply = Value::parse(*answer.result);
  EXPECT_EQ(reply["metadata"]["width"], 64);
  EXPECT_EQ(reply["metadata"]["height"], 32);
  EXPECT_EQ(platform::fs::readFile(pathOf(reply["uri"])).value_or("").substr(1, 3), "PNG");
  EXPECT_EQ(platform::photos::PhotoLibrary().allAssets().size(), 1u);

  wrapper->cleanTemporaryFiles();
  EXPECT_FALSE(platform::fs::exists(path));
  EXPECT_EQ(platform::photos::PhotoLibrary().allAssets().size(), 1u);

  // A video that GStreamer reads back.
  wrapper->captureMedia(VLCAMRVideoOptions(true, false), "video");
  answer = only();
  ASSERT_TRUE(answer.result) << (answer.error ? answer.error->localizedDescription() : "");
  path = pathOf(*answer.result);

  GError* error = nullptr;
  std::string description = "filesrc location=\"" + path + "\" ! decodebin ! videoconvert ! fakesink name=sink signal-handoffs=true";
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  ASSERT_FALSE(error);
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  int frames = 0;
  g_signal_connect(sink, "handoff", G_CALLBACK(+[](GstElement*, GstBuffer*, GstPad*, int* count) { ++*count; }),
                   &frames);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* message =
      gst_bus_timed_pop_filtered(bus, 20 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  ASSERT_TRUE(message);
  EXPECT_EQ(GST_MESSAGE_TYPE(message), GST_MESSAGE_EOS);
  gst_message_unref(message);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
  EXPECT_EQ(frames, 10);

  gallery = platform::photos::PhotoLibrary().allAssets();
  ASSERT_EQ(gallery.size(), 2u);
  EXPECT_EQ(std::count_if(gallery.begin(), gallery.end(),
                          [](const auto& asset) { return asset.kind == platform::photos::MediaKind::Video; }),
            1);
}

TEST_F(CameraLibraryTest, GalleryChoiceEditingAndFailures) {
  wrapper->choosePicture(false, "empty");
  EXPECT_EQ(only().error, VLCAMRError{VLCAMRError::noMediaFound});

  std::string captured = *capture(40, 30, VLCAMREncodingType::jpeg, true, false).result;
  wrapper->choosePicture(true, "one");
  std::string asset = *only().result;
  EXPECT_TRUE(platform::startsWith(asset, "assets-library://asset/asset.JPG?id="));
  wrapper->chooseMultimedia(VLCAMRMediaType::all, true, true, false, "all");
  Value list = Value::parse(*only().result);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["uri"], asset);
  EXPECT_EQ(list[0]["type"], "image");
  EXPECT_TRUE(list[0]["metadata"]["size"].is_number());
  wrapper->chooseMultimedia(VLCAMRMediaType::video, true, false, false, "videos");
  EXPECT_EQ(Value::parse(*only().result).size(), 0u);

  wrapper->editPicture(asset, VLCAMREditOptions(true, true), "edit");
  Value edited = Value::parse(*only().result);
  EXPECT_EQ(edited["metadata"]["width"], 40);
  EXPECT_EQ(platform::photos::PhotoLibrary().allAssets().size(), 2u);
  wrapper->editPicture(captured, VLCAMREditOptions(false, false), "file");
  EXPECT_TRUE(only().result);

  // Files outside the application's data, and what is no picture, are refused.
  wrapper->editPicture(written("outside.jpg", "not really"), VLCAMREditOptions(false, false), "x");
  EXPECT_EQ(only().error, VLCAMRError{VLCAMRError::editPictureIssue});
  wrapper->editPicture(written("data/Documents/fake.jpg", "not really"), VLCAMREditOptions(false, false), "y");
  EXPECT_EQ(only().error, VLCAMRError{VLCAMRError::invalidImageData});

  platform::photos::PhotoLibrary::setAuthorized(false);
  wrapper->chooseMultimedia(VLCAMRMediaType::all, true, false, false, "denied");
  platform::photos::PhotoLibrary::setAuthorized(true);
  EXPECT_EQ(only().error, VLCAMRError{VLCAMRError::photoLibraryUnavailable});

  configure([](auto& c) { c.source = "nosuchcamerasource"; });
  EXPECT_EQ(capture(40, 30, VLCAMREncodingType::jpeg, false, false).error, VLCAMRError{VLCAMRError::cameraUnavailable});
  wrapper->captureMedia(VLCAMRVideoOptions(false, false), "none");
  EXPECT_EQ(only().error, VLCAMRError{VLCAMRError::cameraUnavailable});

  // The player gets only files of the data root or the package and http(s) URLs: a socket
  // to listen on, a file elsewhere or a device is refused without waiting.
  dir.write("outside.avi", "not a video");
  for (std::string uri : std::vector<std::string>{"file:///no/such/video.avi", "udp://127.0.0.1:45931", "file://" + dir.file("data/../outside.avi"),
                          "v4l2:///dev/video0", "file:///dev/zero"}) {
    std::promise<std::optional<VLCAMRError>> played;
    wrapper->playVideo(*platform::URL::parse(uri), [&](std::optional<VLCAMRError> error) { played.set_value(error); });
    auto result = played.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready) << uri;
    EXPECT_EQ(result.get(), VLCAMRError{VLCAMRError::playVideoIssue}) << uri;
  }
}

// Another program plants a link to a picture outside the data root, or a FIFO, where the
// page names pictures; the camera reads neither, and the worker is not held.
TEST_F(CameraLibraryTest, EditingNeverFollowsAPlantedLinkNorWaitsOnAFifo) {
  std::string captured = pathOf(*capture(40, 30, VLCAMREncodingType::jpeg, false, false).result);
  std::string picture = *platform::fs::readFile(captured);
  std::string outside = dir.write("outside/private.jpg", picture);
  std::string documents = platform::paths::documents();
  ASSERT_EQ(::symlink(outside.c_str(), (documents + "/link.jpg").c_str()), 0);
  ASSERT_EQ(::mkfifo((documents + "/pipe.jpg").c_str(), 0600), 0);
  ASSERT_EQ(::symlink(outside.c_str(), (platform::photos::PhotoLibrary::folder() + "/planted.JPG").c_str()), 0);
  for (const std::string& uri : {platform::URL::fileURL(documents + "/link.jpg").absoluteString(),
                                 platform::URL::fileURL(documents + "/pipe.jpg").absoluteString(),
                                 std::string("assets-library://asset/asset.JPG?id=planted&ext=JPG"),
                                 platform::URL::fileURL(platform::paths::library() + "/Cookies/x.jpg").absoluteString()}) {
    wrapper->editPicture(uri, VLCAMREditOptions(false, false), "planted");
    EXPECT_EQ(only().error, VLCAMRError{VLCAMRError::editPictureIssue}) << uri;
  }
  // The same picture inside the page's folders is edited.
  dir.write("data/Documents/real.jpg", picture);
  wrapper->editPicture(platform::URL::fileURL(documents + "/real.jpg").absoluteString(), VLCAMREditOptions(false, false),
                       "real");
  EXPECT_TRUE(only().result);
}

TEST_F(CameraLibraryTest, EditingCropsAndScalesToTheRequestedSize) {
  // The test pattern's second bar, yellow, spans x 46 to 91 of its 320 x 240 picture.
  configure([](auto& c) { c.editor = [](int, int) { return VLCAMRCrop{50, 0, 40, 100}; }; });
  Picture cropped = pictureAt(*capture(0, 0, VLCAMREncodingType::png, true, false, true).result, 20, 50);
  EXPECT_EQ(std::pair(cropped.width, cropped.height), std::pair(40, 100));
  EXPECT_GT(cropped.rgb[0], 150);
  EXPECT_GT(cropped.rgb[1], 150);
  EXPECT_LT(cropped.rgb[2], 60);

  // Without editing allowed the editor is not asked; one requested side keeps the proportions.
  Picture scaled = pictureAt(*capture(64, 0, VLCAMREncodingType::jpeg, false, false).result, 0, 0);
  EXPECT_EQ(std::pair(scaled.width, scaled.height), std::pair(64, 48));

  // A gallery picture edited when chosen, and one edited by URL, come back as cropped copies
  // scaled to cover the requested size.
  std::string asset = platform::photos::PhotoLibrary().allAssets().at(0).url();
  configure([](auto& c) { c.editor = [](int, int) { return VLCAMRCrop{-5, 10, 30, 1000}; }; });
  wrapper->choosePicture(true, "gallery");
  std::string chosen = *only().result;
  EXPECT_TRUE(platform::startsWith(chosen, "file://")) << chosen;
  Picture clamped = pictureAt(chosen, 0, 0);
  EXPECT_EQ(std::pair(clamped.width, clamped.height), std::pair(25, 90));
  wrapper->chooseMultimedia(VLCAMRMediaType::picture, false, false, true, "multimedia");
  EXPECT_EQ(pictureAt(Value::parse(*only().result)[0]["uri"], 0, 0).width, 25);
  wrapper->editPicture(asset, VLCAMREditOptions(false, true), "uri");
  Value edited = Value::parse(*only().result);
  EXPECT_EQ(edited["metadata"]["width"], 25);
  EXPECT_EQ(pictureAt(edited["uri"], 0, 0).height, 90);
  configure([](auto& c) { c.editor = [](int width, int height) { return VLCAMRCrop{0, 0, width / 2, height}; }; });
  Value covered = Value::parse(*capture(80, 60, VLCAMREncodingType::jpeg, false, true, true).result);
  EXPECT_EQ(covered["metadata"]["width"], 80);
  EXPECT_EQ(pictureAt(covered["uri"], 0, 0).height, 60);

  // A crop that keeps nothing, a size past the limits and a picture that claims too many
  // pixels are refused with their own errors; nothing is written.
  configure([](auto& c) { c.editor = [](int width, int) { return VLCAMRCrop{width, 0, 10, 10}; }; });
  wrapper->editPicture(asset, VLCAMREditOptions(true, false), "nothing");
  EXPECT_EQ(only().error, VLCAMRError{VLCAMRError::editPictureIssue});
  Answer huge = capture(20000, 20000, VLCAMREncodingType::jpeg, true, false);
  ASSERT_TRUE(huge.error);
  EXPECT_EQ(huge.error->code, VLCAMRError::imageTooLarge);
  EXPECT_EQ(huge.error->localizedDescription(), "The picture is too large to edit.");
  wrapper->editPicture(written("data/Documents/claims.png", testing_support::pngClaimingSize(50000, 50000)),
                       VLCAMREditOptions(true, false), "claims");
  EXPECT_EQ(only().error, VLCAMRError{VLCAMRError::imageTooLarge});
  EXPECT_EQ(platform::photos::PhotoLibrary().allAssets().size(), 1u);
}

// A picture of other proportions than the camera's frame is the frame's centred part, scaled:
// from a white camera it is white to its very edges, with and without editing, and the editor
// is shown the whole frame.
TEST_F(CameraLibraryTest, APictureOfOtherProportionsIsTheCentredPartOfTheWholeFrame) {
  configure([](auto& c) { c.source = "videotestsrc pattern=white ! video/x-raw,width=320,height=240"; });
  auto expectWhiteEdges = [](const std::string& fileURL, const char* what) {
    for (auto [x, y] : std::vector<std::pair<int, int>>{{0, 15}, {59, 15}, {30, 0}, {30, 29}, {0, 0}, {59, 29}}) {
      Picture picture = pictureAt(fileURL, x, y);
      EXPECT_EQ(std::pair(picture.width, picture.height), std::pair(60, 30)) << what;
      for (int channel : picture.rgb) EXPECT_GT(channel, 200) << what << " at " << x << "," << y;
    }
  };
  for (bool allowEdit : {false, true}) {
    Answer answer = capture(60, 30, VLCAMREncodingType::png, false, false, allowEdit);
    ASSERT_TRUE(answer.result) << (answer.error ? answer.error->localizedDescription() : "");
    expectWhiteEdges(*answer.result, allowEdit ? "edited" : "taken");
  }
  std::vector<std::pair<int, int>> shown;
  configure([&](auto& c) {
    c.editor = [&](int width, int height) {
      shown.emplace_back(width, height);
      return VLCAMRFactory::targetCrop(width, height, {60, 30});
    };
  });
  Answer edited = capture(60, 30, VLCAMREncodingType::png, false, false, true);
  ASSERT_TRUE(edited.result);
  expectWhiteEdges(*edited.result, "through the editor");
  EXPECT_EQ(shown, (std::vector<std::pair<int, int>>{{320, 240}}));
}

// Writes `seconds` of the test pattern at `path` as WebM; a streamable one carries neither its
// length nor an index, as a live stream does not.
void writeClip(const std::string& path, int seconds, bool streamable) {
  std::string description = "videotestsrc num-buffers=" + std::to_string(seconds * 10) +
                            " ! video/x-raw,width=160,height=120,framerate=10/1 ! vp8enc deadline=1 ! webmmux" +
                            (streamable ? " streamable=true" : "") + " ! filesink location=\"" + path + "\"";
  gst_init(nullptr, nullptr);
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  ASSERT_FALSE(error) << error->message;
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* message =
      gst_bus_timed_pop_filtered(bus, 30 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  EXPECT_TRUE(message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS);
  if (message) gst_message_unref(message);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
}

// Plays `uri` and answers how it ended, and after how many real seconds; nullopt in the
// error's place when nothing came within `seconds`.
struct Played {
  std::optional<std::optional<VLCAMRError>> error;
  double seconds = 0;
};
Played play(VLCAMRActionDelegate& wrapper, const std::string& uri, double seconds) {
  auto ended = std::make_shared<std::promise<std::optional<VLCAMRError>>>();
  auto started = std::chrono::steady_clock::now();
  wrapper.playVideo(*platform::URL::parse(uri), [ended](std::optional<VLCAMRError> error) { ended->set_value(error); });
  auto answer = ended->get_future();
  Played played;
  if (answer.wait_for(std::chrono::duration<double>(seconds)) == std::future_status::ready) played.error = answer.get();
  played.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return played;
}

// A video plays for as long as it keeps playing: its length sets no limit. On a clock a
// thousand times faster than real time, the three-second clip plays for 50 minutes.
TEST_F(CameraLibraryTest, AVideoThatKeepsPlayingPlaysToItsEndHoweverLong) {
  std::string clip = platform::paths::documents() + "/long.webm";
  writeClip(clip, 3, false);
  constexpr double kFaster = 1000;
  configure([&](auto& c) {
    auto origin = std::chrono::steady_clock::now();
    c.clock = [origin] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - origin).count() * kFaster; };
    c.playStartSeconds = 20 * kFaster;
    c.playStallSeconds = 1 * kFaster;
  });
  Played played = play(*wrapper, platform::URL::fileURL(clip).absoluteString(), 30);
  ASSERT_TRUE(played.error) << "no answer";
  EXPECT_EQ(*played.error, std::nullopt);
  EXPECT_GT(played.seconds * kFaster, 45 * 60);
}

// What can hang is bounded instead: a video that is not ready to play within the start limit,
// or whose position stops moving for the stall limit, is answered with the error then, long
// before its length would have run out.
TEST_F(CameraLibraryTest, AVideoThatDoesNotStartOrStopsMovingFailsWithinItsBound) {
  std::string bytes;
  {
    std::string clip = dir.file("stream.webm");
    writeClip(clip, 10, true);
    bytes = platform::fs::readFile(clip).value_or("");
    ASSERT_FALSE(bytes.empty());
  }
  // A server that sends the first fifth of the clip and then nothing more, and one that never
  // answers at all; both hold the connection until the test ends.
  std::atomic<bool> released{false};
  auto hold = [&released] {
    while (!released) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  };
  httplib::Server server;
  server.Get("/stalls.webm", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content_provider(bytes.size(), "video/webm", [&](size_t offset, size_t length, httplib::DataSink& sink) {
      size_t sent = bytes.size() / 5;
      if (offset < sent) return sink.write(bytes.data() + offset, std::min(length, sent - offset));
      hold();
      return false;
    });
  });
  server.Get("/silent.webm", [&](const httplib::Request&, httplib::Response&) { hold(); });
  int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });

  configure([](auto& c) {
    c.playStartSeconds = 2;
    c.playStallSeconds = 1;
  });
  std::string base = "http://127.0.0.1:" + std::to_string(port);
  Played stalled = play(*wrapper, base + "/stalls.webm", 15);
  Played silent = play(*wrapper, base + "/silent.webm", 15);
  released = true;
  server.stop();
  serving.join();

  ASSERT_TRUE(stalled.error) << "no answer from the stalled video";
  EXPECT_EQ(*stalled.error, VLCAMRError{VLCAMRError::playVideoIssue});
  EXPECT_LT(stalled.seconds, 8);
  ASSERT_TRUE(silent.error) << "no answer from the silent server";
  EXPECT_EQ(*silent.error, VLCAMRError{VLCAMRError::playVideoIssue});
  EXPECT_GE(silent.seconds, 2);
  EXPECT_LT(silent.seconds, 6);
}

// GTK on a display of its own, made once: GTK cannot be started again on another display.
bool gtkOnDisplay() {
  static bool ok = [] {
    // No session bus or settings daemon: GTK would start them on the display and they would
    // outlive it.
    setenv("NO_AT_BRIDGE", "1", 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", "", 1);
    setenv("GSETTINGS_BACKEND", "memory", 1);
    static testing_support::VirtualDisplay display;
    return display.ok() && gtk_init_check(nullptr, nullptr);
  }();
  return ok;
}

// Stands in for the person at the chooser window: once it shows, picks `path` (or nothing)
// and answers; gives up after a while so that the test never hangs.
struct Person {
  std::string path;
  bool accept = true;
  bool sawWindow = false;
  int ticks = 0;

  static gboolean act(gpointer data) {
    auto* person = static_cast<Person*>(data);
    GtkWidget* dialog = nullptr;
    GList* windows = gtk_window_list_toplevels();
    for (GList* window = windows; window; window = window->next)
      if (GTK_IS_FILE_CHOOSER_DIALOG(window->data) && gtk_widget_get_visible(GTK_WIDGET(window->data)))
        dialog = GTK_WIDGET(window->data);
    g_list_free(windows);
    bool late = ++person->ticks > 400;
    if (!dialog) return late ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
    person->sawWindow = true;
    auto* chooser = GTK_FILE_CHOOSER(dialog);
    if (person->accept && !late) {
      gtk_file_chooser_select_filename(chooser, person->path.c_str());
      gchar* selected = gtk_file_chooser_get_filename(chooser);
      bool ready = selected && person->path == selected;
      g_free(selected);
      if (!ready) return G_SOURCE_CONTINUE;  // the folder is still loading
    }
    gtk_dialog_response(GTK_DIALOG(dialog), person->accept && !late ? GTK_RESPONSE_ACCEPT : GTK_RESPONSE_CANCEL);
    return G_SOURCE_REMOVE;
  }
};

// A chooser of the application's own picks from the gallery; without one, while a GTK main
// loop runs, the gallery is chosen in a file chooser window over the photo library's folder,
// and closing it without a choice is a cancellation.
TEST_F(CameraLibraryTest, AChooserOfItsOwnOrTheChooserWindowPicksFromTheGallery) {
  ASSERT_TRUE(gtkOnDisplay());
  for (int shot = 0; shot < 3; ++shot) capture(16, 16, VLCAMREncodingType::png, true, false);
  auto gallery = platform::photos::PhotoLibrary().allAssets();
  ASSERT_EQ(gallery.size(), 3u);
  std::vector<std::string> seen;
  configure([&](auto& c) {
    c.chooser = [&](const std::vector<platform::photos::Asset>& offered, bool) {
      for (const auto& asset : offered) seen.push_back(asset.url());
      return std::vector<size_t>{2, 7, 0};
    };
  });
  wrapper->chooseMultimedia(VLCAMRMediaType::all, true, false, false, "several");
  Value several = Value::parse(*only().result);
  ASSERT_EQ(several.size(), 2u);
  EXPECT_EQ(several[0]["uri"], gallery[2].url());
  EXPECT_EQ(several[1]["uri"], gallery[0].url());
  EXPECT_EQ(seen.size(), 3u);
  wrapper->choosePicture(false, "single");
  EXPECT_EQ(only().result, gallery[2].url());

  configure([](auto& c) { c.chooser = [](const auto&, bool) { return std::vector<size_t>{}; }; });
  wrapper->choosePicture(false, "cancelled");
  EXPECT_EQ(only().error, VLCAMRError{VLCAMRError::noMediaFound});

  for (bool accept : {true, false}) {
    Person person{gallery[1].path, accept};
    std::vector<size_t> picked{99};
    std::thread asking([&] {
      picked = VLCAMRFactory::defaultChoice(gallery, true);
      g_idle_add(+[](gpointer) { gtk_main_quit(); return G_SOURCE_REMOVE; }, nullptr);
    });
    g_timeout_add(25, Person::act, &person);
    gtk_main();
    asking.join();
    EXPECT_TRUE(person.sawWindow);
    EXPECT_EQ(picked, accept ? std::vector<size_t>{1} : std::vector<size_t>{});
  }
}

// Without anyone to ask, the request's own target size decides the part kept: the largest
// centred part of its proportions, or the whole picture.
TEST(CameraEditor, TheTargetSizeStandsInForThePerson) {
  EXPECT_EQ(VLCAMRFactory::targetCrop(320, 240, {100, 100}), (VLCAMRCrop{40, 0, 240, 240}));
  EXPECT_EQ(VLCAMRFactory::targetCrop(100, 400, {2, 1}), (VLCAMRCrop{0, 175, 100, 50}));
  EXPECT_EQ(VLCAMRFactory::targetCrop(320, 240, {64, 0}), (VLCAMRCrop{0, 0, 320, 240}));
  EXPECT_EQ(VLCAMRFactory::targetCrop(3, 1000, {1000, 1}), (VLCAMRCrop{0, 499, 3, 1}));
}

// Drags the editing window's crop rectangle, then answers: with `accept`, the part chosen.
struct Editor {
  bool accept = true;
  bool sawWindow = false;
  int ticks = 0;
  // Runs on a thread of its own once the window shows; the person waits for it to end.
  std::function<void()> whileOpen;
  std::thread other;
  std::atomic<bool> otherDone{false};

  static void send(GtkWidget* area, GdkEventType type, double x, double y) {
    GdkEvent* event = gdk_event_new(type);
    if (type == GDK_MOTION_NOTIFY) {
      event->motion.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(area)));
      event->motion.x = x;
      event->motion.y = y;
      event->motion.state = GDK_BUTTON1_MASK;
    } else {
      event->button.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(area)));
      event->button.x = x;
      event->button.y = y;
      event->button.button = 1;
    }
    gtk_widget_event(area, event);
    gdk_event_free(event);
  }
  static void drag(GtkWidget* area, double fromX, double fromY, double toX, double toY) {
    send(area, GDK_BUTTON_PRESS, fromX, fromY);
    send(area, GDK_MOTION_NOTIFY, (fromX + toX) / 2, (fromY + toY) / 2);
    send(area, GDK_MOTION_NOTIFY, toX, toY);
    send(area, GDK_BUTTON_RELEASE, toX, toY);
  }
  static GtkWidget* find(GtkWidget* widget, const char* name) {
    if (g_strcmp0(gtk_widget_get_name(widget), name) == 0) return widget;
    GtkWidget* found = nullptr;
    if (GTK_IS_CONTAINER(widget)) {
      GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
      for (GList* child = children; child && !found; child = child->next) found = find(GTK_WIDGET(child->data), name);
      g_list_free(children);
    }
    return found;
  }

  static gboolean act(gpointer data) {
    auto* person = static_cast<Editor*>(data);
    GtkWidget* dialog = nullptr;
    GList* windows = gtk_window_list_toplevels();
    for (GList* window = windows; window; window = window->next)
      if (g_strcmp0(gtk_window_get_title(GTK_WINDOW(window->data)), "Edit the picture") == 0 &&
          gtk_widget_get_visible(GTK_WIDGET(window->data)))
        dialog = GTK_WIDGET(window->data);
    g_list_free(windows);
    bool late = ++person->ticks > 400;
    GtkWidget* area = dialog ? find(dialog, "crop-area") : nullptr;
    if (!area || !gtk_widget_get_mapped(area)) return late ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
    person->sawWindow = true;
    if (person->whileOpen && !person->other.joinable())
      person->other = std::thread([person] {
        person->whileOpen();
        person->otherDone = true;
      });
    if (person->other.joinable() && !person->otherDone && !late) return G_SOURCE_CONTINUE;
    // The whole 320 x 240 picture at first: its corner to the middle, the rest 50 right and
    // 20 down; a press outside the rectangle moves nothing, a drag past the picture's edge
    // stops there (x 160), and the last drag leaves it at (20, 10).
    drag(area, 320, 240, 160, 120);
    drag(area, 80, 60, 130, 80);
    drag(area, 300, 230, 10, 10);
    drag(area, 100, 100, 1000, 100);
    drag(area, 200, 100, 60, 90);
    gtk_dialog_response(GTK_DIALOG(dialog), person->accept && !late ? GTK_RESPONSE_ACCEPT : GTK_RESPONSE_CANCEL);
    return G_SOURCE_REMOVE;
  }
};

// With a GTK main loop running and no editor configured, editing shows the picture in a
// window whose crop rectangle the person moves and resizes; what they keep is the answer,
// and cancelling keeps nothing.
TEST_F(CameraLibraryTest, TheEditingWindowKeepsThePartThePersonChose) {
  ASSERT_TRUE(gtkOnDisplay());
  auto edit = [&](const std::string& tag) {
    wrapper->captureMedia(VLCAMRPictureOptions(90, {0, 0}, false, VLCAMREncodingType::png, false, VLCAMRDirection::back,
                                               true, false, false),
                          tag);
  };
  for (bool accept : {true, false}) {
    Editor person;
    person.accept = accept;
    // A second edit while the window is open is refused at once: one window at a time.
    if (accept) person.whileOpen = [&] { edit("again"); };
    std::thread asking([&] {
      edit("edited");
      g_idle_add(+[](gpointer) { gtk_main_quit(); return G_SOURCE_REMOVE; }, nullptr);
    });
    g_timeout_add(25, Editor::act, &person);
    gtk_main();
    asking.join();
    if (person.other.joinable()) person.other.join();
    EXPECT_TRUE(person.sawWindow);
    if (accept) {
      ASSERT_EQ(collector->answers.size(), 2u);
      EXPECT_EQ(collector->answers[0].tag, "again");
      EXPECT_EQ(collector->answers[0].error, VLCAMRError{VLCAMRError::editPictureIssue});
      collector->answers.erase(collector->answers.begin());
    }
    Answer answer = only();
    if (!accept) {
      EXPECT_EQ(answer.error, VLCAMRError{VLCAMRError::editPictureIssue});
      continue;
    }
    ASSERT_TRUE(answer.result) << (answer.error ? answer.error->localizedDescription() : "");
    // The part kept starts at (20, 10) of the test pattern: 160 x 120, its first 26 columns
    // from the white bar, then yellow (the second bar spans x 46 to 91).
    Picture kept = pictureAt(*answer.result, 40, 60);
    EXPECT_EQ(std::pair(kept.width, kept.height), std::pair(160, 120));
    EXPECT_GT(kept.rgb[0], 150);
    EXPECT_GT(kept.rgb[1], 150);
    EXPECT_LT(kept.rgb[2], 60);
    Picture white = pictureAt(*answer.result, 5, 60);
    EXPECT_GT(white.rgb[2], 150);
  }
}

}  // namespace

namespace {

// The top-level windows shown with `title`.
std::vector<GtkWidget*> shownWindows(const char* title) {
  std::vector<GtkWidget*> found;
  GList* windows = gtk_window_list_toplevels();
  for (GList* window = windows; window; window = window->next)
    if (g_strcmp0(gtk_window_get_title(GTK_WINDOW(window->data)), title) == 0 &&
        gtk_widget_get_visible(GTK_WIDGET(window->data)))
      found.push_back(GTK_WIDGET(window->data));
  g_list_free(windows);
  return found;
}
bool shown(const char* title) { return !shownWindows(title).empty(); }

// Terminates the application once the editing and the chooser windows are both open, then
// waits for `wanted` asks to be answered; gives up after a while so that the test never hangs.
struct Terminating {
  int wanted = 0;
  std::atomic<int> answered{0};
  bool grabbed = false;
  bool terminated = false;
  int ticks = 0;

  static gboolean act(gpointer data) {
    auto* run = static_cast<Terminating*>(data);
    bool late = ++run->ticks > 400;
    if (!run->terminated) {
      if (!late && !(shown("Edit the picture") && shown("Choose from the gallery"))) return G_SOURCE_CONTINUE;
      run->grabbed = gtk_grab_get_current() != nullptr;
      run->terminated = true;
      platform::ui::Application::shared().terminate(0);
    }
    if (run->answered < run->wanted && !late) return G_SOURCE_CONTINUE;
    // Windows still open never answer: closed here, so that the asking threads end.
    for (const char* title : {"Edit the picture", "Choose from the gallery"})
      for (GtkWidget* window : shownWindows(title)) gtk_widget_destroy(window);
    gtk_main_quit();
    return G_SOURCE_REMOVE;
  }
};

// The windows that ask the person do not hold the application: while they are open nothing
// grabs the input, so the main window's close still reaches it; when the application
// terminates they close, answered as cancelled, and later asks (a page that asks again on
// every cancellation) are cancelled at once without a window. The application stays
// terminated for the rest of the program, so this test comes last.
TEST_F(CameraLibraryTest, WindowsThatAskThePersonCloseWhenTheApplicationTerminates) {
  ASSERT_TRUE(gtkOnDisplay());
  capture(16, 16, VLCAMREncodingType::png, true, false);
  auto gallery = platform::photos::PhotoLibrary().allAssets();
  ASSERT_EQ(gallery.size(), 1u);
  Terminating run;
  std::vector<size_t> picked{99}, pickedAgain{99};
  auto ask = [&](const std::string& tag, std::vector<size_t>& choice) {
    std::thread editing([&, tag] {
      wrapper->captureMedia(VLCAMRPictureOptions(90, {0, 0}, false, VLCAMREncodingType::png, false,
                                                 VLCAMRDirection::back, true, false, false),
                            tag);
      ++run.answered;
    });
    std::thread choosing([&] {
      choice = VLCAMRFactory::defaultChoice(gallery, false);
      ++run.answered;
    });
    run.wanted += 2;
    g_timeout_add(25, Terminating::act, &run);
    gtk_main();
    editing.join();
    choosing.join();
  };
  ask("edited", picked);
  EXPECT_TRUE(run.terminated);
  EXPECT_FALSE(run.grabbed);
  EXPECT_FALSE(shown("Edit the picture"));
  EXPECT_FALSE(shown("Choose from the gallery"));
  EXPECT_EQ(only().error, VLCAMRError{VLCAMRError::editPictureIssue});
  EXPECT_EQ(picked, std::vector<size_t>{});

  run.ticks = 0;
  ask("again", pickedAgain);
  EXPECT_LT(run.ticks, 100) << "the asks after the termination waited";
  EXPECT_EQ(only().error, VLCAMRError{VLCAMRError::editPictureIssue});
  EXPECT_EQ(pickedAgain, std::vector<size_t>{});
}

}  // namespace
