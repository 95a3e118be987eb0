// The JavaScript side of the Harbor bridge: a tiny module system ("harbor.require"), the
// "harbor/exec" module that sends plugin calls to the native shell and resolves their
// callbacks, fixed callback channels ("listen"), document events fired by the shell, and the
// "deviceready" event.
(function () {
  'use strict';

  if (window.harbor) return;

  var modules = {};

  function define(id, factory) {
    if (modules[id]) throw new Error('module ' + id + ' already defined');
    modules[id] = { factory: factory, built: false, exports: undefined };
  }

  function require(id) {
    var module = modules[id];
    if (!module) throw new Error('module ' + id + ' not found');
    if (!module.built) {
      module.built = true;
      module.exports = {};
      var result = module.factory(require, module.exports, module);
      if (result !== undefined) module.exports = result;
    }
    return module.exports;
  }

  define('harbor/base64', function (require, exports) {
    // The engine's own coders where it has them; otherwise btoa/atob on "binary strings",
    // in chunks that keep String.fromCharCode within argument limits.
    var native = typeof Uint8Array.fromBase64 === 'function' && typeof Uint8Array.prototype.toBase64 === 'function';
    exports.fromArrayBuffer = function (buffer) {
      var bytes = buffer instanceof Uint8Array ? buffer : new Uint8Array(buffer);
      if (native) return bytes.toBase64();
      var parts = [];
      for (var i = 0; i < bytes.length; i += 0x8000) {
        parts.push(String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000)));
      }
      return btoa(parts.join(''));
    };
    exports.toArrayBuffer = function (base64) {
      if (native) return Uint8Array.fromBase64(base64 || '').buffer;
      var text = atob(base64 || '');
      var bytes = new Uint8Array(text.length);
      for (var i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
      return bytes.buffer;
    };
  });

  define('harbor/exec', function (require) {
    var base64 = require('harbor/base64');
    // Maps, so that no id ("__proto__", "constructor") finds anything it was not given, and
    // an id that is used once costs no property name of its own.
    var callbacks = new Map();
    // Callbacks on fixed ids, on which plugins send events that answer no call. They stay for
    // as long as the page runs, whatever keep flag each result carries.
    var channels = new Map();
    var nextCallback = Math.floor(Math.random() * 2000000000);
    // Calls made while the shell evaluates a callback or an event are handed back as the
    // evaluation's result, so they need no message of their own.
    var queued = [];
    var nativeDepth = 0;
    // Set from handing a batch back until the next task: the batch reaches the shell with the
    // end of the evaluation, so a call made after it in the same task (a promise continuation)
    // must not overtake it as a message of its own; it waits for the next task or evaluation.
    // The shell's next evaluation is such a task and ends the hold; a call that waits asks for
    // a timer to send it, so a page that calls only from its callbacks sets none.
    var holding = false;
    // Whether the evaluation that handed the batch back has ended (its microtasks have begun):
    // until then the shell's answers run within it, one after another, and keep the hold.
    var heldEvaluationEnded = false;
    var releasing = false;

    function channel() {
      var webkit = window.webkit;
      return webkit && webkit.messageHandlers && webkit.messageHandlers.harbor;
    }

    // WebKitGTK's script messages carry no bytes (an ArrayBuffer arrives as an empty object),
    // so binary arguments travel in Base64: in a batch's text, or wrapped for a channel that
    // takes bytes (`bytes`) and codes them itself as the message is posted.
    function encodeArgument(value) {
      if (value instanceof ArrayBuffer) {
        return { HBRType: 'ArrayBuffer', data: base64.fromArrayBuffer(value) };
      }
      if (ArrayBuffer.isView(value)) {
        return { HBRType: 'ArrayBuffer', data: base64.fromArrayBuffer(new Uint8Array(value.buffer, value.byteOffset, value.byteLength)) };
      }
      return value;
    }

    function wrapArgument(handler, value) {
      if (!(value instanceof ArrayBuffer) && !ArrayBuffer.isView(value)) return value;
      return { HBRType: 'ArrayBuffer', data: handler.bytes(value) };
    }

    function decodeMessage(message) {
      if (message && message.HBRType === 'ArrayBuffer') return [base64.toArrayBuffer(message.data)];
      if (message && message.HBRType === 'MultiPart') {
        return (message.messages || []).map(function (part) {
          return part && part.HBRType === 'ArrayBuffer' ? base64.toArrayBuffer(part.data) : part;
        });
      }
      return [message];
    }

    function hasBinary(args) {
      for (var i = 0; i < args.length; i++) {
        var value = args[i];
        if (value instanceof ArrayBuffer || ArrayBuffer.isView(value)) return true;
      }
      return false;
    }

    // Arguments this large cross faster as a message of their own than inside a batch, which
    // is text the shell must parse again.
    var LARGE_ARGUMENT = 32 * 1024;

    function isLarge(args) {
      for (var i = 0; i < args.length; i++) {
        var value = args[i];
        if (typeof value === 'string' ? value.length >= LARGE_ARGUMENT
                                      : value instanceof ArrayBuffer || ArrayBuffer.isView(value)) {
          if (typeof value === 'string' || value.byteLength >= LARGE_ARGUMENT) return true;
        }
      }
      return false;
    }

    function exec(success, fail, service, action, args) {
      if (!Array.isArray(args)) args = [];
      var callbackId = null;
      if (typeof success === 'function' || typeof fail === 'function') {
        do {
          callbackId = service + nextCallback++;
        } while (channels.has(callbackId));
        callbacks.set(callbackId, { success: success, fail: fail });
      }
      var handler = channel();
      // Inside a callback, calls wait for the end of the shell's evaluation, which takes them
      // back as one batch. A large one may still go at once when nothing waits before it,
      // since a message sent now reaches the shell before the evaluation's answer.
      var asText = !handler || holding || (nativeDepth > 0 && (queued.length > 0 || !isLarge(args)));
      // Most calls carry no binary data and go out as they are.
      if (hasBinary(args)) {
        if (!asText && typeof handler.bytes === 'function') {
          args = args.map(function (value) { return wrapArgument(handler, value); });
        } else {
          args = args.map(encodeArgument);
        }
      }
      var command = [callbackId, service, action, args];
      if (asText) {
        queued.push(command);
        if (holding && nativeDepth === 0 && !releasing) {
          releasing = true;
          setTimeout(release, 0);
        }
        return;
      }
      handler.postMessage(command);
    }

    function nativeFetchMessages() {
      if (queued.length === 0) return '';
      var batch = JSON.stringify(queued);
      queued = [];
      holding = true;
      heldEvaluationEnded = false;
      queueMicrotask(endHeldEvaluation);
      return batch;
    }

    function endHeldEvaluation() {
      heldEvaluationEnded = true;
    }

    // What an evaluation hands back: a batch when calls wait, else nothing at all (no text
    // the shell would have to take and read).
    function fetchIfAny() {
      return queued.length === 0 ? undefined : nativeFetchMessages();
    }

    // Called as the shell's evaluation of an answer or a script starts. Once the evaluation
    // that handed a batch back has ended, this one is a later task: the batch has reached the
    // shell. Calls still waiting go with this evaluation's batch, ahead of those it makes.
    function startEvaluation() {
      if (nativeDepth === 0 && holding && heldEvaluationEnded) holding = false;
    }

    // Calls held back while a batch was on its way go out now, in the order they were made.
    function release() {
      releasing = false;
      holding = false;
      var handler = channel();
      if (nativeDepth > 0 || !handler) return;
      var waiting = queued;
      queued = [];
      for (var i = 0; i < waiting.length; i++) handler.postMessage(waiting[i]);
    }

    function nativeEvalAndFetch(fn) {
      startEvaluation();
      nativeDepth++;
      try {
        fn();
      } catch (e) {
        console.log('harbor: exception in native evaluation: ' + e);
      } finally {
        nativeDepth--;
      }
      return fetchIfAny();
    }

    // The shell answers only ids made of these characters.
    var CHANNEL_ID = /^[A-Za-z0-9._-]{1,100}$/;

    function isCallable(value) {
      return value === undefined || value === null || typeof value === 'function';
    }

    function listen(channel, success, fail) {
      if (typeof channel !== 'string' || !CHANNEL_ID.test(channel)) {
        throw new TypeError('harbor: a channel is 1 to 100 letters, digits, ".", "_" or "-"');
      }
      if (!isCallable(success) || !isCallable(fail)) {
        throw new TypeError('harbor: the callbacks of channel ' + channel + ' must be functions');
      }
      channels.set(channel, { success: success, fail: fail });
    }

    function nativeCallback(callbackId, status, message, keepCallback, isVerbose) {
      // The same as nativeEvalAndFetch around the callback, without a closure per answer.
      // Ids are looked up as property names were: as strings.
      if (typeof callbackId !== 'string') callbackId = String(callbackId);
      var callback = channels.get(callbackId);
      if (!callback) {
        callback = callbacks.get(callbackId);
        if (callback && !keepCallback) callbacks.delete(callbackId);
      }
      startEvaluation();
      if (callback) {
        var target = status === 0 || status === 1 ? callback.success : callback.fail;
        if (typeof target === 'function') {
          nativeDepth++;
          try {
            target.apply(null, decodeMessage(message));
          } catch (e) {
            console.log('harbor: exception in callback ' + callbackId + ': ' + e);
          } finally {
            nativeDepth--;
          }
        }
      }
      return fetchIfAny();
    }

    exec.listen = listen;
    exec.nativeCallback = nativeCallback;
    exec.nativeFetchMessages = nativeFetchMessages;
    exec.nativeEvalAndFetch = nativeEvalAndFetch;
    return exec;
  });

  // "deviceready" is sticky: a listener added after it fired is still called, once.
  var deviceReady = false;
  var addEventListener = document.addEventListener;
  document.addEventListener = function (type, listener, options) {
    if (type === 'deviceready' && deviceReady) {
      setTimeout(function () {
        if (typeof listener === 'function') listener.call(document, new Event('deviceready'));
        else if (listener && typeof listener.handleEvent === 'function') listener.handleEvent(new Event('deviceready'));
      }, 0);
      return;
    }
    return addEventListener.call(document, type, listener, options);
  };

  function createEvent(type, data) {
    var event = new Event(type, { bubbles: false, cancelable: false });
    if (data) {
      for (var key in data) {
        if (Object.prototype.hasOwnProperty.call(data, key) && !(key in event)) event[key] = data[key];
      }
    }
    return event;
  }

  function fireDocumentEvent(type, data, bNoDetach) {
    var event = createEvent(type, data);
    if (bNoDetach) {
      document.dispatchEvent(event);
    } else {
      // Detached, so the shell's evaluation returns before the page's listeners run.
      setTimeout(function () { document.dispatchEvent(event); }, 0);
    }
  }

  window.harbor = Object.freeze({
    define: define,
    require: require,
    exec: function () { return require('harbor/exec').apply(null, arguments); },
    listen: function (channel, success, fail) { require('harbor/exec').listen(channel, success, fail); },
    fireDocumentEvent: fireDocumentEvent
  });

  function announceReady() {
    if (deviceReady) return;
    deviceReady = true;
    document.dispatchEvent(new Event('deviceready'));
  }
  if (document.readyState === 'loading') {
    addEventListener.call(document, 'DOMContentLoaded', announceReady);
  } else {
    setTimeout(announceReady, 0);
  }
})();
