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
    (async function () {
      var got = await fetch('app.js');
      found.fetchStatus = got.status;
      found.fetched = await got.text();
      found.postStatus = (await fetch('app.js', { method: 'POST', body: 'x' })).status;
    })().catch(function (error) {
      found.fetchError = String(error);
    }).then(function () { poll(0); });
  });
})();
