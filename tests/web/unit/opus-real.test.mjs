// Real Opus (a 1 kHz tone from Chromium's encoder, fixtures/opus-tone.json) decoded with
// libopus's WebAssembly build (web/opus-decoder.min.js), through the jitter buffer: lost
// frames on both decoder paths, and changes of tier to and from Lossless.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { describe, test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { loadWebModule, webDir } from './load-web.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const fixture = JSON.parse(fs.readFileSync(path.join(here, 'fixtures', 'opus-tone.json'), 'utf8'));
const haveDecoder = fs.existsSync(path.join(webDir, 'opus-decoder.min.js'));
const skip = !haveDecoder && 'web/opus-decoder.min.js missing (scripts/bootstrap)';

const { JitterBuffer } = await loadWebModule('jitter-buffer.js');
const { WasmOpusBackend } = await loadWebModule('opus-decoding.js');

const QUANTUM = 128;
const FRAME = fixture.tone.frameSamples;
const AMP = fixture.tone.amplitude;
const tone = (n) => AMP * Math.sin((2 * Math.PI * fixture.tone.hz * n) / 48000);
const OWN = AMP * 2 * Math.sin((Math.PI * fixture.tone.hz) / 48000);
const packets = fixture.packets.map((h) => Uint8Array.from(h.match(/../g), (x) => parseInt(x, 16)));

async function decoder() {
  globalThis.Worker ??= class {};
  await loadWebModule('opus-decoder.min.js');
  return WasmOpusBackend.create(globalThis['opus-decoder']);
}

// The encoder's delay: the lag at which the decoded tone matches the sent one.
function codecDelay(decoded) {
  let best = 0;
  let bestErr = Infinity;
  for (let d = 0; d < 960; d++) {
    let err = 0;
    for (let n = 9600; n < 14400; n += 7) err += (decoded[2 * n] - tone(n - d)) ** 2;
    if (err < bestErr) {
      bestErr = err;
      best = d;
    }
  }
  return best;
}

// Plays blocks [{pos, samples}] (placed as sent), each arriving when its 20 ms message is
// complete; a Lossless prefix of `losslessUntil` frames comes first. Returns the output.
// With `losslessFrom`, Lossless datagrams take over from that position on (the relay's
// new tier overlapping the old by what the player already has).
function play(blocks, { losslessUntil = 0, losslessFrom = Infinity, seconds = 0.95 } = {}) {
  const jb = new JitterBuffer();
  const events = [];
  for (let pos = 0; pos < losslessUntil; pos += 256) {
    const s = new Float32Array(512);
    for (let i = 0; i < 256; i++) s[2 * i] = s[2 * i + 1] = tone(pos + i);
    events.push({ at: pos + 256, seq: pos / 256, pos, s, renewed: false });
  }
  const switchAt = blocks.length ? (Math.floor(blocks[blocks.length - 1].seq / 2) + 1) * 2 * FRAME : 0;
  for (let pos = losslessFrom, seq = 0; pos < seconds * 48000 + 4800; pos += 256, seq++) {
    const s = new Float32Array(512);
    for (let i = 0; i < 256; i++) s[2 * i] = s[2 * i + 1] = tone(pos + i);
    events.push({ at: Math.max(switchAt, pos + 256), seq, pos, s, renewed: seq === 0, late: true });
  }
  // An Opus block arrives with its 20 ms message, complete 2 frames after the message starts.
  blocks.forEach((b, k) => {
    const at = Math.max(losslessUntil, (Math.floor(b.seq / 2) + 1) * 2 * FRAME);
    events.push({ at, seq: b.seq, pos: b.pos, s: b.samples, renewed: k === 0 && losslessUntil > 0 });
  });
  // Stable: the old stream first, then the new one, each in order.
  events.sort((a, b) => a.at - b.at || (a.late === true) - (b.late === true));
  const out = new Float32Array(Math.floor((seconds * 48000) / QUANTUM) * QUANTUM);
  const l = new Float32Array(QUANTUM);
  const r = new Float32Array(QUANTUM);
  let next = 0;
  for (let q = 0; q * QUANTUM < out.length; q++) {
    while (next < events.length && events[next].at <= q * QUANTUM) {
      const e = events[next++];
      if (e.renewed) jb.newSequence();
      jb.push(e.seq, e.pos, e.s, 0, Math.floor(e.seq / 2));
    }
    jb.pull(l, r, QUANTUM, q * QUANTUM);
    out.set(l, q * QUANTUM);
  }
  return { out, jb };
}

function judge(out, label) {
  const from = out.findIndex((x) => x !== 0) + 960;
  let step = 0;
  let run = 0;
  let silence = 0;
  for (let i = from; i < out.length; i++) {
    step = Math.max(step, Math.abs(out[i] - out[i - 1]));
    run = Math.abs(out[i]) < 1e-3 ? run + 1 : 0;
    silence = Math.max(silence, run);
  }
  assert.ok(step <= 2 * OWN, `${label}: step ${(step / OWN).toFixed(2)} x the tone's`);
  assert.ok(silence < 4, `${label}: ${silence} frames of silence`);
}

const lost = new Set([23, 41, 42, 60, 77]); // a frame, two in a row, ...

describe('real Opus through the jitter buffer', { skip }, () => {
  test('lost frames: libopus concealment (WebAssembly) and the buffer\'s continuation (WebCodecs)', async () => {
    const wasm = await decoder();
    const reference = [];
    for (const p of packets) reference.push(wasm.decode(p));
    wasm.close();
    const flat = new Float32Array(reference.length * 2 * FRAME);
    reference.forEach((s, k) => flat.set(s, k * 2 * FRAME));
    const delay = codecDelay(flat);
    assert.ok(delay > 0 && delay < 960, `delay ${delay}`);

    // WebAssembly: a missing frame is concealed by the decoder in place.
    const concealing = await decoder();
    const withPlc = packets.map((p, k) => ({ seq: k, pos: k * FRAME - delay, samples: lost.has(k) ? concealing.conceal(FRAME) : concealing.decode(p) }));
    concealing.close();
    judge(play(withPlc).out, 'libopus concealment');

    // WebCodecs: the decoder never sees the missing frame; the block is left out.
    const plain = await decoder();
    const withGaps = [];
    packets.forEach((p, k) => {
      if (!lost.has(k)) withGaps.push({ seq: k, pos: k * FRAME - delay, samples: plain.decode(p) });
    });
    plain.close();
    const { out, jb } = play(withGaps);
    assert.equal(jb.stats.lost, lost.size);
    assert.equal(jb.stats.silentFills, 0);
    judge(out, 'continuation');
  });

  test('Lossless to Opus: the join has no step and no dip', async () => {
    const wasm = await decoder();
    const blocks = packets.map((p, k) => ({ seq: k, pos: k * FRAME, samples: wasm.decode(p) }));
    wasm.close();
    const flat = new Float32Array(blocks.length * 2 * FRAME);
    blocks.forEach((b, k) => flat.set(b.samples, k * 2 * FRAME));
    const delay = codecDelay(flat);
    for (const b of blocks) b.pos -= delay;
    // The new tier starts 600 frames before the Lossless stream's end at 24064.
    const from = blocks.findIndex((b) => b.pos + FRAME > 24064 - 600);
    const { out, jb } = play(blocks.slice(from), { losslessUntil: 24064 });
    assert.equal(jb.stats.joins, 1);
    judge(out, 'join');
    const start = out.findIndex((x) => x !== 0) + 960;
    for (let i = start; i + 144 < out.length; i += 48) {
      let sum = 0;
      for (let k = 0; k < 144; k++) sum += out[i + k] ** 2;
      const db = 10 * Math.log10(sum / 144 / (AMP * AMP / 2));
      assert.ok(db > -1 && db < 0.5, `level ${db.toFixed(2)} dB at frame ${i}`);
    }
  });

  test('Opus to Lossless: the join has no step and no dip', async () => {
    const wasm = await decoder();
    const blocks = packets.map((p, k) => ({ seq: k, pos: k * FRAME, samples: wasm.decode(p) }));
    wasm.close();
    const flat = new Float32Array(blocks.length * 2 * FRAME);
    blocks.forEach((b, k) => flat.set(b.samples, k * 2 * FRAME));
    const delay = codecDelay(flat);
    for (const b of blocks) b.pos -= delay;
    const upTo = blocks.slice(0, 50); // Opus up to about 0.5 s, then Lossless overlapping it
    const end = upTo[upTo.length - 1].pos + FRAME;
    const { out, jb } = play(upTo, { losslessFrom: Math.floor((end - 300) / 256) * 256 });
    assert.equal(jb.stats.joins, 1);
    assert.equal(jb.stats.discontinuities, 0);
    judge(out, 'join');
  });

  // A change of tier hands the listener's decoder a stream in its middle. The relay sends
  // 12 frames of the new tier before the join (the player drops them): by the join the
  // decoder's level is the encoder's. One frame, as before, left the join's first 50 ms
  // several dB soft.
  test('a decoder that meets the stream in its middle has settled after 12 frames', async () => {
    const peakDb = (s) => {
      let p = 0;
      for (let i = 0; i < s.length; i += 2) p = Math.max(p, Math.abs(s[i]));
      return 20 * Math.log10(p / AMP);
    };
    const afterPreroll = async (frames) => {
      const d = await decoder();
      for (let k = 60; k < 60 + frames; k++) d.decode(packets[k]);
      const worst = [];
      for (let k = 60 + frames; k < 65 + frames; k++) worst.push(Math.abs(peakDb(d.decode(packets[k]))));
      d.close();
      return Math.max(...worst);
    };
    assert.ok((await afterPreroll(1)) > 3, 'one frame is not enough');
    const settled = await afterPreroll(12);
    assert.ok(settled < 0.5, `${settled.toFixed(2)} dB off after 12 frames`);
  });
});
