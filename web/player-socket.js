// Network side of the Orlune player, run as a module Worker so that a busy page (layout,
// garbage collection, a slow script) never holds up the audio: datagrams go from the
// WebSocket straight to the AudioWorklet over a MessagePort, without passing the page's
// main thread.
//
// Opus tiers are decoded here too (opus-decoding.js), off the audio thread, and reach the
// worklet as blocks of float32 audio; the quality choice (Auto, auto-quality.js, or a tier
// the listener fixed) lives here as well, since this is where arrival is seen.
//
// From the page:
//   {type: 'start', url, quality, webCodecs} with a MessagePort to the worklet
//        connect (and keep connecting); quality: 'auto' or a tier name; webCodecs: false
//        when the page has no AudioDecoder (the WebAssembly decoder is used then)
//   {type: 'quality', quality}                                  Auto or a fixed tier
//   {type: 'stop'}                                              close, stop reconnecting
// To the page:
//   {type: 'connection', connection, reconnectAt, live, error, counters, quality}
// To the worklet (over the port):
//   {type: 'packet', buffer, arrival, id, epoch}   arrival: epoch ms (timeOrigin + now)
//   {type: 'pcm', seq, pos, buffer, arrival, id, epoch}   decoded Opus
//   {type: 'discontinuity'} | {type: 'end'} | {type: 'skip', dropped}
// From the worklet: {type: 'underruns', count}

import { Backoff, checkHello } from './player-core.js';
import { AutoQuality } from './auto-quality.js';
import { OPUS_DELAY_FRAMES, OpusFeed, openOpusBackend } from './opus-decoding.js';
import { OPUS_CODEC, PCM_CODEC, parseOpusMessage, playableTiers, streamFormat, withQuality } from './stream-format.js';

const PACKET_BYTES = 2064;
const STABLE_CONNECTION_MS = 5000;
const REPORT_MS = 250;
const REQUEST_SPACING_MS = 250; // quality requests are coalesced to one per this long
const RATE_WINDOW_MS = 2000;
// The tiers the relay's protocol names; a link may only ask for these at connect time (an
// unknown one would be refused), the rest of the choice waits for the hello's list.
const PROTOCOL_TIERS = new Set(['low', 'standard', 'high', 'lossless']);

let url = null;
let audio = null;
let ws = null;
let running = false;
let connection = 'closed'; // closed | connecting | open | reconnecting
let live = null;
let error = null;
let reconnectTimer = null;
let reconnectAt = 0;
let openedAt = 0;
let nextId = 0;
const backoff = new Backoff();
const counters = {
  packets: 0,
  malformed: 0,
  connects: 0,
  reconnects: 0,
  skipMessages: 0,
  bytes: 0,
  undecodable: 0, // messages in a codec this page cannot play
  relayErrors: 0,
  qualityRequests: 0,
  formatChanges: 0,
};

// Quality: what the listener asked for, what the relay sends, and the decoder.
let mode = 'auto'; // 'auto' or a tier name
let tiers = []; // playable tiers of this relay, cheapest first
let format = null; // from the latest hello or codec event
let formatError = null;
let auto = null;
let epoch = 0;
let wanted = null; // tier to ask the relay for
let inFlight = null; // tier asked for that no codec event has confirmed yet
const IN_FLIGHT_MS = 3000; // a request unanswered this long is taken as not followed
let lastRequestAt = -Infinity;
let requestTimer = null;
let note = null; // why the page is not playing what was asked for
let relayError = null;
let backendReady = null;
let feed = null;
let decoderKind = null;
let underrunCount = 0;
let qualitySerial = 0; // the page's latest quality choice that this worker has taken in
const arrivals = []; // {t, bytes} over RATE_WINDOW_MS

const now = () => performance.timeOrigin + performance.now();
const mono = () => performance.now();

function receivedBps(t) {
  while (arrivals.length > 0 && arrivals[0].t < t - RATE_WINDOW_MS) arrivals.shift();
  let bytes = 0;
  for (const a of arrivals) bytes += a.bytes;
  return Math.round((bytes * 8 * 1000) / RATE_WINDOW_MS);
}

function qualityReport() {
  const t = mono();
  return {
    mode,
    serial: qualitySerial,
    tier: format ? format.tier : null,
    codec: format ? format.codec : null,
    bitrate: format ? format.bitrate : 0,
    formatError,
    tiers: tiers.map((x) => ({ ...x })),
    receivedBps: receivedBps(t),
    decoder: decoderKind,
    auto: auto ? auto.summary(t) : null,
    requested: wanted || inFlight,
    note,
    relayError,
    opus: feed ? { ...feed.counters, pending: feed.pending } : null,
  };
}

function report() {
  self.postMessage({ type: 'connection', connection, reconnectAt, live, error, counters: { ...counters }, quality: qualityReport() });
}

// Posts to the worklet in stream order: behind any Opus block still being decoded.
function toAudio(msg, transfer) {
  const post = () => {
    if (audio) audio.postMessage(msg, transfer || []);
  };
  if (feed) feed.inOrder(post);
  else post();
}

function emitBlock(e) {
  let samples = e.samples;
  if (samples.byteOffset !== 0 || samples.buffer.byteLength !== samples.byteLength) samples = samples.slice();
  // Decoded audio comes out OPUS_DELAY_FRAMES late: placed where it belongs, a change to or
  // from Lossless joins at the same instant of the music.
  const pos = e.pos - OPUS_DELAY_FRAMES;
  const msg = { type: 'pcm', seq: e.seq, pos, buffer: samples.buffer, arrival: e.arrival, id: e.id, epoch: e.epoch };
  if (audio) audio.postMessage(msg, [samples.buffer]);
}

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

function openDecoder(webCodecs) {
  if (!backendReady) {
    backendReady = openOpusBackend({ webCodecs, loadWasm: loadWasmDecoder }).then((backend) => {
      decoderKind = backend ? backend.kind : null;
      if (backend) feed = new OpusFeed({ backend, emit: emitBlock, now: () => performance.now() });
      return backend;
    });
  }
  return backendReady;
}

// The quality asked for in the link at connect time.
function connectQuality() {
  if (!feed) return 'lossless'; // no Opus decoder: the float32 stream is all this page plays
  return mode === 'auto' || !PROTOCOL_TIERS.has(mode) ? 'auto' : mode;
}

function newEpoch() {
  epoch++;
  if (feed) feed.restart(epoch);
}

function connect() {
  connection = counters.connects > 0 ? 'reconnecting' : 'connecting';
  counters.connects++;
  let socket;
  try {
    socket = new WebSocket(withQuality(url, connectQuality()));
  } catch (err) {
    error = `cannot open ${url}: ${err.message}`;
    running = false;
    report();
    return;
  }
  socket.binaryType = 'arraybuffer';
  ws = socket;
  socket.onopen = () => {
    if (ws !== socket) return;
    connection = 'open';
    openedAt = now();
    newEpoch();
    if (auto) auto.newStream(mono());
    toAudio({ type: 'discontinuity' });
    report();
  };
  socket.onmessage = (event) => {
    if (ws !== socket) return;
    if (typeof event.data === 'string') onText(event.data);
    else onBinary(event.data);
  };
  socket.onclose = () => {
    if (ws !== socket) return;
    ws = null;
    if (running) scheduleReconnect();
  };
  socket.onerror = () => {}; // a close event follows
  report();
}

function close() {
  const socket = ws;
  ws = null;
  if (socket) {
    socket.onopen = socket.onmessage = socket.onclose = socket.onerror = null;
    socket.close();
  }
}

function scheduleReconnect() {
  if (openedAt && now() - openedAt >= STABLE_CONNECTION_MS) backoff.reset();
  openedAt = 0;
  const delay = backoff.next();
  connection = 'reconnecting';
  reconnectAt = now() + delay;
  counters.reconnects++;
  toAudio({ type: 'end' });
  clearTimeout(reconnectTimer);
  reconnectTimer = setTimeout(() => {
    reconnectTimer = null;
    if (running) connect();
  }, delay);
  report();
}

function onText(text) {
  let msg;
  try {
    msg = JSON.parse(text);
  } catch {
    return;
  }
  if (!msg || typeof msg !== 'object') return;
  if (msg.type === 'hello') {
    const problem = checkHello(msg);
    if (problem) {
      error = `the relay sends a stream this page cannot play (${problem})`;
      stop();
      return;
    }
    live = !!msg.live;
    tiers = playableTiers(msg);
    setFormat(msg, 'hello');
    chooseQuality(mode);
  } else if (msg.type === 'codec') {
    setFormat(msg, msg.reason);
  } else if (msg.type === 'source') {
    live = !!msg.live;
    if (live) {
      newEpoch();
      if (auto) auto.newStream(mono());
    }
    toAudio({ type: live ? 'discontinuity' : 'end' });
  } else if (msg.type === 'skip') {
    counters.skipMessages++;
    const dropped = Number(msg.dropped) || 0;
    // The relay counts messages; the jitter buffer counts blocks (one per Opus frame).
    const blocks = format && format.codec === OPUS_CODEC ? dropped * format.framesPerMessage : dropped;
    if (feed && format && format.codec === OPUS_CODEC) feed.relaySkipped(blocks);
    if (auto) auto.noteSkip(mono());
    toAudio({ type: 'skip', dropped: blocks });
  } else if (msg.type === 'error') {
    counters.relayErrors++;
    relayError = typeof msg.message === 'string' ? msg.message.slice(0, 200) : 'error';
    wanted = null; // the request was refused; the tier stays what the relay says
    inFlight = null;
  } else {
    return;
  }
  report();
}

// A hello or codec event: binary messages from here on are in this format.
function setFormat(msg, reason) {
  const { format: f, error: problem } = streamFormat(msg);
  const before = format;
  formatError = problem || null;
  if (problem) {
    // Dropped and counted; ask for the one format every relay sends.
    format = { tier: String(msg.tier), codec: String(msg.codec), bitrate: 0, frameSamples: 0, framesPerMessage: 1 };
    if (tiers.some((t) => t.name === 'lossless') && msg.tier !== 'lossless') request('lossless');
  } else {
    format = f;
    if (f.codec === OPUS_CODEC && !feed) {
      formatError = 'no Opus decoder in this browser';
      if (tiers.some((t) => t.name === 'lossless')) request('lossless');
    }
  }
  if (before) counters.formatChanges++;
  if (inFlight === format.tier) inFlight = null;
  if (wanted === format.tier && !inFlight) wanted = null;
  newEpoch();
  if (auto) auto.noteTier(mono(), format.tier, reason);
}

// Auto or a fixed tier. A tier this relay does not offer (or this page cannot decode)
// falls back to Auto, and says so.
function chooseQuality(q) {
  note = null;
  const opusTiers = feed ? tiers.filter((t) => t.codec === OPUS_CODEC) : [];
  const offered = tiers.find((t) => t.name === q && (t.codec === PCM_CODEC || feed));
  if (q !== 'auto' && !offered) {
    if (tiers.length > 0) note = `quality "${q}" is not offered here; Auto instead`;
    q = 'auto';
  }
  mode = q;
  if (mode === 'auto') {
    if (opusTiers.length === 0) {
      auto = null;
      if (!feed && tiers.some((t) => t.codec === OPUS_CODEC)) note = 'no Opus decoder in this browser: Lossless only';
      return;
    }
    // From the tier playing if Auto may choose it, else where the relay starts Auto.
    const start = opusTiers.some((t) => t.name === 'standard') ? 'standard' : opusTiers[0].name;
    const current = format && opusTiers.some((t) => t.name === format.tier) ? format.tier : start;
    if (!auto) auto = new AutoQuality({ tiers: opusTiers, start: current, nowMs: mono() });
    request(current);
  } else {
    auto = null;
    request(mode);
  }
}

// The tier the relay is on once it has followed what was sent.
function headingFor() {
  if (inFlight && mono() - lastRequestAt > IN_FLIGHT_MS) inFlight = null;
  return inFlight || (format ? format.tier : null);
}

// Asks the relay for a tier; at most one request per REQUEST_SPACING_MS, the latest wins.
function request(tier) {
  wanted = headingFor() === tier ? null : tier;
  if (requestTimer !== null) return;
  const wait = lastRequestAt + REQUEST_SPACING_MS - mono();
  if (wait > 0) {
    requestTimer = setTimeout(() => {
      requestTimer = null;
      sendRequest();
    }, wait);
  } else {
    sendRequest();
  }
}

function sendRequest() {
  if (!wanted || !ws || ws.readyState !== 1) return;
  if (headingFor() === wanted) {
    wanted = null;
    return;
  }
  lastRequestAt = mono();
  counters.qualityRequests++;
  ws.send(JSON.stringify({ type: 'quality', tier: wanted }));
  inFlight = wanted;
  wanted = null;
}

function onBinary(buffer) {
  if (!(buffer instanceof ArrayBuffer)) {
    counters.malformed++;
    return;
  }
  const t = mono();
  counters.bytes += buffer.byteLength;
  arrivals.push({ t, bytes: buffer.byteLength });
  const codec = format ? format.codec : PCM_CODEC;
  if (codec === PCM_CODEC) {
    if (buffer.byteLength !== PACKET_BYTES) {
      counters.malformed++;
      return;
    }
    markLive();
    if (auto) auto.noteMessage(t, buffer.byteLength, readPosition(buffer) + 256);
    toAudio({ type: 'packet', buffer, arrival: now(), id: nextId++, epoch }, [buffer]);
    return;
  }
  if (codec !== OPUS_CODEC || !feed) {
    counters.undecodable++;
    return;
  }
  const message = parseOpusMessage(buffer);
  if (!message) {
    counters.malformed++;
    return;
  }
  markLive();
  if (auto) auto.noteMessage(t, buffer.byteLength, message.samplePosition + message.packets.length * message.frameSamples);
  feed.push(message, now(), nextId++);
}

function readPosition(buffer) {
  const v = new DataView(buffer);
  return v.getInt32(12, true) * 4294967296 + v.getUint32(8, true);
}

function markLive() {
  counters.packets++;
  if (live !== true) {
    live = true;
    report();
  }
}

function onAudioMessage(msg) {
  if (!msg || msg.type !== 'underruns') return;
  const count = Number(msg.count) || 0;
  if (count > underrunCount && auto) auto.noteUnderrun(mono());
  underrunCount = count;
}

function tick() {
  if (feed) feed.flush();
  // A request the relay did not follow: Auto goes on from the tier actually playing.
  if (auto && format && !wanted && !inFlight && auto.tier !== format.tier && mono() - lastRequestAt > 2000) {
    auto.noteTier(mono(), format.tier, 'relay');
  }
  if (auto && connection === 'open') {
    const next = auto.decide(mono());
    if (next) request(next);
  }
}

function stop() {
  running = false;
  clearTimeout(reconnectTimer);
  reconnectTimer = null;
  clearTimeout(requestTimer);
  requestTimer = null;
  wanted = null;
  inFlight = null;
  if (feed) feed.clearPending();
  close();
  connection = 'closed';
  live = null;
  report();
}

self.onmessage = (event) => {
  const msg = event.data;
  if (msg.type === 'start') {
    stop();
    url = msg.url;
    audio = event.ports[0] || audio;
    if (audio) audio.onmessage = (e) => onAudioMessage(e.data);
    underrunCount = 0;
    error = null;
    running = true;
    backoff.reset();
    counters.connects = 0;
    if (typeof msg.quality === 'string') mode = msg.quality;
    const token = ++startToken;
    openDecoder(msg.webCodecs !== false).then(() => {
      if (running && token === startToken) connect();
    });
  } else if (msg.type === 'quality') {
    if (typeof msg.quality !== 'string') return;
    qualitySerial = Number(msg.serial) || 0;
    if (tiers.length > 0) chooseQuality(msg.quality);
    else mode = msg.quality; // applied once the hello lists the tiers
    report();
  } else if (msg.type === 'stop') {
    stop();
    audio = null;
  }
};

let startToken = 0;

setInterval(() => {
  if (running) {
    tick();
    report();
  }
}, REPORT_MS);
