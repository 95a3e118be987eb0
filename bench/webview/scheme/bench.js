// Fetches every file of window.benchFiles, eight at a time, and reports the time it took,
// the bytes and the failures. The shell's page first waits until the cache runs the version
// that holds the files, then reports through its bridge; the bare program's page reports
// through its message handler. Both start their clocks at the same point: one second after
// their page's load event (and, for the shell, its readiness), so that neither program's
// start-up work overlaps the fetches.
(function () {
  'use strict';
  var parallel = 8;

  function run(done) {
    var files = window.benchFiles;
    var next = 0, active = 0, bytes = 0, failures = [];
    var start = performance.now();
    function fetchOne(url) {
      active++;
      fetch(url).then(function (response) {
        if (!response.ok) throw new Error(url + ': ' + response.status);
        return response.arrayBuffer();
      }).then(function (body) { bytes += body.byteLength; },
              function (error) { failures.push(String(error)); })
        .then(function () { active--; pump(); });
    }
    function pump() {
      if (next >= files.length && active === 0) {
        done({ ms: performance.now() - start, files: files.length, bytes: bytes, failed: failures.length,
               failures: failures.slice(0, 5) });
        return;
      }
      while (active < parallel && next < files.length) fetchOne(files[next++]);
    }
    pump();
  }

  // Calls `then` one second after the page's load event.
  function settled(then) {
    function later() { setTimeout(then, 1000); }
    if (document.readyState === 'complete') later(); else window.addEventListener('load', later);
  }

  if (window.harbor) {
    document.addEventListener('deviceready', function () {
      var exec = harbor.require('harbor/exec');
      function report(found) { exec(null, null, 'Report', 'report', [found]); }
      function poll(tries) {
        exec(function (version) {
          if (version === 'v1') return settled(function () { run(report); });
          if (tries > 1200) return report({ error: 'the cache never ran v1' });
          setTimeout(function () { poll(tries + 1); }, 100);
        }, function (error) { report({ error: String(error) }); }, 'CacheSeed', 'runningVersion', []);
      }
      poll(0);
    });
  } else {
    settled(function () { run(function (found) { window.webkit.messageHandlers.done.postMessage(found); }); });
  }
})();
