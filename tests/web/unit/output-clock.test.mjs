// The page's measure of how fast the audio output runs against its wall clock
// (web/output-clock.js), from reports that reach it late by varying amounts.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { loadWebModule } from './load-web.mjs';
import { prng } from './playout-sim.mjs';

const { OutputClock } = await loadWebModule('output-clock.js');
const RATE = 48000;

// Reports every 0.1 s of output from a device `ppm` off the wall clock, each `late(i)` ms late.
function feed(clock, { ppm, seconds, late, fromS = 0, wallFromMs = 1e6 }) {
  for (let i = 0; i < seconds * 10; i++) {
    const t = fromS + i / 10;
    clock.add(Math.round(t * RATE), RATE, wallFromMs + ((t - fromS) * 1000) / (1 + ppm / 1e6) + late(i));
  }
}

test('the offset is read through late reports and stalls, and is 0 until it is known', () => {
  for (const ppm of [110, -150, 0]) {
    const random = prng(ppm + 1000);
    const clock = new OutputClock();
    // Mostly 1-10 ms late; every 30th report stalled 200 ms (a busy page).
    const late = (i) => (i % 30 === 29 ? 200 : 1 + 9 * random());
    feed(clock, { ppm, seconds: 5, late });
    assert.equal(clock.offset, 0, 'too little to tell yet');
    feed(clock, { ppm, seconds: 55, late, fromS: 5, wallFromMs: 1e6 + 5000 / (1 + ppm / 1e6) });
    assert.ok(Math.abs(clock.offset * 1e6 - ppm) < 15, `${ppm} ppm read as ${(clock.offset * 1e6).toFixed(1)}`);
  }
});

test('a jump in the reports (the output stopped rendering) starts the measure afresh', () => {
  const random = prng(5);
  const clock = new OutputClock();
  const late = () => 1 + 4 * random();
  feed(clock, { ppm: 300, seconds: 30, late });
  assert.ok(Math.abs(clock.offset * 1e6 - 300) < 15);
  // The context was suspended for 2 s: the frames resume where they were, the wall clock
  // went on. What came before no longer counts, and the offset already told holds.
  feed(clock, { ppm: 0, seconds: 5, late, fromS: 30, wallFromMs: 1e6 + 32000 });
  assert.ok(clock.blocks.length <= 6, `${clock.blocks.length} blocks kept`);
  feed(clock, { ppm: 0, seconds: 40, late, fromS: 35, wallFromMs: 1e6 + 37000 });
  assert.ok(Math.abs(clock.offset * 1e6) < 15, `${clock.offset * 1e6} ppm`);
});
