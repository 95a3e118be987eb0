// What the test pages share: a plugin call with callbacks, and one that resolves a promise
// with {ok, args}.
window.e2e = (function () {
  'use strict';

  function exec(success, fail, service, action, args) {
    harbor.require('harbor/exec')(success, fail, service, action, args);
  }

  function call(service, action, args) {
    return new Promise(function (resolve) {
      exec(function () { resolve({ ok: true, args: Array.prototype.slice.call(arguments) }); },
           function () { resolve({ ok: false, args: Array.prototype.slice.call(arguments) }); },
           service, action, args);
    });
  }

  return { exec: exec, call: call };
})();
