// The web view benchmark's page code, run unchanged by the shell and by the bare WebKitGTK
// program. Each runs it through its own channel, loaded before this file:
//   benchChannel.call(args, done)         echo `args` (an array) and call done(answer)
//   benchChannel.callBinary(buffer, done) echo one ArrayBuffer, or null when not offered
//   benchChannel.ready(start)             call start() once calls may be made
//   benchChannel.measure(name, done)      the program takes the memory of its processes under
//                                         `name` (reported with the figures), then done()
//   benchChannel.report(results)          hand the figures over; the program then ends
// benchConfig (config.js, written by webview_bench.sh) may narrow the work.
(function () {
  'use strict';

  var config = window.benchConfig || {};
  var ROUNDS = config.rounds || 20000;
  var CHUNK = 1000;
  // How long both programs stay idle before the memory they keep is taken.
  var SETTLE_MS = config.settleMs === undefined ? 8000 : config.settleMs;
  var SIZES = [
    { name: '1KB', bytes: 1024, calls: 2000 },
    { name: '64KB', bytes: 64 * 1024, calls: 200 },
    { name: '1MB', bytes: 1024 * 1024, calls: 24 },
    { name: '8MB', bytes: 8 * 1024 * 1024, calls: 6 }
  ];
  var channel = window.benchChannel;
  var results = { rounds: ROUNDS, styles: {}, payloads: {}, errors: [] };

  function call(args) {
    return new Promise(function (resolve) { channel.call(args, resolve); });
  }

  function rate(count, started) {
    return count * 1000 / (performance.now() - started);
  }

  // Each call made inside the callback of the one before.
  function inCallback(done) {
    var left = ROUNDS;
    var started = performance.now();
    function next() {
      if (left-- === 0) return done(rate(ROUNDS, started));
      channel.call(['hello', 42], next);
    }
    next();
  }

  // The way most pages call: await on one promise per call.
  function awaitEach(done) {
    (async function () {
      var started = performance.now();
      for (var i = 0; i < ROUNDS; i++) await call(['hello', 42]);
      done(rate(ROUNDS, started));
    })();
  }

  function allAtOnce(done) {
    var answered = 0;
    var started = performance.now();
    function answer() {
      if (++answered === ROUNDS) done(rate(ROUNDS, started));
    }
    for (var i = 0; i < ROUNDS; i++) channel.call(['hello', 42], answer);
  }

  // All calls started inside the callback of one call before them.
  function allInCallback(done) {
    channel.call(['start'], function () { allAtOnce(done); });
  }

  // All calls started from a timer, outside any callback.
  function allFromTimer(done) {
    setTimeout(function () { allAtOnce(done); }, 0);
  }

  function promiseAllChunks(done) {
    (async function () {
      var started = performance.now();
      for (var made = 0; made < ROUNDS; made += CHUNK) {
        var chunk = [];
        for (var i = made; i < Math.min(ROUNDS, made + CHUNK); i++) chunk.push(call(['hello', 42]));
        await Promise.all(chunk);
      }
      done(rate(ROUNDS, started));
    })();
  }

  function text(bytes) {
    // Not one repeated character, so that nothing can take a shortcut on it.
    var unit = 'abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-_.,;:!?()[]{}<>=+*/%&|^~';
    var out = unit;
    while (out.length < bytes) out += out;
    return out.slice(0, bytes);
  }

  function buffer(bytes) {
    var view = new Uint8Array(bytes);
    for (var i = 0; i < bytes; i++) view[i] = (i * 131 + 7) & 0xff;
    return view.buffer;
  }

  function sameBytes(a, b) {
    if (!(a instanceof ArrayBuffer) || a.byteLength !== b.byteLength) return false;
    var x = new Uint8Array(a), y = new Uint8Array(b);
    for (var i = 0; i < x.length; i++) if (x[i] !== y[i]) return false;
    return true;
  }

  // One call at a time with one argument of the size; the answer is checked after the clock.
  function payload(size, binary, done) {
    var value = binary ? buffer(size.bytes) : text(size.bytes);
    var left = size.calls, last;
    var started = performance.now();
    function next(answer) {
      last = answer;
      if (left-- === 0) {
        var figure = rate(size.calls, started);
        var echoed = binary ? last : last && last[0];
        if (binary ? !sameBytes(echoed, value) : echoed !== value) {
          results.errors.push((binary ? 'ArrayBuffer ' : 'string ') + size.name + ' came back changed');
        }
        return done(figure);
      }
      if (binary) channel.callBinary(value, next);
      else channel.call([value], next);
    }
    left++;
    next();
  }

  var steps = [];
  var styles = { inCallback: inCallback, awaitEach: awaitEach, allInCallback: allInCallback,
                 allFromTimer: allFromTimer, promiseAllChunks: promiseAllChunks };
  Object.keys(styles).forEach(function (name) {
    if (config.only && config.only.indexOf(name) < 0) return;
    steps.push(function (next) {
      styles[name](function (figure) { results.styles[name] = figure; next(); });
    });
  });
  // Memory is taken once the calls are done and before any payload, so that both programs
  // have done the same work (the shell also echoes ArrayBuffers, the bare program cannot):
  // right away, and after a quiet while in which the engine collects what the calls left.
  steps.push(function (next) { channel.measure('calls', next); });
  steps.push(function (next) {
    setTimeout(function () { channel.measure('settled', next); }, SETTLE_MS);
  });
  SIZES.forEach(function (size) {
    [false, true].forEach(function (binary) {
      var name = (binary ? 'arraybuffer-' : 'string-') + size.name;
      if (config.only && config.only.indexOf(name) < 0) return;
      if (binary && !channel.callBinary) return;
      steps.push(function (next) {
        payload(size, binary, function (figure) { results.payloads[name] = figure; next(); });
      });
    });
  });

  channel.ready(function () {
    var index = 0;
    // Each step starts on a fresh turn, so no style inherits the previous one's stack.
    function next() {
      if (index === steps.length) {
        document.getElementById('state').textContent = 'done';
        return channel.report(results);
      }
      var step = steps[index++];
      setTimeout(function () { step(next); }, 0);
    }
    next();
  });
})();
