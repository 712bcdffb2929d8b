// A scripted stand-in for the relay's quality tiers, for the player's browser tests: serves
// web/ and one room whose WebSocket streams a 1 kHz tone in the tier the page asks for,
// from Opus packets made beforehand (by the browser's own encoder) or as float32
// datagrams, paced in real time. The test injects faults through the returned object.
// Loopback only.
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';

const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8', '.css': 'text/css; charset=utf-8' };
export const TIERS = [
  { name: 'low', codec: 'opus', bitrate: 48000 },
  { name: 'standard', codec: 'opus', bitrate: 128000 },
  { name: 'high', codec: 'opus', bitrate: 256000 },
  { name: 'lossless', codec: 'pcm-f32', bitrate: 3072000 },
];
const FRAME = 480; // Opus frame, 10 ms
const PER_MESSAGE = 2;
const TICK_MS = 5;

function wsFrame(opcode, payload) {
  const len = payload.length;
  let head;
  if (len < 126) head = Buffer.from([0x80 | opcode, len]);
  else if (len < 65536) head = Buffer.from([0x80 | opcode, 126, len >> 8, len & 255]);
  else throw new Error('message too large for this server');
  return Buffer.concat([head, payload]);
}

// Client frames: masked, short (the page sends small JSON only).
function* readFrames(state, chunk) {
  state.buf = Buffer.concat([state.buf, chunk]);
  for (;;) {
    const b = state.buf;
    if (b.length < 2) return;
    const opcode = b[0] & 0x0f;
    let len = b[1] & 0x7f;
    let at = 2;
    if (len === 126) {
      if (b.length < 4) return;
      len = b.readUInt16BE(2);
      at = 4;
    } else if (len === 127) {
      throw new Error('oversized client frame');
    }
    if (b.length < at + 4 + len) return;
    const mask = b.subarray(at, at + 4);
    const payload = Buffer.from(b.subarray(at + 4, at + 4 + len));
    for (let i = 0; i < len; i++) payload[i] ^= mask[i & 3];
    state.buf = b.subarray(at + 4 + len);
    yield { opcode, payload };
  }
}

function toneValue(n, amplitude) {
  return amplitude * Math.sin((2 * Math.PI * ((n * 1000) % 48000)) / 48000);
}

// `packets`: {low, standard, high} arrays of Uint8Array Opus packets of the tone, frame k
// starting at sample k * 480.
export async function startTierServer({ webRoot, packets, amplitude }) {
  const log = { quality: [], sent: { opus: 0, pcm: 0 }, switches: [] };
  const inject = { missing: 0, gap: 0, garbage: 0, badUntil: 0, unknownCodec: 0, loud: 0 };
  let socket = null;
  let timer = null;

  const server = http.createServer((req, res) => {
    const url = new URL(req.url, 'http://127.0.0.1');
    const m = /^\/orlune\/([^/]+)$/.exec(url.pathname);
    if (!m) return res.writeHead(404).end();
    const file = m[1].includes('.') ? path.basename(m[1]) : 'index.html';
    fs.readFile(path.join(webRoot, file), (err, data) => {
      if (err) return res.writeHead(404).end();
      res.writeHead(200, { 'content-type': TYPES[path.extname(file)] || 'application/octet-stream' }).end(data);
    });
  });

  server.on('upgrade', (req, sock) => {
    const url = new URL(req.url, 'http://127.0.0.1');
    const key = req.headers['sec-websocket-key'];
    const asked = url.searchParams.get('quality') || 'lossless';
    const start = asked === 'auto' ? 'standard' : asked;
    if (!key || !/^\/orlune\/[a-z0-9_-]+\/ws$/.test(url.pathname) || !TIERS.some((t) => t.name === start)) {
      sock.end('HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n');
      return;
    }
    log.connectQuality = asked;
    const accept = crypto.createHash('sha1').update(`${key}258EAFA5-E914-47DA-95CA-C5AB0DC85B11`).digest('base64');
    sock.write(`HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: ${accept}\r\n\r\n`);
    sock.setNoDelay(true);
    if (socket) socket.destroy();
    socket = sock;
    stream(sock, start);
  });

  function stream(sock, startTier) {
    const send = (opcode, payload) => {
      if (!sock.destroyed) sock.write(wsFrame(opcode, payload));
    };
    const text = (obj) => send(1, Buffer.from(JSON.stringify(obj)));
    const describe = (name) => {
      const t = TIERS.find((x) => x.name === name);
      const opus = t.codec === 'opus';
      return { tier: t.name, codec: t.codec, bitrate: t.bitrate, frameSamples: opus ? FRAME : 256, framesPerMessage: opus ? PER_MESSAGE : 1 };
    };
    text({ type: 'hello', room: 'tiers', sampleRate: 48000, channels: 2, framesPerPacket: 256, live: true, ...describe(startTier), tiers: TIERS });

    let tier = startTier;
    let wantTier = null;
    let seq = 0; // per codec stream
    let pos = 0;
    const t0 = Date.now();
    const state = { buf: Buffer.alloc(0) };
    sock.on('data', (chunk) => {
      for (const f of readFrames(state, chunk)) {
        if (f.opcode === 8) return sock.end();
        if (f.opcode !== 1) continue;
        let msg;
        try {
          msg = JSON.parse(f.payload.toString());
        } catch {
          continue;
        }
        if (msg.type !== 'quality') continue;
        log.quality.push({ at: Date.now(), tier: msg.tier });
        if (TIERS.some((t) => t.name === msg.tier)) wantTier = msg.tier;
        else text({ type: 'error', message: `unknown tier ${msg.tier}` });
      }
    });
    sock.on('error', () => {});
    sock.on('close', () => clearInterval(timer));

    const sendOpus = () => {
      const loud = inject.loud > 0 && packets.loud;
      if (loud) inject.loud--;
      const list = loud ? packets.loud : packets[tier];
      const parts = [];
      const head = Buffer.alloc(20);
      head.writeBigInt64LE(BigInt(seq), 0);
      head.writeBigInt64LE(BigInt(pos), 8);
      head.writeUInt16LE(FRAME, 16);
      head.writeUInt8(PER_MESSAGE, 18);
      parts.push(head);
      for (let k = 0; k < PER_MESSAGE; k++) {
        let p = list[Math.floor((pos + k * FRAME) / FRAME) % list.length];
        if (inject.missing > 0) {
          inject.missing--;
          p = Buffer.alloc(0);
        } else if (inject.garbage > 0) {
          inject.garbage--;
          p = Buffer.from([0xf7, 0x00]); // code 3 with no frames: invalid
        }
        const len = Buffer.alloc(2);
        len.writeUInt16LE(p.length, 0);
        parts.push(len, Buffer.from(p));
      }
      send(2, Buffer.concat(parts));
      log.sent.opus++;
      seq += PER_MESSAGE;
      pos += PER_MESSAGE * FRAME;
    };

    const sendPcm = () => {
      const out = Buffer.alloc(2064);
      out.writeBigInt64LE(BigInt(seq), 0);
      out.writeBigInt64LE(BigInt(pos), 8);
      const bad = Date.now() < inject.badUntil;
      const badValues = [NaN, Infinity, -Infinity, 3.4e38, -3.4e38, 7.5];
      for (let i = 0; i < 512; i++) {
        const v = bad ? badValues[(seq * 512 + i) % badValues.length] : toneValue(pos + (i >> 1), amplitude);
        out.writeFloatLE(v, 16 + 4 * i);
      }
      send(2, out);
      log.sent.pcm++;
      seq += 1;
      pos += 256;
    };

    timer = setInterval(() => {
      const due = ((Date.now() - t0) * 48000) / 1000;
      for (let guard = 0; pos <= due && guard < 2000; guard++) {
        if (wantTier && wantTier !== tier) {
          tier = wantTier;
          seq = 0;
          log.switches.push({ at: Date.now(), tier });
          text({ type: 'codec', ...describe(tier), reason: 'requested' });
        }
        wantTier = null;
        if (inject.unknownCodec > 0) {
          // A codec this page cannot know, then back to whatever the page asks for.
          text({ type: 'codec', tier: 'experimental', codec: 'mystery', bitrate: 1, frameSamples: 480, framesPerMessage: 1, reason: 'requested' });
          for (let k = 0; k < inject.unknownCodec; k++) send(2, Buffer.alloc(64, 7));
          inject.unknownCodec = 0;
          tier = 'experimental';
          pos += 960;
          continue;
        }
        if (tier === 'experimental') {
          pos += 960; // nothing playable until the page asks for a known tier
          continue;
        }
        if (inject.gap > 0 && TIERS.find((t) => t.name === tier).codec === 'opus') {
          seq += inject.gap; // frames the relay never had
          pos += inject.gap * FRAME;
          inject.gap = 0;
        }
        if (TIERS.find((t) => t.name === tier).codec === 'opus') sendOpus();
        else sendPcm();
      }
    }, TICK_MS);
  }

  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {
    port: server.address().port,
    log,
    inject,
    close() {
      clearInterval(timer);
      if (socket) socket.destroy();
      return new Promise((resolve) => server.close(resolve));
    },
  };
}
