// What the media tests do, chosen by VELTRO_E2E_MEDIA_MODE: "library" plays the player
// library's elements of every kind, "big" plays a large clip and seeks it while the shell's
// memory is read, "leave" plays a clip and then leaves for another origin, "stay" plays a clip
// and stays, for the test to look at the processes that played it.
(function () {
  'use strict';

  function exec(action, args) {
    return new Promise(function (resolve, reject) {
      harbor.require('harbor/exec')(resolve, reject, 'Report', action, args || []);
    });
  }
  function report(found, keepRunning) {
    document.getElementById('state').textContent = JSON.stringify(found);
    harbor.require('harbor/exec')(null, null, 'Report', 'report', keepRunning ? [found, true] : [found]);
  }
  function wait(ms) { return new Promise(function (resolve) { setTimeout(resolve, ms); }); }

  async function library() {
    var found = {};
    var markup = document.getElementById('markup');
    found.markup = await MiniPlayer.run(markup, 2);
    var property = MiniPlayer.make({ src: 'clip.webm', captions: 'captions.vtt' });
    found.canPlay = property.canPlay;
    var cue = MiniPlayer.firstCue(property.video, 15);
    found.property = await MiniPlayer.run(property.video, 2);
    found.cue = await cue;
    found.sources = await MiniPlayer.run(MiniPlayer.make({ src: 'clip.webm', sources: true }).video, 2);
    // A frame of the application's origin makes its own element.
    var frame = document.createElement('iframe');
    frame.src = 'frame.html';
    document.body.appendChild(frame);
    await new Promise(function (resolve) { frame.onload = resolve; });
    var inFrame = frame.contentWindow.MiniPlayer.make({ src: 'clip.webm', parent: frame.contentDocument.body });
    found.frame = await frame.contentWindow.MiniPlayer.run(inFrame.video, 2);
    return found;
  }

  async function big(seconds) {
    var found = { memory: {} };
    found.memory.before = (await exec('shellMemory')).residentKiB;
    await exec('memory', ['before']);
    var peak = found.memory.before;
    var sampling = setInterval(function () {
      exec('shellMemory').then(function (memory) { peak = Math.max(peak, memory.residentKiB); });
    }, 250);
    var video = MiniPlayer.make({ src: 'big.webm' }).video;
    var steps = [];
    var result = await new Promise(function (resolve) {
      video.addEventListener('error', function () { resolve('error ' + (video.error && video.error.code)); });
      video.addEventListener('loadedmetadata', async function () {
        steps.push('metadata');
        try {
          await video.play();
          var playing = seconds / 3;
          await wait(playing * 1000);
          var marks = [video.duration * 0.7, video.duration * 0.3];
          for (var i = 0; i < marks.length; i++) {
            var seeked = new Promise(function (done) { video.addEventListener('seeked', done, { once: true }); });
            video.currentTime = marks[i];
            await seeked;
            steps.push('seeked');
            var from = video.currentTime;
            await wait(playing * 1000);
            if (video.currentTime > from + 0.5) steps.push('played');
          }
          resolve({ steps: steps, duration: Math.round(video.duration) });
        } catch (error) {
          resolve('play: ' + error.name);
        }
      }, { once: true });
      setTimeout(function () { resolve({ steps: steps, timedOut: true }); }, (seconds + 60) * 1000);
    });
    clearInterval(sampling);
    video.pause();
    await exec('memory', ['played']);
    found.memory.peak = peak;
    found.big = result;
    return found;
  }

  async function run() {
    var mode = await exec('environment', ['MEDIA_MODE']);
    if (mode === 'library') return report(await library());
    if (mode === 'big') return report(await big(Number(await exec('environment', ['MEDIA_SECONDS'])) || 6));
    if (mode === 'stay') {
      var shown = MiniPlayer.make({ src: 'clip.webm' }).video;
      return report({ played: await MiniPlayer.run(shown, 1) }, true);
    }
    if (mode === 'leave') {
      var video = MiniPlayer.make({ src: 'clip.webm' }).video;
      report({ played: await MiniPlayer.run(video, 1) }, true);
      await wait(300);
      location.href = await exec('environment', ['FOREIGN_URL']);
      return;
    }
    report({ error: 'no mode ' + mode });
  }

  window.bridgeReady.then(run).catch(function (error) { report({ error: String(error) }); });
})();
