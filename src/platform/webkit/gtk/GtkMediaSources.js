// WebKitGTK's media player (GStreamer) loads only URLs of the web's own schemes: a <video> or
// <audio> whose source is a file of the page's custom-scheme origin ("app:", "veltro:") fails
// at once with MEDIA_ERR_SRC_NOT_SUPPORTED, although the scheme answers the same file to
// fetch(). Run at document start in the top frame, this script fetches such a source through
// the scheme and plays it from a blob: URL, at the position and in the state the element was
// in; the page does not see the first failure. Sources of other origins are left alone.
(function () {
  'use strict';

  var playerSchemes = ['http:', 'https:', 'blob:', 'file:', 'data:', 'about:'];
  // Element -> { source: the page's URL, blob: the blob: URL standing for it }.
  var adopted = new WeakMap();

  // The absolute URL of a file of the page's own custom-scheme origin, or null.
  function ownCustomSchemeFile(text) {
    if (!text) return null;
    var url;
    try {
      url = new URL(text, document.baseURI);
    } catch (e) {
      return null;
    }
    if (playerSchemes.indexOf(url.protocol) >= 0) return null;
    if (url.protocol !== location.protocol || url.host !== location.host) return null;
    return url.href;
  }

  function adopt(media, source) {
    var previous = adopted.get(media);
    if (previous && previous.source === source) return false;
    if (previous && previous.blob) URL.revokeObjectURL(previous.blob);
    var entry = { source: source, blob: null };
    adopted.set(media, entry);
    var position = media.currentTime;
    var play = media.autoplay || !media.paused;
    fetch(source).then(function (response) {
      if (!response.ok) throw new Error('status ' + response.status);
      return response.blob();
    }).then(function (blob) {
      if (adopted.get(media) !== entry) return;
      entry.blob = URL.createObjectURL(blob);
      if (position > 0) {
        media.addEventListener('loadedmetadata', function () { media.currentTime = position; }, { once: true });
      }
      media.src = entry.blob;
      if (play) media.play().catch(function () {});
    }).catch(function () {
      // The file cannot be had either way: the page learns of the failure after all.
      if (adopted.get(media) === entry) media.dispatchEvent(new Event('error'));
    });
    return true;
  }

  window.addEventListener('error', function (event) {
    var target = event.target;
    var fromSource = target instanceof HTMLSourceElement;
    var media = fromSource ? target.parentElement : target;
    if (!(media instanceof HTMLMediaElement)) return;
    if (!fromSource && !(media.error && media.error.code === MediaError.MEDIA_ERR_SRC_NOT_SUPPORTED)) return;
    if (fromSource && target.type && !media.canPlayType(target.type)) return;
    var source = ownCustomSchemeFile(fromSource ? target.src : media.currentSrc || media.getAttribute('src'));
    if (source && adopt(media, source)) event.stopImmediatePropagation();
  }, true);
})();
