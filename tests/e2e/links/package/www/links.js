// Reports what the package's links give the page: under a scheme the shell answers, what a fetch
// of each gets; from file URLs, whether a script that a link inside the package names runs.
(function () {
  'use strict';
  document.addEventListener('deviceready', function () {
    var found = { location: location.href };
    function report() {
      document.getElementById('state').textContent = JSON.stringify(found);
      harbor.require('harbor/exec')(null, null, 'Report', 'report', [found]);
    }
    if (location.protocol === 'file:') {
      var script = document.createElement('script');
      script.src = 'inside.js';
      script.onload = function () { found.insideScript = window.insideValue || 'no value'; report(); };
      script.onerror = function () { found.insideScript = 'error'; report(); };
      document.body.appendChild(script);
      return;
    }
    var names = ['steal-small.txt', 'steal-big.txt', 'inside.txt', 'inside-abs.txt', 'assets/deep.txt'];
    (async function () {
      for (var i = 0; i < names.length; ++i) {
        try {
          var response = await fetch(names[i]);
          var text = await response.text();
          found[names[i]] = response.status + ' ' + text.length + ' ' + text.slice(0, 12);
        } catch (error) {
          found[names[i]] = 'failed';
        }
      }
    })().then(report);
  });
})();
