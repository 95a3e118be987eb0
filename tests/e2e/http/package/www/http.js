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

  e2e.call('Report', 'environment', ['HTTP_URL']).then(function (env) {
    var base = env.args[0];
    return e2e.call('Http', 'sendRequest', ['get-1', base + '/hello', 'GET', { 'X-Page': 'yes' }, 5000, null, true])
      .then(function (get) {
        found.get = get;
        return e2e.call('Http', 'sendRequest', ['post-1', base + '/echo', 'POST', {}, 5000, { a: 1 }, true]);
      }).then(function (post) {
        found.post = post;
        return e2e.call('Http', 'sendRequest', ['bad', base, 'PUT', {}, 5000, null, true]);
      }).then(function (bad) {
        found.bad = bad;
      });
  }).catch(function (error) {
    found.error = String(error);
  }).then(function () {
    e2e.exec(null, null, 'Report', 'report', [found]);
  });
});
