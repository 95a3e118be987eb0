// The example page: once the bridge is up it calls the plugins of the package and shows
// what each answered.
(function () {
  'use strict';

  var rows = document.querySelector('#calls tbody');

  function show(call, answer, ok) {
    var row = document.createElement('tr');
    var name = document.createElement('td');
    var value = document.createElement('td');
    name.textContent = call;
    value.textContent = typeof answer === 'string' ? answer : JSON.stringify(answer);
    value.className = ok ? 'ok' : 'failed';
    row.appendChild(name);
    row.appendChild(value);
    rows.appendChild(row);
  }

  function call(service, action, args, label) {
    var exec = harbor.require('harbor/exec');
    exec(function (answer) { show(label, answer === undefined ? '(no message)' : answer, true); },
         function (error) { show(label, 'failed: ' + JSON.stringify(error), false); },
         service, action, args);
  }

  document.addEventListener('deviceready', function () {
    var bridge = document.getElementById('bridge');
    bridge.textContent = 'Bridge ready';
    bridge.className = '';

    var exec = harbor.require('harbor/exec');
    exec(null, null, 'Console', 'logLevel', ['LOG', 'Veltro example page is ready']);
    call('NetworkStatus', 'getConnectionInfo', [], 'NetworkStatus.getConnectionInfo');
    call('Device', 'getDeviceInfo', [], 'Device.getDeviceInfo');
    call('StatusBar', 'getStatusBarHeight', [], 'StatusBar.getStatusBarHeight');

    // Visibility changes and taps on the status bar arrive on the callback of "_ready".
    var taps = 0;
    exec(function (event) {
      if (typeof event === 'boolean') {
        document.getElementById('status-bar-visible').textContent = event ? 'yes' : 'no';
      } else if (event && event.type === 'tap') {
        document.getElementById('status-bar-taps').textContent = String(++taps);
      }
    }, null, 'StatusBar', '_ready', []);
  });

  var statusBarShown = true;
  document.getElementById('status-bar-toggle').addEventListener('click', function (event) {
    statusBarShown = !statusBarShown;
    harbor.require('harbor/exec')(null, null, 'StatusBar', statusBarShown ? 'show' : 'hide', []);
    event.target.textContent = statusBarShown ? 'Hide the status bar' : 'Show the status bar';
  });

  document.getElementById('back-forward').addEventListener('click', function () {
    harbor.require('harbor/exec')(null, null, 'HBRWebViewEngine', 'allowsBackForwardNavigationGestures', [1]);
    show('HBRWebViewEngine.allowsBackForwardNavigationGestures', 'sent (no answer expected)', true);
  });

  ['resume', 'active', 'pause', 'resign'].forEach(function (name) {
    document.addEventListener(name, function () {
      harbor.require('harbor/exec')(null, null, 'Console', 'logLevel', ['LOG', 'document event: ' + name]);
    });
  });
})();
