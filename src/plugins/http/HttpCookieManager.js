// The cookie header of the application's server, kept in the page by the native HTTP plugin,
// because the page cannot read those cookies itself. Only the application's own origin reads
// or writes it. The native side replaces the origin placeholder with a JSON string, or with
// null when the application has no origin (then no page matches).
(function () {
  'use strict';
  var appOrigin = __VELTRO_APP_ORIGIN__;
  if (!window.VeltroNative) window.VeltroNative = {};
  try {
    window.VeltroNative.HttpCookieManager = (function () {
      var vlcookie = '';
      return Object.freeze({
        getCookie: function () {
          return window.origin === appOrigin ? vlcookie : '';
        },
        setCookie: function (cookies) {
          if (window.origin !== appOrigin) return;
          var first = cookies && cookies.length ? cookies[0] : '';
          vlcookie = typeof first === 'string' ? first : '';
        }
      });
    })();
    Object.defineProperty(window.VeltroNative, 'HttpCookieManager', {
      writable: false, enumerable: false, configurable: false
    });
  } catch (e) {
    // Already defined and locked by an earlier run in this page: keep that one.
  }
})();
