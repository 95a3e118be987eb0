#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "platform/foundation/BodyStream.h"
#include "platform/foundation/FileManager.h"
#include "platform/webkit/WebView.h"
#include "support/TestSupport.h"

using platform::BodyStream;

namespace {

std::string readAll(BodyStream& stream, BodyStream::Read& last) {
  std::string out;
  char buffer[7];
  for (;;) {
    size_t got = 0;
    last = stream.read(buffer, sizeof buffer, got);
    if (last != BodyStream::Read::Data) return out;
    out.append(buffer, got);
  }
}

}  // namespace

// The maker is held back at the capacity and let go once the reader took half of it; a window
// cuts a range out of what was pushed, and a reader that stops tells the maker and refuses more.
TEST(BodyStream, HoldsTheMakerAtItsCapacityCutsAWindowAndTellsTheMakerWhenTheReaderStops) {
  BodyStream stream(10);
  std::atomic<int> room{0}, cancelled{0}, readable{0};
  stream.setRoomCallback([&] { ++room; });
  stream.setCancelCallback([&] { ++cancelled; });
  stream.setReadableCallback([&] { ++readable; });
  BodyStream::Read last;
  EXPECT_EQ(readAll(stream, last), "");
  EXPECT_EQ(last, BodyStream::Read::Waiting);
  EXPECT_EQ(stream.push(std::string_view("0123456")), BodyStream::Push::Taken);
  EXPECT_EQ(readable, 1);
  EXPECT_EQ(stream.push(std::string_view("789ab")), BodyStream::Push::Taken);
  EXPECT_EQ(stream.push(std::string_view("c")), BodyStream::Push::Full);
  EXPECT_EQ(stream.peakBuffered(), 12u);
  char four[4];
  size_t got = 0;
  EXPECT_EQ(stream.read(four, 4, got), BodyStream::Read::Data);
  EXPECT_EQ(room, 0);  // 8 still wait: more than half
  EXPECT_EQ(stream.read(four, 4, got), BodyStream::Read::Data);
  EXPECT_EQ(room, 1);
  EXPECT_EQ(stream.push(std::string_view("c")), BodyStream::Push::Taken);
  stream.finish();
  EXPECT_EQ(readAll(stream, last), "89abc");
  EXPECT_EQ(last, BodyStream::Read::Ended);

  BodyStream ranged(100);
  ranged.push(std::string_view("0123"));
  ranged.setWindow(2, 5);  // bytes 2..6 of what comes
  EXPECT_EQ(ranged.push(std::string_view("4567")), BodyStream::Push::Taken);
  EXPECT_EQ(ranged.push(std::string_view("89")), BodyStream::Push::Closed);
  EXPECT_EQ(readAll(ranged, last), "23456");
  EXPECT_EQ(last, BodyStream::Read::Ended);

  BodyStream stopped(100);
  stopped.setCancelCallback([&] { ++cancelled; });
  stopped.push(std::string_view("abc"));
  stopped.cancel();
  EXPECT_EQ(cancelled, 1);
  EXPECT_EQ(stopped.buffered(), 0u);
  EXPECT_EQ(stopped.push(std::string_view("d")), BodyStream::Push::Closed);
}

namespace {

// A task that rewrites the file it is answered with after the first piece.
struct RewritingTask : platform::webkit::URLSchemeTask {
  explicit RewritingTask(std::string path) : path(std::move(path)), request_(platform::URL::parse("x://y/z").value()) {}
  const platform::URLRequest& request() const override { return request_; }
  void didReceiveResponse(const platform::URLResponse&) override {}
  void didReceiveData(std::string_view data) override {
    body.append(data);
    if (pieces++ == 0) {
      // Rewritten in place, as another program might: the same size, other bytes.
      usleep(20000);
      int fd = ::open(path.c_str(), O_WRONLY);
      std::string other(size, 'B');
      EXPECT_EQ(::pwrite(fd, other.data(), other.size(), 0), static_cast<ssize_t>(other.size()));
      ::close(fd);
    }
  }
  void didFinish() override { finished = true; }
  void didFailWithError(const platform::Error& e) override { error = e; }
  std::string path;
  size_t size = 0;
  int pieces = 0;
  std::string body;
  bool finished = false;
  std::optional<platform::Error> error;
  platform::URLRequest request_;
};

}  // namespace

// A file rewritten in place while it is the body of an answer ends the answer with an error,
// never with bytes of two versions.
TEST(SchemeTaskFileBody, AFileRewrittenWhileItIsServedEndsTheAnswerWithAnError) {
  testing_support::TempDir dir;
  const std::string path = dir.file("served.bin");
  const std::string content(512 * 1024, 'A');
  ASSERT_FALSE(platform::fs::writeFileAtomically(path, content));
  RewritingTask task(path);
  task.size = content.size();
  task.didReceiveFileBody(::open(path.c_str(), O_RDONLY), 0, static_cast<std::int64_t>(content.size()));
  EXPECT_FALSE(task.finished);
  ASSERT_TRUE(task.error.has_value());
  EXPECT_EQ(task.body.find('B'), std::string::npos);
  EXPECT_LT(task.body.size(), content.size());
}
