// The test's own measuring tools and the datagram writer: a fault here would let a broken
// player pass, so they are checked against signals with known answers.
import assert from 'node:assert/strict';
import { describe, test } from 'node:test';
import { buildDatagram, toneBlock } from '../send-tone.mjs';
import { findEnvelopeFaults, findGlitches, sineLevelDbfs, zeroCrossingFrequency } from '../signal.mjs';

const RATE = 48000;
const A = 10 ** (-12 / 20);

function sine(freq, seconds, amp = A, phase = 0.3) {
  const x = new Float32Array(Math.round(seconds * RATE));
  for (let i = 0; i < x.length; i++) x[i] = amp * Math.sin((2 * Math.PI * freq * i) / RATE + phase);
  return x;
}

describe('tone measurements', () => {
  test('frequency and level of a clean sine', () => {
    const x = sine(997.3, 5);
    assert.ok(Math.abs(zeroCrossingFrequency(x, RATE) - 997.3) < 0.01);
    assert.ok(Math.abs(sineLevelDbfs(x) + 12) < 0.01);
    assert.deepEqual(findGlitches(x, RATE, 997.3, A), []);
    assert.deepEqual(findEnvelopeFaults(x, RATE, 997.3, A), []);
  });

  test('a frame-accurate skip of a few samples is a click', () => {
    const x = sine(1000, 1);
    const y = new Float32Array(x.length - 7);
    y.set(x.subarray(0, 20000));
    y.set(x.subarray(20007), 20000);
    const at = findGlitches(y, RATE, 1000, A);
    assert.equal(at.length, 1);
    assert.ok(Math.abs(at[0] - 20000) <= 1);
  });

  test('a faded gap of silence is an envelope fault even though it has no click', () => {
    const x = sine(1000, 1);
    for (let i = 0; i < 768; i++) {
      const g = i < 128 ? 1 - i / 128 : i < 640 ? 0 : (i - 640) / 128;
      x[30000 + i] *= g;
    }
    assert.deepEqual(findGlitches(x, RATE, 1000, A), []);
    assert.equal(findEnvelopeFaults(x, RATE, 1000, A).length, 1);
  });

  test('a level 1 dB off is an envelope fault', () => {
    assert.ok(findEnvelopeFaults(sine(1000, 0.5, A * 10 ** (1 / 20)), RATE, 1000, A).length > 0);
  });
});

describe('test datagrams', () => {
  test('lay out magic, room, counters and format fields as the plug-in does', () => {
    const samples = toneBlock(0, 1000, 0.5);
    const d = buildDatagram('default', 0, 0, samples);
    assert.equal(d.length, 17 + 1 + 7 + 1 + 28 + 2048);
    assert.equal(d.toString('ascii', 0, 17), 'VESKORLUNE_PCM_V3');
    assert.equal(d[17], 0);
    assert.equal(d.toString('ascii', 18, 25), 'default');
    assert.equal(d[25], 0);
    assert.ok(d.subarray(26, 42).every((b) => b === 0));
    assert.deepEqual([...d.subarray(42, 54)], [0x80, 0xbb, 0, 0, 2, 0, 0, 0, 0, 1, 0, 0]);
    const second = buildDatagram('default', 1, 256, samples);
    assert.deepEqual([...second.subarray(26, 42)], [1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0]);
    assert.equal(d.readFloatLE(54 + 4 * 3), samples[3]);
  });

  test('the tone continues seamlessly from one block to the next', () => {
    const a = toneBlock(0, 1000, A);
    const b = toneBlock(256, 1000, A);
    const joined = new Float32Array(1024);
    for (let i = 0; i < 256; i++) {
      joined[i] = a[2 * i];
      joined[256 + i] = b[2 * i];
    }
    assert.deepEqual(findGlitches(joined.subarray(0, 512), RATE, 1000, A), []);
    assert.equal(a[0], a[1], 'both channels carry the tone');
  });
});
