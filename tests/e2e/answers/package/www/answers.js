// Calls that used to go unanswered or freeze the shell, each with the time its answer took.
// With MODE "screenshot" the page instead paints itself green and ends its web content
// process once, while the shell waits to take its picture.
(function () {
  'use strict';

  var exec = e2e.exec;
  var call = e2e.call;
  var ENDLESS = 'WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c';

  function timed(promise) {
    var started = Date.now();
    return promise.then(function (answer) {
      answer.ms = Date.now() - started;
      return answer;
    });
  }

  function sql(name, text) {
    return call('SQLitePlugin', 'executeSql', [{ dbargs: { dbname: name }, ex: { sql: text, params: [] } }]);
  }

  // An endless statement, its database deleted, another opened, eight more endless ones and
  // their deletes, then a file read and the device information: everything answers.
  async function databases() {
    await call('SQLitePlugin', 'open', [{ name: 'loop.db' }]);
    var pending = { endless: timed(sql('loop.db', ENDLESS)) };
    pending.deleted = timed(call('SQLitePlugin', 'delete', [{ path: 'loop.db' }]));
    pending.opened = timed(call('SQLitePlugin', 'open', [{ name: 'other.db' }]));
    var busy = [];
    for (var i = 0; i < 8; i++) {
      var name = 'busy' + i + '.db';
      await call('SQLitePlugin', 'open', [{ name: name }]);
      busy.push(timed(sql(name, ENDLESS)));
      busy.push(timed(call('SQLitePlugin', 'delete', [{ path: name }])));
    }
    pending.file = timed(call('File', 'readAsText', ['hbrfile://localhost/bundle/www/index.html', 'UTF-8', 0, 15]));
    pending.device = timed(call('Device', 'getDeviceInfo', []));
    var found = {};
    for (var key in pending) found[key] = await pending[key];
    found.busy = await Promise.all(busy);
    found.fts3 = await sql('other.db', "SELECT hex(fts3_tokenizer('simple')) AS address");
    return found;
  }

  // A picture taken with editing allowed, where no one is asked: the request's target size
  // decides the part kept.
  async function editedPicture() {
    var taken = await call('Camera', 'takePicture', [{
      quality: 80, targetWidth: 60, targetHeight: 30, encodingType: 1, sourceType: 1, allowEdit: true,
      correctOrientation: false, saveToPhotoAlbum: false, cameraDirection: 0
    }]);
    if (!taken.ok) return taken;
    var entry = (await call('File', 'resolveLocalFileSystemURI', [taken.args[0]])).args[0];
    var picture = new Image();
    return await new Promise(function (resolve) {
      picture.onload = function () { resolve(picture.naturalWidth + ' x ' + picture.naturalHeight); };
      picture.onerror = function () { resolve('not loaded'); };
      picture.src = 'hbrfile://localhost/' + entry.filesystemName + entry.fullPath;
    });
  }

  async function run() {
    var found = {};
    found.databases = await databases();
    found.editedPicture = await editedPicture();
    var port = (await call('Report', 'environment', ['UDP_PORT'])).args[0];
    found.playVideo = await timed(call('Camera', 'playVideo', [{ videoURI: 'udp://127.0.0.1:' + port }]));
    var endpoint = (await call('Report', 'environment', ['AUTH_ENDPOINT'])).args[0];
    var callback = (await call('Report', 'environment', ['AUTH_CALLBACK'])).args[0];
    found.auth = await call('Auth', 'startFlow', [endpoint, callback]);
    return found;
  }

  document.addEventListener('deviceready', function () {
    call('Report', 'environment', ['MODE']).then(function (mode) {
      if (mode.args[0] === 'screenshot') {
        document.body.style.background = '#00a000';
        document.getElementById('state').textContent = '';
        setTimeout(function () { call('WebProcess', 'endWebProcessOnce', []); }, 700);
        return;
      }
      run().catch(function (e) {
        return { exception: String(e && e.stack || e) };
      }).then(function (found) {
        exec(null, null, 'Report', 'report', [found]);
      });
    });
  });
})();
