#include "platform/foundation/XMLParser.h"

#include <gtest/gtest.h>

#include <vector>

using platform::XMLParser;

namespace {
// Records every event as one line.
struct Recorder : platform::XMLParserDelegate {
  std::vector<std::string> events;
  void didStartElement(const std::string& name,
                       const std::map<std::string, std::string>& attributes) override {
    std::string line = "start " + name;
    for (const auto& [key, value] : attributes) line += " " + key + "=" + value;
    events.push_back(line);
  }
  void didEndElement(const std::string& name) override { events.push_back("end " + name); }
  void foundCharacters(const std::string& text) override { events.push_back("text " + text); }
  void parseErrorOccurred(const platform::Error& error) override {
    events.push_back("error " + error.domain);
  }
};
}  // namespace

TEST(XMLParser, DeliversEventsAsWrittenAndKeepsThoseBeforeAnErrorOrAnAbort) {
  XMLParser parser(
      "<?xml version=\"1.0\"?><widget xmlns:hbr=\"urn:c\" id=\"a\">"
      "<hbr:param name=\"x\" value=\"1 &amp; 2\"/>a &lt; <![CDATA[b]]></widget>");
  Recorder recorder;
  parser.setDelegate(&recorder);
  EXPECT_TRUE(parser.parse());
  EXPECT_FALSE(parser.error());
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"start widget id=a xmlns:hbr=urn:c",
                                                      "start hbr:param name=x value=1 & 2",
                                                      "end hbr:param", "text a < b", "end widget"}));

  // Events before an error or an abort are kept.
  XMLParser broken("<widget><feature name=\"A\"/>text<broken attr=></widget>");
  Recorder seen;
  broken.setDelegate(&seen);
  EXPECT_FALSE(broken.parse());
  ASSERT_TRUE(broken.error());
  EXPECT_EQ(broken.error()->domain, platform::kXMLParserErrorDomain);
  EXPECT_EQ(broken.error()->userInfo["NSXMLParserErrorLineNumber"], 1);
  EXPECT_EQ(seen.events, (std::vector<std::string>{"start widget", "start feature name=A",
                                                      "end feature", "text text",
                                                      "error NSXMLParserErrorDomain"}));

  XMLParser empty("");
  EXPECT_FALSE(empty.parse());  // no delegate: still a clean failure
  EXPECT_TRUE(empty.error());
  EXPECT_EQ(XMLParser::fromFile("/nonexistent/config.xml"), nullptr);

  struct Aborter : Recorder {
    XMLParser* parser = nullptr;
    void didStartElement(const std::string& name,
                         const std::map<std::string, std::string>& attributes) override {
      Recorder::didStartElement(name, attributes);
      if (name == "stop") parser->abortParsing();
    }
  } aborter;
  XMLParser aborted("<a><stop/><after/></a>");
  aborter.parser = &aborted;
  aborted.setDelegate(&aborter);
  EXPECT_FALSE(aborted.parse());
  EXPECT_EQ(aborter.events, (std::vector<std::string>{"start a", "start stop", "error NSXMLParserErrorDomain"}));
}
