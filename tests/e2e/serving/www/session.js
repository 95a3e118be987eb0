// The application signs in on its server; then a frame of another origin includes the
// application's answer as a script. Only the application's own requests carry its session.
(function () {
  'use strict';
  var found = {};

  function sleep(ms) {
    return new Promise(function (resolve) { setTimeout(resolve, ms); });
  }

  function answer(key) {
    var answered = new Promise(function (resolve) {
      window.addEventListener('message', function listener(event) {
        if (!event.data || !(key in event.data)) return;
        window.removeEventListener('message', listener);
        resolve(event.data[key]);
      });
    });
    return Promise.race([answered, sleep(5000).then(function () { return 'no answer'; })]);
  }

  // A frame that includes the application's answer as a script, without a referrer, at once and
  // again whenever the page asks.
  var me = new URL('api/me.js', location.href).href;
  var includer = '<script>function include() { window.me = undefined; var s = document.createElement("script");' +
    ' s.referrerPolicy = "no-referrer"; s.src = ' + JSON.stringify(me) + ';' +
    ' s.onload = s.onerror = function () { parent.postMessage({ framed: window.me === undefined ? "not run" : window.me }, "*"); };' +
    ' document.head.appendChild(s); }' +
    ' window.addEventListener("message", function (e) { if (e.data === "again") include(); }); include();<\/script>';

  function framed() {
    var answered = answer('framed');
    var frame = document.createElement('iframe');
    frame.src = 'data:text/html;charset=utf-8,' + encodeURIComponent(includer);
    document.body.appendChild(frame);
    return answered.then(function (result) { return { frame: frame, result: result }; });
  }

  function sandboxed() {
    var answered = answer('framed');
    var frame = document.createElement('iframe');
    frame.setAttribute('sandbox', 'allow-scripts');
    frame.srcdoc = includer;
    document.body.appendChild(frame);
    return answered;
  }

  window.bridgeReady.then(async function () {
    if (location.search.indexOf('sandboxed') >= 0) {
      await fetch('login');
      found.sandboxed = await sandboxed();
      found.ownAfterFrame = await (await fetch('api/me.js')).text();
      return;
    }
    await fetch('login');
    found.own = await (await fetch('api/me.js')).text();
    var frame = await framed();
    found.framed = frame.result;
    found.ownAfterFrame = await (await fetch('api/me.js')).text();
    // A link that answers 204: nothing is committed, the frame stays, and what the shell knows
    // of the page's frames stays as it was.
    window.location.href = new URLSearchParams(location.search).get('nocontent');
    await sleep(1500);
    var again = answer('framed');
    frame.frame.contentWindow.postMessage('again', '*');
    found.afterNoContent = await again;
    found.still = location.pathname;
  }).catch(function (error) {
    found.error = String(error);
  }).then(function () {
    harbor.require('harbor/exec')(null, null, 'Report', 'report', [found]);
  });
})();
