import assert from 'node:assert/strict';
import { describe, test } from 'node:test';
import { loadWebModule } from './load-web.mjs';
import { zeroCrossingFrequency, sineLevelDbfs } from '../signal.mjs';

const { JitterBuffer, hermite, RENDER_FIELDS } = await loadWebModule('jitter-buffer.js');
const { parseFloatMessage: parsePacket, FLOAT_MESSAGE_BYTES: PACKET_BYTES, FLOAT_FRAMES: FRAMES_PER_PACKET } = await loadWebModule('wire.js');

const QUANTUM = 128;

function packetOf(valueAt, position) {
  const s = new Float32Array(FRAMES_PER_PACKET * 2);
  for (let i = 0; i < FRAMES_PER_PACKET; i++) {
    s[2 * i] = valueAt(position + i, 0);
    s[2 * i + 1] = valueAt(position + i, 1);
  }
  return s;
}

// Runs a stream through the buffer in simulated time. Packets are made at the sender's
// rate and reach the buffer in order after `delayMs(k)`; the output pulls quanta at its own
// rate. Returns the buffer, the left output and the arrival order of events.
function simulate({
  seconds,
  senderRate = 48000,
  outputRate = 48000,
  delayMs = () => 0,
  drop = () => false,
  valueAt = (n) => 0.5 * Math.sin((2 * Math.PI * 1000 * n) / 48000),
  packets = Infinity,
  buffer = new JitterBuffer({ outputRate }),
  onQuantum = null,
}) {
  const quanta = Math.floor((seconds * outputRate) / QUANTUM);
  const out = new Float32Array(quanta * QUANTUM);
  const l = new Float32Array(QUANTUM);
  const r = new Float32Array(QUANTUM);
  let k = 0;
  let lastArrival = 0;
  let nextArrival = delayMs(0);
  for (let q = 0; q < quanta; q++) {
    const nowMs = ((q * QUANTUM) / outputRate) * 1000;
    while (k < packets && nextArrival <= nowMs) {
      if (!drop(k)) buffer.push(k, k * FRAMES_PER_PACKET, packetOf(valueAt, k * FRAMES_PER_PACKET), nextArrival, k);
      lastArrival = nextArrival;
      k++;
      // A stream socket keeps order: a packet cannot overtake the one before it.
      nextArrival = Math.max(lastArrival, ((k * FRAMES_PER_PACKET) / senderRate) * 1000 + delayMs(k));
    }
    buffer.pull(l, r, QUANTUM, q * QUANTUM);
    out.set(l, q * QUANTUM);
    if (onQuantum) onQuantum(buffer, q, nowMs);
  }
  return { buffer, out };
}

// Deterministic pseudo-random numbers in [0, 1).
function prng(seed) {
  let s = seed >>> 0;
  return () => {
    s = (s * 1664525 + 1013904223) >>> 0;
    return s / 4294967296;
  };
}

describe('packet parsing', () => {
  test('reads the 64-bit counters and the interleaved samples, all little-endian', () => {
    const buf = new ArrayBuffer(PACKET_BYTES);
    const v = new DataView(buf);
    v.setBigInt64(0, 2n ** 40n + 5n, true);
    v.setBigInt64(8, 2n ** 33n * 256n, true);
    v.setFloat32(16, 0.25, true);
    v.setFloat32(16 + 4 * 511, -1, true);
    const p = parsePacket(buf);
    assert.equal(p.sequence, 2 ** 40 + 5);
    assert.equal(p.samplePosition, 2 ** 33 * 256);
    assert.equal(p.samples.length, 512);
    assert.equal(p.samples[0], 0.25);
    assert.equal(p.samples[511], -1);
  });

  test('refuses messages of any other size', () => {
    for (const n of [0, 16, PACKET_BYTES - 1, PACKET_BYTES + 1]) assert.equal(parsePacket(new ArrayBuffer(n)), null);
    assert.equal(parsePacket('text'), null);
  });
});

describe('playback', () => {
  test('stays silent until the start target is buffered, then plays the frames as sent', () => {
    const jb = new JitterBuffer({ startTargetMs: 60 });
    const ramp = (n, ch) => (ch === 0 ? n : -n) / 1e6;
    const l = new Float32Array(QUANTUM);
    const r = new Float32Array(QUANTUM);
    for (let k = 0; k < 11; k++) jb.push(k, k * 256, packetOf(ramp, k * 256));
    assert.equal(jb.pull(l, r, QUANTUM), 0, '2816 frames are below the 60 ms target');
    assert.ok(l.every((x) => x === 0));
    jb.push(11, 11 * 256, packetOf(ramp, 11 * 256));
    jb.pull(l, r, QUANTUM);
    // Past the start fade the samples are the sent ones, bit for bit, on both channels.
    jb.pull(l, r, QUANTUM);
    for (let i = 0; i < QUANTUM; i++) {
      assert.equal(l[i], Math.fround((QUANTUM + i) / 1e6));
      assert.equal(r[i], Math.fround(-(QUANTUM + i) / 1e6));
    }
    assert.equal(jb.state, 'playing');
  });

  test('resamples for a context that does not run at 48 kHz, keeping pitch and level', () => {
    const amp = 10 ** (-12 / 20);
    const { buffer, out } = simulate({
      seconds: 6,
      outputRate: 44100,
      valueAt: (n) => amp * Math.sin((2 * Math.PI * 1000 * n) / 48000),
    });
    const tail = out.subarray(44100);
    assert.ok(Math.abs(zeroCrossingFrequency(tail, 44100) - 1000) < 0.5);
    assert.ok(Math.abs(sineLevelDbfs(tail) + 12) < 0.05);
    assert.equal(buffer.stats.underruns, 0);
  });

  test('reports at which output frame each packet started to play', () => {
    const { buffer } = simulate({ seconds: 1, packets: 20 });
    const r = buffer.takeRenders();
    const frames = [];
    for (let i = 0; i < r.length; i += RENDER_FIELDS) frames.push([r[i], r[i + 3]]);
    assert.ok(frames.length >= 12);
    for (let i = 1; i < frames.length; i++) {
      assert.equal(frames[i][0], i);
      assert.equal(frames[i][1] - frames[i - 1][1], 256, 'one packet per 256 output frames');
    }
  });
});

describe('long sessions', () => {
  test('frame counters passing 2^31 (12 hours at 48 kHz) do not disturb playback', () => {
    // A 44.1 kHz context: the interpolating path runs on every frame.
    const buffer = new JitterBuffer({ outputRate: 44100 });
    buffer.writePos = buffer.readPos = 2 ** 31 - 5000;
    const { out } = simulate({ seconds: 1, buffer, outputRate: 44100, valueAt: () => 0.5, senderRate: 48000 * 1.0005 });
    const playing = out.subarray(out.findIndex((x) => x === 0.5));
    assert.ok(buffer.readPos > 2 ** 31 && buffer.ratio !== 1);
    assert.ok(playing.length > 36000 && playing.every((x) => Math.abs(x - 0.5) < 1e-6));
  });
});

describe('sequence gaps', () => {
  test('a lost packet is filled with a continuation of the audio, and counted as lost', () => {
    const { buffer, out } = simulate({ seconds: 2, valueAt: () => 0.5, drop: (k) => k === 100 || k === 101 });
    assert.equal(buffer.stats.lost, 2);
    assert.equal(buffer.stats.underruns, 0);
    assert.equal(buffer.stats.concealedFrames, 512);
    assert.equal(buffer.stats.silentFills, 0);
    // A held level goes on through the hole: no step, no silence once playing.
    const from = out.findIndex((x) => x === 0.5);
    for (let i = from; i < out.length; i++) assert.equal(out[i], 0.5, `frame ${i}`);
  });

  test('a hole longer than a continuation stays plausible becomes faded silence; so does one at the start', () => {
    const { buffer, out } = simulate({ seconds: 2, valueAt: () => 0.5, drop: (k) => k >= 100 && k < 130 });
    assert.equal(buffer.stats.lost, 30);
    assert.equal(buffer.stats.silentFills, 1);
    // The buffer runs dry within the hole and fades out; the audio after it fades in.
    let zeros = 0;
    for (let i = 1; i < out.length; i++) {
      assert.ok(Math.abs(out[i] - out[i - 1]) <= 0.5 / 128 + 1e-6, `step at ${i}`);
      if (out[i] === 0 && i > 48000 * 0.2) zeros++;
    }
    assert.ok(zeros > 0 && zeros <= 30 * 256 + 128, `${zeros} silent frames`);
    const early = new JitterBuffer();
    early.push(0, 0, packetOf(() => 0.5, 0));
    early.push(2, 512, packetOf(() => 0.5, 512)); // nothing to continue yet
    assert.equal(early.stats.silentFills, 1);
  });

  test('a late or repeated packet is dropped without touching the count of lost ones', () => {
    const jb = new JitterBuffer();
    for (const k of [0, 1, 2]) assert.equal(jb.push(k, k * 256, packetOf(() => 0, k * 256)), 'ok');
    assert.equal(jb.push(1, 256, packetOf(() => 0, 256)), 'late');
    assert.equal(jb.push(3, 768, packetOf(() => 0, 768)), 'ok');
    assert.deepEqual([jb.stats.late, jb.stats.lost], [1, 0]);
  });

  test('a new source starting over at sequence 0 is no loss', () => {
    const jb = new JitterBuffer();
    for (let k = 500; k < 510; k++) jb.push(k, k * 256, packetOf(() => 0, 0));
    jb.discontinuity();
    jb.push(0, 0, packetOf(() => 0, 0));
    // Even unannounced, a sample position that does not fit or a long jump back is a restart.
    jb.push(1000, 1000 * 256 + 5, packetOf(() => 0, 0));
    jb.push(2, 2 * 256, packetOf(() => 0, 0));
    assert.equal(jb.stats.lost, 0);
    assert.equal(jb.stats.discontinuities, 2);
  });

  test('a new tier that starts before the old one ended goes on without a seam', () => {
    const jb = new JitterBuffer();
    const ramp = (n, ch) => (ch === 0 ? n : -n) / 1e6;
    const block = (pos, frames) => {
      const s = new Float32Array(2 * frames);
      for (let i = 0; i < frames; i++) {
        s[2 * i] = ramp(pos + i, 0);
        s[2 * i + 1] = ramp(pos + i, 1);
      }
      return s;
    };
    for (let k = 0; k < 12; k++) jb.push(k, k * 256, packetOf(ramp, k * 256));
    jb.newSequence();
    const end = 12 * 256;
    // Frames the buffer has already are left out: a block wholly before the end, then the
    // part of the next one before it.
    assert.equal(jb.push(0, end - 700, block(end - 700, 256)), 'ok');
    assert.equal(jb.push(1, end - 300, block(end - 300, 480)), 'ok');
    jb.push(2, end + 180, block(end + 180, 480));
    assert.equal(jb.stats.overlapFrames, 256 + 300);
    assert.equal(jb.stats.discontinuities, 0);
    assert.equal(jb.level, end + 660);
    const l = new Float32Array(QUANTUM);
    const r = new Float32Array(QUANTUM);
    jb.pull(l, r, QUANTUM); // the start fade
    for (let q = 1; q * QUANTUM < end + 256; q++) {
      jb.pull(l, r, QUANTUM);
      for (let i = 0; i < QUANTUM; i++) assert.equal(l[i], Math.fround((q * QUANTUM + i) / 1e6), `frame ${q * QUANTUM + i}`);
    }
    // Further back than any change of tier reaches is a restart, as before.
    jb.newSequence();
    assert.equal(jb.push(0, end - 10000, block(end - 10000, 480)), 'restart');
    assert.equal(jb.stats.overlapFrames, 256 + 300);
  });

  test('packets the relay skipped for a slow listener are not lost ones and are not filled', () => {
    const jb = new JitterBuffer();
    jb.push(0, 0, packetOf(() => 0, 0));
    jb.relaySkipped(40);
    jb.push(41, 41 * 256, packetOf(() => 0, 0));
    assert.deepEqual([jb.stats.lost, jb.stats.relaySkipped, jb.stats.concealedFrames], [0, 40, 0]);
    jb.push(45, 45 * 256, packetOf(() => 0, 0));
    assert.equal(jb.stats.lost, 3, 'the skip allowance is used up');
    jb.relaySkipped(10);
    jb.push(58, 58 * 256, packetOf(() => 0, 0));
    assert.deepEqual([jb.stats.lost, jb.stats.relaySkipped], [5, 50], 'losses beyond a skip still count');
  });
});

describe('underruns', () => {
  test('a stall in mid-stream is one underrun and raises the target', () => {
    const stall = (k) => (k >= 1500 && k < 1520 ? 150 - (k - 1500) * (256 / 48) : 0);
    const { buffer } = simulate({ seconds: 12, delayMs: stall });
    assert.equal(buffer.stats.underruns, 1);
    assert.equal(buffer.underrunLog.length, 1);
    assert.ok(buffer.targetMs >= 60, `target ${buffer.targetMs}`);
    assert.equal(buffer.state, 'playing');
  });

  test('the end of a stream is not an underrun', () => {
    const { buffer } = simulate({
      seconds: 4,
      packets: 300,
      onQuantum: (b, q, nowMs) => {
        if (Math.abs(nowMs - 3600) < 1) b.end(); // the relay reports the source silent 2 s later
      },
    });
    assert.equal(buffer.stats.underruns, 0);
    assert.equal(buffer.state, 'waiting');
    assert.ok(buffer.stats.playedFrames >= 300 * 256 - 4, 'all but the interpolator look-ahead');
  });
});

describe('clock drift and jitter', () => {
  for (const ppm of [300, -300]) {
    test(`holds the target against a sender clock ${ppm > 0 ? 'fast' : 'slow'} by ${Math.abs(ppm)} ppm`, () => {
      const { buffer } = simulate({ seconds: 90, senderRate: 48000 * (1 + ppm / 1e6) });
      assert.equal(buffer.stats.underruns, 0);
      assert.equal(buffer.stats.jumps, 0);
      // A proportional controller settles off target by its dead band (3 ms) plus the drift
      // times its 8 s time constant (2.4 ms here), and the mean of the packet sawtooth.
      assert.ok(Math.abs(buffer.bufferedMs - buffer.targetMs) < 8, `${buffer.bufferedMs} vs ${buffer.targetMs}`);
      assert.ok(Math.sign(buffer.correction) === Math.sign(ppm) && Math.abs(buffer.correction) <= 0.001, `correction ${buffer.correction}`);
    });
  }

  test('sinks to the minimum target on a steady network', () => {
    const { buffer } = simulate({ seconds: 40 });
    assert.equal(buffer.targetMs, 40);
    assert.ok(buffer.bufferedMs < 46);
  });

  test('grows the target with network jitter and then plays without underruns', () => {
    const random = prng(7);
    const underrunsAt = [];
    const { buffer } = simulate({
      seconds: 40,
      delayMs: () => 45 * random() ** 3,
      onQuantum: (b, q, nowMs) => {
        if (b.stats.underruns > underrunsAt.length) underrunsAt.push(nowMs);
      },
    });
    assert.ok(buffer.jitterMs > 20, `jitter ${buffer.jitterMs}`);
    assert.ok(buffer.targetMs >= 1.25 * buffer.jitterMs, `target ${buffer.targetMs}`);
    assert.deepEqual(underrunsAt.filter((t) => t > 3000), []);
  });

  test('jumps back to the target when a burst leaves far too much buffered', () => {
    const burst = (k) => (k < 400 ? 0 : k < 600 ? 1200 - (k - 400) * (256 / 48) : 0);
    const { buffer, out } = simulate({ seconds: 6, delayMs: burst, valueAt: () => 0.5 });
    assert.ok(buffer.stats.jumps >= 1);
    assert.ok(buffer.bufferedMs < buffer.targetMs + 45, `${buffer.bufferedMs} buffered`);
    // A crossfade between two equal levels: no step in the output.
    const last = out.subarray(48000 * 5);
    assert.ok(last.every((x) => Math.abs(x - 0.5) < 1e-6));
  });
});

describe('interpolation', () => {
  test('hits the sample itself at fraction 0 and is exact on straight lines', () => {
    assert.equal(hermite(0.3, -0.7, 0.9, 0.1, 0), -0.7);
    assert.ok(Math.abs(hermite(1, 2, 3, 4, 0.25) - 2.25) < 1e-12);
  });
});
