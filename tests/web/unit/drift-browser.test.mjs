// What the drift controller met in real browsers and the simulated link had not shown:
// a single stall on a clean link (a busy machine's tab), clock drift that begins after the
// stream has played on time for a while, and holds of 40-80 ms as the only disturbance.
// Each must leave the rate offset at 0 where the clocks agree, and take up the whole drift
// where they do not.
import assert from 'node:assert/strict';
import { describe, test } from 'node:test';
import { zeroCrossingFrequency } from '../signal.mjs';
import { delaySlope, holds, run, TIERS } from './playout-sim.mjs';

const stall = (from, ms) => (t) => (t >= from && t < from + ms ? from + ms : t);

describe('the drift controller in what browsers showed', () => {
  for (const tier of TIERS) {
    test(`${tier.name}: a stall of 150 ms, then a clean link: the offset goes back to 0 and the tone is right`, () => {
      const { out, buffer, offsets } = run({ tier, seconds: 24, hold: stall(2500, 150), pullQuanta: 2, jitterMs: () => 0.5 });
      // Whatever the target did after the stall, a step in the level is no drift.
      const moving = offsets.filter((o) => o.t > 8 && o.correction !== 0);
      assert.deepEqual(moving.slice(0, 3), [], `offset after 8 s: ${JSON.stringify(buffer.snapshot())}`);
      const f = zeroCrossingFrequency(out.subarray(8 * 48000), 48000);
      assert.ok(Math.abs(f / 1000 - 1) < 100e-6, `${f} Hz`);
    });

    test(`${tier.name}: holds of 40-80 ms with no drift: the tone within 100 ppm after 5 s`, () => {
      for (const seed of [4, 5, 6]) {
        const { out, offsets } = run({ tier, seconds: 16, hold: holds(seed, 16), pullQuanta: 2 });
        const worst = Math.max(...offsets.filter((o) => o.t > 8).map((o) => Math.abs(o.correction)));
        const f = zeroCrossingFrequency(out.subarray(8 * 48000), 48000);
        assert.ok(Math.abs(f / 1000 - 1) < 100e-6, `seed ${seed}: ${f} Hz, largest offset ${worst}`);
        assert.ok(worst <= 100e-6, `seed ${seed}: offset ${worst} with no drift`);
      }
    });

    for (const ppm of [1000, -1000]) {
      test(`${tier.name}: a sender clock that turns ${ppm > 0 ? 'fast' : 'slow'} by 0.1 % after 12 s: delay flat 5 s later`, () => {
        const { underruns, delays, buffer } = run({ tier, seconds: 32, ppm, driftFrom: 12, pullQuanta: 2, jitterMs: () => 0.5 });
        assert.deepEqual(underruns, []);
        const slope = delaySlope(delays, 17.3, 21); // as the browser matrix judges: 5.3 to 9 s into the drift
        assert.ok(Math.abs(slope) <= 0.2, `slope ${slope.toFixed(3)} ms/s, offset ${buffer.correction}`);
      });
    }

    test(`${tier.name}: a sender clock 0.1 % fast that turns 0.1 % slow, the delay flat 5 s after the turn`, () => {
      // As the matrix's drift+, drift- and the segment after them: 9 s each.
      const { underruns, delays, buffer } = run({ tier, seconds: 46, ppm: 1000, driftFrom: 10, turnAt: 19, turnPpm: -1000, pullQuanta: 2, jitterMs: () => 0.5 });
      assert.deepEqual(underruns, []);
      const slope = delaySlope(delays, 24.3, 28);
      assert.ok(Math.abs(slope) <= 0.2, `after the turn: slope ${slope.toFixed(3)} ms/s, offset ${buffer.correction}`);
    });
  }

  // The matrix's order: a clean link, 8 s of bursts (the sender holds everything for 40-80
  // ms at a time, so only the last datagram of each hold is on time, and an Opus message's
  // end is up to its length late), then the sender's clock 0.1 % fast for 9 s and 0.1 %
  // slow for 9 s. The bursts are no drift; each drift is followed 5.3-9 s in.
  test('bursts, then drift one way and the other: the tone held in the bursts, the delay flat in each drift, every tier', () => {
    for (const tier of TIERS) {
      const h = holds(3, 19, { everyMs: 0 });
      const hold = (t) => (t >= 11000 && t < 19000 ? h(t) : t);
      const { delays, offsets } = run({ tier, seconds: 38, ppm: 1000, driftFrom: 19, turnAt: 28, turnPpm: -1000, hold, pullQuanta: 2, jitterMs: () => 0.5 });
      const clean = offsets.filter((o) => o.t > 3 && o.t < 11 && o.correction !== 0);
      assert.deepEqual(clean.slice(0, 2), [], `${tier.name}: the offset moved on the clean link`);
      const bursts = Math.max(...offsets.filter((o) => o.t > 13 && o.t < 19).map((o) => Math.abs(o.correction)));
      assert.ok(bursts <= 100e-6, `${tier.name}: offset ${Math.round(bursts * 1e6)} ppm in the bursts`);
      for (const [from, to] of [[24.3, 28], [33.3, 37]]) {
        const slope = delaySlope(delays, from, to);
        assert.ok(Math.abs(slope) <= 0.2, `${tier.name}: ${slope.toFixed(3)} ms/s over ${from}-${to} s`);
      }
    }
  });
});
