// The "veltro" engine: a frame from a server that asks for Basic credentials, which the test
// plugin gives; synchronous evaluations, one of them past its time limit.
(function () {
  'use strict';

  var exec = e2e.exec;
  var call = e2e.call;

  function sleep(ms) {
    return new Promise(function (resolve) { setTimeout(resolve, ms); });
  }

  async function run() {
    var found = {};
    var certificate = (await call('Report', 'environment', ['SERVER_CERTIFICATE'])).args[0];
    var protectedURL = (await call('Report', 'environment', ['PROTECTED_URL'])).args[0];
    found.trusted = (await call('Challenges', 'trustCertificate', [certificate, '127.0.0.1'])).args[0];
    var frame = document.createElement('iframe');
    var loaded = new Promise(function (resolve) { frame.onload = resolve; });
    frame.src = protectedURL;
    document.body.appendChild(frame);
    await Promise.race([loaded, sleep(15000)]);
    found.challenges = (await call('Challenges', 'challenges', [])).args[0];

    found.title = (await call('Challenges', 'evaluate', ['document.title', 5])).args[0];
    found.slow = (await call('Challenges', 'evaluate',
      ['(function () { var t = Date.now(); while (Date.now() - t < 1500) {} return "late"; })()', 0.3])).args[0];
    found.after = (await call('Challenges', 'evaluate', ['6 * 7', 5])).args[0];
    found.background = getComputedStyle(document.body).backgroundColor;
    return found;
  }

  // 3,000 calls of the plugin that evaluates synchronously, posted in one burst: each is
  // answered (or refused) once the one before has returned, never inside it.
  async function burst() {
    var count = 3000, answered = 0, failed = 0, texts = {};
    await new Promise(function (resolve) {
      function done() {
        if (answered + failed === count) resolve();
      }
      for (var i = 0; i < count; i++) {
        exec(function (found) {
          answered++;
          texts[String(found && found.text)] = (texts[String(found && found.text)] || 0) + 1;
          done();
        }, function () {
          failed++;
          done();
        }, 'Challenges', 'evaluate', ['1 + ' + (i % 2), 5]);
      }
    });
    return { answered: answered, failed: failed, texts: texts };
  }

  document.addEventListener('deviceready', function () {
    call('Report', 'environment', ['MODE']).then(function (mode) {
      return mode.args[0] === 'burst' ? burst() : run();
    }).catch(function (e) {
      return { exception: String(e && e.stack || e) };
    }).then(function (found) {
      exec(null, null, 'Report', 'report', [found]);
    });
  });
})();
