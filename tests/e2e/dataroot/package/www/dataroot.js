// A hostile page that goes for the shell's own state through the file and HTTP plugins, and
// for what another program planted in the data root; it reports what it got.
document.addEventListener('deviceready', function () {
  'use strict';
  var found = {};
  var call = e2e.call;

  function root(path) { return 'hbrfile://localhost/root/' + path; }
  function docs(path) { return 'hbrfile://localhost/persistent/' + path; }
  // What came back: the message of an answer, the error code of a failure.
  function outcome(answer) { return answer.ok ? { ok: answer.args[0] } : { error: answer.args[0] }; }

  function loads(src) {
    return new Promise(function (resolve) {
      var img = new Image();
      img.onload = function () { resolve('loaded'); };
      img.onerror = function () { resolve('refused'); };
      img.src = src;
    });
  }

  (async function () {
    // The shell's state through "root" and the web view.
    found.cookies = outcome(await call('File', 'readAsText', [root('Library/Cookies/Cookies.txt'), 'UTF-8', 0, -1]));
    found.webkitWrite = outcome(await call('File', 'write', [root('Library/WebKit/planted.txt'), 'owned', 0]));
    var entries = await call('File', 'readEntries', [root('')]);
    found.rootEntries = entries.ok ? entries.args[0].map(function (e) { return e.name; }).sort() : entries.args;
    found.cachedPicture = await loads(root('Library/Caches/WebKit/secret.png'));
    found.ownPicture = await loads(root('Documents/own.png'));

    // The roots of the other file systems.
    found.removeDocuments = outcome(await call('File', 'removeRecursively', [root('Documents')]));
    found.moveNoCloud = outcome(await call('File', 'moveTo', [root('Library/NoCloud'), root('tmp'), 'x']));
    found.afterwards = outcome(await call('File', 'write', [docs('after.txt'), 'after', 0]));

    // A server's redirect into the local files.
    var server = (await call('Report', 'environment', ['HTTP_URL'])).args[0];
    var jumped = await call('Http', 'sendRequest', ['jump', server + '/jump', 'GET', {}, 5000, null, true]);
    found.redirect = jumped.args[0];

    // Planted: a FIFO (more calls than there are shared workers), a link that makes a folder
    // its own child, and a sparse file far larger than memory.
    var waits = [];
    for (var i = 0; i < 12; i++) {
      waits.push(call('File', 'copyTo', [docs('pipe.txt'), docs(''), 'pipe-' + i]));
      waits.push(call('File', 'readAsText', [docs('pipe.txt'), 'UTF-8', 0, -1]));
    }
    found.fifoAnswers = (await Promise.all(waits)).filter(function (a) { return !a.ok; }).length;
    found.afterFifo = outcome(await call('File', 'readAsText', [docs('plain.txt'), 'UTF-8', 0, -1]));
    found.intoItself = outcome(await call('File', 'copyTo', [docs('a'), docs('into-a'), 'b']));
    await call('File', 'write', [docs('sparse.bin'), 'a', 0]);
    found.sparseWrite = outcome(await call('File', 'write', [docs('sparse.bin'), 'x', Math.pow(2, 40)]));
    found.sparseRead = outcome(await call('File', 'readAsArrayBuffer', [docs('sparse.bin'), 0, -1]));
  })().catch(function (error) {
    found.exception = String(error);
  }).then(function () {
    e2e.exec(null, null, 'Report', 'report', [found]);
  });
});
