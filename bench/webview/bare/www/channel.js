// The bare program's side of the benchmark channel: one script message per call, answered
// by one evaluation of __answer([id, args]).
(function () {
  'use strict';

  var pending = new Map();
  var nextId = 1;
  var handlers = window.webkit.messageHandlers;

  window.__answer = function (message) {
    var done = pending.get(message[0]);
    pending.delete(message[0]);
    done(message[1]);
  };

  window.benchChannel = {
    call: function (args, done) {
      var id = nextId++;
      pending.set(id, done);
      handlers.bench.postMessage([id, args]);
    },
    // Bare WebKitGTK has no binary road of its own; its string figures are the baseline.
    callBinary: null,
    ready: function (start) {
      if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
      else setTimeout(start, 0);
    },
    report: function (results) { handlers.done.postMessage(results); }
  };
})();
