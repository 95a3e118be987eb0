// Sends a GET and a POST through the HTTP plugin to the test server and reports the answers,
// with what the page can do to its cookie manager.
document.addEventListener('deviceready', function () {
  'use strict';
  var found = {};
  var manager = window.VeltroNative && window.VeltroNative.HttpCookieManager;
  found.managerFrozen = !!manager && Object.isFrozen(manager);
  try { window.VeltroNative.HttpCookieManager = null; } catch (e) { /* not writable */ }
  found.managerKept = window.VeltroNative.HttpCookieManager === manager;
  found.cookieSeen = manager ? manager.getCookie() : null;

  (async function () {
    var base = (await e2e.call('Report', 'environment', ['HTTP_URL'])).args[0];
    found.get = await e2e.call('Http', 'sendRequest',
                               ['get-1', base + '/hello', 'GET', { 'X-Page': 'yes' }, 5000, null, true]);
    found.post = await e2e.call('Http', 'sendRequest', ['post-1', base + '/echo', 'POST', {}, 5000, { a: 1 }, true]);
  })().catch(function (error) {
    found.error = String(error);
  }).then(function () {
    e2e.exec(null, null, 'Report', 'report', [found]);
  });
});
