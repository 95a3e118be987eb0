// Runs the example application's file page and reports what it found, with what the page
// can still reach once it is done.
(function () {
  'use strict';
  document.addEventListener('fileexampledone', function (event) {
    var found = event.detail;
    var exec = harbor.require('harbor/exec');
    // Outside the root and in the read-only package, the page gets errors, not files.
    exec(function () { found.escaped = true; report(); }, function (code) { found.escapeRefused = code; report(); },
         'File', 'readAsText', ['hbrfile://localhost/persistent/%2e%2e/%2e%2e/%2e%2e/%2e%2e/etc/hostname', 'UTF-8', 0, -1]);
    function report() {
      exec(null, function (code) {
        found.bundleWriteRefused = code;
        exec(null, null, 'Report', 'report', [found]);
      }, 'File', 'write', ['hbrfile://localhost/bundle/www/index.html', 'changed', 0]);
    }
  });
})();
