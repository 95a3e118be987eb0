#include "platform/webkit/gtk/GtkPageScripts.h"

#include <glib.h>

#include <string>

#include "platform/webkit/gtk/GtkDocumentScripts.h"
#include "platform/webkit/gtk/GtkPageValue.h"

namespace platform::webkit {
namespace {

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

}  // namespace

std::string jsString(const std::string& text) { return Value(text).dump(-1, ' ', true, Value::error_handler_t::replace); }

// Runs in the bridge world of the top frame: passes what the page posts on to the handler,
// with the URL of the page that posted it (read from this world, where page script cannot
// change what location answers). A message with long strings comes as one event for each of
// them and then its text; the relay sends [page URL, [text, long strings...]]. Strings cross
// from the page's world as they are, where an array would be copied. Before anything crosses,
// the relay checks the page's origin and the message's size (in UTF-16 code units, never more
// than the UTF-8 bytes that would cross): a refused message crosses only as
// [the start of the page URL, null, reason], for the log. Every message also carries the token
// of the document that posted it (GtkDocument.js), as [page URL, body, undefined, token].
std::string relayScript(const std::string& name, const ScriptMessageOriginPolicy& policy) {
  std::string origins = policy.origins ? Value(*policy.origins).dump(-1, ' ', true, Value::error_handler_t::replace)
                                       : "null";
  return "(function(){var handler=window.webkit.messageHandlers[" + jsString(name) + "],parts=[],size=0,over=false;"
         "var origins=" + origins + ",files=" + (policy.fileURLs ? "true" : "false") +
         ",max=" + std::to_string(policy.maxMessageBytes) + ";"
         "function allowed(){if(files&&location.protocol==='file:')return true;if(!origins)return true;"
         "return origins.indexOf((location.protocol+'//'+location.host).toLowerCase())>=0;}"
         // The answer for the last page URL a message came from: what `allowed` reads follows
         // from that URL alone, and a page posts many messages from the same one.
         "var checkedURL=null,checkedAllowed=false;"
         "function allowedAt(href){if(href!==checkedURL){checkedAllowed=allowed();checkedURL=href;}"
         "return checkedAllowed;}"
         "function refuse(reason){parts=[];size=0;over=false;"
         "handler.postMessage([String(location.href).slice(0,200),null,reason]);}"
         "window.addEventListener(" + jsString("veltro-script-part:" + name) +
         ",function(event){event.stopImmediatePropagation();if(over)return;var part=String(event.detail);"
         "size+=part.length;if(size>max||!allowed()){parts=[];over=true;return;}parts.push(part);},true);"
         "window.addEventListener(" + jsString("veltro-script-message:" + name) +
         ",function(event){event.stopImmediatePropagation();var body=event.detail,href=String(location.href);"
         "if(typeof body!=='string')body=null;"
         "if(!allowedAt(href))return refuse('origin');"
         "if(over||size+(body?body.length:0)>max)return refuse('size');"
         "if(parts.length){body=[body].concat(parts);parts=[];}size=0;"
         "handler.postMessage([href,body,undefined,window.__veltroDocumentToken||'']);},true);"
         "window.addEventListener(" + jsString("veltro-relay-ping:" + name) +
         ",function(event){event.stopImmediatePropagation();"
         "window.dispatchEvent(new CustomEvent(" + jsString("veltro-relay-ready:" + name) + "));},true);"
         "window.dispatchEvent(new CustomEvent(" + jsString("veltro-relay-ready:" + name) + "));})();";
}

// Runs in the page's world of the top frame: gives the page the usual
// window.webkit.messageHandlers.<name>.postMessage, which hands the message to the relay. The
// message goes as its JSON text, made here in the page's own world, each long string in an
// event of its own before it: strings cross to the relay's world and to the shell in one piece,
// where a structure would be copied part by part twice. A value JSON cannot write (a cycle)
// throws to the page. WebKit runs the document-start scripts of each world in an order of its
// own, so the relay may not be listening yet when a page's first script posts: messages wait,
// in order, until the relay has said it is there (at once when it already was). The channel's
// `bytes(buffer)` wraps an ArrayBuffer or a view: wrapped, its bytes reach the handler as data,
// taken when the message is posted.
std::string pageScript(const std::string& name) {
  // The page's entry point is an object of its own, held by the window for the document's
  // whole life: never a property added to the wrapper of WebKit's handler namespace, which
  // the garbage collector may drop and make anew without it. Each channel layers a new object
  // over the one before, so the earlier channels stay reachable through its prototype.
  return "(function(){var dispatch=EventTarget.prototype.dispatchEvent,Custom=CustomEvent,target=window;" +
         splitBindings() + "var split=" + splitFunctionSource() + ";"
         "var type=" + jsString("veltro-script-message:" + name) + ",partType=" + jsString("veltro-script-part:" + name) +
         ",name=" + jsString(name) + ";"
         "var ready=false,waiting=[],listen=EventTarget.prototype.addEventListener;"
         // One event of each kind for the document's life, given its detail anew for each
         // dispatch: no script but the relay's runs while it is dispatched, so it is never
         // dispatched twice at once, and the page never gets hold of it.
         "var init=Custom.prototype.initCustomEvent,apply=Reflect.apply,"
         "messageEvent=new Custom(type),partEvent=new Custom(partType);"
         "function fire(event,kind,detail){apply(init,event,[kind,false,false,detail]);"
         "apply(dispatch,target,[event]);}"
         "function send(text){if(typeof text!=='string'&&text!==null&&typeof text==='object'){"
         "for(var i=1;i<text.length;i++)fire(partEvent,partType,text[i]);text=text[0];}"
         "fire(messageEvent,type,text);}"
         "listen.call(target," + jsString("veltro-relay-ready:" + name) +
         ",function(event){event.stopImmediatePropagation();if(ready)return;ready=true;"
         "var early=waiting;waiting=[];for(var i=0;i<early.length;i++)send(early[i]);},true);"
         "dispatch.call(target,new Custom(" + jsString("veltro-relay-ping:" + name) + "));"
         "var channel=Object.freeze({postMessage:function(body){var text=split(body);"
         "if(text===undefined)text=body;if(ready)send(text);else waiting.push(text);},bytes:wrapBytes});"
         "var existing=window.webkit&&window.webkit.messageHandlers;"
         "var handlers=Object.create(existing||Object.prototype);"
         "Object.defineProperty(handlers,name,{value:channel,enumerable:true});"
         "try{Object.defineProperty(window,'webkit',{value:Object.freeze({messageHandlers:handlers}),"
         "configurable:true,writable:true});if(window.webkit.messageHandlers===handlers)return;}catch(e){}"
         "if(existing){try{Object.defineProperty(existing,name,{value:channel,enumerable:true});}catch(e){}}})();";
}

const std::string& documentEventNonce() {
  static const std::string nonce = std::to_string(g_random_int()) + "-" + std::to_string(g_random_int());
  return nonce;
}

std::string documentScript() {
  std::string script = kGtkDocumentScript;
  replaceAll(script, "VELTRO_DOCUMENT_HANDLER", kDocumentHandler);
  replaceAll(script, "VELTRO_DOCUMENT_NONCE", documentEventNonce());
  return script;
}

std::string documentCheckScript() {
  std::string script = kGtkDocumentCheckScript;
  replaceAll(script, "VELTRO_DOCUMENT_NONCE", documentEventNonce());
  replaceAll(script, "VELTRO_DOCUMENT_CHECK", WebView::kDocumentCheckFunction);
  return script;
}

// Anything but an array did not come from the relay, and is refused.
RelayedMessage relayedFromRaw(const RawArray& message) {
  RelayedMessage relayed;
  if (!message.array) {
    relayed.refused = true;
    return relayed;
  }
  if (auto href = utf8FromRawElement(message, 0)) relayed.pageURL = std::move(*href);
  JSValueRef reason = JSObjectGetPropertyAtIndex(message.context, message.array, 2, nullptr);
  relayed.refused = reason && !JSValueIsUndefined(message.context, reason);
  if (relayed.refused && JSValueIsString(message.context, reason)) relayed.tooLarge = utf8FromRawElement(message, 2) == "size";
  if (auto token = utf8FromRawElement(message, 3)) relayed.document = std::move(*token);
  return relayed;
}

}  // namespace platform::webkit
