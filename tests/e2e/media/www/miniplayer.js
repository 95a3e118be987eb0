// A small media player library, written the way such libraries work: it asks canPlayType
// before it picks a source, makes its elements with createElement, sets `src` as a property
// or adds <source> children by script, adopts elements the page's markup made, and shows
// WebVTT captions through <track>. MiniPlayer.run(video) plays an element, seeks it and plays
// on past the seek; it answers what happened.
(function (global) {
  'use strict';

  var webm = 'video/webm; codecs="vp8"';

  function make(options) {
    var video = document.createElement('video');
    video.muted = true;
    video.playsInline = true;
    video.preload = 'auto';
    if (options.captions) {
      var track = document.createElement('track');
      track.kind = 'captions';
      track.srclang = 'en';
      track.label = 'English';
      track.src = options.captions;
      track.default = true;
      video.appendChild(track);
    }
    var canPlay = video.canPlayType(webm);
    if (options.sources) {
      // A type the browser cannot play first, as libraries list their fallbacks.
      var none = document.createElement('source');
      none.type = 'video/x-nothing';
      none.src = 'nothing.bin';
      video.appendChild(none);
      var source = document.createElement('source');
      source.type = webm;
      source.src = options.src;
      video.appendChild(source);
    } else if (canPlay) {
      video.src = options.src;
    }
    (options.parent || document.body).appendChild(video);
    return { video: video, canPlay: canPlay };
  }

  function firstCue(video, seconds) {
    return new Promise(function (resolve) {
      var track = video.textTracks[0];
      if (!track) return resolve('no track');
      track.mode = 'hidden';
      function check() {
        var cues = track.activeCues;
        if (cues && cues.length) resolve(cues[0].text);
      }
      track.addEventListener('cuechange', check);
      setTimeout(function () { check(); resolve('no active cue'); }, seconds * 1000);
    });
  }

  // Plays from the start, seeks to `at` seconds, and plays on past it.
  function run(video, at, seconds) {
    return new Promise(function (resolve) {
      var steps = [];
      var done = false;
      function finish(result) {
        if (done) return;
        done = true;
        video.pause();
        resolve(result);
      }
      function started() {
        if (steps.indexOf('metadata') >= 0) return;
        steps.push('metadata');
        video.play().then(function () {
          steps.push('playing');
          video.currentTime = at;
        }).catch(function (error) { finish('play: ' + error.name); });
      }
      video.addEventListener('loadedmetadata', started);
      if (video.readyState >= 1) started();
      video.addEventListener('seeked', function () { steps.push('seeked'); });
      video.addEventListener('timeupdate', function () {
        if (steps.indexOf('seeked') >= 0 && video.currentTime > at + 0.3)
          finish({ steps: steps, duration: Math.round(video.duration), source: video.currentSrc.split('/').pop() });
      });
      video.addEventListener('error', function () { finish('error ' + (video.error && video.error.code)); });
      setTimeout(function () { finish({ steps: steps, timedOut: true, error: video.error && video.error.code }); },
                 (seconds || 20) * 1000);
    });
  }

  global.MiniPlayer = { make: make, run: run, firstCue: firstCue, webm: webm };
})(window);
