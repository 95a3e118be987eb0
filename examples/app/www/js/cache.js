// Shows what the native cache tells the page on its fixed channel ("VLCacheStaticChannel"):
// the cache status, the progress of a download, its errors and its end. "Check for update"
// asks the cache for the version the packaged manifest names, as the web application's loader
// does with the manifest of a new version; the shell downloads it from the platform server
// ("DefaultHostname") and swaps it in.
(function () {
  'use strict';

  // The platform server and application path of config.xml ("DefaultHostname",
  // "DefaultApplicationURL").
  var HOSTNAME = 'localhost';
  var APPLICATION = 'example';
  var STATUS = ['no application', 'idle', 'unused', 'downloading', 'downloaded, swapping'];

  function text(id, value) { document.getElementById(id).textContent = value; }
  function note(message) {
    var item = document.createElement('li');
    item.textContent = new Date().toLocaleTimeString() + ': ' + message;
    document.getElementById('cache-events').appendChild(item);
  }

  function onEvent(event) {
    var content = (event && event.Content) || {};
    if (event.Task === 'UpdateStatus') {
      text('cache-status', STATUS[content.Status] || String(content.Status));
      note('status ' + content.Status);
    } else if (event.Task === 'Exception') {
      note('exception: ' + content.Error);
    } else if (content.Event === 'onprogress') {
      var bar = document.getElementById('cache-progress');
      bar.max = content.Progress.Total;
      bar.value = content.Progress.Loaded;
      text('cache-progress-text', content.Progress.Loaded + ' of ' + content.Progress.Total);
    } else if (content.Event === 'onerror') {
      note('error: ' + content.Error.Message);
    } else if (content.Event === 'onfinish') {
      note('finished');
    }
  }

  // The lists the cache takes, made from a manifest as the shell's manifest parser makes them.
  function listsOf(manifest) {
    var m = manifest.manifest || {};
    var versions = m.urlVersions || {};
    var resources = Object.keys(versions).map(function (url) { return url + versions[url]; });
    function mapped(mappings) {
      var out = {};
      Object.keys(mappings || {}).forEach(function (path) {
        var url = mappings[path];
        if (url.indexOf('?') >= 0) out[path] = url;
        else if (versions[url] !== undefined) out[path] = url + versions[url];
      });
      return out;
    }
    return [m.versionToken, resources, mapped(m.urlMappings), mapped(m.urlMappingsNoCache)];
  }

  function checkForUpdate() {
    var exec = harbor.require('harbor/exec');
    exec(function (manifest) {
      var lists = listsOf(manifest);
      note('asking for version ' + lists[0]);
      // The cache answers only on its channel.
      exec(null, null, 'Cache', 'startCaching', [HOSTNAME, APPLICATION].concat(lists));
    }, function (error) {
      note('no manifest: ' + JSON.stringify(error));
    }, 'PreBundle', 'getManifest', []);
  }

  document.addEventListener('deviceready', function () {
    var exec = harbor.require('harbor/exec');
    exec.listen('VLCacheStaticChannel', onEvent, function (error) { note('channel error: ' + JSON.stringify(error)); });
    exec(null, null, 'Cache', 'deviceready', [HOSTNAME, APPLICATION]);
    document.getElementById('cache-check').addEventListener('click', checkForUpdate);
  });
})();
