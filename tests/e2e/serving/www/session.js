// The application signs in on its server; then a frame of another origin includes the
// application's answer as a script. Only the application's own requests carry its session.
(function () {
  'use strict';
  var found = {};

  function framed() {
    var answered = new Promise(function (resolve) {
      window.addEventListener('message', function (event) {
        if (event.data && 'framed' in event.data) resolve(event.data.framed);
      });
    });
    var source = '<script src="' + new URL('api/me.js', location.href).href + '"><\/script>' +
      '<script>parent.postMessage({ framed: window.me === undefined ? "not run" : window.me }, "*");<\/script>';
    var frame = document.createElement('iframe');
    frame.src = 'data:text/html;charset=utf-8,' + encodeURIComponent(source);
    document.body.appendChild(frame);
    return Promise.race([answered, new Promise(function (resolve) { setTimeout(function () { resolve('no answer'); }, 5000); })]);
  }

  window.bridgeReady.then(async function () {
    await fetch('login');
    found.own = await (await fetch('api/me.js')).text();
    found.framed = await framed();
    found.ownAfterFrame = await (await fetch('api/me.js')).text();
  }).catch(function (error) {
    found.error = String(error);
  }).then(function () {
    harbor.require('harbor/exec')(null, null, 'Report', 'report', [found]);
  });
})();
