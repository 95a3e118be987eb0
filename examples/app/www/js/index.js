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
