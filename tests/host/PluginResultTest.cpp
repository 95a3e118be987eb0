#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "host/HBRInvokedUrlCommand.h"
#include "host/HBRPluginResult.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Strings.h"
#include "support/TestSupport.h"

using platform::Value;

TEST(PluginResult, ArgumentsAsJSONForms) {
  EXPECT_EQ(HBRPluginResult::resultWithStatus(HBRResultStatus::OK)->argumentsAsJSON(), "null");
  EXPECT_EQ(HBRPluginResult::resultWithStatusAsNSUInteger(HBRResultStatus::OK, 18446744073709551615ull)
                ->argumentsAsJSON(),
            "18446744073709551615");
  EXPECT_EQ(HBRPluginResult::resultWithStatusAsArrayBuffer(HBRResultStatus::OK, {})->message(),
            Value::parse(R"({"HBRType": "ArrayBuffer", "data": ""})"));
  auto multipart = HBRPluginResult::resultWithStatusAsMultipart(
      HBRResultStatus::OK, Value::array({"text", platform::bytesValue({'h', 'i'})}));
  EXPECT_EQ(multipart->message(), Value::parse(R"({"HBRType": "MultiPart",
      "messages": ["text", {"HBRType": "ArrayBuffer", "data": "aGk="}]})"));
  EXPECT_EQ(HBRPluginResult::resultWithStatusToErrorObject(HBRResultStatus::Error, 5)->message(), (Value{{"code", 5}}));

  testing_support::LogCapture log;
  EXPECT_EQ(HBRPluginResult::resultWithStatusAsDouble(HBRResultStatus::OK, std::nan(""))->argumentsAsJSON(),
            std::nullopt);
  EXPECT_TRUE(log.contains("NSArray JSONString error:"));
}

TEST(InvokedUrlCommand, ArgumentConversionAndTypedAccess) {
  testing_support::LogCapture log;
  auto command = HBRInvokedUrlCommand::commandFromJson(Value::array(
      {"cb", "Svc", "act", Value::parse(R"([{"HBRType": "ArrayBuffer", "data": "AAEC"},
        {"HBRType": "Blob", "data": "AAEC"}, {"HBRType": "ArrayBuffer"}, null, 42,
        {"HBRType": "ArrayBuffer", "data": "not base64!"}])")}));
  ASSERT_TRUE(command);
  EXPECT_EQ(command->argumentAtIndex(0), platform::bytesValue({0, 1, 2}));
  // A Blob, and an ArrayBuffer without "data", stay dictionaries.
  EXPECT_TRUE(command->argumentAtIndex(1).is_object() && command->argumentAtIndex(2).is_object());
  EXPECT_EQ(command->argumentAtIndex(3, "dflt"), "dflt");
  EXPECT_EQ(command->argumentAtIndex(4, "dflt", HBRArgumentKind::String), "dflt");
  EXPECT_EQ(command->argumentAtIndex(4, 0, HBRArgumentKind::Number), 42);
  EXPECT_EQ(command->argumentAtIndex(9, "dflt"), "dflt");
  EXPECT_TRUE(command->argumentAtIndex(5).is_null());  // undecodable bytes never pass as data
  EXPECT_TRUE(log.contains("invalid base64"));

  auto noCallback = HBRInvokedUrlCommand::commandFromJson(Value::array({nullptr, "S", "a", Value::array()}));
  ASSERT_TRUE(noCallback);
  EXPECT_FALSE(noCallback->callbackId());
  EXPECT_FALSE(HBRInvokedUrlCommand::commandFromJson(Value::array({"cb", "S", "a"})));

  // Arguments, however large, are reached without copies; so is a fallback.
  HBRInvokedUrlCommand big(Value::array({Value::object({{"big", std::string(1 << 20, 'x')}}), 1}), "cb", "Echo",
                           "echo");
  EXPECT_EQ(&big.argumentAtIndex(0), &big.arguments()[0]);
  Value fallback = "fallback";
  EXPECT_EQ(&big.argumentAtIndex(1, fallback, HBRArgumentKind::String), &fallback);
  EXPECT_EQ(&big.argumentAtIndex(5, fallback), &fallback);
  // A copy shares them, and a plugin can keep them past its action without a copy.
  HBRInvokedUrlCommand copy = big;
  EXPECT_EQ(&copy.arguments(), &big.arguments());
  EXPECT_EQ(copy.sharedArguments().get(), &big.arguments());
  HBRInvokedUrlCommand moved = std::move(copy);
  EXPECT_EQ(&moved.arguments(), &big.arguments());
}

// A message the plugin wrote itself goes out byte for byte; a value is read from it on demand.
TEST(PluginResult, AMessageWrittenAsJSONTextIsSentAsItStands) {
  const std::string text = R"({"b":[1,2.5,null],"a":"\u00e9\n"})";
  auto result = HBRPluginResult::resultWithStatusAsJSONText(HBRResultStatus::Error, text);
  EXPECT_EQ(result->status(), HBRResultStatus::Error);
  EXPECT_EQ(result->argumentsAsJSON(), text);
  std::string out = "[1,";
  EXPECT_TRUE(result->appendArgumentsAsJSON(out));
  EXPECT_EQ(out, "[1," + text);
  std::vector<std::thread> readers;
  std::vector<const Value*> read(4);
  for (size_t i = 0; i < read.size(); ++i) readers.emplace_back([&, i] { read[i] = &result->message(); });
  for (auto& reader : readers) reader.join();
  for (const Value* value : read) EXPECT_EQ(value, read[0]);
  EXPECT_EQ(*read[0], Value::parse(text));
}

// Bytes are written into the answer as Base64 without a value in between: the text must be
// the one the value gives, at every length (the writer works in blocks of 12,288 bytes), and
// the value must still be there for whoever asks.
namespace {

// An ArrayBuffer answer of `bytes`: the text, size and value of the bytes' ArrayBuffer object,
// written alone or after other arguments, and the same bytes when read back.
void expectAnswersAsArrayBuffer(const HBRPluginResult& result, const platform::Bytes& bytes) {
  const size_t size = bytes.size();
  std::string expected = platform::jsonText(hbr_arrayBufferObject(bytes));
  EXPECT_EQ(result.argumentsAsJSON(), expected) << size;
  EXPECT_EQ(result.knownJSONSize(), expected.size()) << size;
  std::string out = "[\"id\",1,";
  ASSERT_TRUE(result.appendArgumentsAsJSON(out));
  EXPECT_EQ(out, "[\"id\",1," + expected) << size;
  EXPECT_EQ(result.message(), hbr_arrayBufferObject(bytes)) << size;
  auto read = platform::parseJSONText(out.substr(8));
  ASSERT_TRUE(read) << size;
  EXPECT_EQ(platform::base64Decode((*read)["data"].get<std::string>()), bytes) << size;
}

}  // namespace

TEST(PluginResult, AnArrayBufferIsWrittenStraightIntoTheAnswerAsItsValueWouldBe) {
  for (size_t size : {0, 1, 2, 3, 4, 12287, 12288, 12289, 24577, 1 << 20}) {
    platform::Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 131 + 7) & 0xff);
    expectAnswersAsArrayBuffer(*HBRPluginResult::resultWithStatusAsArrayBuffer(HBRResultStatus::OK, bytes), bytes);
  }
  // Only messages given as text or bytes have a size known beforehand.
  EXPECT_EQ(HBRPluginResult::resultWithStatusAsString(HBRResultStatus::OK, "x")->knownJSONSize(), std::nullopt);
  EXPECT_EQ(HBRPluginResult::resultWithStatusAsJSONText(HBRResultStatus::OK, "[1]")->knownJSONSize(), 3u);
}

// Bytes handed over in a string (as a file is read) answer exactly as the same bytes in a
// byte vector do: the same text, the same size, the same value, for every byte and length.
// A vector handed over by move keeps its bytes too.
TEST(PluginResult, AnArrayBufferHeldInAStringAnswersAsItsBytesWould) {
  for (size_t size : {0, 1, 2, 3, 4, 255, 256, 12289, 65536, 65537}) {
    platform::Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 197 + i / 256) & 0xff);
    auto fromBytes = HBRPluginResult::resultWithStatusAsArrayBuffer(HBRResultStatus::OK, bytes);
    auto fromString = HBRPluginResult::resultWithStatusAsArrayBufferFromString(
        HBRResultStatus::OK, std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    auto moved = HBRPluginResult::resultWithStatusAsArrayBuffer(HBRResultStatus::OK, platform::Bytes(bytes));
    for (const auto& result : {fromBytes, fromString, moved}) {
      EXPECT_EQ(result->status(), HBRResultStatus::OK);
      expectAnswersAsArrayBuffer(*result, bytes);
    }
  }
  // Every byte value, high bit and zero included, survives the string.
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  auto result = HBRPluginResult::resultWithStatusAsArrayBufferFromString(HBRResultStatus::OK, all);
  auto read = platform::parseJSONText(*result->argumentsAsJSON());
  ASSERT_TRUE(read);
  auto back = platform::base64Decode((*read)["data"].get<std::string>());
  ASSERT_TRUE(back);
  EXPECT_EQ(std::string(back->begin(), back->end()), all);
}
