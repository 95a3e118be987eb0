#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <memory>
#include <string>

#include "host/HBRPluginResult.h"
#include "host/HBRViewController.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/Paths.h"
#include "plugins/file/HBRFile.h"
#include "plugins/file/HBRLocalFilesystem.h"
#include "support/RecordingCommandDelegate.h"
#include "support/TestSupport.h"

namespace filetest {

using platform::Value;

using RecordingDelegate = testing_support::RecordingCommandDelegate;

// Runs `work` with the process's file-size limit at `bytes`, so writes past it stop short.
template <typename Work>
auto withFileSizeLimit(rlim_t bytes, Work work) {
  ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit saved;
  ::getrlimit(RLIMIT_FSIZE, &saved);
  struct rlimit small = saved;
  small.rlim_cur = bytes;
  ::setrlimit(RLIMIT_FSIZE, &small);
  auto result = work();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  return result;
}

struct Reply {
  HBRResultStatus status = HBRResultStatus::NoResult;
  Value message;
  bool answered = false;
};

// A package with the given preferences beside a fresh data root, and a started file plugin.
class FileFixture : public ::testing::Test {
 protected:
  void SetUp() override { start(""); }
  void TearDown() override { platform::MainLoop::drain(); }

  void start(const std::string& preferences) {
    dir.write("package/www/index.html", "<html></html>");
    dir.write("package/config.xml", "<?xml version=\"1.0\"?><widget><content src=\"index.html\"/>" + preferences +
                                        "</widget>");
    platform::Bundle::setMainPath(dir.file("package"));
    vc = HBRViewController::create();
    vc->loadSettings();
    delegate = std::make_shared<RecordingDelegate>();
    plugin = std::make_shared<HBRFile>();
    plugin->setViewController(vc);
    plugin->setCommandDelegate(delegate);
    plugin->pluginInitialize();
  }

  Reply call(const std::string& action, Value arguments) {
    std::string id = "File" + std::to_string(++calls);
    EXPECT_TRUE(plugin->performAction(action, HBRInvokedUrlCommand(std::move(arguments), id, "File", action)));
    Reply reply;
    if (auto result = delegate->wait(id)) reply = {result->status(), result->message(), true};
    return reply;
  }

  // The local path and "hbrfile" URL of a name in the "persistent" file system (Documents).
  std::string documents(const std::string& relative = "") const {
    return relative.empty() ? platform::paths::documents() : platform::paths::documents() + "/" + relative;
  }
  static std::string url(const std::string& relative, const std::string& fs = "persistent") {
    return "hbrfile://localhost/" + fs + "/" + relative;
  }

  testing_support::ScopedDataRoot dir;
  std::shared_ptr<HBRViewController> vc;
  std::shared_ptr<RecordingDelegate> delegate;
  std::shared_ptr<HBRFile> plugin;
  int calls = 0;
};

#define EXPECT_FILE_ERROR(reply, statusValue, code)         \
  do {                                                      \
    Reply r_ = (reply);                                     \
    EXPECT_TRUE(r_.answered);                               \
    EXPECT_EQ(r_.status, HBRResultStatus::statusValue);     \
    EXPECT_EQ(r_.message, Value(code)) << r_.message.dump(); \
  } while (0)

}  // namespace filetest
