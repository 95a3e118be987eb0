// The media benchmark's page, the same in the shell and in the bare WebKitGTK program: one
// clip plays for window.mediaBench.seconds of playing time in three stretches, with a seek
// between each two (to 70% of the clip, then to 30%), while the program's memory is taken
// every 250 ms through the channel (benchChannel.measure: the program, WebKit's web and
// network processes, each on its own). It reports what played: the clip's duration, how far
// each stretch moved, how long each seek took, the frames decoded; the program adds the
// memory taken at each point.
//
// window.mediaBench = { seconds: 10, scheme: 'app' | 'veltro' | 'file' }
(function () {
  'use strict';

  var config = window.mediaBench || {};
  var seconds = config.seconds || 10;
  var channel = window.benchChannel;

  function wait(ms) { return new Promise(function (resolve) { setTimeout(resolve, ms); }); }
  function measure(name) { return new Promise(function (resolve) { channel.measure(name, resolve); }); }
  function exec(service, action, args) {
    return new Promise(function (resolve, reject) {
      harbor.require('harbor/exec')(resolve, reject, service, action, args || []);
    });
  }
  // Resolves with the event's name, or with 'timeout' after `ms`.
  function event(target, name, ms) {
    return new Promise(function (resolve) {
      var timer = setTimeout(function () { resolve('timeout'); }, ms);
      target.addEventListener(name, function () { clearTimeout(timer); resolve(name); }, { once: true });
    });
  }

  // Under "veltro" the page waits until the cache runs the version that holds the clip.
  async function cacheReady() {
    for (var tries = 0; tries < 3000; tries++) {
      if (await exec('CacheSeed', 'runningVersion') === 'v1') return true;
      await wait(100);
    }
    return false;
  }

  async function play() {
    var found = { steps: [], advanced: [], seekMs: [] };
    var sampling = true;
    var samples = 0;
    var sampler = (async function () {
      while (sampling) {
        await measure('sample-' + (samples++));
        await wait(250);
      }
    })();

    var video = document.createElement('video');
    video.muted = true;
    video.playsInline = true;
    video.preload = 'auto';
    var failed = null;
    video.addEventListener('error', function () { failed = 'media error ' + (video.error && video.error.code); });
    var metadata = event(video, 'loadedmetadata', 60000);
    video.src = 'clip.webm';
    document.body.appendChild(video);
    try {
      if (await metadata !== 'loadedmetadata') throw new Error(failed || 'no metadata within 60 s');
      found.steps.push('metadata');
      found.duration = video.duration;
      // Each stretch stays inside the clip: one that ran to its end would seek an ended video.
      if (seconds * 0.4 >= video.duration) throw new Error('the clip is too short for ' + seconds + ' s of playing');
      await video.play();
      // Playing time in three stretches: 40%, 30%, 30%, the seeks between them.
      var stretches = [0.4, 0.3, 0.3];
      var marks = [0.7, 0.3];
      for (var i = 0; i < stretches.length; i++) {
        var from = video.currentTime;
        await wait(seconds * stretches[i] * 1000);
        found.advanced.push(Math.round((video.currentTime - from) * 100) / 100);
        if (i === marks.length) break;
        var started = performance.now();
        var seeked = event(video, 'seeked', 30000);
        video.currentTime = video.duration * marks[i];
        if (await seeked !== 'seeked') throw new Error(failed || 'no seek within 30 s');
        found.seekMs.push(Math.round(performance.now() - started));
        found.steps.push('seeked');
      }
      var quality = video.getVideoPlaybackQuality ? video.getVideoPlaybackQuality() : null;
      if (quality) found.frames = { decoded: quality.totalVideoFrames, dropped: quality.droppedVideoFrames };
    } catch (error) {
      found.error = failed || String(error.message || error);
    }
    video.pause();
    sampling = false;
    await sampler;
    await measure('played');
    found.samples = samples;
    video.removeAttribute('src');
    video.load();
    return found;
  }

  channel.ready(async function () {
    try {
      if (config.scheme === 'veltro' && !(await cacheReady())) return channel.report({ error: 'the cache never ran v1' });
      // The shell's run that only fills the cache ends here.
      if (config.scheme === 'veltro' && await exec('Report', 'environment', ['MEDIA_FILL']) === '1')
        return channel.report({ filled: true });
      // A quiet second after start-up, so that neither program's start is in the figure.
      await wait(1000);
      await measure('before');
      channel.report(await play());
    } catch (error) {
      channel.report({ error: String(error) });
    }
  });
})();
