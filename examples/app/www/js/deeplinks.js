// Shows the links the shell was opened with ("veltro-shell example://example/orders/7", or the
// same given to a second shell, which hands it to this one). The DeepLinks plugin holds a link
// that comes before the page is ready; "trigger" asks for it once the channel listens.
(function () {
  'use strict';

  document.addEventListener('deviceready', function () {
    var links = document.getElementById('deep-links');
    harbor.listen('VLDeepLinksStaticChannel', function (link) {
      var item = document.createElement('li');
      item.textContent = link.Type + ': ' + link.URL;
      links.appendChild(item);
    });
    var exec = harbor.require('harbor/exec');
    exec(function () { exec(null, null, 'DeepLinks', 'trigger', []); }, null, 'DeepLinks', 'deviceready', []);
  });
})();
