#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/camera/VLCAMR.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"
#include "platform/photos/PhotoLibrary.h"

using platform::photos::PhotoLibrary;

namespace {

std::mutex gConfigurationMutex;
VLCAMRFactory::Configuration gConfiguration;

constexpr GstClockTime kPictureTimeout = 10 * GST_SECOND;

void initGStreamer() {
  static std::once_flag once;
  std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

std::string sourceDescription(const VLCAMRFactory::Configuration& configuration) {
  if (!configuration.source.empty()) return configuration.source;
  if (const char* fromEnvironment = std::getenv("VELTRO_CAMERA_SOURCE"); fromEnvironment && *fromEnvironment)
    return fromEnvironment;
  return platform::fs::exists("/dev/video0") ? "v4l2src" : "videotestsrc";
}

// Pipelines own their elements; this frees the pipeline however a capture ends.
struct Pipeline {
  GstElement* element = nullptr;
  Pipeline() = default;
  Pipeline(Pipeline&& other) noexcept : element(std::exchange(other.element, nullptr)) {}
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;
  Pipeline& operator=(Pipeline&&) = delete;
  ~Pipeline() {
    if (!element) return;
    gst_element_set_state(element, GST_STATE_NULL);
    gst_object_unref(element);
  }
};

std::optional<Pipeline> launch(const std::string& description) {
  initGStreamer();
  GError* error = nullptr;
  GstElement* element = gst_parse_launch(description.c_str(), &error);
  if (error) {
    platform::log("Camera: cannot build the pipeline \"" + description + "\": " + error->message);
    g_error_free(error);
    if (element) gst_object_unref(element);
    return std::nullopt;
  }
  Pipeline pipeline;
  pipeline.element = element;
  return pipeline;
}

// Waits for the end of the stream; false (and a log line) on an error or time-out.
bool runToEnd(GstElement* pipeline, GstClockTime timeout) {
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) return false;
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* message =
      gst_bus_timed_pop_filtered(bus, timeout, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  gst_object_unref(bus);
  if (!message) {
    platform::log("Camera: the pipeline did not finish in time");
    return false;
  }
  bool ended = GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
  if (!ended) {
    GError* error = nullptr;
    gst_message_parse_error(message, &error, nullptr);
    platform::log(std::string("Camera: ") + (error ? error->message : "pipeline error"));
    if (error) g_error_free(error);
  }
  gst_message_unref(message);
  return ended;
}

std::string temporaryFolder() {
  std::string folder = platform::fs::appendPath(platform::paths::tmp(), "camera");
  platform::fs::createDirectory(folder, true);
  return folder;
}

std::string newTemporaryFile(const std::string& extension) {
  return platform::fs::appendPath(temporaryFolder(), platform::makeUUID() + "." + extension);
}

// An encoded picture of the pixbuf.
std::optional<std::string> encode(GdkPixbuf* pixbuf, VLCAMREncodingType type, long long quality) {
  gchar* buffer = nullptr;
  gsize size = 0;
  GError* error = nullptr;
  gboolean saved;
  if (type == VLCAMREncodingType::png) {
    saved = gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", &error, nullptr);
  } else {
    std::string q = std::to_string(std::clamp(quality, 1LL, 100LL));
    saved = gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "jpeg", &error, "quality", q.c_str(), nullptr);
  }
  if (!saved) {
    platform::log(std::string("Camera: cannot encode the picture: ") + (error ? error->message : "unknown"));
    if (error) g_error_free(error);
    return std::nullopt;
  }
  std::string bytes(buffer, size);
  g_free(buffer);
  return bytes;
}

struct PixbufHolder {
  GdkPixbuf* pixbuf = nullptr;
  PixbufHolder() = default;
  PixbufHolder(PixbufHolder&& other) noexcept : pixbuf(std::exchange(other.pixbuf, nullptr)) {}
  PixbufHolder(const PixbufHolder&) = delete;
  PixbufHolder& operator=(const PixbufHolder&) = delete;
  PixbufHolder& operator=(PixbufHolder&&) = delete;
  ~PixbufHolder() {
    if (pixbuf) g_object_unref(pixbuf);
  }
};

// One frame from the camera, at `size` when both sides are above 0.
std::optional<PixbufHolder> grabFrame(const std::string& source, VLCAMRSize size) {
  std::string caps = "video/x-raw,format=RGB,pixel-aspect-ratio=1/1";
  if (size.width > 0 && size.height > 0) {
    if (size.width > VLCAMRImage::kMaxSide || size.height > VLCAMRImage::kMaxSide) return std::nullopt;
    caps += ",width=" + std::to_string(size.width) + ",height=" + std::to_string(size.height);
  }
  auto pipeline = launch(source + " ! videoconvert ! videoscale ! " + caps +
                         " ! appsink name=sink max-buffers=1 drop=true sync=false");
  if (!pipeline) return std::nullopt;
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline->element), "sink");
  if (!sink) return std::nullopt;
  gst_element_set_state(pipeline->element, GST_STATE_PLAYING);
  GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), kPictureTimeout);
  gst_object_unref(sink);
  if (!sample) {
    platform::log("Camera: no frame came from \"" + source + "\"");
    return std::nullopt;
  }
  std::optional<PixbufHolder> frame;
  GstStructure* structure = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
  int width = 0, height = 0;
  GstMapInfo map;
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  if (gst_structure_get_int(structure, "width", &width) && gst_structure_get_int(structure, "height", &height) &&
      buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    int stride = GST_ROUND_UP_4(width * 3);
    if (map.size >= gsize(stride) * gsize(height)) {
      GBytes* pixels = g_bytes_new(map.data, gsize(stride) * gsize(height));
      frame.emplace();
      frame->pixbuf = gdk_pixbuf_new_from_bytes(pixels, GDK_COLORSPACE_RGB, FALSE, 8, width, height, stride);
      g_bytes_unref(pixels);
    }
    gst_buffer_unmap(buffer, &map);
  }
  gst_sample_unref(sample);
  return frame;
}

std::string fileURL(const std::string& path) { return platform::URL::fileURL(path).absoluteString(); }

std::string withMetadata(const std::string& uri, platform::Value metadata) {
  return platform::jsonText(platform::Value{{"uri", uri}, {"metadata", std::move(metadata)}});
}

class CameraWrapper : public VLCAMRActionDelegate {
 public:
  CameraWrapper(std::weak_ptr<VLCAMRCallbackDelegate> delegate, std::weak_ptr<platform::Object> host)
      : delegate_(std::move(delegate)), host_(std::move(host)) {}

  void captureMedia(const VLCAMRMediaOptions& options, const std::string& tag) override {
    if (auto* picture = dynamic_cast<const VLCAMRPictureOptions*>(&options)) return takePicture(*picture, tag);
    if (auto* video = dynamic_cast<const VLCAMRVideoOptions*>(&options)) return recordVideo(*video, tag);
    fail(tag, VLCAMRError::takePictureIssue);
  }

  void choosePicture(bool, const std::string& tag) override {
    auto chosen = choose(VLCAMRMediaType::picture, false);
    if (!chosen) return fail(tag, VLCAMRError::photoLibraryUnavailable);
    if (chosen->empty()) return fail(tag, VLCAMRError::noMediaFound);
    answer(tag, chosen->front().url());
  }

  void chooseMultimedia(VLCAMRMediaType mediaType, bool multiple, bool includeMetadata, bool,
                        const std::string& tag) override {
    auto chosen = choose(mediaType, multiple);
    if (!chosen) return fail(tag, VLCAMRError::photoLibraryUnavailable);
    platform::Value list = platform::Value::array();
    for (const auto& asset : *chosen) {
      platform::Value item{{"uri", asset.url()},
                           {"type", asset.kind == platform::photos::MediaKind::Video ? "video" : "image"}};
      if (includeMetadata)
        item["metadata"] = {{"size", asset.size},
                            {"name", asset.fileName()},
                            {"lastModifiedDate", asset.date.value_or(0) * 1000.0}};
      list.push_back(std::move(item));
    }
    answer(tag, platform::jsonText(list));
  }

  void editPicture(const VLCAMRImage& image, const std::string& tag) override {
    saveEdited(image, VLCAMREditOptions(false, false), tag);
  }

  void editPicture(const std::string& uri, const VLCAMREditOptions& options, const std::string& tag) override {
    VLCAMRError error{VLCAMRError::editPictureIssue};
    auto bytes = readPicture(uri, error);
    if (!bytes) return fail(tag, error.code);
    auto image = VLCAMRImage::decode(*bytes, &error);
    if (!image) return fail(tag, error.code);
    saveEdited(*image, options, tag);
  }

  void playVideo(const platform::URL& url, PlayCompletion completion) override {
    std::string uri = url.absoluteString();
    std::thread([uri, completion = std::move(completion)] {
      auto pipeline = launch("playbin");
      bool played = false;
      if (pipeline) {
        g_object_set(pipeline->element, "uri", uri.c_str(), nullptr);
        played = runToEnd(pipeline->element, GST_CLOCK_TIME_NONE);
      }
      completion(played ? std::nullopt : std::optional(VLCAMRError{VLCAMRError::playVideoIssue}));
    }).detach();
  }

  void cleanTemporaryFiles() override { platform::fs::remove(temporaryFolder()); }

 private:
  void answer(const std::string& tag, std::optional<std::string> result) {
    if (auto delegate = delegate_.lock()) delegate->callback(tag, result, std::nullopt);
  }
  void fail(const std::string& tag, VLCAMRError::Code code) {
    if (auto delegate = delegate_.lock()) delegate->callback(tag, std::nullopt, VLCAMRError{code});
  }

  void takePicture(const VLCAMRPictureOptions& options, const std::string& tag) {
    auto frame = grabFrame(sourceDescription(VLCAMRFactory::configuration()), options.size);
    if (!frame || !frame->pixbuf) return fail(tag, VLCAMRError::cameraUnavailable);
    auto bytes = encode(frame->pixbuf, options.encodingType, options.quality);
    if (!bytes) return fail(tag, VLCAMRError::takePictureIssue);
    std::string path = newTemporaryFile(options.encodingType == VLCAMREncodingType::png ? "png" : "jpg");
    if (platform::fs::writeFileAtomically(path, *bytes)) return fail(tag, VLCAMRError::takePictureIssue);
    std::optional<std::string> saved;
    if (options.saveToPhotoAlbum) saved = PhotoLibrary().addFile(path);
    if (!options.returnMetadata) return answer(tag, fileURL(path));
    platform::Value metadata{{"width", gdk_pixbuf_get_width(frame->pixbuf)},
                             {"height", gdk_pixbuf_get_height(frame->pixbuf)},
                             {"size", bytes->size()}};
    if (saved) metadata["assetURL"] = *saved;
    answer(tag, withMetadata(fileURL(path), std::move(metadata)));
  }

  void recordVideo(const VLCAMRVideoOptions& options, const std::string& tag) {
    auto configuration = VLCAMRFactory::configuration();
    int fps = std::clamp(configuration.videoFramesPerSecond, 1, 60);
    int frames = std::max(1, int(configuration.videoSeconds * fps));
    std::string path = newTemporaryFile("avi");
    auto pipeline = launch(sourceDescription(configuration) + " name=camera-source ! videorate ! video/x-raw,framerate=" +
                           std::to_string(fps) + "/1 ! videoconvert ! jpegenc ! avimux ! filesink name=output");
    if (!pipeline) return fail(tag, VLCAMRError::cameraUnavailable);
    if (GstElement* output = gst_bin_get_by_name(GST_BIN(pipeline->element), "output")) {
      g_object_set(output, "location", path.c_str(), nullptr);
      gst_object_unref(output);
    }
    GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline->element), "camera-source");
    if (source) {
      if (g_object_class_find_property(G_OBJECT_GET_CLASS(source), "num-buffers"))
        g_object_set(source, "num-buffers", frames, nullptr);
      gst_object_unref(source);
    }
    GstClockTime limit = GstClockTime((configuration.videoSeconds + 30) * double(GST_SECOND));
    if (!runToEnd(pipeline->element, limit)) {
      platform::fs::remove(path);
      return fail(tag, VLCAMRError::captureVideoIssue);
    }
    std::optional<std::string> saved;
    if (options.saveToPhotoAlbum) saved = PhotoLibrary().addFile(path);
    if (!options.returnMetadata) return answer(tag, fileURL(path));
    platform::Value metadata{{"size", platform::fs::fileSize(path).value_or(0)}, {"frames", frames}};
    if (saved) metadata["assetURL"] = *saved;
    answer(tag, withMetadata(fileURL(path), std::move(metadata)));
  }

  // The assets to answer with, newest first; nullopt when the library refused access.
  std::optional<std::vector<platform::photos::Asset>> choose(VLCAMRMediaType mediaType, bool multiple) {
    if (!PhotoLibrary::isAuthorized()) return std::nullopt;
    std::vector<platform::photos::Asset> offered;
    for (auto& asset : PhotoLibrary().allAssets()) {
      bool video = asset.kind == platform::photos::MediaKind::Video;
      if (mediaType == VLCAMRMediaType::all || video == (mediaType == VLCAMRMediaType::video))
        offered.push_back(std::move(asset));
    }
    std::vector<platform::photos::Asset> chosen;
    auto chooser = VLCAMRFactory::configuration().chooser;
    if (!chooser) {
      if (multiple) return offered;
      if (!offered.empty()) chosen.push_back(offered.front());
      return chosen;
    }
    std::vector<std::string> urls;
    for (const auto& asset : offered) urls.push_back(asset.url());
    for (size_t index : chooser(urls, multiple))
      if (index < offered.size()) chosen.push_back(offered[index]);
    return chosen;
  }

  // The bytes of a picture named by a "file:" URL inside the data root or by a photo-library
  // URL, refused when larger than an editable picture may be.
  std::optional<std::string> readPicture(const std::string& uri, VLCAMRError& error) {
    auto url = platform::URL::parse(uri);
    if (!url) return std::nullopt;
    std::string path;
    if (url->scheme() == "file") {
      path = platform::fs::normalizePath(url->path());
      if (!platform::fs::isInside(path, platform::paths::dataRoot())) return std::nullopt;
    } else if (url->scheme() == "assets-library") {
      auto found = PhotoLibrary().assetForURLNow(*url);
      if (!found.asset) return std::nullopt;
      path = found.asset->path;
    } else {
      return std::nullopt;
    }
    auto size = platform::fs::fileSize(path);
    if (!size) return std::nullopt;
    if (*size > VLCAMRImage::kMaxBytes) {
      error.code = VLCAMRError::imageTooLarge;
      return std::nullopt;
    }
    return platform::fs::readFile(path);
  }

  void saveEdited(const VLCAMRImage& image, const VLCAMREditOptions& options, const std::string& tag) {
    std::string path = newTemporaryFile("jpg");
    if (platform::fs::writeFileAtomically(path, image.data)) return fail(tag, VLCAMRError::editPictureIssue);
    std::optional<std::string> saved;
    if (options.saveToPhotoAlbum) saved = PhotoLibrary().addFile(path);
    if (!options.returnMetadata) return answer(tag, fileURL(path));
    platform::Value metadata{{"width", image.width}, {"height", image.height}, {"size", image.data.size()}};
    if (saved) metadata["assetURL"] = *saved;
    answer(tag, withMetadata(fileURL(path), std::move(metadata)));
  }

  std::weak_ptr<VLCAMRCallbackDelegate> delegate_;
  std::weak_ptr<platform::Object> host_;
};

struct LoaderState {
  bool tooLarge = false;
  int width = 0;
  int height = 0;
};

void onSizePrepared(GdkPixbufLoader* loader, int width, int height, gpointer data) {
  auto* state = static_cast<LoaderState*>(data);
  state->width = width;
  state->height = height;
  if (width <= 0 || height <= 0 || width > VLCAMRImage::kMaxSide || height > VLCAMRImage::kMaxSide ||
      std::uint64_t(width) * std::uint64_t(height) > VLCAMRImage::kMaxPixels) {
    state->tooLarge = true;
    // A size of 0 by 0 makes the loader give up before it allocates any pixels.
    gdk_pixbuf_loader_set_size(loader, 0, 0);
  }
}

}  // namespace

std::string VLCAMRError::localizedDescription() const {
  switch (code) {
    case takePictureIssue: return "The picture could not be taken.";
    case invalidImageData: return "The image data is not a picture.";
    case editPictureIssue: return "The picture could not be edited.";
    case captureVideoIssue: return "The video could not be recorded.";
    case chooseMultimediaIssue: return "The media could not be chosen from the gallery.";
    case playVideoIssue: return "The video could not be played.";
    case cameraUnavailable: return "No camera is available.";
    case imageTooLarge: return "The picture is too large to edit.";
    case photoLibraryUnavailable: return "The photo library cannot be reached.";
    case noMediaFound: return "The gallery has nothing to choose.";
  }
  return "Unknown camera error.";
}

std::optional<VLCAMREncodingType> VLCAMREncodingTypeFromRawValue(long long raw) {
  if (raw == 0 || raw == 1) return VLCAMREncodingType(raw);
  return std::nullopt;
}

std::optional<VLCAMRDirection> VLCAMRDirectionFromRawValue(long long raw) {
  if (raw == 0 || raw == 1) return VLCAMRDirection(raw);
  return std::nullopt;
}

std::optional<VLCAMRMediaType> VLCAMRMediaTypeFrom(long long raw) {
  if (raw >= 0 && raw <= 2) return VLCAMRMediaType(raw);
  return std::nullopt;
}

std::optional<VLCAMRImage> VLCAMRImage::decode(std::string_view bytes, VLCAMRError* error) {
  auto refuse = [&](VLCAMRError::Code code) -> std::optional<VLCAMRImage> {
    if (error) error->code = code;
    return std::nullopt;
  };
  if (bytes.empty()) return refuse(VLCAMRError::invalidImageData);
  if (bytes.size() > kMaxBytes) return refuse(VLCAMRError::imageTooLarge);
  LoaderState state;
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
  g_signal_connect(loader, "size-prepared", G_CALLBACK(onSizePrepared), &state);
  bool ok = true;
  constexpr size_t kChunk = 64 * 1024;
  for (size_t offset = 0; ok && offset < bytes.size() && !state.tooLarge; offset += kChunk) {
    size_t length = std::min(kChunk, bytes.size() - offset);
    ok = gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(bytes.data() + offset), length, nullptr);
  }
  ok = gdk_pixbuf_loader_close(loader, nullptr) && ok;
  GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
  bool complete = ok && pixbuf && !state.tooLarge;
  g_object_unref(loader);
  if (state.tooLarge) return refuse(VLCAMRError::imageTooLarge);
  if (!complete) return refuse(VLCAMRError::invalidImageData);
  return VLCAMRImage{std::string(bytes), state.width, state.height};
}

void VLCAMRFactory::setConfiguration(Configuration configuration) {
  std::lock_guard lock(gConfigurationMutex);
  gConfiguration = std::move(configuration);
}

VLCAMRFactory::Configuration VLCAMRFactory::configuration() {
  std::lock_guard lock(gConfigurationMutex);
  return gConfiguration;
}

std::shared_ptr<VLCAMRActionDelegate> VLCAMRFactory::createCameraWrapper(
    const std::shared_ptr<VLCAMRCallbackDelegate>& delegate, const std::shared_ptr<platform::Object>& host) {
  return std::make_shared<CameraWrapper>(delegate, host);
}
