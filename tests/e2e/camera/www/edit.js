// A page that will not take no for an answer: it takes a picture to edit and, whenever the
// editing ends without a picture, asks again at once.
(function () {
  'use strict';
  function edit() {
    e2e.exec(function () {}, edit, 'Camera', 'takePicture', [{
      quality: 80, targetWidth: 64, targetHeight: 48, encodingType: 0, sourceType: 1, allowEdit: true,
      correctOrientation: false, saveToPhotoAlbum: false, cameraDirection: 0
    }]);
  }
  document.addEventListener('deviceready', edit);
})();
