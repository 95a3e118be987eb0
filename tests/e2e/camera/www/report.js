// Runs the example application's camera page and reports what it found.
(function () {
  'use strict';
  document.addEventListener('cameraexampledone', function (event) {
    harbor.require('harbor/exec')(null, null, 'Report', 'report', [event.detail]);
  });
})();
