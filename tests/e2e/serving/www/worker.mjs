// A module worker: imports a module and compiles WebAssembly from a stream of its own.
import { twice } from './dep.mjs';

WebAssembly.instantiateStreaming(fetch('add.wasm')).then(function (result) {
  postMessage({ twice: twice(2), add: result.instance.exports.add(40, 2) });
}, function (error) {
  postMessage({ error: String(error) });
});
