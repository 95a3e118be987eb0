// Runs the example application's file page and reports what it found.
(function () {
  'use strict';
  document.addEventListener('fileexampledone', function (event) {
    harbor.require('harbor/exec')(null, null, 'Report', 'report', [event.detail]);
  });
})();
