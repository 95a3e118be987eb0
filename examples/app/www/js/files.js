// The file plugin at work: the page makes a folder in the persistent file system, writes,
// reads, lists, copies, moves and removes files there, and shows a picture it wrote through
// its "hbrfile" URL. What each step answered is listed on the page and kept in
// window.veltroFileExample; the "fileexampledone" event says when all is done.
(function () {
  'use strict';

  // A 24 x 24 chequered PNG.
  var PICTURE = 'iVBORw0KGgoAAAANSUhEUgAAABgAAAAYCAIAAABvFaqvAAAALklEQVR42mPQ9pmNhj4sUEBDxKhhGDWIjgaRpw1TzahB9D' +
                'RoNGWP5rVRg+hiEADlGhpu+/pd0QAAAABJRU5ErkJggg==';
  var result = window.veltroFileExample = { steps: {} };

  function file(action, args) {
    return new Promise(function (resolve, reject) {
      harbor.require('harbor/exec')(resolve, function (error) {
        reject(new Error(action + ' failed with ' + JSON.stringify(error)));
      }, 'File', action, args);
    });
  }

  function urlOf(entry) {
    return 'hbrfile://localhost/' + entry.filesystemName + entry.fullPath;
  }

  function show(step, answer) {
    result.steps[step] = answer;
    var item = document.createElement('li');
    item.textContent = step + ': ' + (typeof answer === 'string' ? answer : JSON.stringify(answer));
    document.getElementById('file-steps').appendChild(item);
    return answer;
  }

  function bytesOf(base64) {
    var text = atob(base64);
    var bytes = new Uint8Array(text.length);
    for (var i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
    return bytes.buffer;
  }

  function showPicture(url) {
    return new Promise(function (resolve, reject) {
      var picture = document.getElementById('file-picture');
      picture.onload = function () { resolve(picture.naturalWidth + ' x ' + picture.naturalHeight); };
      picture.onerror = function () { reject(new Error('the picture did not load from ' + url)); };
      picture.src = url;
    });
  }

  function run() {
    var folder, hello, copy, moved;
    return file('requestFileSystem', [1, 0]).then(function (fs) {
      show('requestFileSystem', fs.name);
      var root = urlOf(fs.root);
      // Start from nothing, whatever an earlier run left behind.
      return file('removeRecursively', [root + 'example']).catch(function () {}).then(function () {
        return file('getDirectory', [root, 'example', { create: true }]);
      });
    }).then(function (entry) {
      folder = urlOf(entry);
      show('getDirectory', entry.fullPath);
      return file('getFile', [folder, 'hello.txt', { create: true }]);
    }).then(function (entry) {
      hello = urlOf(entry);
      return file('write', [hello, 'Hello from the Veltro shell', 0]);
    }).then(function (written) {
      show('write', written + ' bytes');
      return file('readAsText', [hello, 'UTF-8', 0, -1]);
    }).then(function (text) {
      show('readAsText', text);
      return file('copyTo', [hello, folder, 'hello-copy.txt']);
    }).then(function (entry) {
      copy = urlOf(entry);
      show('copyTo', entry.fullPath);
      return file('moveTo', [copy, folder, 'hello-moved.txt']);
    }).then(function (entry) {
      moved = urlOf(entry);
      show('moveTo', entry.fullPath);
      return file('readEntries', [folder]);
    }).then(function (entries) {
      show('readEntries', entries.map(function (e) { return e.name; }).sort());
      return file('remove', [moved]);
    }).then(function () {
      return file('readEntries', [folder]);
    }).then(function (entries) {
      show('after remove', entries.map(function (e) { return e.name; }).sort());
      return file('getFile', [folder, 'picture.png', { create: true }]);
    }).then(function (entry) {
      var picture = urlOf(entry);
      return file('write', [picture, bytesOf(PICTURE), 0]).then(function (written) {
        show('write picture', written + ' bytes');
        return showPicture(picture);
      });
    }).then(function (size) {
      show('picture shown', size);
    }).catch(function (error) {
      result.error = String(error && error.message || error);
      show('error', result.error);
    }).then(function () {
      document.dispatchEvent(new CustomEvent('fileexampledone', { detail: result }));
    });
  }

  document.addEventListener('deviceready', run);
})();
