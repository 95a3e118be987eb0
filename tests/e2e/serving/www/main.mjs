// What a web application of ES modules needs from the scheme it is served under: module
// scripts and workers, WebAssembly compiled while it streams, queries as WebKit sends them,
// ranges; and what an answer may not do (go elsewhere, be used by another origin).
import { twice } from './dep.mjs';

const found = { location: location.href, module: twice(21) };

async function text(response) {
  return response.status + ' ' + (await response.text());
}

// A WebM clip plays, seeks and plays on past the seek.
function playMedia() {
  return new Promise(function (resolve) {
    const video = document.createElement('video');
    const steps = [];
    video.muted = true;
    video.addEventListener('loadedmetadata', function () {
      steps.push('metadata');
      video.currentTime = 2;
    }, { once: true });
    video.addEventListener('seeked', function () {
      steps.push('seeked');
      video.play().catch(function (error) { resolve('play: ' + error.name); });
    }, { once: true });
    video.addEventListener('timeupdate', function () {
      if (video.currentTime > 2.3) resolve({ steps: steps, pastSeek: true, duration: Math.round(video.duration) });
    });
    video.addEventListener('error', function () { resolve('error ' + (video.error && video.error.code)); });
    setTimeout(function () { resolve({ steps: steps, pastSeek: false }); }, 15000);
    video.src = 'clip.webm';
    document.body.appendChild(video);
  });
}

async function run() {
  found.media = await playMedia();
  const worker = new Worker('worker.mjs', { type: 'module' });
  found.worker = await new Promise(function (resolve) {
    worker.onmessage = function (event) { resolve(event.data); };
    worker.onerror = function (event) { resolve('error ' + event.message); };
    setTimeout(function () { resolve('no answer'); }, 10000);
  });
  const wasm = await fetch('add.wasm');
  found.wasmType = wasm.headers.get('Content-Type');
  found.guarded = wasm.headers.get('Cross-Origin-Resource-Policy') + ' ' + wasm.headers.get('X-Content-Type-Options');
  found.wasm = (await WebAssembly.instantiateStreaming(fetch('add.wasm'))).instance.exports.add(2, 3);
  found.query = await text(await fetch('data.txt?q=%zz'));
  const range = await fetch('data.txt', { headers: { Range: 'bytes=1-3' } });
  found.range = (await text(range)) + ' ' + range.headers.get('Content-Range');
  found.head = (await fetch('data.txt', { method: 'HEAD' })).headers.get('Content-Length');
  try {
    found.redirect = await text(await fetch('away'));
  } catch (error) {
    found.redirect = 'failed';
  }
}

window.bridgeReady.then(run).catch(function (error) {
  found.error = String(error);
}).then(function () {
  document.getElementById('state').textContent = JSON.stringify(found);
  harbor.require('harbor/exec')(null, null, 'Report', 'report', [found]);
});
