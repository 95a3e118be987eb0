// Logs one line at every level through the Logger plugin (the shell's console shows them) and
// shows the application information the ApplicationInfo plugin gives.
(function () {
  'use strict';

  function exec(service, action, args, done) {
    harbor.require('harbor/exec')(function (answer) { done(true, answer); },
                                  function (error) { done(false, error); },
                                  service, action, args);
  }

  function show(list, label, ok, answer) {
    var item = document.createElement('li');
    item.textContent = label + ': ' + (ok ? 'ok' : 'failed') +
        (answer === undefined || answer === null ? '' : ' (' + JSON.stringify(answer) + ')');
    item.className = ok ? 'ok' : 'failed';
    list.appendChild(item);
  }

  document.addEventListener('deviceready', function () {
    var logs = document.getElementById('log-calls');
    var module = 'ExamplePage';
    var legacy = ['logVerbose', 'logDebug', 'logInfo', 'logWarning'];
    legacy.forEach(function (action) {
      exec('Logger', action, [action + ' from the example page', module],
           show.bind(null, logs, action));
    });
    exec('Logger', 'logError',
         ['logError from the example page', module, { screen: 'index', attempt: 1 }, 'at example (logging.js)'],
         show.bind(null, logs, 'logError'));

    var levels = ['v2LogTrace', 'v2LogDebug', 'v2LogInfo', 'v2LogWarning', 'v2LogError'];
    levels.forEach(function (action) {
      var record = {
        message: action + ' from the example page',
        source: module,
        instant: new Date().toISOString(),
        attributes: { screen: 'index', ready: true }
      };
      if (action === 'v2LogError') record.stack = 'at example (logging.js)';
      exec('Logger', action, [record], show.bind(null, logs, action));
    });

    var info = document.getElementById('app-info');
    ['getPlatformVersion', 'getNativeShellVersion', 'getAppVersion', 'getAppVersionNumber',
     'getAppPackageIdentifier'].forEach(function (action) {
      exec('ApplicationInfo', action, [], show.bind(null, info, action));
    });
  });
})();
