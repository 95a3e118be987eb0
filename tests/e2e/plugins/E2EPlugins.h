#pragma once

#include "host/HBRAuthenticationChallengeHandler.h"
#include "host/HBRPlugin.h"

// Plugins that only the end-to-end tests and the web view benchmark load.

// Answers calls in every way a plugin can: an echo of the arguments, a failure, binary data,
// and several results on one kept callback.
class E2EEcho : public HBRPlugin {
 public:
  E2EEcho();
  std::string className() const override { return "E2EEcho"; }

  // The arguments array, unchanged.
  void echo(const HBRInvokedUrlCommand& command);
  // Argument 0 (data) back as an ArrayBuffer.
  void echoArrayBuffer(const HBRInvokedUrlCommand& command);
  // An error result carrying argument 0 as its message.
  void fail(const HBRInvokedUrlCommand& command);
  // Argument 0 (a count) results 1..count on one callback, kept until the last.
  void repeat(const HBRInvokedUrlCommand& command);
  // Notes argument 0 and answers it; `notes` answers everything noted so far, in order.
  void note(const HBRInvokedUrlCommand& command);
  // Notes argument 0 as `note` does and answers argument 1 (data) as an ArrayBuffer.
  void noteArrayBuffer(const HBRInvokedUrlCommand& command);
  void notes(const HBRInvokedUrlCommand& command);
  // Answers argument 1 after argument 0 milliseconds, as a slow query would.
  void later(const HBRInvokedUrlCommand& command);

 private:
  platform::Value noted_ = platform::Value::array();
};

// Sends events on the fixed callback id "E2EStaticChannel", as plugins do for events that
// answer no call.
class E2EChannel : public HBRPlugin {
 public:
  static constexpr const char* kChannel = "E2EStaticChannel";

  E2EChannel();
  std::string className() const override { return "E2EChannel"; }

  // Argument 0 (a count, at most 100) results 1..count on the channel with the keep flag
  // set, then an error result "end" without it, then the count as the call's own answer.
  void announce(const HBRInvokedUrlCommand& command);
};

// Writes what the page found to the file named by $VELTRO_E2E_REPORT, with the host view
// notifications posted so far under "viewNotifications", and ends the shell, unless argument 1
// is true (the page goes on attacking after its report); with VELTRO_E2E_MEMORY=1 the memory
// of the process tree goes with it.
class E2EReport : public HBRPlugin {
 public:
  E2EReport();
  std::string className() const override { return "E2EReport"; }

  void report(const HBRInvokedUrlCommand& command);
  // The value of the environment variable "VELTRO_E2E_" + argument 0 ("" when unset): how a
  // test tells its page where things are.
  void environment(const HBRInvokedUrlCommand& command);
  // After argument 0 milliseconds the application loses the focus and gets it back (the
  // resign and active notifications a window manager's focus change brings); answers at once.
  void focusChange(const HBRInvokedUrlCommand& command);
  // {"residentKiB", "peakKiB"} of the shell's own process, without WebKit's.
  void shellMemory(const HBRInvokedUrlCommand& command);
  // The bytes the shell has read through read calls so far (rchar of /proc/self/io).
  void shellReadBytes(const HBRInvokedUrlCommand& command);
  // Starts the shell's peak resident memory (VmHWM) again from what it holds now.
  void resetMemoryPeak(const HBRInvokedUrlCommand& command);
  // The memory of the shell's process tree, taken now under the name in argument 0; the report
  // of a benchmark run (VELTRO_E2E_MEMORY=1) hands every one over, with the memory at its end.
  void memory(const HBRInvokedUrlCommand& command);
  // A key press on the web view, as the user's own input, then the answer: the page's success
  // callback runs as the gesture that input allows.
  void press(const HBRInvokedUrlCommand& command);
};

// Ends the web content process of the page that calls "endWebProcessOnce", the first time
// only (the engine reloads the page, which calls it again); answers whether it did.
class E2EWebProcess : public HBRPlugin {
 public:
  E2EWebProcess();
  std::string className() const override { return "E2EWebProcess"; }

  void endWebProcessOnce(const HBRInvokedUrlCommand& command);
};

// Takes the web view's authentication challenges, answering each with the credential
// "user:password" of $VELTRO_E2E_BASIC_CREDENTIAL (none: cancelled). Actions:
// "challenges" answers those seen ({host, port, realm, basic, retry}); "trustCertificate"
// [PEM file, host] lets the web view trust a test server's certificate for that host;
// "evaluate" [script, seconds] evaluates synchronously and answers {text, ms}.
class E2EChallenges : public HBRPlugin, public HBRAuthenticationChallengeHandler {
 public:
  E2EChallenges();
  std::string className() const override { return "E2EChallenges"; }

  void challenges(const HBRInvokedUrlCommand& command);
  void trustCertificate(const HBRInvokedUrlCommand& command);
  void evaluate(const HBRInvokedUrlCommand& command);
  void didReceiveAuthenticationChallenge(platform::webkit::WebView& webView,
                                         const platform::webkit::AuthenticationChallenge& challenge,
                                         platform::webkit::AuthenticationCompletion completion) override;

 private:
  platform::Value seen_ = platform::Value::array();
};

// Registers the classes under their names and starts recording the view notifications.
void registerE2EPlugins();
