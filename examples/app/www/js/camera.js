// The camera at work: the page takes a picture (kept in the gallery too), shows it through
// the "hbrfile" URL of the file it was saved to, and lists the gallery with a thumbnail of
// each picture. What each step answered is listed on the page and kept in
// window.veltroCameraExample; the "cameraexampledone" event says when all is done.
(function () {
  'use strict';

  var result = window.veltroCameraExample = { steps: {} };

  function exec(service, action, args) {
    return new Promise(function (resolve, reject) {
      harbor.require('harbor/exec')(resolve, function (error) {
        reject(new Error(action + ' failed with ' + JSON.stringify(error)));
      }, service, action, args);
    });
  }

  function show(step, answer) {
    result.steps[step] = answer;
    var item = document.createElement('li');
    item.textContent = step + ': ' + (typeof answer === 'string' ? answer : JSON.stringify(answer));
    document.getElementById('camera-steps').appendChild(item);
    return answer;
  }

  function load(picture, url) {
    return new Promise(function (resolve, reject) {
      picture.onload = function () { resolve(picture.naturalWidth + ' x ' + picture.naturalHeight); };
      picture.onerror = function () { reject(new Error('the picture did not load from ' + url)); };
      picture.src = url;
    });
  }

  function run() {
    return exec('Camera', 'takePicture', [{
      quality: 80, targetWidth: 160, targetHeight: 120, encodingType: 0, sourceType: 1, allowEdit: false,
      correctOrientation: true, saveToPhotoAlbum: true, cameraDirection: 0
    }]).then(function (fileURL) {
      show('takePicture', fileURL);
      return exec('File', 'resolveLocalFileSystemURI', [fileURL]);
    }).then(function (entry) {
      var url = 'hbrfile://localhost/' + entry.filesystemName + entry.fullPath;
      show('picture file', url);
      return load(document.getElementById('camera-picture'), url);
    }).then(function (size) {
      show('picture shown', size);
      return exec('Camera', 'chooseFromGallery', [{
        mediaType: 2, allowMultipleSelection: true, includeMetadata: true, allowEdit: false
      }]);
    }).then(function (text) {
      var items = JSON.parse(text);
      show('gallery', items.length + ' item(s)');
      var list = document.getElementById('camera-gallery');
      return Promise.all(items.filter(function (item) { return item.type === 'image'; }).map(function (item) {
        var picture = document.createElement('img');
        picture.width = 64;
        list.appendChild(picture);
        // Gallery pictures load through the photo library's file system.
        return load(picture, 'hbrfile://localhost/assets-library' + item.uri.substring('assets-library:/'.length));
      }));
    }).then(function (sizes) {
      show('gallery shown', sizes);
    }).catch(function (error) {
      result.error = String(error && error.message || error);
      show('error', result.error);
    }).then(function () {
      document.dispatchEvent(new CustomEvent('cameraexampledone', { detail: result }));
    });
  }

  document.addEventListener('deviceready', run);
})();
