// The packaged version: it hears the cache on its channel while it caches the version the
// server offers in "next.json", writes what it heard to the console, and reloads once the
// download has finished and been swapped in.
(function () {
  'use strict';
  document.addEventListener('deviceready', function () {
    var exec = harbor.require('harbor/exec');
    var heard = { version: window.appVersion, location: location.href, statuses: [], progress: [], errors: [] };
    function say(text) { exec(null, null, 'Console', 'logLevel', ['LOG', text]); }
    exec.listen('VLCacheStaticChannel', function (event) {
      var content = event.Content || {};
      if (event.Task === 'UpdateStatus') heard.statuses.push(content.Status);
      else if (content.Event === 'onprogress') heard.progress.push(content.Progress.Loaded + '/' + content.Progress.Total);
      else if (content.Event === 'onerror') heard.errors.push(content.Error.Message);
      else if (content.Event === 'onfinish') {
        say('E2E-FIRST-PAGE ' + JSON.stringify(heard));
        location.reload();
      }
    });
    exec(null, null, 'Cache', 'deviceready', [location.host, 'shop']);
    fetch('next.json').then(function (response) { return response.json(); }).then(function (next) {
      exec(null, null, 'Cache', 'startCaching', [location.host, 'shop', next.version, next.resources, next.urlMaps]);
    }).catch(function (error) {
      heard.fetchError = String(error);
      exec(null, null, 'Report', 'report', [heard]);
    });
  });
})();
