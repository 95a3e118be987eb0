#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/camera/VLCAMR.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

// The records the camera plugin decodes its action arguments into. A record decodes whole
// or not at all: each required key must hold a value of its type (an integer is a whole
// number, a boolean is true or false, a string is a string); other keys are ignored; an
// optional key may be missing or null.

struct VLCAMRTakePictureParameters {
  long long quality = 0;
  long long targetWidth = 0;
  long long targetHeight = 0;
  long long encodingType = 0;
  long long sourceType = 0;
  bool allowEdit = false;
  bool correctOrientation = false;
  bool saveToPhotoAlbum = false;
  long long cameraDirection = 0;
  bool includeMetadata = false;
  bool latestVersion = false;

  static std::optional<VLCAMRTakePictureParameters> decode(const platform::Value& object);
  // Unknown encoding types fall back to jpeg, unknown directions to the back camera.
  VLCAMRPictureOptions pictureOptions() const;
};

struct VLCAMREditPictureParameters {
  std::string uri;
  bool saveToGallery = false;
  bool includeMetadata = false;

  static std::optional<VLCAMREditPictureParameters> decode(const platform::Value& object);
  VLCAMREditOptions editOptions() const { return VLCAMREditOptions(saveToGallery, includeMetadata); }
};

struct VLCAMRRecordVideoParameters {
  bool saveToGallery = false;
  bool includeMetadata = false;

  static std::optional<VLCAMRRecordVideoParameters> decode(const platform::Value& object);
  VLCAMRVideoOptions videoOptions() const { return VLCAMRVideoOptions(saveToGallery, includeMetadata); }
};

struct VLCAMRChooseGalleryParameters {
  VLCAMRMediaType mediaType = VLCAMRMediaType::picture;
  bool allowMultipleSelection = false;
  bool includeMetadata = false;
  bool allowEdit = false;

  // Fails too when the camera library refuses the media type.
  static std::optional<VLCAMRChooseGalleryParameters> decode(const platform::Value& object);
};

struct VLCAMRPlayVideoParameters {
  enum class DecodeError { invalidURL };

  platform::URL url;

  // Text that is no URL fails with DecodeError::invalidURL; `error` says which failure it was.
  static std::optional<VLCAMRPlayVideoParameters> decode(const platform::Value& object,
                                                         std::optional<DecodeError>* error = nullptr);
};
