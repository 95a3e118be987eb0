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
  EXPECT_FALSE(record->includeMetadata);
  EXPECT_FALSE(record->latestVersion);
  auto options = record->pictureOptions();
  EXPECT_EQ(options.quality, 80);
  EXPECT_EQ(options.size, (VLCAMRSize{320, 240}));
  EXPECT_EQ(options.direction, VLCAMRDirection::front);
  EXPECT_TRUE(options.correctOrientation);

  for (const char* key : {"quality", "targetWidth", "targetHeight", "encodingType", "sourceType", "allowEdit",
                          "correctOrientation", "saveToPhotoAlbum", "cameraDirection"}) {
    Value missing = picture();
    missing.erase(key);
    EXPECT_FALSE(VLCAMRTakePictureParameters::decode(missing)) << key;
    Value null = picture();
    null[key] = nullptr;
    EXPECT_FALSE(VLCAMRTakePictureParameters::decode(null)) << key;
    Value text = picture();
    text[key] = "1";
    EXPECT_FALSE(VLCAMRTakePictureParameters::decode(text)) << key;
  }
  Value fraction = picture();
  fraction["quality"] = 50.5;
  EXPECT_FALSE(VLCAMRTakePictureParameters::decode(fraction));
  fraction["quality"] = 50.0;
  EXPECT_EQ(VLCAMRTakePictureParameters::decode(fraction)->quality, 50);
  Value huge = picture();
  huge["targetWidth"] = 1e300;
  EXPECT_FALSE(VLCAMRTakePictureParameters::decode(huge));
  huge["targetWidth"] = std::uint64_t(1) << 63;
  EXPECT_FALSE(VLCAMRTakePictureParameters::decode(huge));
  Value numericBoolean = picture();
  numericBoolean["allowEdit"] = 1;
  EXPECT_FALSE(VLCAMRTakePictureParameters::decode(numericBoolean));
  Value optionalWrong = picture();
  optionalWrong["includeMetadata"] = "yes";
  EXPECT_FALSE(VLCAMRTakePictureParameters::decode(optionalWrong));
  EXPECT_FALSE(VLCAMRTakePictureParameters::decode(Value::array()));
  EXPECT_FALSE(VLCAMRTakePictureParameters::decode("quality"));
}

TEST(CameraRecords, PictureOptionsFallBackToJpegAndTheBackCamera) {
  Value unknown = picture();
  unknown["encodingType"] = 7;
  unknown["cameraDirection"] = -3;
  unknown["targetWidth"] = 0;
  unknown["targetHeight"] = 0;
  unknown["includeMetadata"] = true;
  unknown["latestVersion"] = true;
  unknown["somethingElse"] = Value::array();
  auto options = VLCAMRTakePictureParameters::decode(unknown)->pictureOptions();
  EXPECT_EQ(options.encodingType, VLCAMREncodingType::jpeg);
  EXPECT_EQ(options.direction, VLCAMRDirection::back);
  EXPECT_EQ(options.size, (VLCAMRSize{0, 0}));
  EXPECT_TRUE(options.returnMetadata);
  EXPECT_TRUE(options.latestVersion);
  unknown["encodingType"] = 1;
  EXPECT_EQ(VLCAMRTakePictureParameters::decode(unknown)->pictureOptions().encodingType, VLCAMREncodingType::png);
}

TEST(CameraRecords, EditVideoGalleryAndPlaybackRecords) {
  auto edit = VLCAMREditPictureParameters::decode({{"uri", "file:///x.jpg"}, {"saveToGallery", true}, {"includeMetadata", false}});
  ASSERT_TRUE(edit);
  EXPECT_EQ(edit->uri, "file:///x.jpg");
  EXPECT_TRUE(edit->editOptions().saveToPhotoAlbum);
  EXPECT_FALSE(VLCAMREditPictureParameters::decode({{"uri", 5}, {"saveToGallery", true}, {"includeMetadata", false}}));
  EXPECT_FALSE(VLCAMREditPictureParameters::decode({{"uri", "x"}, {"saveToGallery", true}}));

  auto video = VLCAMRRecordVideoParameters::decode({{"saveToGallery", false}, {"includeMetadata", true}});
  ASSERT_TRUE(video);
  EXPECT_TRUE(video->videoOptions().returnMetadata);
  EXPECT_FALSE(VLCAMRRecordVideoParameters::decode({{"saveToGallery", 0}, {"includeMetadata", true}}));

  Value gallery{{"mediaType", 2}, {"allowMultipleSelection", true}, {"includeMetadata", false}, {"allowEdit", false}};
  EXPECT_EQ(VLCAMRChooseGalleryParameters::decode(gallery)->mediaType, VLCAMRMediaType::all);
  gallery["mediaType"] = 3;
  EXPECT_FALSE(VLCAMRChooseGalleryParameters::decode(gallery));
  gallery["mediaType"] = -1;
  EXPECT_FALSE(VLCAMRChooseGalleryParameters::decode(gallery));

  std::optional<VLCAMRPlayVideoParameters::DecodeError> error;
  EXPECT_FALSE(VLCAMRPlayVideoParameters::decode({{"videoURI", ""}}, &error));
  EXPECT_EQ(error, VLCAMRPlayVideoParameters::DecodeError::invalidURL);
  error.reset();
  EXPECT_FALSE(VLCAMRPlayVideoParameters::decode({{"videoURI", "not a url"}}, &error));
  EXPECT_EQ(error, VLCAMRPlayVideoParameters::DecodeError::invalidURL);
  error.reset();
  EXPECT_FALSE(VLCAMRPlayVideoParameters::decode({{"videoURI", 3}}, &error));
  EXPECT_FALSE(error);
  EXPECT_EQ(VLCAMRPlayVideoParameters::decode({{"videoURI", "file:///v.avi"}})->url.absoluteString(), "file:///v.avi");
}

}  // namespace
