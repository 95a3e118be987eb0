#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "platform/net/URLError.h"
#include "platform/net/URLSession.h"
#include "support/HttpsTestServer.h"
#include "support/SessionTasks.h"
#include "support/TestSupport.h"

using namespace platform;
using testing_support::ephemeralSession;
using testing_support::HttpsTestServer;
using testing_support::urlOf;

namespace {

std::string pattern(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
  return text;
}

struct Responded {
  std::mutex mutex;
  std::optional<URLResponse> response;
  std::optional<Error> error;
  bool called = false;
};

}  // namespace

// A large body goes into the stream as it arrives: while nobody reads, the transfer waits at the
// stream's capacity (no inactivity time-out ends it meanwhile), and the reader then gets every
// byte. A small body is whole in the stream when the response is handed on.
TEST(URLSessionStream, ALargeBodyWaitsForItsReaderAndASmallOneComesWhole) {
  const std::string large = pattern(24 * 1024 * 1024);
  HttpsTestServer server;
  server.on("GET", "/large", [&large](const httplib::Request&, httplib::Response& response) {
    response.set_content(large, "application/octet-stream");
  });
  server.on("GET", "/small", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("small body", "text/plain");
  });
  auto configuration = URLSessionConfiguration::ephemeralSessionConfiguration();
  configuration.setTimeoutIntervalForRequest(1);
  auto session = URLSession::sessionWithConfiguration(configuration);

  auto stream = std::make_shared<BodyStream>(256 * 1024);
  auto responded = std::make_shared<Responded>();
  session->streamingDataTaskWithRequest(URLRequest(urlOf(server.url("/large"))), stream,
      [responded](const std::optional<URLResponse>& response, const std::optional<Error>& error) {
        std::lock_guard lock(responded->mutex);
        responded->called = true;
        responded->response = response;
        responded->error = error;
      })->resume();
  ASSERT_TRUE(testing_support::waitUntil([&] {
    std::lock_guard lock(responded->mutex);
    return responded->called;
  }, 10));
  {
    std::lock_guard lock(responded->mutex);
    ASSERT_TRUE(responded->response && !responded->error);
    EXPECT_EQ(responded->response->statusCode(), 200);
  }
  // Longer than the inactivity time-out, unread.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_LE(stream->peakBuffered(), 256u * 1024 + 64 * 1024);
  std::string got;
  std::string buffer(64 * 1024, '\0');
  BodyStream::Read last;
  for (;;) {
    size_t n = 0;
    last = stream->readWaiting(buffer.data(), buffer.size(), n, std::chrono::seconds(10));
    if (last != BodyStream::Read::Data) break;
    got.append(buffer.data(), n);
  }
  EXPECT_EQ(last, BodyStream::Read::Ended) << (stream->error() ? stream->error()->localizedDescription() : "");
  EXPECT_TRUE(got == large) << got.size();
  EXPECT_LE(stream->peakBuffered(), 256u * 1024 + 64 * 1024);

  auto small = std::make_shared<BodyStream>();
  std::promise<std::string> whole;
  session->streamingDataTaskWithRequest(URLRequest(urlOf(server.url("/small"))), small,
      [small, &whole](const std::optional<URLResponse>& response, const std::optional<Error>&) {
        std::string body;
        whole.set_value(response && small->takeWholeIfFinished(body) ? body : "not whole");
      })->resume();
  auto future = whole.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(future.get(), "small body");
}

// A reader that stops cancels the transfer.
TEST(URLSessionStream, AReaderThatStopsCancelsTheTask) {
  const std::string large = pattern(24 * 1024 * 1024);
  HttpsTestServer server;
  server.on("GET", "/large", [&large](const httplib::Request&, httplib::Response& response) {
    response.set_content(large, "application/octet-stream");
  });
  auto session = ephemeralSession();
  auto stream = std::make_shared<BodyStream>(128 * 1024);
  std::atomic<bool> responded{false};
  auto task = session->streamingDataTaskWithRequest(URLRequest(urlOf(server.url("/large"))), stream,
      [&](const std::optional<URLResponse>&, const std::optional<Error>&) { responded = true; });
  task->resume();
  ASSERT_TRUE(testing_support::waitUntil([&] { return responded.load(); }, 10));
  stream->cancel();
  ASSERT_TRUE(testing_support::waitUntil([&] { return task->state() == URLSessionTask::State::Completed; }, 10));
  ASSERT_TRUE(task->error());
  EXPECT_EQ(task->error()->code, urlerror::kCancelled);
}
