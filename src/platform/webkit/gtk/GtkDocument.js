// Runs at the start of every document of the page, in every frame, in the shell's own script
// world, which no script of the page can reach: the document tells the shell what it is. Its
// origin is the one the web engine gave it ("null" for a document without an origin of its
// own: a sandboxed frame, a data: URL), read where no page script can change what it answers.
// A frame of another origin counts from its start on, before any script of its own could ask
// the shell for anything. The top document also gets a token of its own, which it hands to the
// check that the shell's evaluations run behind (GtkDocumentCheck.js) and which every message
// it posts carries: what the shell sends back names the document it is meant for.
(function () {
  'use strict';

  var handler = window.webkit.messageHandlers['VELTRO_DOCUMENT_HANDLER'];
  var nonce = 'VELTRO_DOCUMENT_NONCE';
  var topFrame = window === window.top;
  var token = '';

  if (topFrame) {
    var words = new Uint32Array(4);
    crypto.getRandomValues(words);
    for (var i = 0; i < words.length; i++) token += (i ? '-' : '') + words[i].toString(36);
    // For the relays of the message channels, which run in this world too.
    Object.defineProperty(window, '__veltroDocumentToken', { value: token });
    var give = function () {
      window.dispatchEvent(new CustomEvent('veltro-document-token:' + nonce, { detail: token }));
    };
    // The check in the page's world may start after this script: it asks, and gets the token.
    window.addEventListener('veltro-document-ping:' + nonce, function (event) {
      event.stopImmediatePropagation();
      give();
    }, true);
    give();
  }

  function describe() {
    var href = String(location.href);
    handler.postMessage([topFrame, String(self.origin), href.length > 4096 ? href.slice(0, 4096) : href, token]);
  }
  describe();
  // A document the back-forward cache brings back runs no start scripts: it describes itself
  // again as it is shown.
  window.addEventListener('pageshow', function (event) {
    if (event.persisted) describe();
  }, true);
})();
