#include "host/plugins/HBRGestureHandler.h"

#include "host/HBRCommandDelegate.h"
#include "host/HBRSettings.h"
#include "host/HBRWebViewEngineProtocol.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"
#include "platform/webkit/WebView.h"

namespace {

// Present and true by the platform's reading of a string ("YES", "t", "2" are true).
bool settingIsTrue(const platform::Value& settings, const char* key) {
  auto value = harborSettingForKey(settings, key);
  if (!value) return false;
  if (value->is_string()) return platform::boolValue(value->get_ref<const std::string&>());
  if (value->is_boolean()) return value->get<bool>();
  return value->is_number() && value->get<double>() != 0;
}

}  // namespace

const std::string& HBRGestureHandler::longPressSuppressionScript() {
  // A long press in a web page ends in the touch callout or the context menu; the style
  // turns off the first and the capturing listener cancels the second. The flag keeps a
  // second run (user script and a direct evaluation both) from adding a second listener.
  static const std::string script = R"JS((function(){
if (window.__hbrLongPressSuppressed) { return; }
window.__hbrLongPressSuppressed = true;
document.addEventListener('contextmenu', function(e){ e.preventDefault(); }, true);
function addStyle(){
  var style = document.createElement('style');
  style.textContent = '*{-webkit-touch-callout:none !important;}';
  (document.head || document.documentElement).appendChild(style);
}
if (document.documentElement) { addStyle(); } else { document.addEventListener('DOMContentLoaded', addStyle); }
})();)JS";
  return script;
}

void HBRGestureHandler::pluginInitialize() { applyLongPressFix(); }

void HBRGestureHandler::applyLongPressFix() {
  auto delegate = commandDelegate();
  if (!delegate) return;
  const platform::Value& settings = delegate->settings();
  if (!settingIsTrue(settings, "suppresseslongpressgesture")) return;

  HBRLongPressGestureRecognizer recognizer;
  if (settingIsTrue(settings, "suppresses3dtouchgesture")) recognizer.minimumPressDuration = 0.15;

  auto view = webView();
  if (!view) {
    platform::log("No webview subviews found, not applying the longpress fix.");
    return;
  }
  lpgr_ = recognizer;

  // Pages loaded from now on get the script at document start; the page already shown (if
  // any) gets it now.
  view->addUserScript({longPressSuppressionScript(), true, true});
  if (view->url()) applyToCurrentPage();
}

void HBRGestureHandler::applyToCurrentPage() {
  if (auto engine = webViewEngine())
    engine->evaluateJavaScript(longPressSuppressionScript(), nullptr);
}
