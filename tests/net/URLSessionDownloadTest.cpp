#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>

#include "SessionRecorder.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/net/URLError.h"
#include "platform/net/URLSession.h"
#include "support/HttpsTestServer.h"
#include "support/SessionTasks.h"
#include "support/TestSupport.h"

using namespace platform;
using testing_support::download;
using testing_support::ephemeralSession;
using testing_support::answer;
using testing_support::HttpsTestServer;
using testing_support::urlOf;
using testing_support::waitUntil;

namespace {

// The download files in the application's tmp folder.
size_t downloadFiles() {
  size_t count = 0;
  for (const auto& name : fs::contentsOfDirectory(paths::tmp()))
    if (name.rfind("CFNetworkDownload_", 0) == 0) ++count;
  return count;
}

// Sends the first kilobyte of a larger body, then waits for the test (at most five seconds)
// and drops the connection.
struct HalfSent {
  std::atomic<bool> release{false};
  HttpsTestServer::Handler handler() {
    return [this](const httplib::Request&, httplib::Response& response) {
      response.set_content_provider(
          100000, "application/octet-stream",
          [this](size_t offset, size_t, httplib::DataSink& sink) {
            if (offset == 0) return sink.write(std::string(1000, 'h').data(), 1000);
            waitUntil([this] { return release.load(); }, 5);
            return false;
          });
    };
  }
};

}  // namespace

TEST(URLSessionDownload, AFailedCancelledOrThrowingDownloadLeavesNoFileBehind) {
  HttpsTestServer server;
  HalfSent halfSent;
  server.on("GET", "/half", halfSent.handler());
  server.on("GET", "/whole", answer("whole"));
  auto session = ephemeralSession();
  ASSERT_EQ(downloadFiles(), 0u);

  // Cancelled with part of the body on disk.
  std::promise<std::optional<Error>> cancelled;
  std::atomic<bool> hadLocation{false};
  auto task = session->downloadTaskWithURL(
      urlOf(server.url("/half")), [&](const auto& location, const auto&, const auto& error) {
        hadLocation = location.has_value();
        cancelled.set_value(error);
      });
  task->resume();
  ASSERT_TRUE(waitUntil([] { return downloadFiles() == 1; }, 5));
  task->cancel();
  auto cancelError = cancelled.get_future().get();
  ASSERT_TRUE(cancelError);
  EXPECT_EQ(cancelError->code, urlerror::kCancelled);
  EXPECT_FALSE(hadLocation);
  // Removed once the completion has returned.
  EXPECT_TRUE(waitUntil([] { return downloadFiles() == 0; }, 2));

  // Cut off by the server.
  halfSent.release = true;
  auto cut = download(*session, server.url("/half"));
  ASSERT_TRUE(cut.error);
  EXPECT_EQ(cut.error->code, urlerror::kNetworkConnectionLost);
  EXPECT_FALSE(cut.location);
  EXPECT_TRUE(waitUntil([] { return downloadFiles() == 0; }, 2));

  // A completion that throws does not keep the file either.
  std::promise<std::string> thrown;
  session
      ->downloadTaskWithURL(urlOf(server.url("/whole")),
                            [&](const auto& location, const auto&, const auto&) {
                              thrown.set_value(location.value_or(""));
                              throw std::runtime_error("the caller failed");
                            })
      ->resume();
  std::string location = thrown.get_future().get();
  EXPECT_FALSE(location.empty());
  EXPECT_TRUE(waitUntil([] { return downloadFiles() == 0; }, 2));
}

TEST(URLSessionDownload, ADelegateGetsTheFileWhileItExistsThenTheCompletion) {
  HttpsTestServer server;
  server.on("GET", "/file", answer("delegate content"));
  HalfSent halfSent;
  halfSent.release = true;
  server.on("GET", "/half", halfSent.handler());

  auto recorder = std::make_shared<net_test::SessionRecorder>();
  auto session = ephemeralSession(recorder);
  session->downloadTaskWithURL(urlOf(server.url("/file")))->resume();
  EXPECT_EQ(recorder->finished(),
            (std::vector<std::string>{"finished delegate content", "complete state 3"}));
  EXPECT_TRUE(fs::isInside(recorder->location, paths::tmp()));
  EXPECT_TRUE(waitUntil([] { return downloadFiles() == 0; }, 2));

  // A failed download reaches the delegate only as a failure.
  auto failing = std::make_shared<net_test::SessionRecorder>();
  auto failingSession = ephemeralSession(failing);
  failingSession->downloadTaskWithURL(urlOf(server.url("/half")))->resume();
  EXPECT_EQ(failing->finished(), (std::vector<std::string>{"failed -1005 state 3"}));
  EXPECT_TRUE(waitUntil([] { return downloadFiles() == 0; }, 2));
}

namespace {

// Runs a download task whose body goes to `destination` and answers what its completion got,
// with whether the file was still there once the completion had returned.
struct DestinationResult {
  std::optional<std::string> location;
  std::optional<Error> error;
  bool keptAfterCompletion = false;
};

DestinationResult downloadTo(URLSession& session, const std::string& url,
                             const std::string& destination) {
  std::promise<DestinationResult> finished;
  auto task = session.downloadTaskWithURL(
      urlOf(url), [&](const auto& location, const auto&, const auto& error) {
        finished.set_value({location, error, false});
      });
  task->setDestinationFile(destination);
  task->resume();
  auto future = finished.get_future();
  if (future.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "the download did not end";
    task->cancel();
    return {};
  }
  DestinationResult result = future.get();
  // The session's own clean-up runs right after the completion, on its thread: what it is
  // asked next sees what that left.
  std::promise<void> asked;
  session.getAllTasks([&](auto) { asked.set_value(); });
  asked.get_future().wait();
  result.keptAfterCompletion = fs::exists(destination);
  return result;
}

}  // namespace

TEST(URLSessionDownload, ADestinationFileGetsTheBodyAndStaysTheCallersWhileFailuresLeaveNothing) {
  HttpsTestServer server;
  server.on("GET", "/whole", answer("the whole body"));
  HalfSent halfSent;
  halfSent.release = true;
  server.on("GET", "/half", halfSent.handler());
  auto session = ephemeralSession();
  testing_support::TempDir folder;

  // The body lands in the file asked for, no temporary file is made, and the file outlives the
  // completion.
  const std::string destination = folder.file("body.part");
  auto whole = downloadTo(*session, server.url("/whole"), destination);
  EXPECT_FALSE(whole.error);
  EXPECT_EQ(whole.location, destination);
  EXPECT_TRUE(whole.keptAfterCompletion);
  EXPECT_EQ(fs::readFile(destination), "the whole body");
  EXPECT_EQ(downloadFiles(), 0u);

  // Something already at the path is neither written over nor removed: the task fails.
  auto taken = downloadTo(*session, server.url("/whole"), destination);
  ASSERT_TRUE(taken.error);
  EXPECT_EQ(taken.error->code, urlerror::kCannotCreateFile);
  EXPECT_FALSE(taken.location);
  EXPECT_EQ(fs::readFile(destination), "the whole body");

  // A link planted at the path is not followed.
  const std::string target = folder.write("target", "kept");
  const std::string planted = folder.file("planted.part");
  ASSERT_EQ(::symlink(target.c_str(), planted.c_str()), 0);
  auto linked = downloadTo(*session, server.url("/whole"), planted);
  ASSERT_TRUE(linked.error);
  EXPECT_EQ(fs::readFile(target), "kept");

  // A body cut off on the way leaves no file behind.
  const std::string cutDestination = folder.file("cut.part");
  auto cut = downloadTo(*session, server.url("/half"), cutDestination);
  ASSERT_TRUE(cut.error);
  EXPECT_FALSE(cut.location);
  EXPECT_FALSE(cut.keptAfterCompletion);
}
