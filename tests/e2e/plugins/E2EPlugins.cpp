#include "plugins/E2EPlugins.h"

#include <gtk/gtk.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"
#include "host/HBRViewController.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/ui/Application.h"
#include "platform/webkit/SynchronousEvaluateJavaScript.h"
#include "platform/webkit/gtk/GtkWebView.h"
#include "plugins/ProcessTreeMemory.h"

namespace {
// Sends `result` to the command's callback, when the plugin still has a delegate.
void answer(HBRPlugin& plugin, const HBRInvokedUrlCommand& command, std::shared_ptr<HBRPluginResult> result) {
  if (auto delegate = plugin.commandDelegate()) delegate->sendPluginResult(result, command.callbackId());
}
}  // namespace

E2EEcho::E2EEcho() {
  registerAction("echo", &E2EEcho::echo);
  registerAction("echoArrayBuffer", &E2EEcho::echoArrayBuffer);
  registerAction("fail", &E2EEcho::fail);
  registerAction("repeat", &E2EEcho::repeat);
  registerAction("note", &E2EEcho::note);
  registerAction("noteArrayBuffer", &E2EEcho::noteArrayBuffer);
  registerAction("notes", &E2EEcho::notes);
  registerAction("later", &E2EEcho::later);
}

void E2EEcho::note(const HBRInvokedUrlCommand& command) {
  noted_.push_back(command.argumentAtIndex(0));
  answer(*this, command, HBRPluginResult::resultWithStatus(HBRResultStatus::OK, command.arguments()));
}

void E2EEcho::noteArrayBuffer(const HBRInvokedUrlCommand& command) {
  noted_.push_back(command.argumentAtIndex(0));
  const platform::Value& data = command.argumentAtIndex(1);
  if (!data.is_binary())
    return answer(*this, command, HBRPluginResult::resultWithStatusAsString(HBRResultStatus::Error, "not data"));
  answer(*this, command, HBRPluginResult::resultWithStatusAsArrayBuffer(HBRResultStatus::OK, data.get_binary()));
}

void E2EEcho::notes(const HBRInvokedUrlCommand& command) {
  answer(*this, command, HBRPluginResult::resultWithStatus(HBRResultStatus::OK, noted_));
}

void E2EEcho::later(const HBRInvokedUrlCommand& command) {
  double ms = command.argumentAtIndex(0, 0, HBRArgumentKind::Number).get<double>();
  std::weak_ptr<HBRCommandDelegate> weakDelegate = commandDelegate();
  auto callbackId = command.callbackId();
  platform::Value value = command.argumentAtIndex(1);
  platform::Timer::schedule(ms / 1000.0, false, [weakDelegate, callbackId, value] {
    if (auto delegate = weakDelegate.lock())
      delegate->sendPluginResult(HBRPluginResult::resultWithStatus(HBRResultStatus::OK, value), callbackId);
  });
}

void E2EEcho::echo(const HBRInvokedUrlCommand& command) {
  answer(*this, command, HBRPluginResult::resultWithStatus(HBRResultStatus::OK, command.arguments()));
}

void E2EEcho::echoArrayBuffer(const HBRInvokedUrlCommand& command) {
  // Read in place: the payload may be megabytes.
  const platform::Value& arguments = command.arguments();
  if (arguments.empty() || !arguments[0].is_binary())
    return answer(*this, command, HBRPluginResult::resultWithStatusAsString(HBRResultStatus::Error, "not data"));
  answer(*this, command,
         HBRPluginResult::resultWithStatusAsArrayBuffer(HBRResultStatus::OK, arguments[0].get_binary()));
}

void E2EEcho::fail(const HBRInvokedUrlCommand& command) {
  answer(*this, command, HBRPluginResult::resultWithStatus(HBRResultStatus::Error, command.argumentAtIndex(0)));
}

void E2EEcho::repeat(const HBRInvokedUrlCommand& command) {
  int count = command.argumentAtIndex(0, 1, HBRArgumentKind::Number).get<int>();
  for (int i = 1; i <= count; ++i) {
    auto result = HBRPluginResult::resultWithStatusAsInt(HBRResultStatus::OK, i);
    result->setKeepCallbackAsBool(i < count);
    answer(*this, command, result);
  }
}

E2EChannel::E2EChannel() { registerAction("announce", &E2EChannel::announce); }

void E2EChannel::announce(const HBRInvokedUrlCommand& command) {
  auto delegate = commandDelegate();
  if (!delegate) return;
  double wanted = command.argumentAtIndex(0, 1, HBRArgumentKind::Number).get<double>();
  int count = wanted >= 0 && wanted <= 100 ? static_cast<int>(wanted) : 0;
  for (int i = 1; i <= count; ++i) {
    auto event = HBRPluginResult::resultWithStatusAsInt(HBRResultStatus::OK, i);
    event->setKeepCallbackAsBool(true);
    delegate->sendPluginResult(event, std::string(kChannel));
  }
  delegate->sendPluginResult(HBRPluginResult::resultWithStatusAsString(HBRResultStatus::Error, "end"),
                             std::string(kChannel));
  answer(*this, command, HBRPluginResult::resultWithStatusAsInt(HBRResultStatus::OK, count));
}

namespace {
// The host view controller's notifications, in the order they were posted.
platform::Value& viewNotifications() {
  static platform::Value names = platform::Value::array();
  return names;
}
}  // namespace

E2EReport::E2EReport() {
  registerAction("report", &E2EReport::report);
  registerAction("environment", &E2EReport::environment);
  registerAction("focusChange", &E2EReport::focusChange);
  registerAction("shellMemory", &E2EReport::shellMemory);
  registerAction("shellReadBytes", &E2EReport::shellReadBytes);
  registerAction("resetMemoryPeak", &E2EReport::resetMemoryPeak);
  registerAction("memory", &E2EReport::memory);
  registerAction("press", &E2EReport::press);
}

void E2EReport::environment(const HBRInvokedUrlCommand& command) {
  const platform::Value& name = command.argumentAtIndex(0);
  const char* value = name.is_string() ? std::getenv(("VELTRO_E2E_" + name.get<std::string>()).c_str()) : nullptr;
  answer(*this, command, HBRPluginResult::resultWithStatusAsString(HBRResultStatus::OK, value ? value : ""));
}

void E2EReport::focusChange(const HBRInvokedUrlCommand& command) {
  double ms = command.argumentAtIndex(0, 0, HBRArgumentKind::Number).get<double>();
  platform::Timer::schedule(ms / 1000.0, false, [] {
    platform::ui::Application::shared().willResignActive();
    platform::ui::Application::shared().didBecomeActive();
  });
  answer(*this, command, HBRPluginResult::resultWithStatus(HBRResultStatus::OK));
}

void E2EReport::shellMemory(const HBRInvokedUrlCommand& command) {
  long resident = 0, peak = 0;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) resident = std::atol(line.c_str() + 6);
    if (line.rfind("VmHWM:", 0) == 0) peak = std::atol(line.c_str() + 6);
  }
  answer(*this, command,
         HBRPluginResult::resultWithStatus(HBRResultStatus::OK, platform::Value{{"residentKiB", resident}, {"peakKiB", peak}}));
}

void E2EReport::shellReadBytes(const HBRInvokedUrlCommand& command) {
  double read = -1;
  std::ifstream io("/proc/self/io");
  for (std::string line; std::getline(io, line);)
    if (line.rfind("rchar:", 0) == 0) read = static_cast<double>(std::atoll(line.c_str() + 6));
  answer(*this, command, HBRPluginResult::resultWithStatus(HBRResultStatus::OK, platform::Value(read)));
}

void E2EReport::resetMemoryPeak(const HBRInvokedUrlCommand& command) {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.close();
  answer(*this, command, HBRPluginResult::resultWithStatus(HBRResultStatus::OK, !clear.fail()));
}

namespace {
// The memory taken at each point a page named, in order.
platform::Value& measuredMemory() {
  static platform::Value measured = platform::Value::object();
  return measured;
}
}  // namespace

void E2EReport::memory(const HBRInvokedUrlCommand& command) {
  const platform::Value& name = command.argumentAtIndex(0);
  if (!name.is_string())
    return answer(*this, command, HBRPluginResult::resultWithStatusAsString(HBRResultStatus::Error, "no name"));
  measuredMemory()[name.get<std::string>()] = platform::Value::parse(measureProcessTreeMemory().json());
  answer(*this, command, HBRPluginResult::resultWithStatus(HBRResultStatus::OK));
}

void E2EReport::press(const HBRInvokedUrlCommand& command) {
  auto webView = this->webView();
  auto* widget = webView ? static_cast<GtkWidget*>(webView->nativeWidget()) : nullptr;
  if (widget && gtk_widget_get_window(widget)) {
    GdkEvent* key = gdk_event_new(GDK_KEY_PRESS);
    key->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(widget)));
    gboolean handled = FALSE;
    g_signal_emit_by_name(widget, "key-press-event", key, &handled);
    gdk_event_free(key);
  }
  answer(*this, command, HBRPluginResult::resultWithStatus(HBRResultStatus::OK, widget != nullptr));
}

void E2EReport::report(const HBRInvokedUrlCommand& command) {
  const char* path = std::getenv("VELTRO_E2E_REPORT");
  platform::Value found = command.argumentAtIndex(0);
  if (found.is_object()) found["viewNotifications"] = viewNotifications();
  // The benchmark wants the memory taken while the page is still there.
  if (const char* memory = std::getenv("VELTRO_E2E_MEMORY"); memory && *memory == '1') {
    platform::Value measured = measuredMemory();
    measured["end"] = platform::Value::parse(measureProcessTreeMemory().json());
    found = platform::Value{{"report", std::move(found)}, {"memory", std::move(measured)}};
  }
  if (path && *path) {
    std::ofstream out(path, std::ios::trunc);
    out << found.dump(2) << "\n";
  } else {
    platform::log("E2EReport: " + found.dump());
  }
  if (command.argumentAtIndex(1) == platform::Value(true)) return;
  // The shell ends once this action has returned, so the command queue finishes its run.
  platform::MainLoop::post([] { platform::ui::Application::shared().terminate(0); });
}

E2EWebProcess::E2EWebProcess() { registerAction("endWebProcessOnce", &E2EWebProcess::endWebProcessOnce); }

void E2EWebProcess::endWebProcessOnce(const HBRInvokedUrlCommand& command) {
  static bool ended = false;
  auto controller = viewController();
  auto webView = controller ? std::dynamic_pointer_cast<platform::webkit::GtkWebView>(controller->webView()) : nullptr;
  bool now = !ended && webView;
  answer(*this, command, HBRPluginResult::resultWithStatus(HBRResultStatus::OK, now));
  if (!now) return;
  ended = true;
  // After the answer has gone out.
  std::weak_ptr<platform::webkit::GtkWebView> weak = webView;
  platform::MainLoop::postAfter(0.1, [weak] {
    if (auto view = weak.lock()) webkit_web_view_terminate_web_process(view->webKitView());
  });
}

E2EChallenges::E2EChallenges() {
  registerAction("challenges", &E2EChallenges::challenges);
  registerAction("trustCertificate", &E2EChallenges::trustCertificate);
  registerAction("evaluate", &E2EChallenges::evaluate);
}

void E2EChallenges::challenges(const HBRInvokedUrlCommand& command) {
  answer(*this, command, HBRPluginResult::resultWithStatus(HBRResultStatus::OK, seen_));
}

void E2EChallenges::trustCertificate(const HBRInvokedUrlCommand& command) {
  auto controller = viewController();
  auto webView = controller ? std::dynamic_pointer_cast<platform::webkit::GtkWebView>(controller->webView()) : nullptr;
  const platform::Value& file = command.argumentAtIndex(0);
  const platform::Value& host = command.argumentAtIndex(1);
  GTlsCertificate* certificate =
      file.is_string() ? g_tls_certificate_new_from_file(file.get_ref<const std::string&>().c_str(), nullptr) : nullptr;
  bool trusted = webView && certificate && host.is_string();
  if (trusted)
    webkit_web_context_allow_tls_certificate_for_host(webkit_web_view_get_context(webView->webKitView()), certificate,
                                                      host.get_ref<const std::string&>().c_str());
  if (certificate) g_object_unref(certificate);
  answer(*this, command, HBRPluginResult::resultWithStatus(HBRResultStatus::OK, trusted));
}

void E2EChallenges::evaluate(const HBRInvokedUrlCommand& command) {
  auto controller = viewController();
  auto webView = controller ? controller->webView() : nullptr;
  const platform::Value& script = command.argumentAtIndex(0);
  double seconds = command.argumentAtIndex(1, 5, HBRArgumentKind::Number).get<double>();
  if (!webView || !script.is_string())
    return answer(*this, command, HBRPluginResult::resultWithStatusAsString(HBRResultStatus::Error, "no view"));
  auto started = std::chrono::steady_clock::now();
  auto text = platform::webkit::stringByEvaluatingJavaScriptFromString(*webView, script.get<std::string>(), seconds);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
  platform::Value found{{"text", text ? platform::Value(*text) : platform::Value()}, {"ms", ms}};
  answer(*this, command, HBRPluginResult::resultWithStatus(HBRResultStatus::OK, found));
}

void E2EChallenges::didReceiveAuthenticationChallenge(platform::webkit::WebView&,
                                                      const platform::webkit::AuthenticationChallenge& challenge,
                                                      platform::webkit::AuthenticationCompletion completion) {
  seen_.push_back({{"host", challenge.host},
                   {"port", challenge.port},
                   {"realm", challenge.realm},
                   {"basic", challenge.scheme == platform::webkit::AuthenticationScheme::HTTPBasic},
                   {"retry", challenge.isRetry}});
  const char* given = std::getenv("VELTRO_E2E_BASIC_CREDENTIAL");
  std::string credential = given ? given : "";
  size_t colon = credential.find(':');
  if (colon == std::string::npos || challenge.isRetry)
    return completion(platform::webkit::AuthChallengeDisposition::CancelAuthenticationChallenge, std::nullopt);
  // From another thread, as a plugin that asks elsewhere would.
  std::thread([completion = std::move(completion), credential, colon] {
    completion(platform::webkit::AuthChallengeDisposition::UseCredential,
               platform::webkit::URLCredential{credential.substr(0, colon), credential.substr(colon + 1)});
  }).detach();
}

void registerE2EPlugins() {
  static int recorder = 0;
  for (const char* name : {HBRViewWillAppearNotification, HBRViewDidAppearNotification, HBRViewWillDisappearNotification,
                           HBRViewDidDisappearNotification, HBRViewWillLayoutSubviewsNotification,
                           HBRViewDidLayoutSubviewsNotification, HBRViewWillTransitionToSizeNotification})
    platform::NotificationCenter::defaultCenter().addObserver(
        &recorder, name, nullptr, [](const platform::Notification& n) { viewNotifications().push_back(n.name); });
  HBRRegisterPluginClass<E2EEcho>("E2EEcho");
  HBRRegisterPluginClass<E2EChannel>("E2EChannel");
  HBRRegisterPluginClass<E2EReport>("E2EReport");
  HBRRegisterPluginClass<E2EWebProcess>("E2EWebProcess");
  HBRRegisterPluginClass<E2EChallenges>("E2EChallenges");
}
