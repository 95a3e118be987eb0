// A page that tries to cross the shell's boundary in every way it can from script, and
// reports what it got to the Report plugin.
(function () {
  'use strict';

  var found = {};

  var exec = window.e2e.exec;
  var call = window.e2e.call;

  function sleep(ms) {
    return new Promise(function (resolve) { setTimeout(resolve, ms); });
  }

  async function fetched(url, options) {
    try {
      var response = await fetch(url, options || {});
      var body = await response.text();
      return {
        status: response.status,
        type: response.headers.get('Content-Type'),
        range: response.headers.get('Content-Range'),
        body: body.length > 64 ? 'length ' + body.length : body
      };
    } catch (e) {
      return { error: String(e) };
    }
  }

  // A sandboxed frame has an origin of its own ("null"): it must not see the bridge, nor
  // reach it through its parent.
  async function frames() {
    var answered = new Promise(function (resolve) {
      window.addEventListener('message', function (event) {
        if (event.data && 'sawBridge' in event.data) resolve(event.data);
      });
    });
    var frame = document.createElement('iframe');
    frame.setAttribute('sandbox', 'allow-scripts');
    var source = '<script>' +
      'var saw = !!(window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.harbor);' +
      'try { window.webkit.messageHandlers.harbor.postMessage([null, "FromSandboxedFrame", "x", []]); } catch (e) {}' +
      'var parentError = "none";' +
      'try { parent.webkit.messageHandlers.harbor.postMessage([null, "FromFrameThroughParent", "x", []]); }' +
      ' catch (e) { parentError = String(e.name); }' +
      'parent.postMessage({ sawBridge: saw, parentError: parentError }, "*");' +
      '<\/script>';
    frame.src = 'data:text/html;charset=utf-8,' + encodeURIComponent(source);
    document.body.appendChild(frame);
    found.sandboxedFrame = await Promise.race([answered, sleep(3000).then(function () { return 'no answer'; })]);
    // The main frame itself reaches the bridge: the same call from it is seen.
    exec(null, null, 'FromMainFrame', 'x', []);
  }

  async function files() {
    var root = (await call('Report', 'environment', ['DATA_ROOT'])).args[0];
    var base = window.HBR_ASSETS_URL;
    var prefix = base + '/_app_file_';
    var planted = { websiteData: 'Library/WebKit', webkitCache: 'Library/Caches/WebKit', cookies: 'Library/Cookies',
                    defaults: 'Library/Preferences', document: 'Documents' };
    for (var key in planted) found[key] = await fetched(prefix + root + '/' + planted[key] + '/planted.txt');
    found.fifo = await fetched(base + '/pipe.txt');
    found.range = await fetched(base + '/clip.mp3', { headers: { Range: 'bytes=2-5' } });
    found.head = await fetched(base + '/clip.mp3', { method: 'HEAD' });
    found.post = await fetched(base + '/clip.mp3', { method: 'POST', body: 'x' });
    try {
      var big = await fetch(base + '/big.bin');
      found.bigLength = (await big.arrayBuffer()).byteLength;
    } catch (e) {
      found.bigLength = String(e);
    }
  }

  // Intents allowed by "config.xml" still need the user's own gesture: a hidden frame and a
  // location loop get nothing launched.
  async function intents() {
    var hidden = document.createElement('iframe');
    hidden.style.display = 'none';
    hidden.src = 'tel:5550100';
    document.body.appendChild(hidden);
    for (var i = 1; i <= 5; i++) {
      try { window.location.href = 'tel:555010' + i; } catch (e) {}
      await sleep(50);
    }
    await sleep(300);
    found.afterIntents = window.location.href;
  }

  // A frame of another origin includes the page's own files as scripts: a document of
  // Documents through the reserved prefix and through "hbrfile". Neither runs.
  async function includes() {
    var root = (await call('Report', 'environment', ['DATA_ROOT'])).args[0];
    var answered = new Promise(function (resolve) {
      window.addEventListener('message', function (event) {
        if (event.data && 'includes' in event.data) resolve(event.data.includes);
      });
    });
    var sources = [window.HBR_ASSETS_URL + '/_app_file_' + root + '/Documents/planted.js',
                   'hbrfile://localhost/persistent/planted.js'];
    var source = '<script>' +
      'function load(src) { return new Promise(function (resolve) { var s = document.createElement("script");' +
      ' s.src = src; s.onload = function () { resolve(window.planted ? "ran" : "loaded"); };' +
      ' s.onerror = function () { resolve("refused"); }; document.head.appendChild(s); }); }' +
      'Promise.all(' + JSON.stringify(sources) + '.map(load)).then(function (v) {' +
      ' parent.postMessage({ includes: v }, "*"); });' +
      '<\/script>';
    var frame = document.createElement('iframe');
    frame.src = 'data:text/html;charset=utf-8,' + encodeURIComponent(source);
    document.body.appendChild(frame);
    found.foreignIncludes = await Promise.race([answered, sleep(5000).then(function () { return 'no answer'; })]);
  }

  async function run() {
    await frames();
    await includes();
    await files();
    await intents();
  }

  document.addEventListener('deviceready', function () {
    run().catch(function (e) {
      found.exception = String(e);
    }).then(function () {
      document.getElementById('state').textContent = 'done';
      exec(null, null, 'Report', 'report', [found]);
    });
  });
})();
