#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"

// The device photo library: one folder of pictures and videos under the data root. Each
// asset is a file named "<id>.<EXT>", so its id is stable for as long as the file is there,
// and it is addressed as "assets-library://asset/asset.<EXT>?id=<id>&ext=<EXT>".
namespace platform::photos {

inline constexpr const char* kErrorDomain = "ALAssetsLibraryErrorDomain";
// Codes of kErrorDomain.
enum ErrorCode : long {
  kAccessDenied = -3311,
  kWriteFailed = -3301,
  kDataUnavailable = -3310,
};

enum class MediaKind { Photo, Video };

// One asset as the library found it. A value: the file behind it may go away later, which
// reads report as a failure.
struct Asset {
  std::string id;
  std::string extension;  // as in its URL, e.g. "JPG"
  std::string path;       // the file
  std::uint64_t size = 0;
  std::optional<double> date;  // seconds since 1970, from the file's modification time
  MediaKind kind = MediaKind::Photo;

  std::string fileName() const;  // "<id>.<extension>"
  std::string url() const;       // the "assets-library" URL
  // The uniform type identifier ("public.jpeg", "public.png", "public.mpeg-4", ...), "" when unknown.
  std::string typeIdentifier() const;
  std::optional<std::string> mimeType() const;
  // Copies at most `length` bytes from `offset` into `buffer`; the count copied (0 past the
  // end), or an error when the file cannot be read.
  std::uint64_t getBytes(char* buffer, std::uint64_t offset, std::uint64_t length, std::optional<Error>* error) const;
};

class PhotoLibrary {
 public:
  using ResultBlock = std::function<void(std::optional<Asset>)>;
  using FailureBlock = std::function<void(const Error&)>;

  PhotoLibrary() = default;

  // The library folder (created on first use).
  static std::string folder();
  // While false every request fails with kAccessDenied, as when the user refused access.
  static void setAuthorized(bool authorized);
  static bool isAuthorized();

  // Answers on a background thread: an asset, none (no such asset, or a URL that names
  // none), or a failure.
  void assetForURL(const URL& url, ResultBlock result, FailureBlock failure) const;
  // The same answer on the calling thread.
  struct Lookup {
    std::optional<Asset> asset;
    std::optional<Error> failure;
  };
  Lookup assetForURLNow(const URL& url) const;

  // Every asset, newest first (ties by id).
  std::vector<Asset> allAssets() const;
  // Stores a copy of the file (its extension decides picture or video) and returns its URL.
  std::optional<std::string> addFile(const std::string& path, std::optional<Error>* error = nullptr) const;
  std::optional<std::string> addData(std::string_view bytes, std::string_view extension,
                                     std::optional<Error>* error = nullptr) const;

  // The id and extension an "assets-library" URL names, when they are well formed (letters,
  // digits and "-" only, so that they never leave the folder).
  static std::optional<std::pair<std::string, std::string>> idAndExtension(const URL& url);
  static bool isVideoExtension(std::string_view extension);
  static bool isPictureExtension(std::string_view extension);
};

}  // namespace platform::photos
