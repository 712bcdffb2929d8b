// The test's own measuring tools and the datagram writer: a fault here would let a broken
// player pass, so they are checked against signals with known answers.
import assert from 'node:assert/strict';
import { writeFileSync, unlinkSync } from 'node:fs';
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

// ---- the browser matrix: the stepped tone, its landmarks, the scripted sender, the judge

describe('the scripted session and its landmarks', async () => {
  const S = await import('../scenario.mjs');
  const G = await import('../signal.mjs');
  const J = await import('../judge.mjs');
  const sent = (from, n) => {
    const x = new Float32Array(n);
    for (let i = 0; i < n; i++) x[i] = S.sampleAt(from + i);
    return x;
  };

  test('the stepped tone never steps more than its own largest step, and every change is found to a hundredth of a sample', () => {
    const x = sent(3000, 5 * S.STRETCH);
    assert.ok(Math.abs(G.largestStep(x) / S.LARGEST_STEP - 1) < 0.01);
    assert.deepEqual(G.findGlitches(x, RATE, Math.max(...S.FREQS), S.AMPLITUDE), []);
    const changes = G.findToneChanges(x, RATE, S.FREQS);
    assert.equal(changes.length, 5);
    changes.forEach((c, i) => {
      assert.ok(Math.abs(c.at + 3000 - (i + 1) * S.STRETCH) < 0.01, `change ${i} at ${c.at + 3000}`);
      assert.equal(c.to, (i + 1) % S.FREQS.length);
    });
  });

  test('a change next to a skip of samples is left out or placed within 0.1 ms, never misplaced', () => {
    for (const skip of [1, 7, 100]) {
      const x = sent(0, 3 * S.STRETCH);
      const at = S.STRETCH - 150; // inside the fitted cycles before the first change
      const y = new Float32Array(x.length - skip);
      y.set(x.subarray(0, at));
      y.set(x.subarray(at + skip), at);
      for (const c of G.findToneChanges(y, RATE, S.FREQS)) {
        const truth = Math.round((c.at + skip) / S.STRETCH) * S.STRETCH - skip;
        assert.ok(Math.abs(c.at - truth) < 5, `skip ${skip}: change placed at ${c.at}, true ${truth}`);
      }
    }
  });

  test('a tone played 0.1 % fast still has its changes, where the faster clock puts them', () => {
    const ratio = 1.001;
    const x = new Float32Array(4 * S.STRETCH);
    for (let i = 0; i < x.length; i++) {
      const p = i * ratio;
      const a = Math.floor(p);
      x[i] = S.sampleAt(a) + (p - a) * (S.sampleAt(a + 1) - S.sampleAt(a));
    }
    const changes = G.findToneChanges(x, RATE, S.FREQS);
    assert.equal(changes.length, 3);
    changes.forEach((c, i) => assert.ok(Math.abs(c.at - ((i + 1) * S.STRETCH) / ratio) < 0.2));
  });

  test('silence and clicks are measured against the hole and the signal', () => {
    const x = sent(0, S.STRETCH);
    assert.ok(G.longestQuiet(x, 0.1 * S.AMPLITUDE) < 10, 'a sine is never quiet for long');
    for (let i = 0; i < 300; i++) x[5000 + i] = 0;
    assert.equal(G.longestQuiet(x, 0.1 * S.AMPLITUDE) >= 300, true);
    assert.ok(G.largestStep(x) / S.LARGEST_STEP > 2, 'cutting to zero is a click above 2x');
  });

  test('a line fit gives slope and the largest miss', () => {
    const f = G.linearFit([0, 1, 2, 3], [1, 3, 5, 7.5]);
    assert.ok(Math.abs(f.slope - 2.15) < 1e-9);
    assert.ok(f.residual > 0.1 && f.residual < 0.3);
  });

  test('a delay that steps is judged on its slope between the steps', () => {
    const t = Array.from({ length: 40 }, (_, i) => i * 0.25);
    const sloped = t.map((x) => 100 + 0.1 * x);
    const edited = t.map((x, i) => 100 + 0.1 * x - (i >= 12 ? 3 : 0) + (i >= 30 ? 4.5 : 0));
    const a = G.slopeAcrossSteps(t, sloped, 1.5);
    const b = G.slopeAcrossSteps(t, edited, 1.5);
    assert.ok(Math.abs(a.slope - 0.1) < 1e-9 && a.steps === 0);
    assert.ok(Math.abs(b.slope - 0.1) < 1e-9 && b.steps === 2, JSON.stringify(b));
    // A plain line through the edited delay would read the steps as a slope.
    assert.ok(Math.abs(G.linearFit(t, edited).slope - 0.1) > 0.1);
  });

  test('2 % loss drops one datagram in fifty, never two in a row', () => {
    const drop = S.lossPattern(0.02, S.random(7));
    const dropped = [];
    for (let i = 0; i < 5000; i++) if (drop(i)) dropped.push(i);
    assert.equal(dropped.length, 100);
    for (let k = 1; k < dropped.length; k++) assert.ok(dropped[k] - dropped[k - 1] > 1);
  });

  // A sound server that heard the tone `delay(t)` ms after each datagram was sent.
  function fakeSession(delay, seconds = 12) {
    const t0 = 1.7e12;
    const datagrams = Math.round((seconds * RATE) / S.FRAMES);
    const lines = [];
    for (let n = 0; n < datagrams; n++) lines.push(`${n} ${(t0 + (n * S.FRAMES * 1000) / RATE).toFixed(3)} ${n < datagrams / 2 ? 0 : 1}`);
    const file = `${process.env.TMPDIR || '/tmp'}/orlune-judge-${process.pid}-${Math.random()}.txt`;
    writeFileSync(file, lines.join('\n'));
    const log = J.parseScriptLog(file);
    unlinkSync(file);
    // Sample i of the monitor is heard at originMs + i/48: it plays what was sent delay ms before.
    const originMs = t0 + 20;
    const samples = new Float32Array(seconds * RATE);
    for (let i = 0; i < samples.length; i++) {
      const heardMs = originMs + (i * 1000) / RATE;
      const pos = ((heardMs - delay(heardMs - t0) - t0) * RATE) / 1000;
      samples[i] = pos < 0 ? 0 : S.sampleAt(Math.round(pos));
    }
    return { log, monitor: { samples, originMs, rate: RATE } };
  }

  test('a step at a change of tier is told from the audio\'s own steps elsewhere', () => {
    const x = sent(0, 3 * RATE);
    const timeline = [{ ms: 0, tier: 'lossless', frame: 0 }, { ms: 400, tier: 'high', frame: RATE }, { ms: 800, tier: 'high', frame: 1.4 * RATE }];
    const changes = J.tierChangeFrames(timeline, 0, 1000);
    assert.deepEqual(changes, [[0, RATE]]);
    const clean = J.stepsAroundChanges(x, 0, changes, RATE);
    assert.ok(clean.near < 1.01 && clean.far < 1.01 && clean.far > 0.9, JSON.stringify(clean));
    const y = x.slice();
    const a = Math.round(1.1 * RATE);
    const b = Math.round(2.5 * RATE);
    y[a] = y[a - 1] + 1.8 * S.LARGEST_STEP; // a click beside the change
    y[b] = y[b - 1] + 1.3 * S.LARGEST_STEP; // a smaller one far from it
    const hit = J.stepsAroundChanges(y, 0, changes, RATE);
    assert.ok(hit.near >= 1.79 && hit.far >= 1.29 && hit.far < hit.near, JSON.stringify(hit));
    assert.ok(hit.near > J.LIMITS.tierStepFactor * hit.far, 'the click beside the change out-steps the one far from it');
  });

  test('an underrun belongs to the segment whose message the buffer waited for', () => {
    const { log } = fakeSession(() => 80, 4);
    const secondMs = log.startMs[1];
    // Played in order, each message 80 ms after it was sent; the buffer ran dry at frame
    // 96000 while the first segment's last datagram played, waiting for the second's first
    // (held, arriving late): that underrun is the second segment's.
    const records = [
      { frame: 95000, arrivalMs: secondMs - 5 },
      { frame: 99000, arrivalMs: secondMs + 60 },
      { frame: 99256, arrivalMs: secondMs + 60 },
    ];
    assert.equal(J.underrunSegment(96000, records, log), 1);
    assert.equal(J.underrunSegment(94000, records, log), 0);
    assert.equal(J.underrunSegment(100000, records, log), -1, 'nothing played after it');
  });

  test('datagram -> sound is read from the sound server to a fraction of a millisecond', () => {
    const { log, monitor } = fakeSession(() => 87.3);
    const d = J.monitorDelays(log, monitor);
    assert.ok(d.length >= 40, `${d.length} landmarks`);
    for (const x of d) assert.ok(Math.abs(x.delayMs - 87.3) < 0.1, `${x.delayMs}`);
  });

  test('a delay that grows 1 ms/s shows as that slope', () => {
    const { log, monitor } = fakeSession((ms) => 60 + ms / 1000);
    const d = J.monitorDelays(log, monitor);
    const fit = G.linearFit(d.map((x) => x.ms / 1000), d.map((x) => x.delayMs));
    assert.ok(Math.abs(fit.slope - 1) < 0.05, `${fit.slope}`);
  });

  test('bit-exact copies count as such, a copy resampled by a hair does not', () => {
    const changes = [0, 1, 2].map((k) => ({ k: k + 3, frame: 1000 + k * S.STRETCH }));
    const x = sent(3 * S.STRETCH - 1000, 3 * S.STRETCH);
    assert.equal(J.bitExactShare(x, 0, changes, 0, x.length), 1);
    const y = x.map((v) => v * (1 + 1e-6));
    assert.ok(J.bitExactShare(y, 0, changes, 0, y.length) < 0.01);
  });
});

describe('the WebKit driver', async () => {
  const { crashIn } = await import('../webkit.mjs');
  test('names a crash of the web content process and ignores its everyday warnings', () => {
    const everyday = '** (WebKitWebProcess:8414): WARNING **: 20:39:53.724: Unable to get session D-Bus address: Failed to execute child process “dbus-launch”';
    assert.equal(crashIn(everyday), null);
    const crash = `${everyday}\nfree(): invalid pointer\n\n** (MiniBrowser:8520): WARNING **: 20:40:06.873: WebProcess CRASHED\n`;
    assert.match(crashIn(crash), /free\(\): invalid pointer.*WebProcess CRASHED/);
  });
});
