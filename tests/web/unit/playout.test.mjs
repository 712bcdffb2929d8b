// The jitter buffer on every tier's message size, in simulated time: messages of 256
// frames (Lossless), 2 x 480 (Standard, High) and 4 x 480 (Low) sent in real time by a
// sender whose clock may be off, reaching the page through a link that may hold them and
// then hand them over at once, and played by an audio device that pulls one or several
// render quanta at a time.
import assert from 'node:assert/strict';
import { describe, test } from 'node:test';
import { loadWebModule } from './load-web.mjs';
import { zeroCrossingFrequency } from '../signal.mjs';
import * as S from '../scenario.mjs';
import { delaySlope, holds, prng, QUANTUM, run, TIERS, tone } from './playout-sim.mjs';

const { JitterBuffer } = await loadWebModule('jitter-buffer.js');
const { CONTROL_DEFAULTS } = await loadWebModule('playout-control.js');

describe('bursty arrival and a drifting sender, on every tier', () => {
  for (const tier of TIERS) {
    test(`${tier.name}: holds of 40-80 ms settle with no underrun after 5 s`, () => {
      for (const seed of [1, 2, 3]) {
        const { underruns, buffer } = run({ tier, seconds: 30, hold: holds(seed, 30), pullQuanta: 2 });
        assert.deepEqual(underruns.filter((t) => t > 5), [], `seed ${seed}: target ${buffer.targetMs} ms`);
        assert.ok(buffer.targetMs < 250, `target ${buffer.targetMs} ms`);
      }
    });

    for (const ppm of [1000, -1000]) {
      test(`${tier.name}: a sender clock ${ppm > 0 ? 'fast' : 'slow'} by 0.1 % is tracked: no underrun, delay flat after 5 s`, () => {
        const { underruns, delays, buffer } = run({ tier, seconds: 40, ppm, pullQuanta: 2, jitterMs: () => 0.5 });
        assert.deepEqual(underruns, []);
        const slope = delaySlope(delays, 5);
        assert.ok(Math.abs(slope) <= 0.2, `slope ${slope.toFixed(3)} ms/s`);
        assert.ok(Math.abs(buffer.correction - ppm / 1e6) < 0.0004, `correction ${buffer.correction}`);
      });
    }
  }

  test('bursts and drift at once, on a 44.1 kHz context', () => {
    for (const tier of TIERS) {
      // (The delay steps up where the jitter measured raises the target: the rate is judged.)
      const { underruns, buffer } = run({ tier, seconds: 40, ppm: 1000, outputRate: 44100, hold: holds(9, 40) });
      assert.deepEqual(underruns.filter((t) => t > 5), [], tier.name);
      assert.ok(Math.abs(buffer.correction - 0.001) < 0.0004, `${tier.name}: ${buffer.correction}`);
    }
  });
});

describe('a clean link', () => {
  test('Lossless plays the sent samples bit for bit after the first second, in every start', () => {
    const random = prng(5);
    const sent = (n) => Math.fround(0.5 * Math.sin((2 * Math.PI * 1250 * n) / 48000) + 0.01 * Math.sin(n / 7));
    for (let start = 0; start < 12; start++) {
      const jitter = random() * 2; // up to 2 ms, what a loopback link shows
      const r2 = prng(start);
      const { out, buffer } = run({
        tier: TIERS[0],
        seconds: 8,
        phaseMs: random() * 6,
        pullQuanta: 1 + (start % 4),
        jitterMs: () => jitter * r2(),
        valueAt: sent,
      });
      const first = out.findIndex((x) => x !== 0);
      // Find the sent frame the output starts with after the fade-in, then compare.
      const at = 48000;
      let offset = -1;
      for (let n = 0; n < 48000 * 8 && offset < 0; n++) if (sent(n) === out[at] && sent(n + 1) === out[at + 1] && sent(n + 2) === out[at + 2]) offset = n - at;
      assert.ok(first >= 0 && offset > -48000, `start ${start}: no match`);
      for (let i = at; i < out.length; i++) assert.equal(out[i], sent(i + offset), `start ${start}, frame ${i}`);
      assert.equal(buffer.correction, 0);
      assert.equal(buffer.stats.jumps, 0);
    }
  });

  test('every tier keeps a tone within 100 ppm in every start', () => {
    const random = prng(11);
    for (const tier of TIERS) {
      for (let start = 0; start < 8; start++) {
        const jitter = random() * 2;
        const r2 = prng(100 + start);
        const { out, underruns, buffer } = run({
          tier,
          seconds: 8,
          phaseMs: random() * 40,
          pullQuanta: 1 + (start % 4),
          jitterMs: () => jitter * r2(),
        });
        const f = zeroCrossingFrequency(out.subarray(48000), 48000);
        assert.ok(Math.abs(f / 1000 - 1) < 100e-6, `${tier.name} start ${start}: ${f} Hz ${JSON.stringify(buffer.snapshot())}`);
        assert.deepEqual(underruns, [], `${tier.name} start ${start}`);
      }
    }
  });
});

// Largest sample-to-sample step after playback began, and the longest run of silence.
function steps(out) {
  const from = out.findIndex((x) => x !== 0) + 256; // past the start fade
  let step = 0;
  let run = 0;
  let silence = 0;
  for (let i = from; i < out.length; i++) {
    step = Math.max(step, Math.abs(out[i] - out[i - 1]));
    run = Math.abs(out[i]) < 1e-4 ? run + 1 : 0;
    silence = Math.max(silence, run);
  }
  return { step, silence };
}

describe('lost blocks without a concealing decoder (Lossless, Opus through WebCodecs)', () => {
  for (const hz of [1000, 1250]) {
    test(`2 % of blocks lost, a ${hz} Hz tone: no click above twice its own step, no silence`, () => {
      const own = 0.5 * 2 * Math.sin((Math.PI * hz) / 48000);
      for (const tier of TIERS) {
        const random = prng(hz + tier.block);
        let last = -2;
        const lost = new Set();
        for (let k = 0; k < 10000; k++) {
          if (k - last > 1 && random() < 0.02) {
            lost.add(k);
            last = k;
          }
        }
        const { out, buffer } = run({ tier, seconds: 12, valueAt: tone(hz), drop: (seq) => lost.has(seq) });
        const { step, silence } = steps(out);
        assert.ok(buffer.stats.lost > 10, `${tier.name}: ${buffer.stats.lost} lost`);
        assert.equal(buffer.stats.silentFills, 0, tier.name);
        assert.ok(step <= 2 * own, `${tier.name}: step ${(step / own).toFixed(2)} x the tone's`);
        assert.ok(silence < 16, `${tier.name}: ${silence} frames of silence`);
        assert.equal(buffer.stats.underruns, 0, tier.name);
      }
    });
  }

  test('music-like audio (two partials, vibrato): a hole costs no more than the hole', () => {
    const valueAt = (n) => 0.3 * Math.sin((2 * Math.PI * 220 * n) / 48000 + 3 * Math.sin(n / 9000)) + 0.2 * Math.sin((2 * Math.PI * 660 * n) / 48000);
    const { out, buffer } = run({ tier: TIERS[0], seconds: 6, valueAt, drop: (seq) => seq % 50 === 25 });
    const { silence } = steps(out);
    assert.ok(buffer.stats.lost > 20);
    assert.ok(silence < 16, `${silence} frames of silence`);
  });
  // Every edit at the write end repeats the audio at the lag where it matches itself; where
  // the audio just changed (a note, a tone stepping to another pitch), the last period is
  // not the one before it, and looping it buzzes. Holds of 40-120 ms for ten seconds make
  // the target rise (continuations added) and then fall (periods taken out) while the tone
  // steps.
  test('holes, rises and falls of the level where the audio changes: no click above twice its own step', () => {
    const valueAt = (n) => S.sampleAt(n);
    let shrunk = 0;
    for (const tier of TIERS) {
      const random = prng(7 + tier.block);
      const lost = new Set();
      for (let k = 2; k < 20000; k++) if (!lost.has(k - 1) && random() < 0.02) lost.add(k);
      const bursts = holds(tier.block, 10, { maxMs: 120 });
      const { out, buffer } = run({ tier, seconds: 40, valueAt, hold: bursts, drop: (seq) => lost.has(seq) });
      const s = buffer.snapshot();
      assert.ok(s.stretchedFrames > 0 && s.concealedFrames > 0, `${tier.name}: ${JSON.stringify(s)}`);
      shrunk += s.shrunkFrames;
      const { step } = steps(out);
      assert.ok(step <= 2 * S.LARGEST_STEP, `${tier.name}: step ${(step / S.LARGEST_STEP).toFixed(2)} x the tone's`);
    }
    assert.ok(shrunk > 0, 'the level was never lowered');
  });
});

describe('changes of tier', () => {
  // The old tier's audio up to `switchAt`, then the new tier's from `overlap` frames before
  // that; the new codec's version of the tone is 4 frames late and 3 % quieter (two codecs
  // never agree sample for sample).
  function join({ oldBlock, newBlock, overlap }) {
    const jb = new JitterBuffer();
    const old = tone(1000);
    const other = (n) => 0.97 * tone(1000)(n - 4);
    const push = (seq, pos, frames, valueAt) => {
      const s = new Float32Array(2 * frames);
      for (let i = 0; i < frames; i++) s[2 * i] = s[2 * i + 1] = valueAt(pos + i);
      jb.push(seq, pos, s, 0, seq);
    };
    const blocks = []; // [arrival frame, sequence, position, frames, source, new tier]
    let written = 0;
    for (let seq = 0; written < 24000; written += oldBlock) blocks.push([written + oldBlock, seq++, written, oldBlock, old, false]);
    for (let seq = 0, pos = written - overlap; pos < 48000; pos += newBlock, seq++) {
      blocks.push([Math.max(written, pos + newBlock), seq, pos, newBlock, other, seq === 0]);
    }
    const out = new Float32Array(48000);
    const l = new Float32Array(QUANTUM);
    const r = new Float32Array(QUANTUM);
    let next = 0;
    for (let q = 0; q * QUANTUM < out.length; q++) {
      while (next < blocks.length && blocks[next][0] <= q * QUANTUM) {
        const [, seq, pos, frames, source, renewed] = blocks[next++];
        if (renewed) jb.newSequence();
        push(seq, pos, frames, source);
      }
      jb.pull(l, r, QUANTUM, q * QUANTUM);
      out.set(l, q * QUANTUM);
    }
    return { jb, out };
  }

  for (const [name, oldBlock, newBlock, overlap] of [
    ['Lossless to Opus', 256, 480, 600],
    ['Opus to Lossless', 480, 256, 300],
    ['Opus to Opus', 480, 480, 960],
  ]) {
    test(`${name}: no step above the tone's own, no dip in level at the join`, () => {
      const { jb, out } = join({ oldBlock, newBlock, overlap });
      const own = 0.5 * 2 * Math.sin(Math.PI * 1000 / 48000);
      assert.equal(jb.stats.joins, 1);
      assert.equal(jb.stats.discontinuities, 0);
      const { step, silence } = steps(out);
      assert.ok(step <= 1.5 * own, `step ${(step / own).toFixed(2)} x the tone's`);
      assert.ok(silence < 3, `${silence} frames of silence`);
      // RMS over each 2.5 ms (2.5 periods... a whole number of periods: 3 ms) stays within 0.5 dB.
      const from = out.findIndex((x) => x !== 0) + 480;
      for (let i = from; i + 144 < out.length; i += 48) {
        let sum = 0;
        for (let k = 0; k < 144; k++) sum += out[i + k] ** 2;
        const db = 10 * Math.log10(sum / 144 / 0.125);
        assert.ok(db > -0.5 && db < 0.3, `level ${db.toFixed(2)} dB at frame ${i}`);
      }
    });
  }
});

describe('the target moving', () => {
  test('after a jittery spell ends the delay comes back within a minute, not minutes', () => {
    for (const tier of [TIERS[0], TIERS[1]]) {
      // Holds of 100-250 ms for 20 s raise the target past 200 ms; then the link is clean.
      const spell = holds(3, 20, { minMs: 100, maxMs: 250, everyMs: 1000 });
      const { buffer, delays, underruns } = run({ tier, seconds: 90, hold: (t) => (t < 20000 ? spell(t) : t) });
      const delayAt = (s) => delays.find((d) => d.t >= s).ms;
      assert.ok(delayAt(19) > 200, `${tier.name}: delay ${delayAt(19)} ms in the spell`);
      assert.deepEqual(underruns.filter((t) => t > 20), [], tier.name);
      assert.ok(delayAt(60) < 110, `${tier.name}: delay ${delayAt(60).toFixed(1)} ms 40 s after`);
      assert.ok(delayAt(89) < buffer.targetMs + 25, `${tier.name}: delay ${delayAt(89).toFixed(1)} ms at the end`);
      assert.equal(buffer.targetMs, 40);
    }
  });

  test('a target that falls lowers the level by whole periods of the audio, not by the rate', () => {
    const { out, buffer } = run({ tier: TIERS[0], seconds: 40, options: { startTargetMs: 100 }, valueAt: tone(1000) });
    const s = buffer.snapshot();
    // The target sinks; the level follows it down in steps of at most lowerStepMs, each
    // made of whole periods.
    const step = CONTROL_DEFAULTS.lowerStepMs;
    assert.ok(s.targetMs < 70, `target ${s.targetMs}`);
    assert.ok(s.shrunkFrames >= (100 - s.targetMs - s.messageMs - 4 - step) * 48, `${s.shrunkFrames} frames taken out`);
    assert.ok(s.arrivalLevelMs < s.targetMs + s.messageMs + 4 + step, `level ${s.arrivalLevelMs} ms, target ${s.targetMs}`);
    assert.equal(s.correction, 0);
    const own = 0.5 * 2 * Math.sin((Math.PI * 1000) / 48000);
    assert.ok(steps(out).step <= 1.5 * own, `step ${steps(out).step / own}`);
    const f = zeroCrossingFrequency(out.subarray(48000), 48000);
    assert.ok(Math.abs(f - 1000) < 0.1, `${f} Hz`);
  });
});
