#!/usr/bin/env node
// A stand-in relay for working on the player without the C++ relay: the same routes and
// WebSocket messages, no limits, no metrics. Not used when ORLUNE_RELAY_BIN is given.
//
//   node mock-relay.mjs --udp-port N --http-port N --web-root DIR
import crypto from 'node:crypto';
import dgram from 'node:dgram';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { parseArgs } from 'node:util';

const MAGIC = Buffer.from('VESKORLUNE_PCM_V3\0', 'ascii');
const ROOM = /^[a-z0-9_-]+$/;
const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8', '.css': 'text/css; charset=utf-8', '.png': 'image/png' };

const { values } = parseArgs({
  options: {
    'udp-port': { type: 'string', default: '54321' },
    'http-port': { type: 'string', default: '8080' },
    'web-root': { type: 'string' },
  },
});
const webRoot = values['web-root'];
const rooms = new Map(); // room -> {listeners:Set, source, lastAt, live}

function room(name) {
  if (!rooms.has(name)) rooms.set(name, { listeners: new Set(), source: null, lastAt: 0, live: false });
  return rooms.get(name);
}

function frame(opcode, payload) {
  const len = payload.length;
  const head = len < 126 ? Buffer.from([0x80 | opcode, len]) : Buffer.from([0x80 | opcode, 126, len >> 8, len & 255]);
  return Buffer.concat([head, payload]);
}

function broadcast(r, opcode, payload) {
  const f = frame(opcode, payload);
  for (const s of r.listeners) s.write(f);
}

const udp = dgram.createSocket('udp4');
udp.on('message', (msg, rinfo) => {
  if (msg.length < MAGIC.length + 2 + 28 + 2048 || !msg.subarray(0, MAGIC.length).equals(MAGIC)) return;
  const end = msg.indexOf(0, MAGIC.length);
  const name = msg.toString('ascii', MAGIC.length, end);
  if (!ROOM.test(name) || msg.length !== end + 1 + 28 + 2048) return;
  const r = room(name);
  const source = `${rinfo.address}:${rinfo.port}`;
  if (r.source !== source || !r.live) {
    r.source = source;
    r.live = true;
    broadcast(r, 1, Buffer.from(JSON.stringify({ type: 'source', live: true })));
  }
  r.lastAt = Date.now();
  const out = Buffer.alloc(2064);
  msg.copy(out, 0, end + 1, end + 17);
  msg.copy(out, 16, end + 29, end + 29 + 2048);
  broadcast(r, 2, out);
});
udp.bind(Number(values['udp-port']), '127.0.0.1');

setInterval(() => {
  for (const r of rooms.values()) {
    if (r.live && Date.now() - r.lastAt > 2000) {
      r.live = false;
      broadcast(r, 1, Buffer.from(JSON.stringify({ type: 'source', live: false })));
    }
  }
}, 200).unref();

const server = http.createServer((req, res) => {
  const url = new URL(req.url, 'http://x');
  if (url.pathname === '/healthz') return res.end('ok\n');
  const m = /^\/orlune\/([^/]+)$/.exec(url.pathname);
  if (!m) return res.writeHead(404).end();
  const file = m[1].includes('.') ? m[1] : 'index.html';
  if (!m[1].includes('.') && !ROOM.test(m[1])) return res.writeHead(404).end();
  const full = path.join(webRoot, path.basename(file));
  fs.readFile(full, (err, data) => {
    if (err) return res.writeHead(404).end();
    res.writeHead(200, { 'content-type': TYPES[path.extname(full)] || 'application/octet-stream' }).end(data);
  });
});

server.on('upgrade', (req, socket) => {
  const m = /^\/orlune\/([a-z0-9_-]+)\/ws$/.exec(new URL(req.url, 'http://x').pathname);
  const key = req.headers['sec-websocket-key'];
  if (!m || !key) return socket.destroy();
  const accept = crypto.createHash('sha1').update(`${key}258EAFA5-E914-47DA-95CA-C5AB0DC85B11`).digest('base64');
  socket.write(`HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: ${accept}\r\n\r\n`);
  socket.setNoDelay(true);
  const r = room(m[1]);
  const hello = { type: 'hello', room: m[1], sampleRate: 48000, channels: 2, framesPerPacket: 256, live: r.live };
  socket.write(frame(1, Buffer.from(JSON.stringify(hello))));
  r.listeners.add(socket);
  socket.on('data', (d) => {
    if ((d[0] & 0x0f) === 8) socket.end();
  });
  socket.on('close', () => r.listeners.delete(socket));
  socket.on('error', () => r.listeners.delete(socket));
});
server.listen(Number(values['http-port']), '127.0.0.1');

for (const sig of ['SIGTERM', 'SIGINT']) process.on(sig, () => process.exit(0));
