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
//
// --script full|short|bench plays the scripted session of scenario.mjs instead: the
// stepped tone, and per segment lost datagrams, bursts or a sample clock that runs fast or
// slow against wall time. Its log lines carry the segment: "<sequence> <epoch ms> <segment>"
// and a dropped datagram "<sequence> <epoch ms> <segment> lost".
import dgram from 'node:dgram';
import fs from 'node:fs';
import { parseArgs } from 'node:util';
import * as S from './scenario.mjs';

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
      script: { type: 'string' },
      seed: { type: 'string', default: '1' },
    },
  });
  if (!values.room) throw new Error('--room is required');
  if (values.script) return playScript(values);
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

// Runs the scripted session: a tick every 2 ms sends what the sender's sample clock (which
// runs 1 + drift times as fast as wall time) has made due since the last one.
async function playScript(values) {
  const script = S.SCRIPTS[values.script];
  if (!script) throw new Error(`unknown --script ${values.script}; known: ${Object.keys(S.SCRIPTS).join(', ')}`);
  const port = Number(values.port);
  const limit = Math.min(Number(values.seconds) || Infinity, S.scriptSeconds(script));
  const rnd = S.random(Number(values.seed));
  const log = values.log ? fs.openSync(values.log, 'w') : null;
  const socket = dgram.createSocket('udp4');
  const block = new Float32Array(FRAMES * 2);
  let stopping = false;
  process.on('SIGTERM', () => (stopping = true));
  process.on('SIGINT', () => (stopping = true));
  let signals = 0; // SIGUSR2 received; each segment that lasts until one takes one
  let taken = 0;
  process.on('SIGUSR2', () => signals++);
  const now = () => performance.timeOrigin + performance.now();
  const t0 = now();
  let last = t0;
  let due = 0; // datagrams the sample clock has made due (fractional)
  let seq = 0;
  let segment = 0;
  let segmentStart = 0;
  let inSegment = 0; // datagrams made due in this segment
  let dropped = S.lossPattern(script[0].loss || 1, rnd);
  const held = [];
  let releaseAt = 0;
  const send = (datagram, n, seg, at) => {
    socket.send(datagram, port, values.host);
    return `${n} ${at.toFixed(3)} ${seg}\n`;
  };
  await new Promise((resolve) => {
    const tick = () => {
      const t = now();
      const elapsed = (t - t0) / 1000;
      if (stopping || elapsed >= limit) return resolve();
      const ends = (seg) => {
        if (seg.untilSignal && signals > taken) return ++taken > 0;
        return elapsed >= segmentStart + seg.seconds;
      };
      while (segment + 1 < script.length && ends(script[segment])) {
        segmentStart = Math.min(elapsed, segmentStart + script[segment].seconds);
        segment++;
        inSegment = 0;
        dropped = S.lossPattern(script[segment].loss || 1, rnd);
      }
      const seg = script[segment];
      if (segment === script.length - 1 && ends(seg)) return resolve();
      due += (((t - last) / 1000) * RATE * (1 + (seg.drift || 0))) / FRAMES;
      last = t;
      const lines = [];
      while (seq + 1 <= due) {
        const n = seq++;
        const lost = seg.loss && dropped(inSegment);
        inSegment++;
        if (lost) {
          lines.push(`${n} ${t.toFixed(3)} ${segment} lost\n`);
          continue;
        }
        for (let i = 0; i < FRAMES; i++) block[2 * i] = block[2 * i + 1] = S.sampleAt(n * FRAMES + i);
        const datagram = buildDatagram(values.room, n, n * FRAMES, block);
        if (seg.burstMs) held.push([datagram, n, segment]);
        else lines.push(send(datagram, n, segment, t));
      }
      if (held.length && (!seg.burstMs || t >= releaseAt)) {
        for (const [d, n, sg] of held.splice(0)) lines.push(send(d, n, sg, t));
      }
      if (seg.burstMs && t >= releaseAt) {
        const [lo, hi] = seg.burstMs;
        releaseAt = t + lo + rnd() * (hi - lo);
      }
      if (log && lines.length) fs.writeSync(log, lines.join(''));
      setTimeout(tick, 2);
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
