#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/URL.h"
#include "platform/photos/PhotoLibrary.h"

// The camera library: capturing pictures and videos, choosing from the photo library,
// editing pictures and playing videos. A caller makes a camera wrapper through
// VLCAMRFactory and hands it requests; answers come back through its callback delegate,
// each with the tag the request was given, so an answer always finds its own request.

// The errors the library reports. As a platform error each has the domain "VLCAMRError", its
// integer code and a description.
struct VLCAMRError {
  enum Code : long {
    takePictureIssue = 1,
    invalidImageData = 2,
    editPictureIssue = 3,
    captureVideoIssue = 4,
    chooseMultimediaIssue = 5,
    playVideoIssue = 6,
    cameraUnavailable = 7,
    imageTooLarge = 8,
    photoLibraryUnavailable = 9,
    noMediaFound = 10,
  };
  Code code = takePictureIssue;

  static constexpr const char* kDomain = "VLCAMRError";
  long integerCode() const { return code; }
  std::string localizedDescription() const;
  platform::Error asError() const { return platform::Error::make(kDomain, code, localizedDescription()); }
  bool operator==(const VLCAMRError& other) const { return code == other.code; }
};

enum class VLCAMREncodingType : int { jpeg = 0, png = 1 };
enum class VLCAMRDirection : int { back = 0, front = 1 };
enum class VLCAMRMediaType : int { picture = 0, video = 1, all = 2 };

std::optional<VLCAMREncodingType> VLCAMREncodingTypeFromRawValue(long long raw);
std::optional<VLCAMRDirection> VLCAMRDirectionFromRawValue(long long raw);
// The library refuses media types it does not know.
std::optional<VLCAMRMediaType> VLCAMRMediaTypeFrom(long long raw);

struct VLCAMRSize {
  long long width = 0;
  long long height = 0;
  bool operator==(const VLCAMRSize&) const = default;
};

// The part of a picture that editing keeps, in the picture's pixels.
struct VLCAMRCrop {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const VLCAMRCrop&) const = default;
};

// What a capture records; a picture or a video.
struct VLCAMRMediaOptions {
  virtual ~VLCAMRMediaOptions() = default;
};

struct VLCAMRPictureOptions : VLCAMRMediaOptions {
  VLCAMRPictureOptions(long long quality, VLCAMRSize size, bool correctOrientation, VLCAMREncodingType encodingType,
                       bool saveToPhotoAlbum, VLCAMRDirection direction, bool allowEdit, bool returnMetadata,
                       bool latestVersion)
      : quality(quality), size(size), correctOrientation(correctOrientation), encodingType(encodingType),
        saveToPhotoAlbum(saveToPhotoAlbum), direction(direction), allowEdit(allowEdit),
        returnMetadata(returnMetadata), latestVersion(latestVersion) {}
  long long quality;
  VLCAMRSize size;
  bool correctOrientation;
  VLCAMREncodingType encodingType;
  bool saveToPhotoAlbum;
  VLCAMRDirection direction;
  bool allowEdit;
  bool returnMetadata;
  bool latestVersion;
};

struct VLCAMRVideoOptions : VLCAMRMediaOptions {
  VLCAMRVideoOptions(bool saveToPhotoAlbum, bool returnMetadata)
      : saveToPhotoAlbum(saveToPhotoAlbum), returnMetadata(returnMetadata) {}
  bool saveToPhotoAlbum;
  bool returnMetadata;
};

struct VLCAMREditOptions {
  VLCAMREditOptions(bool saveToPhotoAlbum, bool returnMetadata)
      : saveToPhotoAlbum(saveToPhotoAlbum), returnMetadata(returnMetadata) {}
  bool saveToPhotoAlbum;
  bool returnMetadata;
};

// A picture whose header and pixels were read within the library's limits.
struct VLCAMRImage {
  static constexpr std::uint64_t kMaxBytes = 32ull << 20;
  static constexpr std::uint64_t kMaxPixels = 40'000'000;
  static constexpr int kMaxSide = 16384;

  std::string data;  // the encoded bytes
  int width = 0;
  int height = 0;

  // The image in `bytes`, or invalidImageData (not an image) or imageTooLarge (over a
  // limit: checked before any pixels are decoded).
  static std::optional<VLCAMRImage> decode(std::string_view bytes, VLCAMRError* error = nullptr);
};

class VLCAMRCallbackDelegate {
 public:
  virtual ~VLCAMRCallbackDelegate() = default;
  // One answer to the request given `tag`: a result, an error, both or neither.
  virtual void callback(const std::string& tag, const std::optional<std::string>& result,
                        const std::optional<VLCAMRError>& error) = 0;
};

// The camera wrapper. Operations may block while the camera or the user works: call them off
// the main thread. Each answers once through the callback delegate with its `tag`.
class VLCAMRActionDelegate {
 public:
  using PlayCompletion = std::function<void(std::optional<VLCAMRError>)>;

  virtual ~VLCAMRActionDelegate() = default;
  virtual void captureMedia(const VLCAMRMediaOptions& options, const std::string& tag) = 0;
  virtual void choosePicture(bool allowEdit, const std::string& tag) = 0;
  virtual void chooseMultimedia(VLCAMRMediaType mediaType, bool allowMultipleSelection, bool includeMetadata,
                                bool allowEdit, const std::string& tag) = 0;
  virtual void editPicture(const VLCAMRImage& image, const std::string& tag) = 0;
  virtual void editPicture(const std::string& uri, const VLCAMREditOptions& options, const std::string& tag) = 0;
  // Asynchronous: `completion` runs once playback has ended, on any thread. Only a regular
  // file inside the data root or the package and an http or https URL are played; anything
  // else fails with playVideoIssue at once. A video that plays is played to its end, however
  // long; one that is not ready to play within the configured start limit, or whose playing
  // position stops moving for the stall limit, fails with playVideoIssue then.
  virtual void playVideo(const platform::URL& url, PlayCompletion completion) = 0;
  virtual void cleanTemporaryFiles() = 0;
};

class VLCAMRFactory {
 public:
  struct Configuration {
    // One GStreamer source element with its properties ("v4l2src device=/dev/video0",
    // "videotestsrc pattern=ball"); empty picks $VELTRO_CAMERA_SOURCE, else "v4l2src" when
    // /dev/video0 exists, else "videotestsrc".
    std::string source;
    double videoSeconds = 5;
    int videoFramesPerSecond = 15;
    // Picks from the photo library's assets offered (newest first) the indexes chosen; empty
    // means the user cancelled. Empty: a file chooser window over the library's folder while
    // a GTK main loop runs, else (no display, tests, or $VELTRO_CAMERA_CHOOSER=list) the
    // newest asset, or all when several may be chosen.
    using Chooser =
        std::function<std::vector<size_t>(const std::vector<platform::photos::Asset>& offered, bool multiple)>;
    Chooser chooser;
    // Where editing is allowed: the part of a picture of `width` x `height` the user keeps.
    // Empty: an editing window over the picture with a crop rectangle while a GTK main loop
    // runs, else (no display, tests, or $VELTRO_CAMERA_CHOOSER=list) `targetCrop`.
    std::function<VLCAMRCrop(int width, int height)> editor;
    // What playback may hang on, in seconds: a video must be ready to play within
    // `playStartSeconds`, and from then on its playing position must move at least once in
    // every `playStallSeconds`. Its length plays no part.
    double playStartSeconds = 30;
    double playStallSeconds = 30;
    // The monotonic clock, in seconds, those limits are measured on; empty: the system's.
    std::function<double()> clock;
  };

  // The part of a `width` x `height` picture that editing keeps when no one is asked, and
  // where the editing window starts: the largest centred part with the proportions of
  // `target` when both its sides are above 0, else the whole picture.
  static VLCAMRCrop targetCrop(int width, int height, VLCAMRSize target);

  // The chooser used when the configuration names none.
  static std::vector<size_t> defaultChoice(const std::vector<platform::photos::Asset>& offered, bool multiple);

  static void setConfiguration(Configuration configuration);
  static Configuration configuration();

  // The wrapper answers through `delegate`, which it holds weakly; `host` is the view the
  // wrapper's windows belong to (may be null).
  static std::shared_ptr<VLCAMRActionDelegate> createCameraWrapper(
      const std::shared_ptr<VLCAMRCallbackDelegate>& delegate, const std::shared_ptr<platform::Object>& host);
};
