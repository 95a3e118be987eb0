// Listens on the deep-link channel, says it is ready, asks for a link held from the start,
// and reports each link it is given: the first with the shell kept running for the next, the
// second to end it.
(function () {
  'use strict';

  var found = { links: [], plainHandlerCalled: false };
  // The plain open-URL plugin is silenced by the deep-link plugin; this must stay unused.
  window.handleOpenURL = function () { found.plainHandlerCalled = true; };

  function report(last) {
    e2e.exec(null, null, 'Report', 'report', [found, !last]);
  }

  document.addEventListener('deviceready', function () {
    harbor.listen('VLDeepLinksStaticChannel', function (link) {
      found.links.push(link);
      report(found.links.length >= 2);
    }, function (error) {
      found.error = error;
      report(true);
    });
    e2e.exec(function () {
      found.ready = true;
      e2e.exec(null, null, 'DeepLinks', 'trigger', []);
    }, null, 'DeepLinks', 'deviceready', []);
  });
})();
