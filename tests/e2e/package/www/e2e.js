// Calls the test plugins in every way the bridge offers and reports what came back to the
// Report plugin, which writes it where the test reads it.
(function () {
  'use strict';

  var found = { deviceready: false, log: [], openedURL: null };

  // A URL the shell was opened with reaches the page through this global function.
  window.handleOpenURL = function (url) { found.openedURL = url; };
  var TRICKY = 'quote \' double " backslash \\ tag </script> umlaut \u00fc emoji \ud83d\ude00 line\nbreak';

  var exec = window.e2e.exec;
  var call = window.e2e.call;

  function listen(channel, success, fail) {
    harbor.require('harbor/exec').listen(channel, success, fail);
  }

  // A call that must never be answered: it resolves to "no answer" after a while.
  function unanswered(service, action, args) {
    return Promise.race([
      call(service, action, args),
      new Promise(function (resolve) { setTimeout(function () { resolve('no answer'); }, 400); })
    ]);
  }

  // Opens a database, fills it in one batch, reads it back, closes and deletes it.
  async function sqliteRoundTrip() {
    var db = { dbname: 'e2e.db' };
    var out = {};
    out.open = await call('SQLitePlugin', 'open', [{ name: 'e2e.db' }]);
    out.batch = await call('SQLitePlugin', 'backgroundExecuteSqlBatch', [{ dbargs: db, executes: [
      { sql: 'CREATE TABLE t (id INTEGER PRIMARY KEY, text TEXT NOT NULL)', params: [] },
      { sql: 'INSERT INTO t (text) VALUES (?)', params: [TRICKY] },
      { sql: 'INSERT INTO t (text) VALUES (?)', params: [] }
    ] }]);
    out.select = await call('SQLitePlugin', 'executeSql', [{ dbargs: db, ex: { sql: 'SELECT id, text FROM t', params: [] } }]);
    out.selectEqual = out.select.ok && out.select.args[0].rows[0].text === TRICKY;
    out.close = await call('SQLitePlugin', 'close', [db]);
    out.delete = await call('SQLitePlugin', 'delete', [{ path: 'e2e.db' }]);
    return out;
  }

  async function run() {
    found.echo = await call('Echo', 'echo', ['hello', 42, { nested: [true, null] }]);
    found.echoTricky = await call('Echo', 'echo', [TRICKY]);
    found.echoTrickyEqual = found.echoTricky.ok && found.echoTricky.args[0][0] === TRICKY;
    found.fail = await call('Echo', 'fail', ['deliberate']);
    found.missingAction = await unanswered('Echo', 'noSuchAction', []);
    found.unknownService = await unanswered('NoSuchService', 'anything', []);
    found.notAPlugin = await unanswered('NotAPlugin', 'anything', []);
    found.afterErrors = await call('Echo', 'echo', ['still working']);
    found.sqlite = await sqliteRoundTrip();

    var buffer = await call('Echo', 'echoArrayBuffer', [new Uint8Array([0, 1, 2, 254, 255]).buffer]);
    var back = buffer.args[0];
    found.arrayBuffer = { ok: buffer.ok, bytes: back instanceof ArrayBuffer ? Array.from(new Uint8Array(back)) : null };

    found.repeat = await new Promise(function (resolve) {
      var seen = [];
      exec(function (n) {
        seen.push(n);
        if (n === 3) setTimeout(function () { resolve(seen); }, 200);
      }, null, 'Echo', 'repeat', [3]);
    });

    // Calls made inside a callback travel back as one batch with the callback's evaluation.
    found.batch = await new Promise(function (resolve) {
      exec(function () {
        var order = [];
        for (var i = 0; i < 5; i++) {
          (function (n) {
            exec(function (args) {
              order.push(args[0]);
              if (order.length === 5) resolve(order);
            }, null, 'Echo', 'echo', [n]);
          })(i);
        }
      }, null, 'Echo', 'echo', ['start']);
    });

    // Events on a fixed channel reach its listener every time, also after a result that did
    // not ask to keep the callback; a second listen takes the channel over.
    var events = [];
    listen('E2EStaticChannel', function (n) { events.push(n); }, function (m) { events.push('fail ' + m); });
    found.channelAnswers = [(await call('Channel', 'announce', [3])).args[0],
                            (await call('Channel', 'announce', [2])).args[0]];
    found.channelEvents = events;
    var later = [];
    listen('E2EStaticChannel', function (n) { later.push(n); }, null);
    await call('Channel', 'announce', [1]);
    found.channelTakenOver = { first: events.length, second: later };
    // Names the shell could never answer on, and a callback that is not a function.
    var refusals = [[''], ['a b'], ["x'y"], [42], [new Array(102).join('a')], ['E2EOther', 'not a function']];
    found.channelRefused = refusals.map(function (attempt) {
      try {
        listen(attempt[0], attempt.length > 1 ? attempt[1] : function () {}, null);
        return 'accepted';
      } catch (e) {
        return e instanceof TypeError ? 'refused' : String(e);
      }
    });

    // An answer finds only a callback or channel it was given, looked up by its id as text:
    // no name every object has, and a number as the id it reads as.
    var bridge = harbor.require('harbor/exec'), heard = [];
    listen('123', function (m) { heard.push('123 ' + m); }, null);
    ['constructor', '__proto__', 'toString', 'hasOwnProperty', 'Echo'].forEach(function (id) {
      bridge.nativeCallback(id, 1, id, 0, 0);
    });
    bridge.nativeCallback(123, 1, 'number', 0, 0);
    bridge.nativeCallback('123', 9, 'text', 0, 0);
    found.ownIds = heard;

    // Arguments nested far deeper than the bridge takes are refused with an error.
    var deep = [];
    for (var d = 0; d < 5000; d++) deep = [deep];
    found.deep = await call('Echo', 'echo', [deep]);
    found.deepThenEcho = await call('Echo', 'echo', ['after deep']);

    // A call without callbacks runs; its result has nowhere to go.
    exec(null, null, 'Echo', 'echo', ['nobody listens']);
    found.afterNoCallback = await call('Echo', 'echo', ['after']);

    // A navigation that "config.xml" does not allow is refused: the page stays where it is.
    window.location.href = 'https://refused.invalid/elsewhere';
    await new Promise(function (resolve) { setTimeout(resolve, 500); });
    found.afterRefusedNavigation = window.location.href;

    found.location = window.location.href;
    found.assetsURL = window.HBR_ASSETS_URL || null;

    found.order = await mixedOrder();
    found.held = await heldCalls();
    found.nested = await nestedCalls();
    found.burst = await burstOrder();
    found.payloads = await payloadRoundTrips();
    found.bytes = await byteRoundTrips();
    found.bytesOrder = await bytesInOrder();
    found.bytesNested = await nestedByteCalls();
  }

  // Calls in every style at once (await, callbacks, a timer, Promise.all, a batch made inside
  // a callback) reach the plugin in the order they were made.
  function mixedOrder() {
    return new Promise(function (resolve) {
      var made = [], answered = [], total = 12;
      function answer(tag) {
        answered.push(tag);
        if (answered.length !== total) return;
        call('Echo', 'notes', []).then(function (result) {
          var ran = result.args[0];
          resolve({ inOrder: made.join() === ran.join(), made: made, ran: ran });
        });
      }
      // The answer is noted in the callback itself; the promise is what the page awaits.
      function record(tag) {
        made.push(tag);
        return new Promise(function (done) {
          exec(function (args) { answer(args[0]); done(args[0]); }, null, 'Echo', 'note', [tag]);
        });
      }
      (async function () {
        await record('await1');
        await record('await2');
      })();
      record('plain1');
      made.push('outer');
      exec(function () {
        answer('outer');
        // Inside the callback: these travel as one batch with its evaluation.
        for (var i = 1; i <= 3; i++) record('batch' + i);
      }, null, 'Echo', 'note', ['outer']);
      record('plain2');
      setTimeout(function () {
        record('timer1');
        record('timer2');
        Promise.all([record('all1'), record('all2')]);
      }, 0);
    });
  }

  // Calls made after a callback whose calls went back with its evaluation wait for them: in
  // the promise continuations of that evaluation (large ones too), and from a later task with
  // no answer on its way to carry them. Answers evaluated together, where one callback's calls
  // went back and the next one's call is large, keep the order too. Each is answered once.
  async function heldCalls() {
    var made = [], answers = [];
    function note(tag, value) {
      made.push(tag);
      return Promise.race([
        new Promise(function (done) {
          exec(function (args) { answers.push(args[0]); done(args[0]); }, null, 'Echo', 'note',
               value === undefined ? [tag] : [tag, value]);
        }),
        new Promise(function (done) { setTimeout(function () { done('no answer'); }, 3000); })
      ]);
    }
    var large = text(40000);
    // A batch, then calls in the continuation of the same evaluation.
    var continued = await new Promise(function (resolve) {
      made.push('cont-outer');
      exec(function () {
        note('cont-batch');
        resolve();
      }, null, 'Echo', 'note', ['cont-outer']);
    }).then(function () {
      return Promise.all([note('cont-after'), note('cont-large', large)]);
    });
    // A batch with no answer to come (its call has no callback), then a call from a timer.
    made.push('quiet-outer', 'quiet-batch');
    var fromTimer = await new Promise(function (resolve) {
      exec(function () {
        exec(null, null, 'Echo', 'note', ['quiet-batch']);
        setTimeout(function () { note('quiet-timer').then(resolve); }, 0);
      }, null, 'Echo', 'note', ['quiet-outer']);
    });
    // Three calls that run in one turn (they went back as one batch): the answers after the
    // first are evaluated together.
    made.push('run0');
    var together = await new Promise(function (resolve) {
      exec(function () {
        var inner = [];
        note('run1');
        made.push('run2', 'run3');
        exec(function () { inner.push(note('run2-small')); }, null, 'Echo', 'note', ['run2']);
        exec(function () {
          inner.push(note('run3-large', large));
          Promise.all(inner).then(resolve);
        }, null, 'Echo', 'note', ['run3']);
      }, null, 'Echo', 'note', ['run0']);
    });
    var ran = (await call('Echo', 'notes', [])).args[0];
    ran = ran.slice(ran.lastIndexOf('cont-outer'));
    return { inOrder: made.join() === ran.join(), made: made, ran: ran,
             answered: continued.concat([fromTimer], together) };
  }

  // Calls made many at a time, in chunks awaited with Promise.all (the shell may answer those
  // of one turn together): callbacks run in the order of the calls, calls made in some of the
  // callbacks reach the plugin after the chunk and before the next, everything in the order it
  // was made, and every call is answered once.
  async function burstOrder() {
    var made = [], answered = [], inner = [];
    function record(tag, nested) {
      made.push(tag);
      return new Promise(function (done) {
        exec(function (args) {
          answered.push(args[0]);
          if (nested) inner.push(record(tag + '.in'));
          done();
        }, null, 'Echo', 'note', [tag]);
      });
    }
    for (var chunk = 0; chunk < 3; chunk++) {
      var calls = [];
      for (var i = 0; i < 40; i++) calls.push(record('c' + chunk + '-' + i, i % 13 === 5));
      await Promise.all(calls);
    }
    await Promise.all(inner);
    var ran = (await call('Echo', 'notes', [])).args[0].slice(-made.length);
    var outer = made.filter(function (tag) { return tag.indexOf('.in') < 0; });
    var answeredOuter = answered.filter(function (tag) { return tag.indexOf('.in') < 0; });
    return { inOrder: made.join() === ran.join(), callbacksInOrder: outer.join() === answeredOuter.join(),
             answers: answered.length, made: made.length };
  }

  // A callback that calls again, three levels deep, each level also starting a sibling call.
  function nestedCalls() {
    return new Promise(function (resolve) {
      var seen = [];
      function level(depth) {
        exec(function (args) {
          seen.push(args[0]);
          if (depth < 3) {
            level(depth + 1);
            exec(function (inner) { seen.push(inner[0]); }, null, 'Echo', 'echo', ['sibling' + depth]);
          } else {
            setTimeout(function () { resolve(seen); }, 100);
          }
        }, null, 'Echo', 'echo', ['level' + depth]);
      }
      level(0);
    });
  }

  function text(size) {
    // 16 characters, so that no power of two splits the surrogate pair.
    var unit = 'ab\u00fc\ud83d\ude00"\\\n</scr>\u2028x';
    var out = unit;
    while (out.length < size) out += out;
    return out.slice(0, size);
  }

  function bytes(size) {
    var view = new Uint8Array(size);
    for (var i = 0; i < size; i++) view[i] = (i * 131 + 7) & 0xff;
    return view;
  }

  function sameBytes(buffer, view) {
    if (!(buffer instanceof ArrayBuffer) || buffer.byteLength !== view.length) return false;
    var back = new Uint8Array(buffer);
    for (var i = 0; i < view.length; i++) if (back[i] !== view[i]) return false;
    return true;
  }

  // Strings and binary data of every size come back byte for byte, sent from the page's own
  // turn and from inside a callback (the batch road).
  async function payloadRoundTrips() {
    var out = {};
    var sizes = { '1KB': 1024, '64KB': 65536, '1MB': 1048576, '8MB': 8388608 };
    for (var name in sizes) {
      var value = text(sizes[name]);
      var data = bytes(sizes[name]);
      var direct = await call('Echo', 'echo', [value]);
      var buffer = await call('Echo', 'echoArrayBuffer', [data.buffer]);
      // A view of part of a buffer sends just the bytes it covers.
      var part = await call('Echo', 'echoArrayBuffer', [new Uint8Array(data.buffer, 1, data.length - 1)]);
      // Inside a callback a large call alone goes at once; after a small one it joins the batch.
      var alone = await new Promise(function (resolve) {
        exec(function () {
          exec(function (args) { resolve(args[0]); }, null, 'Echo', 'echo', [value]);
        }, null, 'Echo', 'echo', []);
      });
      var batched = await new Promise(function (resolve) {
        var got = [];
        exec(function () {
          exec(function (args) { got.push(args[0]); }, null, 'Echo', 'echo', ['small first']);
          exec(function (args) { got.push(args[0]); resolve(got); }, null, 'Echo', 'echo', [value]);
        }, null, 'Echo', 'echo', []);
      });
      out[name] = {
        string: direct.ok && direct.args[0][0] === value,
        arrayBuffer: buffer.ok && sameBytes(buffer.args[0], data),
        view: part.ok && sameBytes(part.args[0], data.subarray(1)),
        fromCallback: alone === value && batched.length === 2 && batched[0] === 'small first' && batched[1] === value
      };
    }
    return out;
  }

  // Bytes of every size, all 256 values among them, come back as ArrayBuffers byte for byte:
  // sent from the page's own turn, alone inside a callback (at once when large), after a small
  // call inside a callback (the batch's text), and as a view of part of a buffer.
  async function byteRoundTrips() {
    var out = {};
    var all = new Uint8Array(256);
    for (var b = 0; b < 256; b++) all[b] = 255 - b;
    var cases = { '0': bytes(0), '1': bytes(1), '2': bytes(2), '3': bytes(3), all: all, '64KiB': bytes(65536),
                  '1MiB': bytes(1048576), '8MiB+1': bytes(8388609) };
    for (var name in cases) {
      var data = cases[name];
      var direct = await call('Echo', 'echoArrayBuffer', [data.buffer]);
      var alone = await new Promise(function (resolve) {
        exec(function () {
          exec(function (back) { resolve(back); }, function () { resolve('failed'); }, 'Echo', 'echoArrayBuffer', [data]);
        }, null, 'Echo', 'echo', []);
      });
      var batched = await new Promise(function (resolve) {
        var got = [];
        exec(function () {
          exec(function (args) { got.push(args[0]); }, null, 'Echo', 'echo', ['small first']);
          exec(function (back) { got.push(back); resolve(got); }, function () { resolve('failed'); },
               'Echo', 'echoArrayBuffer', [data.buffer]);
        }, null, 'Echo', 'echo', []);
      });
      var middle = data.length > 2 ? data.subarray(1, data.length - 1) : data.subarray(0, 0);
      var part = await call('Echo', 'echoArrayBuffer', [middle]);
      out[name] = {
        direct: direct.ok && sameBytes(direct.args[0], data),
        inCallback: sameBytes(alone, data),
        batched: batched.length === 2 && batched[0] === 'small first' && sameBytes(batched[1], data),
        view: part.ok && sameBytes(part.args[0], middle)
      };
    }
    return out;
  }

  // Calls with bytes, large and small, mixed with other calls in every calling style, reach
  // the plugin in the order they were made and come back unchanged. Inside a callback a large
  // one made first goes at once, as its own message, and still comes before the calls the
  // evaluation hands back; one made after them waits with them.
  function bytesInOrder() {
    return new Promise(function (resolve) {
      var made = [], answered = 0, wrong = [], total = 12;
      var large = bytes(300000), small = bytes(5);
      function answer() {
        if (++answered !== total) return;
        call('Echo', 'notes', []).then(function (result) {
          var ran = result.args[0].slice(-total);
          resolve({ inOrder: made.join() === ran.join(), wrong: wrong, made: made, ran: ran });
        });
      }
      function record(tag, data) {
        made.push(tag);
        return new Promise(function (done) {
          function check(back) {
            if (data ? !sameBytes(back, data) : back[0] !== tag) wrong.push(tag);
            answer();
            done();
          }
          if (data) exec(check, function () { wrong.push(tag); answer(); done(); }, 'Echo', 'noteArrayBuffer', [tag, data.buffer]);
          else exec(check, null, 'Echo', 'note', [tag]);
        });
      }
      (async function () {
        await record('awaitLarge', large);
        await record('awaitSmall', small);
      })();
      record('plain', null);
      made.push('outer');
      exec(function (back) {
        if (!sameBytes(back, large)) wrong.push('outer');
        answer();
        record('cbLargeFirst', large);
        record('cbText', null);
        record('cbLargeAfter', large);
        record('cbSmall', small);
      }, function () { wrong.push('outer'); answer(); }, 'Echo', 'noteArrayBuffer', ['outer', large.buffer]);
      record('plainAfter', small);
      setTimeout(function () {
        record('timerSmall', small);
        Promise.all([record('allLarge', large), record('allText', null)]);
      }, 0);
    });
  }

  // A callback of a call with bytes calls again with bytes, three levels deep, each level also
  // starting a sibling call.
  function nestedByteCalls() {
    return new Promise(function (resolve) {
      var seen = [];
      function level(depth) {
        var data = bytes(depth === 1 ? 65536 : depth + 1);
        exec(function (back) {
          seen.push(sameBytes(back, data) ? 'level' + depth : 'wrong' + depth);
          if (depth < 3) {
            level(depth + 1);
            var sibling = bytes(40000 + depth);
            exec(function (inner) { seen.push(sameBytes(inner, sibling) ? 'sibling' + depth : 'wrong sibling' + depth); },
                 null, 'Echo', 'echoArrayBuffer', [sibling]);
          } else {
            setTimeout(function () { resolve(seen); }, 100);
          }
        }, null, 'Echo', 'echoArrayBuffer', [data.buffer]);
      }
      level(0);
    });
  }

  // The page leaves while calls of every style are on their way; the next page's bridge works.
  function leaveWhileCalling() {
    var data = bytes(1048576);
    for (var i = 0; i < 50; i++) exec(function () {}, null, 'Echo', i % 5 ? 'echo' : 'echoArrayBuffer', [i % 5 ? 'timer ' + i : data]);
    exec(function () {
      exec(function () {}, null, 'Echo', 'echoArrayBuffer', [data]);
      for (var i = 0; i < 50; i++) exec(function () {}, null, 'Echo', i % 5 ? 'echo' : 'echoArrayBuffer', [i % 5 ? 'batch ' + i : data]);
      window.location.reload();
    }, null, 'Echo', 'echo', [text(1048576)]);
    for (var j = 0; j < 50; j++) exec(function () {}, null, 'Echo', j % 5 ? 'echo' : 'echoArrayBuffer', [j % 5 ? 'after ' + j : data]);
  }

  function report() {
    document.getElementById('state').textContent = 'done';
    exec(null, null, 'Report', 'report', [found]);
  }

  document.addEventListener('deviceready', function () {
    var before = sessionStorage.getItem('e2e-found');
    if (before) {
      // The second page, after the first left while calling.
      found = JSON.parse(before);
      sessionStorage.removeItem('e2e-found');
      call('Echo', 'echo', ['after leaving']).then(function (result) {
        found.afterLeaving = result.args[0][0];
        var data = bytes(70000);
        return call('Echo', 'echoArrayBuffer', [data]).then(function (back) {
          found.bytesAfterLeaving = back.ok && sameBytes(back.args[0], data);
        });
      }).then(report);
      return;
    }
    found.deviceready = true;
    run().catch(function (e) {
      found.exception = String(e);
    }).then(function () {
      sessionStorage.setItem('e2e-found', JSON.stringify(found));
      leaveWhileCalling();
    });
  });
})();
