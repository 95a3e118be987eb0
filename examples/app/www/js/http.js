// Sends a GET and a POST through the native HTTP plugin when asked. Each request is named by
// its own id and answered with one payload: {requestId, data, error}.
(function () {
  'use strict';
  var server = 'https://httpbin.org';
  var count = 0;

  function send(method, path, body) {
    var requestId = 'example-' + (++count);
    return new Promise(function (resolve) {
      harbor.require('harbor/exec')(resolve, resolve, 'Http', 'sendRequest',
        [requestId, server + path, method, { Accept: 'application/json' }, 10000, body, true]);
    });
  }

  function show(label, payload) {
    var item = document.createElement('li');
    if (payload.error) {
      item.textContent = label + ': failed (' + payload.error.errorCode + ') ' + payload.error.errorMessage;
      item.className = 'failed';
    } else {
      var meta = payload.data.metadata;
      item.textContent = label + ': ' + meta.status + ' ' + meta.statusText + ', ' +
        (payload.data.chunkData || '').length + ' characters';
      item.className = 'ok';
    }
    document.getElementById('http-results').appendChild(item);
  }

  document.addEventListener('deviceready', function () {
    document.getElementById('http-send').addEventListener('click', function () {
      send('GET', '/get').then(function (payload) {
        show('GET /get', payload);
        return send('POST', '/post', { greeting: 'hello from the Veltro shell' });
      }).then(function (payload) {
        show('POST /post', payload);
      });
    });
  });
})();
