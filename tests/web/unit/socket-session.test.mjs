// The socket worker's logic with a fake WebSocket and port: what reaches the worklet.
import assert from 'node:assert/strict';
import { describe, test } from 'node:test';
import { loadWebModule } from './load-web.mjs';

const { SocketSession } = await loadWebModule('socket-session.js');
const { OpusFeed } = await loadWebModule('opus-decoding.js');

class FakeSocket {
  static last = null;
  constructor(url) {
    this.url = url;
    this.readyState = 1;
    this.sent = [];
    FakeSocket.last = this;
  }
  send(text) {
    this.sent.push(text);
  }
  close() {}
}

function session() {
  const port = { posted: [], postMessage(msg) { this.posted.push(msg); } };
  const reports = [];
  const s = new SocketSession({
    WebSocket: FakeSocket,
    setTimeout: () => 0,
    clearTimeout: () => {},
    now: () => 1000,
    mono: () => 0,
    report: (m) => reports.push(m),
    loadWasm: () => Promise.reject(new Error('no decoder here')),
  });
  return { s, port, reports };
}

const hello = { type: 'hello', room: 'r', sampleRate: 48000, channels: 2, framesPerPacket: 256, live: true };

function floatMessage(seq, pos) {
  const b = new ArrayBuffer(2064);
  const v = new DataView(b);
  v.setBigInt64(0, BigInt(seq), true);
  v.setBigInt64(8, BigInt(pos), true);
  return b;
}

describe('socket session', () => {
  test('without an Opus decoder: asks for Lossless, hands datagrams on, counts the malformed', async () => {
    const { s, port } = session();
    s.start({ url: 'ws://h/orlune/r/ws', quality: 'auto', webCodecs: false }, port);
    await s.backendReady;
    await new Promise((r) => setImmediate(r));
    const ws = FakeSocket.last;
    assert.match(ws.url, /quality=lossless$/);
    ws.onopen();
    ws.onmessage({ data: JSON.stringify(hello) });
    ws.onmessage({ data: '{"type": 5}' }); // not an event: ignored
    ws.onmessage({ data: floatMessage(3, 768) });
    ws.onmessage({ data: new ArrayBuffer(100) });
    assert.deepEqual(port.posted.map((m) => m.type), ['discontinuity', 'packet']);
    assert.deepEqual([s.counters.packets, s.counters.malformed], [1, 1]);
    s.stop();
  });

  test('decoded Opus goes to the worklet 120 frames early, with what the relay held it', () => {
    const { s, port } = session();
    s.audio = port;
    const backend = { kind: 'wasm', conceals: true, decode: () => new Float32Array(960), conceal: (n) => new Float32Array(2 * n), close() {} };
    s.feed = new OpusFeed({ backend, emit: (e) => s.emitBlock(e) });
    s.format = { tier: 'standard', codec: 'opus', bitrate: 128000, frameSamples: 480, framesPerMessage: 2 };
    const m = new ArrayBuffer(20 + 2 * 3);
    const v = new DataView(m);
    v.setBigInt64(0, 0n, true);
    v.setBigInt64(8, 4800n, true);
    v.setUint16(16, 480, true);
    v.setUint8(18, 2);
    v.setUint16(20, 1, true);
    v.setUint8(22, 0xfc);
    v.setUint16(23, 1, true);
    v.setUint8(25, 0xfc);
    s.onBinary(m);
    assert.deepEqual(port.posted.map((x) => [x.pos, x.held]), [[4680, 960 + 120], [5160, 480 + 120]]);
  });
});
