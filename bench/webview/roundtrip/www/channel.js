// The shell's side of the benchmark channel: the bridge, as every page uses it. A failure
// answers too; the benchmark checks what came back.
(function () {
  'use strict';

  function exec(success, fail, service, action, args) {
    harbor.require('harbor/exec')(success, fail, service, action, args);
  }

  window.benchChannel = {
    call: function (args, done) { exec(done, done, 'Echo', 'echo', args); },
    callBinary: function (buffer, done) { exec(done, done, 'Echo', 'echoArrayBuffer', [buffer]); },
    ready: function (start) { document.addEventListener('deviceready', start); },
    measure: function (name, done) { exec(done, done, 'Report', 'memory', [name]); },
    report: function (results) { exec(null, null, 'Report', 'report', [results]); }
  };
})();
