// Shows the connection type the NetworkStatus plugin reports and every change after it: the
// plugin keeps the callback of the last request and answers on it again at each change.
(function () {
  'use strict';

  document.addEventListener('deviceready', function () {
    var current = document.getElementById('connection-type');
    var changes = document.getElementById('connection-changes');
    harbor.require('harbor/exec')(function (type) {
      current.textContent = type;
      var item = document.createElement('li');
      item.textContent = new Date().toLocaleTimeString() + ': ' + type;
      changes.appendChild(item);
    }, function (error) {
      current.textContent = 'failed: ' + JSON.stringify(error);
    }, 'NetworkStatus', 'getConnectionInfo', []);
  });
})();
