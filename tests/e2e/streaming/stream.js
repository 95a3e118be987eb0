// Large answers of the application's schemes. Phase "fill" (environment VELTRO_E2E_PHASE)
// waits until the cache runs v1. Otherwise the page asks for the first 1,446 bytes of big.bin
// (a media player's first probe) and counts what the shell read for it, then fetches big.bin
// VELTRO_E2E_FETCHES times at once, reading each body as it comes without keeping it, and
// reports the shell's resident memory before and its peak during the fetches.
(function () {
  'use strict';
  document.addEventListener('deviceready', function () {
    var exec = harbor.require('harbor/exec');
    function call(service, action, args) {
      return new Promise(function (resolve, reject) { exec(resolve, reject, service, action, args || []); });
    }
    function wait(ms) { return new Promise(function (resolve) { setTimeout(resolve, ms); }); }
    async function drain(response) {
      var reader = response.body.getReader();
      var bytes = 0;
      for (;;) {
        var read = await reader.read();
        if (read.done) return bytes;
        bytes += read.value.length;
      }
    }
    (async function () {
      var found = { location: location.href };
      var phase = await call('Report', 'environment', ['PHASE']);
      if (phase === 'fill') {
        for (var tries = 0; tries < 1200; tries++) {
          found.runningVersion = await call('CacheSeed', 'runningVersion');
          if (found.runningVersion === 'v1') break;
          await wait(100);
        }
        return found;
      }
      await wait(500);
      var before = await call('Report', 'shellReadBytes');
      var ranged = await fetch('big.bin', { headers: { Range: 'bytes=0-1445' }, cache: 'no-store' });
      var part = new Uint8Array(await ranged.arrayBuffer());
      var after = await call('Report', 'shellReadBytes');
      found.range = { status: ranged.status, length: part.length, contentRange: ranged.headers.get('Content-Range'),
                      readBytes: after - before };
      await wait(1000);
      var memory = await call('Report', 'shellMemory');
      await call('Report', 'resetMemoryPeak');
      var count = Number(await call('Report', 'environment', ['FETCHES'])) || 16;
      var started = performance.now();
      var fetched = await Promise.all(Array.from({ length: count }, async function () {
        try {
          var response = await fetch('big.bin', { cache: 'no-store' });
          var bytes = await drain(response);
          return response.status === 200 ? bytes : -response.status;
        } catch (error) {
          return String(error);
        }
      }));
      found.ms = performance.now() - started;
      var peak = await call('Report', 'shellMemory');
      found.memory = { beforeKiB: memory.residentKiB, peakKiB: peak.peakKiB };
      found.fetched = fetched;
      return found;
    })().catch(function (error) {
      return { error: String(error) };
    }).then(function (found) {
      exec(null, null, 'Report', 'report', [found]);
    });
  });
})();
