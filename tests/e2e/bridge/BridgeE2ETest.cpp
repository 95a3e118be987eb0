// The bridge in the real shell, against pages that must not drive it: a partner site in the top
// frame, a frame of another origin, a page posting large messages, and a click that follows
// many links out.
#include <httplib.h>

#include <regex>
#include <thread>

#include "../E2EShell.h"
#include "support/HttpsTestServer.h"

namespace e2e {
namespace {

// The partner site: the files of bridge/partner on a plain HTTP server on loopback.
class PartnerSite {
 public:
  PartnerSite() {
    server_.set_mount_point("/", VELTRO_E2E_BRIDGE_PARTNER);
    // A link that answers without a document: the navigation starts and never commits.
    server_.Get("/nocontent", [](const httplib::Request&, httplib::Response& response) { response.status = 204; });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~PartnerSite() {
    server_.stop();
    thread_.join();
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

size_t countOf(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

class BridgeE2E : public E2E {
 protected:
  Value runMode(const std::string& mode, ProgramRun& run, const std::string& package = VELTRO_E2E_BRIDGE_PACKAGE) {
    return runPackage(VELTRO_SHELL_E2E, package, run,
                      {"VELTRO_E2E_MODE=" + mode, "VELTRO_E2E_PARTNER=" + partner_.base(),
                       "VELTRO_E2E_DATA_ROOT=" + temp_.file("data")},
                      {}, 60);
  }
  // A script in the page's folder that a page could include: it says so when it runs.
  void plantScript() { writeText(temp_.file("data") + "/Documents/planted.js", "window.planted = true;"); }
  PartnerSite partner_;
};

TEST_F(BridgeE2E, APartnerPageInTheTopFrameRunsNoPluginWhateverItsEvaluationsReturn) {
  ProgramRun run;
  Value found = runMode("partner", run);
  ASSERT_TRUE(found.is_object()) << run.output;
  EXPECT_FALSE(found.contains("exception")) << found.dump(2);
  // Neither the slow answer of the application's page, nor the focus change, nor any batch
  // the partner returned reached a plugin or the application's next page.
  EXPECT_EQ(found["notes"], Value::array({"app"})) << found.dump(2) << run.output;
  EXPECT_EQ(found["partnerCalls"], "0") << run.output;
  EXPECT_NE(run.output.find("Not evaluated in " + partner_.base() + "/partner.html"), std::string::npos)
      << run.output;
}

// Answers stream to the application's page as it navigates to a partner page whose first
// script defines a "harbor" of its own, six times: the web process runs each answer only in
// the document it was meant for, so none reaches the partner, however soon it was committed.
TEST_F(BridgeE2E, AnswersStreamingWhileThePageNavigatesNeverRunInTheNextDocument) {
  ProgramRun run;
  Value found = runMode("stream", run);
  ASSERT_TRUE(found.is_object()) << run.output.substr(0, 4000);
  EXPECT_FALSE(found.contains("exception")) << found.dump(2);
  EXPECT_EQ(found["rounds"], Value::array({"0", "0", "0", "0", "0", "0"})) << found.dump(2);
}

// A frame of another origin is in the application's page, and the page follows a link that
// answers 204: nothing is committed and the frame stays. What the shell knows of the page's
// frames stays as it was: the frame's includes of page-folder and "hbrfile" files are refused
// after the navigation as before, while the page's own fetch, which shows its origin, is not.
TEST_F(BridgeE2E, AFrameOfAnotherOriginStaysCountedThroughANavigationThatNeverCommits) {
  plantScript();
  ProgramRun run;
  Value found = runMode("frameThroughNoContent", run);
  ASSERT_TRUE(found.is_object()) << run.output.substr(0, 4000);
  EXPECT_FALSE(found.contains("exception")) << found.dump(2);
  EXPECT_EQ(found["still"], "app://localhost/index.html") << found.dump(2);
  EXPECT_EQ(found["before"], Value::array({"refused", "refused"})) << found.dump(2);
  EXPECT_EQ(found["after"], Value::array({"refused", "refused"})) << found.dump(2);
  // While such a frame is there, only a request that shows the application's origin gets the
  // page's files: a script element shows none, a fetch does.
  EXPECT_EQ(found["ownInclude"], "refused") << found.dump(2);
  EXPECT_EQ(found["fetched"], 200) << found.dump(2);
}

// Untrusted HTML in a sandboxed srcdoc frame has no origin of its own: it includes none of the
// page's files, with or without a referrer. A plain srcdoc frame is the page's own origin.
// Both load although the package lets no about: URL in: a srcdoc frame loads no URL.
TEST_F(BridgeE2E, ASandboxedSrcdocFrameIncludesNothingOfThePage) {
  plantScript();
  ProgramRun run;
  Value found = runMode("srcdoc", run);
  ASSERT_TRUE(found.is_object()) << run.output.substr(0, 4000);
  EXPECT_FALSE(found.contains("exception")) << found.dump(2);
  EXPECT_EQ(found["plain"]["origin"], "app://localhost") << found.dump(2);
  EXPECT_EQ(found["plain"]["srcdoc"], Value::array({"ran", "ran", "ran", "ran", "ran", "ran"})) << found.dump(2);
  EXPECT_EQ(found["sandboxed"]["origin"], "null") << found.dump(2);
  EXPECT_EQ(found["sandboxed"]["srcdoc"],
            Value::array({"refused", "refused", "refused", "refused", "refused", "refused"}))
      << found.dump(2);
  EXPECT_NE(run.output.find("A document of another origin is in the application's page (about:srcdoc (origin null))"),
            std::string::npos);
}

TEST_F(BridgeE2E, APageCannotTakeTheGlobalsItsAnswersCallAndAnswersAreParsedNotCompiled) {
  ProgramRun run;
  Value found = runMode("hijack", run);
  ASSERT_TRUE(found.is_object()) << run.output;
  EXPECT_FALSE(found.contains("exception")) << found.dump(2);
  EXPECT_EQ(found["attempts"], Value::parse(R"({"assign": "TypeError", "define": "TypeError", "deleted": "TypeError",
                                                "shadow": "SyntaxError"})")) << found.dump(2);
  EXPECT_EQ(found["runAttempts"], Value::parse(R"({"assign": "TypeError", "define": "TypeError",
                                                   "deleted": "TypeError"})")) << found.dump(2);
  EXPECT_EQ(found["same"], true);
  EXPECT_EQ(found["intercepted"], 0);
  EXPECT_PICKED(found, R"({"echoed": {"ok": true, "args": [["line\u2028sep\u2029\u0000\"\\"]]}})");
  // Called by the JSON-call path of the engine, one answer alone or a run of them: no compiled
  // text of an answer on the stack, so the engine keeps no code for any.
  EXPECT_EQ(found["inOrder"], true) << found.dump(2);
  EXPECT_GE(found["calls"].get<int>(), 301);
  EXPECT_EQ(found["fromGlobalCode"], false) << found.dump(2);
}

TEST_F(BridgeE2E, AFrameSeesNoNativeHandlerAndTheBridgeOutlivesGarbageCollection) {
  ProgramRun run;
  Value found = runMode("frames", run);
  ASSERT_TRUE(found.is_object()) << run.output;
  EXPECT_FALSE(found.contains("exception")) << found.dump(2);
  // With the HTTP plugin loaded, a frame of another origin still sees no handler at all.
  EXPECT_EQ(found["frame"], Value::parse(R"({"handlers": [], "posted": []})")) << found.dump(2);
  EXPECT_EQ(run.output.find("Plugin 'FromFrame' not found"), std::string::npos) << run.output;
  // Ten seconds of garbage the page makes and drops leave its entry point where it was.
  EXPECT_TRUE(found["lostAt"].is_null()) << found.dump(2);
  EXPECT_PICKED(found, R"({"echo": {"ok": true, "args": [["still here"]]}})");
}

TEST_F(BridgeE2E, LargeMessagesFromAPageWithoutTheBridgeCostTheShellNothing) {
  ProgramRun run;
  Value found = runMode("big", run);
  ASSERT_TRUE(found.is_object()) << run.output;
  EXPECT_FALSE(found.contains("exception")) << found.dump(2);
  EXPECT_EQ(found["posted"], "4") << found.dump(2);
  long before = found["before"]["peakKiB"].get<long>();
  long after = found["after"]["peakKiB"].get<long>();
  // Four messages of 64 MiB each were refused in the page: the shell's peak stays well below
  // the size of one of them.
  EXPECT_LT(after - before, 32 * 1024) << found.dump(2);
  EXPECT_NE(run.output.find("Dropped a message to 'harbor' from " + partner_.base() + "/big.html"),
            std::string::npos)
      << run.output;
}

TEST_F(BridgeE2E, OneClickOnManyExternalLinksLaunchesOnlyAsManyAsTheLimitAllows) {
  ProgramRun run;
  Value found = runMode("click", run);
  ASSERT_TRUE(found.is_object()) << run.output;
  EXPECT_EQ(found["pressed"], true) << found.dump(2);
  EXPECT_EQ(found["href"], "app://localhost/index.html") << found.dump(2);
  // The desktop has no handler for tel: here, so each launch shows as a failure to open. The
  // loader is asked before the navigation filter, which refuses "external:" links as
  // navigations: the click does launch, through the launcher that intents share.
  size_t launched = countOf(run.output, "Cannot open 'tel:55501");
  EXPECT_GE(launched, 1u) << run.output;
  EXPECT_LE(launched, 3u) << run.output;
  EXPECT_NE(run.output.find("External launch refused - more than 3 launches in 10 seconds"), std::string::npos)
      << run.output;
}

TEST_F(BridgeE2E, APageOfTheServersHostOverPlainHttpGetsNoMirroredCookie) {
  testing_support::HttpsTestServer server;
  server.on("GET", "/app/login", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Set-Cookie", "session=secret; Path=/; Secure");
    response.set_content("ok", "text/plain");
  });
  ProgramRun run;
  Value found = runPackage(VELTRO_SHELL_E2E, VELTRO_E2E_BRIDGE_PACKAGE, run,
                           {"VELTRO_E2E_MODE=cookie", "VELTRO_E2E_PARTNER=" + partner_.base(),
                            "VELTRO_E2E_SERVER=" + server.url(""), "VELTRO_EXTRA_CA_FILE=" + server.caFile()},
                           {}, 60);
  ASSERT_TRUE(found.is_object()) << run.output;
  ASSERT_EQ(server.requestCount("/app/login"), 1u) << run.output;
  EXPECT_EQ(found["login"], "true") << found.dump(2);
  // The plain-http page asked for the page-load sync and claimed the application's origin as
  // far as script can: its copy stays empty.
  EXPECT_EQ(found["cookie"], "") << found.dump(2) << run.output;
  EXPECT_NE(run.output.find("Dropped a message to 'VLHttpSyncNow' from " + partner_.base() + "/cookie.html"),
            std::string::npos)
      << run.output;
}

}  // namespace
}  // namespace e2e
