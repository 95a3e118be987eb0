// Echo calls through the bridge, measured in the page: one after the other (each sent from
// the previous answer) and all at once. The rates go to the Report plugin, which ends the shell.
(function () {
  'use strict';

  // The same count the bare program is given by webview_bench.sh.
  var rounds = 20000;

  function exec(success, fail, service, action, args) {
    harbor.require('harbor/exec')(success, fail, service, action, args);
  }

  function sequential(done) {
    var left = rounds;
    var started = performance.now();
    function next() {
      if (left-- === 0) return done(rounds * 1000 / (performance.now() - started));
      exec(next, null, 'Echo', 'echo', ['hello', 42]);
    }
    next();
  }

  function pipelined(done) {
    var answered = 0;
    var started = performance.now();
    function answer() {
      if (++answered === rounds) done(rounds * 1000 / (performance.now() - started));
    }
    for (var i = 0; i < rounds; i++) exec(answer, null, 'Echo', 'echo', ['hello', 42]);
  }

  document.addEventListener('deviceready', function () {
    sequential(function (sequentialRate) {
      pipelined(function (pipelinedRate) {
        document.getElementById('state').textContent = 'done';
        exec(null, null, 'Report', 'report', [{ sequential: sequentialRate, pipelined: pipelinedRate, rounds: rounds }]);
      });
    });
  });
})();
