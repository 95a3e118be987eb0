// Reports where the page came from once the cache runs the version the server offered, and
// what a fetch under the same scheme gets.
(function () {
  'use strict';
  document.addEventListener('deviceready', function () {
    var exec = harbor.require('harbor/exec');
    var found = { deviceready: true, location: location.href, appValue: window.appValue };
    function report() {
      document.getElementById('state').textContent = JSON.stringify(found);
      exec(null, null, 'Report', 'report', [found]);
    }
    function poll(tries) {
      exec(function (version) {
        found.runningVersion = version;
        if (version === 'v1' || tries > 300) return report();
        setTimeout(function () { poll(tries + 1); }, 100);
      }, function (error) { found.seedError = error; report(); }, 'CacheSeed', 'runningVersion', []);
    }
    fetch('app.js').then(function (response) {
      found.fetchStatus = response.status;
      return response.text();
    }).then(function (text) {
      found.fetched = text;
      return fetch('app.js', { method: 'POST', body: 'x' });
    }).then(function (response) {
      found.postStatus = response.status;
    }).catch(function (error) {
      found.fetchError = String(error);
    }).then(function () { poll(0); });
  });
})();
