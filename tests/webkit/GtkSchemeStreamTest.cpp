#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "platform/foundation/BodyStream.h"
#include "platform/foundation/FileManager.h"
#include "platform/webkit/gtk/GtkURLSchemeTask.h"
#include "support/TestSupport.h"

// The stream WebKit reads a file body through fails once the file is rewritten in place, rather
// than handing WebKit bytes of two versions; one cut short fails too.
TEST(GtkSchemeStreams, AFileRewrittenOrCutShortWhileWebKitReadsItFailsTheStream) {
  testing_support::TempDir dir;
  const std::string path = dir.file("body.bin");
  const std::string content(256 * 1024, 'A');
  for (bool truncate : {false, true}) {
    ASSERT_FALSE(platform::fs::writeFileAtomically(path, content));
    GInputStream* stream = platform::webkit::makeFileRangeStream(::open(path.c_str(), O_RDONLY), 0,
                                                                 static_cast<std::int64_t>(content.size()));
    std::string first(64 * 1024, '\0');
    GError* error = nullptr;
    EXPECT_EQ(g_input_stream_read(stream, first.data(), first.size(), nullptr, &error), 64 * 1024);
    usleep(20000);
    int fd = ::open(path.c_str(), O_WRONLY);
    if (truncate) {
      EXPECT_EQ(::ftruncate(fd, 100 * 1024), 0);
    } else {
      std::string other(content.size(), 'B');
      EXPECT_EQ(::pwrite(fd, other.data(), other.size(), 0), static_cast<ssize_t>(other.size()));
    }
    ::close(fd);
    std::string rest(content.size(), '\0');
    gssize got = 0;
    size_t total = 0;
    while ((got = g_input_stream_read(stream, rest.data() + total, rest.size() - total, nullptr, &error)) > 0)
      total += static_cast<size_t>(got);
    EXPECT_EQ(got, -1) << (truncate ? "cut short" : "rewritten");
    EXPECT_EQ(rest.substr(0, total).find('B'), std::string::npos);
    if (error) g_error_free(error);
    error = nullptr;
    g_object_unref(stream);
  }
}

// WebKit's asynchronous reads of a body stream wait without a thread until the body arrives,
// and a stream WebKit lets go stops the body's maker.
TEST(GtkSchemeStreams, ABodyStreamIsReadAsItArrivesAndLettingItGoStopsItsMaker) {
  auto body = std::make_shared<platform::BodyStream>(1024);
  bool stopped = false;
  body->setCancelCallback([&] { stopped = true; });
  GInputStream* stream = platform::webkit::makeBodyInputStream(body);
  struct Read {
    std::string buffer = std::string(100, '\0');
    gssize got = -2;
  } read;
  g_input_stream_read_async(stream, read.buffer.data(), read.buffer.size(), G_PRIORITY_DEFAULT, nullptr,
                            [](GObject* source, GAsyncResult* result, gpointer data) {
                              static_cast<Read*>(data)->got =
                                  g_input_stream_read_finish(G_INPUT_STREAM(source), result, nullptr);
                            },
                            &read);
  for (int i = 0; i < 10; ++i) g_main_context_iteration(nullptr, FALSE);
  EXPECT_EQ(read.got, -2);  // nothing has arrived
  std::thread maker([&] { body->push(std::string_view("hello")); });
  maker.join();
  for (int i = 0; i < 100 && read.got == -2; ++i) g_main_context_iteration(nullptr, TRUE);
  EXPECT_EQ(read.got, 5);
  EXPECT_EQ(read.buffer.substr(0, 5), "hello");
  EXPECT_FALSE(stopped);
  g_object_unref(stream);
  EXPECT_TRUE(stopped);
  EXPECT_EQ(body->push(std::string_view("more")), platform::BodyStream::Push::Closed);
}
