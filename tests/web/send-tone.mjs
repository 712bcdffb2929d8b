#!/usr/bin/env node
// Streams a sine tone to a relay as PCM datagrams, paced in real time like a plug-in would.
//
//   node send-tone.mjs --room ROOM [--host 127.0.0.1] [--port 54321] [--seconds 20]
//                      [--freq 1000] [--dbfs -12] [--burst-ms 10] [--log FILE]
//
// Each datagram: "VESKORLUNE_PCM_V3" NUL, room NUL, int64 sequence, int64 sample position,
// int32 48000, int32 2, int32 256, then 256 interleaved stereo float32 frames; all LE.
// --log writes one line per datagram: "<sequence> <epoch ms when sent>".
// --skip-every N leaves out every Nth datagram (to exercise loss handling by hand).
import dgram from 'node:dgram';
import fs from 'node:fs';
import { parseArgs } from 'node:util';

export const MAGIC = 'VESKORLUNE_PCM_V3';
export const FRAMES = 256;
export const RATE = 48000;

export function buildDatagram(room, sequence, samplePosition, interleaved) {
  const roomBytes = Buffer.from(room, 'ascii');
  const head = MAGIC.length + 1 + roomBytes.length + 1;
  const buf = Buffer.alloc(head + 8 + 8 + 4 + 4 + 4 + FRAMES * 2 * 4);
  buf.write(MAGIC, 0, 'ascii');
  roomBytes.copy(buf, MAGIC.length + 1);
  let o = head;
  buf.writeBigInt64LE(BigInt(sequence), o);
  buf.writeBigInt64LE(BigInt(samplePosition), o + 8);
  buf.writeInt32LE(RATE, o + 16);
  buf.writeInt32LE(2, o + 20);
  buf.writeInt32LE(FRAMES, o + 24);
  o += 28;
  for (let i = 0; i < FRAMES * 2; i++) buf.writeFloatLE(interleaved[i], o + 4 * i);
  return buf;
}

export function toneBlock(samplePosition, freq, amplitude, out = new Float32Array(FRAMES * 2)) {
  for (let i = 0; i < FRAMES; i++) {
    const n = samplePosition + i;
    // Reduce the phase per sample so long runs keep full precision.
    const cycles = (n * freq) / RATE;
    const v = amplitude * Math.sin(2 * Math.PI * (cycles - Math.floor(cycles)));
    out[2 * i] = v;
    out[2 * i + 1] = v;
  }
  return out;
}

async function main() {
  const { values } = parseArgs({
    options: {
      room: { type: 'string' },
      host: { type: 'string', default: '127.0.0.1' },
      port: { type: 'string', default: '54321' },
      seconds: { type: 'string', default: '20' },
      freq: { type: 'string', default: '1000' },
      dbfs: { type: 'string', default: '-12' },
      'burst-ms': { type: 'string', default: '10' },
      'skip-every': { type: 'string', default: '0' },
      log: { type: 'string' },
    },
  });
  if (!values.room) throw new Error('--room is required');
  const port = Number(values.port);
  const seconds = Number(values.seconds);
  const freq = Number(values.freq);
  const amplitude = 10 ** (Number(values.dbfs) / 20);
  const burstMs = Math.max(1, Number(values['burst-ms']));
  const skipEvery = Number(values['skip-every']);
  const total = Math.round((seconds * RATE) / FRAMES);
  const log = values.log ? fs.openSync(values.log, 'w') : null;

  const socket = dgram.createSocket('udp4');
  const block = new Float32Array(FRAMES * 2);
  const start = process.hrtime.bigint();
  let sent = 0;
  let stopping = false;
  const stop = () => {
    stopping = true;
  };
  process.on('SIGTERM', stop);
  process.on('SIGINT', stop);

  await new Promise((resolve) => {
    const tick = () => {
      if (stopping || sent >= total) return resolve();
      const elapsed = Number(process.hrtime.bigint() - start) / 1e9;
      const due = Math.min(total, Math.floor((elapsed * RATE) / FRAMES) + 1);
      const lines = [];
      while (sent < due) {
        const seq = sent++;
        if (skipEvery > 0 && seq % skipEvery === skipEvery - 1) continue;
        const pos = seq * FRAMES;
        socket.send(buildDatagram(values.room, seq, pos, toneBlock(pos, freq, amplitude, block)), port, values.host);
        if (log) lines.push(`${seq} ${(performance.timeOrigin + performance.now()).toFixed(3)}\n`);
      }
      if (log && lines.length) fs.writeSync(log, lines.join(''));
      setTimeout(tick, burstMs);
    };
    tick();
  });
  if (log) fs.closeSync(log);
  socket.close();
}

if (import.meta.url === `file://${process.argv[1]}`) {
  main().catch((err) => {
    console.error(`send-tone: ${err.message}`);
    process.exit(1);
  });
}
