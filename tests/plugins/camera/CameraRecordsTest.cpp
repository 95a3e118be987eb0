#include <gtest/gtest.h>

#include "plugins/camera/VLCAMRParameters.h"

namespace {

using platform::Value;

Value picture() {
  return Value{{"quality", 80},           {"targetWidth", 320},      {"targetHeight", 240},
               {"encodingType", 0},       {"sourceType", 1},         {"allowEdit", false},
               {"correctOrientation", true}, {"saveToPhotoAlbum", false}, {"cameraDirection", 1}};
}

TEST(CameraRecords, TakePictureNeedsEveryRequiredKeyOfItsType) {
  auto record = VLCAMRTakePictureParameters::decode(picture());
  ASSERT_TRUE(record);
  EXPECT_FALSE(record->includeMetadata || record->latestVersion);
  auto options = record->pictureOptions();
  EXPECT_TRUE(options.quality == 80 && options.size == (VLCAMRSize{320, 240}) && options.correctOrientation);
  EXPECT_EQ(options.direction, VLCAMRDirection::front);

  for (const char* key : {"quality", "targetWidth", "targetHeight", "encodingType", "sourceType", "allowEdit",
                          "correctOrientation", "saveToPhotoAlbum", "cameraDirection"}) {
    Value missing = picture();
    missing.erase(key);
    EXPECT_FALSE(VLCAMRTakePictureParameters::decode(missing)) << key;
  }
  // Absent as null, text for a number, a fraction or a number past the range, a number for a
  // boolean, an optional key of the wrong type.
  for (const auto& [key, wrong] : std::vector<std::pair<std::string, Value>>{
           {"quality", nullptr}, {"saveToPhotoAlbum", nullptr}, {"cameraDirection", "1"}, {"allowEdit", "1"},
           {"quality", 50.5}, {"targetWidth", 1e300}, {"targetWidth", std::uint64_t(1) << 63}, {"allowEdit", 1},
           {"includeMetadata", "yes"}}) {
    Value changed = picture();
    changed[key] = wrong;
    EXPECT_FALSE(VLCAMRTakePictureParameters::decode(changed)) << key << " " << wrong.dump();
  }
  Value whole = picture();
  whole["quality"] = 50.0;
  EXPECT_EQ(VLCAMRTakePictureParameters::decode(whole)->quality, 50);
  EXPECT_FALSE(VLCAMRTakePictureParameters::decode(Value::array()) || VLCAMRTakePictureParameters::decode("quality"));
}

TEST(CameraRecords, PictureOptionsFallBackToJpegAndTheBackCamera) {
  Value unknown = picture();
  unknown.update({{"encodingType", 7}, {"cameraDirection", -3}, {"targetWidth", 0}, {"targetHeight", 0},
                  {"includeMetadata", true}, {"latestVersion", true}, {"somethingElse", Value::array()}});
  auto options = VLCAMRTakePictureParameters::decode(unknown)->pictureOptions();
  EXPECT_TRUE(options.encodingType == VLCAMREncodingType::jpeg && options.direction == VLCAMRDirection::back);
  EXPECT_TRUE(options.size == (VLCAMRSize{0, 0}) && options.returnMetadata && options.latestVersion);
  unknown["encodingType"] = 1;
  EXPECT_EQ(VLCAMRTakePictureParameters::decode(unknown)->pictureOptions().encodingType, VLCAMREncodingType::png);
}

TEST(CameraRecords, EditVideoGalleryAndPlaybackRecords) {
  auto edit = VLCAMREditPictureParameters::decode({{"uri", "file:///x.jpg"}, {"saveToGallery", true}, {"includeMetadata", false}});
  ASSERT_TRUE(edit);
  EXPECT_TRUE(edit->uri == "file:///x.jpg" && edit->editOptions().saveToPhotoAlbum);
  EXPECT_FALSE(VLCAMREditPictureParameters::decode({{"uri", 5}, {"saveToGallery", true}, {"includeMetadata", false}}));
  EXPECT_FALSE(VLCAMREditPictureParameters::decode({{"uri", "x"}, {"saveToGallery", true}}));

  auto video = VLCAMRRecordVideoParameters::decode({{"saveToGallery", false}, {"includeMetadata", true}});
  ASSERT_TRUE(video);
  EXPECT_TRUE(video->videoOptions().returnMetadata);
  EXPECT_FALSE(VLCAMRRecordVideoParameters::decode({{"saveToGallery", 0}, {"includeMetadata", true}}));

  Value gallery{{"mediaType", 2}, {"allowMultipleSelection", true}, {"includeMetadata", false}, {"allowEdit", false}};
  EXPECT_EQ(VLCAMRChooseGalleryParameters::decode(gallery)->mediaType, VLCAMRMediaType::all);
  for (int type : {3, -1}) {
    gallery["mediaType"] = type;
    EXPECT_FALSE(VLCAMRChooseGalleryParameters::decode(gallery)) << type;
  }

  for (const Value& uri : {Value(""), Value("not a url"), Value(3)}) {
    std::optional<VLCAMRPlayVideoParameters::DecodeError> error;
    EXPECT_FALSE(VLCAMRPlayVideoParameters::decode({{"videoURI", uri}}, &error));
    // A URI of the wrong type is no URL at all, not a bad one.
    EXPECT_EQ(error, uri.is_string() ? std::optional(VLCAMRPlayVideoParameters::DecodeError::invalidURL) : std::nullopt)
        << uri.dump();
  }
  EXPECT_EQ(VLCAMRPlayVideoParameters::decode({{"videoURI", "file:///v.avi"}})->url.absoluteString(), "file:///v.avi");
}

}  // namespace
