// The bare program's side of the benchmark channel: one script message per call, answered
// by one evaluation of __answer([id, args]).
(function () {
  'use strict';

  var pending = new Map();
  var nextId = 1;
  var handlers = window.webkit.messageHandlers;

  var measured = null;
  window.__measured = function () {
    var done = measured;
    measured = null;
    done();
  };

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
    measure: function (name, done) {
      measured = done;
      handlers.memory.postMessage(name);
    },
    report: function (results) { handlers.done.postMessage(results); }
  };
})();
