// Runs at the start of every top document, in the page's own world, before any script of the
// page: defines the check that every text the shell evaluates for one document runs behind.
// The document's token comes once, from the shell's own world (GtkDocument.js); a text meant for
// another document (one shown before, or the application's page when another page has taken
// its place) names another token and runs nothing here. The check is a property of the window
// that can be neither replaced nor deleted, and it keeps the token where no script reaches it.
(function () {
  'use strict';

  var token = null;
  var nonce = 'VELTRO_DOCUMENT_NONCE';
  var listen = EventTarget.prototype.addEventListener;
  var dispatch = EventTarget.prototype.dispatchEvent;

  listen.call(window, 'veltro-document-token:' + nonce, function (event) {
    event.stopImmediatePropagation();
    var given = event.detail;
    if (token === null && typeof given === 'string' && given) token = given;
  }, true);
  Object.defineProperty(window, 'VELTRO_DOCUMENT_CHECK', {
    value: function (candidate) {
      return token !== null && candidate === token;
    }
  });
  dispatch.call(window, new CustomEvent('veltro-document-ping:' + nonce));
})();
