// Calls the device, status bar and authentication plugins and reports what came back. The
// authentication endpoint and callback come from the test, through the report plugin.
(function () {
  'use strict';

  var found = { deviceready: false };

  var exec = e2e.exec;
  var call = e2e.call;

  function sleep(ms) {
    return new Promise(function (resolve) { setTimeout(resolve, ms); });
  }

  async function run() {
    found.device = (await call('Device', 'getDeviceInfo', [])).args[0];

    var events = [];
    exec(function (event) { events.push(event); }, null, 'StatusBar', '_ready', []);
    var frameChanges = 0;
    harbor.listen('StatusBarStaticChannel', function () { frameChanges++; }, null);
    found.height = (await call('StatusBar', 'getStatusBarHeight', [])).args[0];
    found.overlaying = (await call('StatusBar', 'isStatusBarOverlayingWebview', [])).args[0];
    await sleep(300);
    found.innerHeightBelowStrip = window.innerHeight;
    await call('StatusBar', 'hide', []);
    await sleep(300);
    found.innerHeightHidden = window.innerHeight;
    await call('StatusBar', 'show', []);
    await sleep(300);
    found.statusBarEvents = events;
    found.frameChanges = frameChanges;

    var endpoint = (await call('Report', 'environment', ['AUTH_ENDPOINT'])).args[0];
    var callback = (await call('Report', 'environment', ['AUTH_CALLBACK'])).args[0];
    found.auth = await call('Auth', 'startFlow', [endpoint, callback]);
  }

  document.addEventListener('deviceready', function () {
    found.deviceready = true;
    run().catch(function (e) {
      found.exception = String(e && e.stack || e);
    }).then(function () {
      exec(null, null, 'Report', 'report', [found]);
    });
  });
})();
