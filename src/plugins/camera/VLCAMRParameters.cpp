#include "plugins/camera/VLCAMRParameters.h"

#include <cmath>
#include <cstdint>

using platform::Value;

namespace {

// Reads the keys of one record; the first failure sticks and later reads do nothing.
class Reader {
 public:
  explicit Reader(const Value& object) : object_(object), ok_(object.is_object()) {}

  bool ok() const { return ok_; }

  void integer(const char* key, long long& out) {
    const Value* value = find(key);
    if (!value) return fail();
    if (value->is_number_unsigned()) {
      // Beyond a signed 64-bit whole number is no number the library can take.
      if (value->get<std::uint64_t>() > std::uint64_t(INT64_MAX)) return fail();
      out = (long long)value->get<std::uint64_t>();
      return;
    }
    if (value->is_number_integer()) {
      out = value->get<long long>();
      return;
    }
    if (value->is_number_float()) {
      double number = value->get<double>();
      // 3.0 is a whole number as JSON sees it; 3.5, NaN and what does not fit are not.
      if (std::isfinite(number) && number == std::floor(number) && std::fabs(number) < 9.2e18) {
        out = (long long)number;
        return;
      }
    }
    fail();
  }

  void boolean(const char* key, bool& out, std::optional<bool> fallback = std::nullopt) {
    const Value* value = find(key);
    if (!value && fallback) {
      out = *fallback;
      return;
    }
    if (!value || !value->is_boolean()) return fail();
    out = value->get<bool>();
  }

  void string(const char* key, std::string& out) {
    const Value* value = find(key);
    if (!value || !value->is_string()) return fail();
    out = value->get<std::string>();
  }

 private:
  // The value under `key`; null counts as missing.
  const Value* find(const char* key) const {
    if (!ok_) return nullptr;
    auto it = object_.find(key);
    if (it == object_.end() || it->is_null()) return nullptr;
    return &*it;
  }
  void fail() { ok_ = false; }

  const Value& object_;
  bool ok_;
};

}  // namespace

std::optional<VLCAMRTakePictureParameters> VLCAMRTakePictureParameters::decode(const Value& object) {
  VLCAMRTakePictureParameters record;
  Reader read(object);
  read.integer("quality", record.quality);
  read.integer("targetWidth", record.targetWidth);
  read.integer("targetHeight", record.targetHeight);
  read.integer("encodingType", record.encodingType);
  read.integer("sourceType", record.sourceType);
  read.boolean("allowEdit", record.allowEdit);
  read.boolean("correctOrientation", record.correctOrientation);
  read.boolean("saveToPhotoAlbum", record.saveToPhotoAlbum);
  read.integer("cameraDirection", record.cameraDirection);
  read.boolean("includeMetadata", record.includeMetadata, false);
  read.boolean("latestVersion", record.latestVersion, false);
  if (!read.ok()) return std::nullopt;
  return record;
}

VLCAMRPictureOptions VLCAMRTakePictureParameters::pictureOptions() const {
  return VLCAMRPictureOptions(quality, VLCAMRSize{targetWidth, targetHeight}, correctOrientation,
                              VLCAMREncodingTypeFromRawValue(encodingType).value_or(VLCAMREncodingType::jpeg),
                              saveToPhotoAlbum,
                              VLCAMRDirectionFromRawValue(cameraDirection).value_or(VLCAMRDirection::back), allowEdit,
                              includeMetadata, latestVersion);
}

std::optional<VLCAMREditPictureParameters> VLCAMREditPictureParameters::decode(const Value& object) {
  VLCAMREditPictureParameters record;
  Reader read(object);
  read.string("uri", record.uri);
  read.boolean("saveToGallery", record.saveToGallery);
  read.boolean("includeMetadata", record.includeMetadata);
  if (!read.ok()) return std::nullopt;
  return record;
}

std::optional<VLCAMRRecordVideoParameters> VLCAMRRecordVideoParameters::decode(const Value& object) {
  VLCAMRRecordVideoParameters record;
  Reader read(object);
  read.boolean("saveToGallery", record.saveToGallery);
  read.boolean("includeMetadata", record.includeMetadata);
  if (!read.ok()) return std::nullopt;
  return record;
}

std::optional<VLCAMRChooseGalleryParameters> VLCAMRChooseGalleryParameters::decode(const Value& object) {
  VLCAMRChooseGalleryParameters record;
  Reader read(object);
  long long mediaType = 0;
  read.integer("mediaType", mediaType);
  read.boolean("allowMultipleSelection", record.allowMultipleSelection);
  read.boolean("includeMetadata", record.includeMetadata);
  read.boolean("allowEdit", record.allowEdit);
  if (!read.ok()) return std::nullopt;
  auto type = VLCAMRMediaTypeFrom(mediaType);
  if (!type) return std::nullopt;
  record.mediaType = *type;
  return record;
}

std::optional<VLCAMRPlayVideoParameters> VLCAMRPlayVideoParameters::decode(const Value& object,
                                                                           std::optional<DecodeError>* error) {
  std::string text;
  Reader read(object);
  read.string("videoURI", text);
  if (!read.ok()) return std::nullopt;
  auto url = platform::URL::parse(text);
  if (!url || text.empty()) {
    if (error) *error = DecodeError::invalidURL;
    return std::nullopt;
  }
  return VLCAMRPlayVideoParameters{*url};
}
