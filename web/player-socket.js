// Network side of the Orlune player, run as a module Worker so that a busy page (layout,
// garbage collection, a slow script) never holds up the audio: datagrams go from the
// WebSocket straight to the AudioWorklet over a MessagePort, without passing the page's
// main thread.
//
// From the page:
//   {type: 'start', url} with a MessagePort to the worklet    connect (and keep connecting)
//   {type: 'stop'}                                              close, stop reconnecting
// To the page:
//   {type: 'connection', connection, reconnectAt, live, error, counters}
// To the worklet (over the port):
//   {type: 'packet', buffer, arrival, id}   arrival: epoch ms (timeOrigin + now)
//   {type: 'discontinuity'} | {type: 'end'} | {type: 'skip', dropped}

import { Backoff, checkHello } from './player-core.js';

const PACKET_BYTES = 2064;
const STABLE_CONNECTION_MS = 5000;
const REPORT_MS = 250;

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
const counters = { packets: 0, malformed: 0, connects: 0, reconnects: 0, skipMessages: 0 };

const now = () => performance.timeOrigin + performance.now();

function report() {
  self.postMessage({ type: 'connection', connection, reconnectAt, live, error, counters: { ...counters } });
}

function toAudio(msg, transfer) {
  if (audio) audio.postMessage(msg, transfer || []);
}

function connect() {
  connection = counters.connects > 0 ? 'reconnecting' : 'connecting';
  counters.connects++;
  let socket;
  try {
    socket = new WebSocket(url);
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
  } else if (msg.type === 'source') {
    live = !!msg.live;
    toAudio({ type: live ? 'discontinuity' : 'end' });
  } else if (msg.type === 'skip') {
    counters.skipMessages++;
    toAudio({ type: 'skip', dropped: Number(msg.dropped) || 0 });
  } else {
    return;
  }
  report();
}

function onBinary(buffer) {
  if (!(buffer instanceof ArrayBuffer) || buffer.byteLength !== PACKET_BYTES) {
    counters.malformed++;
    return;
  }
  counters.packets++;
  if (live !== true) {
    live = true;
    report();
  }
  toAudio({ type: 'packet', buffer, arrival: now(), id: nextId++ }, [buffer]);
}

function stop() {
  running = false;
  clearTimeout(reconnectTimer);
  reconnectTimer = null;
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
    error = null;
    running = true;
    backoff.reset();
    counters.connects = 0;
    connect();
  } else if (msg.type === 'stop') {
    stop();
    audio = null;
  }
};

setInterval(() => {
  if (running) report();
}, REPORT_MS);
