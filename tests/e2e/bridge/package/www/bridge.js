// The application's page of the bridge tests. The test names what it does ("MODE") and where
// the partner site is ("PARTNER"); pages of the partner site come back here with "?back".
(function () {
  'use strict';

  var call = window.e2e.call;
  var exec = window.e2e.exec;
  var params = new URLSearchParams(window.location.search);

  function sleep(ms) {
    return new Promise(function (resolve) { setTimeout(resolve, ms); });
  }

  function report(found) {
    document.getElementById('state').textContent = 'done';
    exec(null, null, 'Report', 'report', [found]);
  }

  // The partner site shown in the top frame returns a batch from every evaluation; meanwhile a
  // slow answer of this page and a focus change come. Back here, the notes say what ran.
  async function partner(base) {
    if (params.has('back')) {
      report({ notes: (await call('Echo', 'notes', [])).args[0], partnerCalls: params.get('calls') });
      return;
    }
    await call('Echo', 'note', ['app']);
    exec(function () { exec(null, null, 'Echo', 'note', ['the late answer ran here']); }, null,
         'Echo', 'later', [1500, 'private rows']);
    await call('Report', 'focusChange', [1800]);
    window.location.href = base + '/partner.html';
  }

  // Frames of another origin see no native handler; the bridge stays through ten seconds of
  // garbage collection with the HTTP plugin loaded.
  async function frames(base) {
    var answered = new Promise(function (resolve) {
      window.addEventListener('message', function (event) {
        if (event.data && 'handlers' in event.data) resolve(event.data);
      });
    });
    var frame = document.createElement('iframe');
    frame.src = base + '/frame.html';
    document.body.appendChild(frame);
    var found = { frame: await Promise.race([answered, sleep(5000).then(function () { return 'no answer'; })]) };
    var keep = [];
    var lostAt = null;
    var started = Date.now();
    while (Date.now() - started < 10000) {
      var garbage = [];
      for (var i = 0; i < 200000; i++) garbage.push({ i: i });
      keep = garbage;
      var handlers = window.webkit && window.webkit.messageHandlers;
      if (!handlers || !handlers.harbor) { lostAt = Date.now() - started; break; }
      await sleep(50);
    }
    found.kept = keep.length;
    found.lostAt = lostAt;
    found.echo = await Promise.race([call('Echo', 'echo', ['still here']),
                                     sleep(5000).then(function () { return 'no answer'; })]);
    report(found);
  }

  // A page that may not use the bridge posts large messages; the shell's own memory is taken
  // before and after.
  async function big(base) {
    var memory = (await call('Report', 'shellMemory', [])).args[0];
    if (params.has('back')) {
      report({ before: JSON.parse(params.get('before')), after: memory, posted: params.get('posted') });
      return;
    }
    window.location.href = base + '/big.html?before=' + encodeURIComponent(JSON.stringify(memory));
  }

  // A request of this page stores a Secure cookie of the application's server; then a page of
  // the same host, over plain http, loads (and asks for the page-load sync) and reports what
  // the cookie manager gave it.
  async function cookie(base) {
    if (params.has('back')) {
      report({ cookie: params.get('cookie'), login: params.get('login') });
      return;
    }
    var server = (await call('Report', 'environment', ['SERVER'])).args[0];
    var login = await call('Http', 'sendRequest', ['r1', server + '/app/login', 'GET', {}, 10000, null, true]);
    window.location.href = base + '/cookie.html?login=' + encodeURIComponent(login.args[0] && login.args[0].error === null);
  }

  // One press of a key, whose gesture the shell's callback carries, follows twelve links out.
  async function click() {
    var links = [];
    for (var i = 0; i < 12; i++) {
      var link = document.createElement('a');
      link.href = 'external:tel:55501' + (i < 10 ? '0' : '') + i;
      link.textContent = 'call ' + i;
      document.body.appendChild(link);
      links.push(link);
    }
    var pressed = await new Promise(function (resolve) {
      exec(function (widget) {
        links.forEach(function (link) { link.click(); });
        resolve(widget);
      }, function () { resolve('failed'); }, 'Report', 'press', []);
    });
    await sleep(1500);
    report({ pressed: pressed, href: window.location.href });
  }

  // The page tries to take the globals answers call (one answer, a run of answers); answers
  // still reach the bridge, and the bridge's function is called from no script text (the
  // answers were parsed, not compiled: the engine keeps no code for them).
  async function hijack() {
    var name = '__harborNativeCallback';
    var original = window[name];
    var originalRun = window.__harborNativeCallbacks;
    var intercepted = [];
    function thief(a) { intercepted.push(a); }
    function take(global) {
      var attempts = {};
      try { window[global] = thief; attempts.assign = 'no error'; } catch (e) { attempts.assign = e.name; }
      try { Object.defineProperty(window, global, { value: thief }); attempts.define = 'no error'; }
      catch (e) { attempts.define = e.name; }
      try { attempts.deleted = delete window[global]; } catch (e) { attempts.deleted = e.name; }
      return attempts;
    }
    var attempts = take(name);
    var runAttempts = take('__harborNativeCallbacks');
    // A global lexical binding of a page script would come before the window's property.
    window.stolen = [];
    var shadowError = null;
    var onError = function (event) { shadowError = event.error && event.error.name; };
    window.addEventListener('error', onError);
    var script = document.createElement('script');
    script.textContent = 'let ' + name + ' = function (a) { window.stolen.push(a); }; window.shadowed = true;';
    document.body.appendChild(script);
    window.removeEventListener('error', onError);
    attempts.shadow = window.shadowed ? 'no error' : shadowError;
    var bridge = harbor.require('harbor/exec');
    var bridgeCallback = bridge.nativeCallback;
    var stacks = [];
    bridge.nativeCallback = function () {
      stacks.push(new Error().stack);
      return bridgeCallback.apply(this, arguments);
    };
    var echoed = await call('Echo', 'echo', ['line\u2028sep\u2029\u0000"\\']);
    // Calls started together from a timer: the shell answers them in runs, one evaluation each.
    await sleep(0);
    var many = [];
    for (var i = 0; i < 300; i++) many.push(call('Echo', 'echo', [i]));
    var answers = await Promise.all(many);
    bridge.nativeCallback = bridgeCallback;
    report({
      attempts: attempts, runAttempts: runAttempts, same: window[name] === original && window.__harborNativeCallbacks === originalRun,
      intercepted: intercepted.length + window.stolen.length, echoed: echoed,
      inOrder: answers.every(function (answer, index) { return answer.ok && answer.args[0][0] === index; }),
      fromGlobalCode: stacks.some(function (s) { return /global code/.test(s); }), calls: stacks.length
    });
  }

  // Answers stream to this page while it navigates to a partner page that has a "harbor" of
  // its own, six times over: none may run there (the partner counts what reaches it).
  async function stream(base) {
    var rounds = params.has('rounds') ? params.get('rounds').split(',').filter(Boolean) : [];
    if (params.has('calls')) rounds.push(params.get('calls'));
    if (rounds.length >= 6) {
      report({ rounds: rounds });
      return;
    }
    var payload = new Array(8193).join('xy');
    var going = true;
    function one() {
      exec(function () { if (going) one(); }, function () { if (going) one(); }, 'Echo', 'echo', [payload]);
    }
    for (var i = 0; i < 48; i++) one();
    await sleep(200 + 60 * rounds.length);
    window.location.href = base + '/stream.html?rounds=' + encodeURIComponent(rounds.join(','));
  }

  // Includes of the page's own files from a frame, after something that could have reset what
  // the shell knows of the page's frames: what it reports is what ran.
  function included(frameWindow, sources) {
    return new Promise(function (resolve) {
      window.addEventListener('message', function listener(event) {
        if (!event.data || !event.data.included) return;
        window.removeEventListener('message', listener);
        resolve(event.data.included);
      });
      frameWindow.postMessage({ include: sources }, '*');
    });
  }

  async function planted() {
    var root = (await call('Report', 'environment', ['DATA_ROOT'])).args[0];
    return [window.HBR_ASSETS_URL + '/_app_file_' + root + '/Documents/planted.js',
            'hbrfile://localhost/persistent/planted.js'];
  }

  // A frame of another origin is in the page; then the page follows a link that answers 204,
  // so nothing is committed and the frame stays. Its includes are refused before and after.
  async function frameThroughNoContent(base) {
    var sources = await planted();
    var ready = new Promise(function (resolve) {
      window.addEventListener('message', function (event) { if (event.data && event.data.includerReady) resolve(); });
    });
    var frame = document.createElement('iframe');
    frame.src = base + '/includer.html';
    document.body.appendChild(frame);
    await Promise.race([ready, sleep(5000)]);
    var before = await included(frame.contentWindow, sources);
    window.location.href = base + '/nocontent';
    await sleep(1500);
    var after = await included(frame.contentWindow, sources);
    var own = await new Promise(function (resolve) {
      var script = document.createElement('script');
      script.src = sources[0];
      script.onload = function () { resolve('loaded'); };
      script.onerror = function () { resolve('refused'); };
      document.head.appendChild(script);
    });
    report({ before: before, after: after, still: window.location.href, ownInclude: own,
             fetched: (await fetch(sources[0])).status });
  }

  // Untrusted HTML shown in a sandboxed srcdoc frame (an origin of none) and in a plain srcdoc
  // frame (the page's own origin): the first includes nothing of the page's, with or without a
  // referrer; both load although the package lets no about: URL in.
  async function srcdoc() {
    var sources = await planted();
    var includer = '<script>' +
      'function load(src, policy) { return new Promise(function (resolve) { window.planted = false;' +
      ' var s = document.createElement("script"); if (policy) s.referrerPolicy = policy; s.src = src;' +
      ' s.onload = function () { resolve(window.planted ? "ran" : "loaded"); };' +
      ' s.onerror = function () { resolve("refused"); }; document.head.appendChild(s); }); }' +
      'var sources = ' + JSON.stringify(sources) + ', results = [];' +
      '[["no-referrer"], [""], ["unsafe-url"]].reduce(function (done, p) { return done.then(function () {' +
      ' return sources.reduce(function (d, src) { return d.then(function () {' +
      '  return load(src, p[0]).then(function (r) { results.push(r); }); }); }, Promise.resolve()); }); },' +
      ' Promise.resolve()).then(function () { parent.postMessage({ srcdoc: results, origin: self.origin }, "*"); });' +
      '<\/script>';
    async function show(sandboxed) {
      var answered = new Promise(function (resolve) {
        window.addEventListener('message', function listener(event) {
          if (!event.data || !event.data.srcdoc) return;
          window.removeEventListener('message', listener);
          resolve(event.data);
        });
      });
      var frame = document.createElement('iframe');
      if (sandboxed) frame.setAttribute('sandbox', 'allow-scripts');
      frame.srcdoc = includer;
      document.body.appendChild(frame);
      return Promise.race([answered, sleep(8000).then(function () { return 'no answer'; })]);
    }
    var plain = await show(false);
    var sandboxed = await show(true);
    report({ plain: plain, sandboxed: sandboxed });
  }

  document.addEventListener('deviceready', function () {
    Promise.all([call('Report', 'environment', ['MODE']), call('Report', 'environment', ['PARTNER'])])
      .then(function (answers) {
        var mode = answers[0].args[0];
        var base = answers[1].args[0];
        if (mode === 'partner') return partner(base);
        if (mode === 'frames') return frames(base);
        if (mode === 'big') return big(base);
        if (mode === 'click') return click();
        if (mode === 'cookie') return cookie(base);
        if (mode === 'hijack') return hijack();
        if (mode === 'stream') return stream(base);
        if (mode === 'frameThroughNoContent') return frameThroughNoContent(base);
        if (mode === 'srcdoc') return srcdoc();
        report({ exception: 'unknown mode ' + mode });
      })
      .catch(function (e) { report({ exception: String(e) }); });
  });
})();
