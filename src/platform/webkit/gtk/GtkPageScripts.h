#pragma once

#include <string>

#include "platform/webkit/WebView.h"
#include "platform/webkit/gtk/GtkPageValue.h"

// The scripts the web view gives every page, and what they send back: the relay and the page
// side of each main-frame message channel, and the description each document gives of itself.
namespace platform::webkit {

// The shell's own script world. Page script never runs in it. The relays of the main-frame
// handlers run in the top frame only, so no frame of any other page, and no other window,
// reaches a handler registered there; the document script (below) runs in every frame and
// reaches only its own handler.
constexpr const char* kBridgeWorld = "veltro-bridge";

// The handler of the bridge world that documents describe themselves to.
inline constexpr const char* kDocumentHandler = "veltro-document";

// `text` as a JavaScript string literal.
std::string jsString(const std::string& text);

// The relay of the main-frame channel `name` (bridge world, top frame) and the page's side of
// it (page world, top frame).
std::string relayScript(const std::string& name, const ScriptMessageOriginPolicy& policy);
std::string pageScript(const std::string& name);

// The script of the bridge world that runs at the start of every document, in every frame
// (GtkDocument.js), and the check of the page's world of the top frame that the web view's
// evaluations for one document run behind (GtkDocumentCheck.js).
std::string documentScript();
std::string documentCheckScript();

// What the relay says of a message besides its body: the page it came from and whether the
// relay refused it (and why).
struct RelayedMessage {
  std::string pageURL;
  bool refused = false;
  bool tooLarge = false;
  // The token of the document that posted it; empty when it had none.
  std::string document;
};
// What the relay sent, read from its array.
RelayedMessage relayedFromRaw(const RawArray& message);

}  // namespace platform::webkit
