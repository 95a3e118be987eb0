#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "app/HBRApplicationMain.h"
#include "shell/VLCrashHandler.h"
#include "support/TestSupport.h"

// A peer that goes away must not take the application with it: writing to it is an error
// the writer handles, and the crash handler does not count SIGPIPE as a crash.
TEST(ApplicationMain, AWriteToAClosedPipeFailsInsteadOfEndingTheProcess) {
  HBRPrepareProcess();
  testing_support::TempDir dir;
  ASSERT_TRUE(VLCrashHandler::install(dir.path()));
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  errno = 0;
  EXPECT_EQ(write(ends[1], "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
  close(ends[1]);
  struct sigaction current {};
  sigaction(SIGPIPE, nullptr, &current);
  EXPECT_EQ(current.sa_handler, SIG_IGN);
}
