// The scripted listening session of the browser matrix: one sender plays a sequence of
// segments (clean, loss, bursts, clock drift, a change of tier) and the judge cuts the
// page's output into the same segments. Both sides build the plan from this module, so
// they agree on every sample.
//
// The signal is a sine whose frequency changes, phase-continuously, every STRETCH samples
// through FREQS. A change of frequency is a landmark that can be found in the output to
// within a fraction of a millisecond (datagram -> sound delay, segment borders), and the
// pair (from, to) names the change modulo the cycle, which is longer than any delay a
// working player has.

export const RATE = 48000;
export const FRAMES = 256; // samples per datagram
export const STRETCH_DATAGRAMS = 45; // 11520 samples, 0.24 s
export const STRETCH = STRETCH_DATAGRAMS * FRAMES;
export const FREQS = [1000, 1250, 875, 1125, 937.5];
export const CYCLE_SECONDS = (FREQS.length * STRETCH) / RATE;
export const DBFS = -12;
export const AMPLITUDE = 10 ** (DBFS / 20);

// Segments in the sender's wall-clock seconds. `drift` is the sender's sample-clock error
// (+0.001: its clock runs 0.1 % fast); `loss` drops one datagram in every 1/loss, never
// two in a row; `burstMs` holds datagrams for a random 40-80 ms, then sends them at once;
// `tier` asks the page for another quality during the segment (the driver does that). A
// segment with `untilSignal` lasts until the sender gets SIGUSR2, at most its `seconds`:
// the lead-in until the page plays, the change of tier until the driver is done with it.
export const SCRIPTS = {
  // Every scenario once; the lead-in is where the page starts: it and any segment marked
  // `unjudged` are not judged.
  full: [
    { name: 'lead-in', seconds: 30, untilSignal: true },
    { name: 'clean', seconds: 6 },
    { name: 'loss', seconds: 5, loss: 0.02 },
    { name: 'bursts', seconds: 8, burstMs: [40, 80] },
    { name: 'drift+', seconds: 9, drift: 0.001 },
    { name: 'drift-', seconds: 9, drift: -0.001 },
    // The sender's clock is right again: the player takes a few seconds to see that the
    // drift ended (clocks do not jump like this), which is no part of the change of tier.
    { name: 'recover', seconds: 6, unjudged: true },
    { name: 'tier', seconds: 60, tier: true, untilSignal: true },
  ],
  // On a shaped link: what the link changes (bandwidth, queueing), not the sender's clock.
  short: [
    { name: 'lead-in', seconds: 30, untilSignal: true },
    { name: 'clean', seconds: 6 },
    { name: 'loss', seconds: 5, loss: 0.02 },
    { name: 'bursts', seconds: 8, burstMs: [40, 80] },
    { name: 'tier', seconds: 60, tier: true, untilSignal: true },
  ],
  // Half a minute of 2 % loss (by hand: what loss sounds like, many holes at once).
  loss: [
    { name: 'lead-in', seconds: 30, untilSignal: true },
    { name: 'clean', seconds: 4 },
    { name: 'loss', seconds: 30, loss: 0.02 },
  ],
  // A minute of clean delivery (scripts/bench-links, on shaped links).
  bench: [
    { name: 'lead-in', seconds: 30, untilSignal: true },
    { name: 'clean', seconds: 60 },
  ],
};

// Seconds a segment needs before it is judged (the player may adapt first).
export const SETTLE_SECONDS = 5;

export function scriptSeconds(script) {
  return script.reduce((s, seg) => s + seg.seconds, 0);
}

// Frequency of the stretch that holds sample position `pos` (>= 0).
export function stretchIndex(pos) {
  return Math.floor(pos / STRETCH);
}
export function freqAt(pos) {
  return FREQS[stretchIndex(pos) % FREQS.length];
}

// Phase in cycles at the start of each stretch is the sum of the whole stretches before
// it; kept per cycle of FREQS so it never loses precision.
const CYCLE_PHASE = FREQS.reduce((s, f) => s + (f * STRETCH) / RATE, 0);
const STRETCH_PHASE = FREQS.map((_, k) => FREQS.slice(0, k).reduce((s, f) => s + (f * STRETCH) / RATE, 0));

export function phaseAt(pos) {
  const k = stretchIndex(pos);
  const cycles = Math.floor(k / FREQS.length) * CYCLE_PHASE + STRETCH_PHASE[k % FREQS.length];
  const p = cycles + (FREQS[k % FREQS.length] * (pos - k * STRETCH)) / RATE;
  return p - Math.floor(p);
}

// The sample the sender sends at position `pos`, as float32 (what the datagram carries).
export function sampleAt(pos) {
  return Math.fround(AMPLITUDE * Math.sin(2 * Math.PI * phaseAt(pos)));
}

// The signal's own largest step between neighbouring samples.
export const LARGEST_STEP = AMPLITUDE * 2 * Math.sin((Math.PI * Math.max(...FREQS)) / RATE);

// A small deterministic generator (mulberry32), so a run can be repeated exactly.
export function random(seed) {
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

// Which datagrams of a lossy segment are dropped, asked in order of the segment's datagram
// count i = 0, 1, 2...: one at a random place in each run of 1/loss, never the first or last
// of the run, so never two in a row.
export function lossPattern(loss, rnd) {
  const run = Math.round(1 / loss);
  let block = -1;
  let drop = -1;
  return (i) => {
    const b = Math.floor(i / run);
    if (b !== block) {
      block = b;
      drop = b * run + 1 + Math.floor(rnd() * (run - 2));
    }
    return i === drop;
  };
}
