// Network side of the Orlune player, run as a module Worker so that a busy page (layout,
// garbage collection, a slow script) never holds up the audio: datagrams go from the
// WebSocket straight to the AudioWorklet over a MessagePort, without passing the page's
// main thread. The logic is socket-session.js's; this file wires it to the worker.
//
// From the page:
//   {type: 'start', url, quality, webCodecs} with a MessagePort to the worklet
//        connect (and keep connecting); quality: 'auto' or a tier name; webCodecs: false
//        where the page must not use AudioDecoder (the WebAssembly decoder is used then)
//   {type: 'quality', quality, serial}                          Auto or a fixed tier
//   {type: 'stop'}                                              close, stop reconnecting
// To the page:
//   {type: 'connection', connection, reconnectAt, live, error, counters, quality}
// To the worklet (over the port):
//   {type: 'packet', buffer, arrival, id, epoch}   arrival: epoch ms (timeOrigin + now)
//   {type: 'pcm', seq, pos, buffer, arrival, id, epoch, held}   decoded Opus
//   {type: 'discontinuity'} | {type: 'end'} | {type: 'skip', dropped}
// From the worklet: {type: 'underruns', count}

import { SocketSession } from './socket-session.js';

const REPORT_MS = 250;

function loadWasmDecoder() {
  // The package's single-file build defines a global when loaded as a module. It also
  // defines a threaded variant as a subclass of Worker, which a browser without nested
  // workers lacks; that variant is not used here.
  globalThis.Worker ??= class {};
  return import('./opus-decoder.min.js').then(() => {
    const lib = globalThis['opus-decoder'];
    if (!lib || typeof lib.OpusDecoder !== 'function') throw new Error('opus-decoder.min.js did not load');
    return lib;
  });
}

const session = new SocketSession({
  WebSocket: self.WebSocket,
  setTimeout: (fn, ms) => setTimeout(fn, ms),
  clearTimeout: (id) => clearTimeout(id),
  now: () => performance.timeOrigin + performance.now(),
  mono: () => performance.now(),
  report: (msg) => self.postMessage(msg),
  loadWasm: loadWasmDecoder,
});

self.onmessage = (event) => {
  const msg = event.data;
  if (msg.type === 'start') session.start(msg, event.ports[0]);
  else if (msg.type === 'quality') session.setQuality(msg.quality, msg.serial);
  else if (msg.type === 'stop') {
    session.stop();
    session.audio = null;
  }
};

setInterval(() => session.tick(), REPORT_MS);
