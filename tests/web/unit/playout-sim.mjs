// A simulated link and audio device for the jitter buffer: a sender in real time whose clock
// may be off (from some point on), a link that may hold messages and hand them over at
// once, and an audio device that pulls one or several render quanta at a time.
import { loadWebModule } from './load-web.mjs';
import { slopeAcrossSteps } from '../signal.mjs';

const { JitterBuffer, RENDER_FIELDS } = await loadWebModule('jitter-buffer.js');

export const QUANTUM = 128;
export const TIERS = [
  { name: 'lossless', block: 256, blocks: 1 },
  { name: 'standard', block: 480, blocks: 2 },
  { name: 'low', block: 480, blocks: 4 },
];

export function prng(seed) {
  let s = seed >>> 0;
  return () => {
    s = (s * 1664525 + 1013904223) >>> 0;
    return s / 4294967296;
  };
}

export const tone = (hz, amp = 0.5) => (n) => amp * Math.sin((2 * Math.PI * hz * n) / 48000);

// Holds of `minMs`..`maxMs` starting every `everyMs`..2x that: whatever would arrive during
// one arrives at its end.
export function holds(seed, seconds, { minMs = 40, maxMs = 80, everyMs = 300 } = {}) {
  const random = prng(seed);
  const list = [];
  for (let t = 500; t < seconds * 1000; t += everyMs * (1 + random())) {
    const end = t + minMs + (maxMs - minMs) * random();
    list.push([t, end]);
    t = end;
  }
  return (at) => {
    for (const [from, to] of list) if (at >= from && at < to) return to;
    return at;
  };
}

// Returns the buffer, the output (left), underrun times (s) and per-block delays from the
// sample's time at the sender to the moment it is played.
export function run({
  tier,
  seconds,
  ppm = 0,
  driftFrom = 0, // sender seconds before which its clock is right
  turnAt = undefined,
  turnPpm = 0,
  outputRate = 48000,
  jitterMs = () => 0,
  hold = (t) => t,
  pullQuanta = 1,
  phaseMs = 0,
  valueAt = tone(1000),
  drop = () => false,
  options = {},
}) {
  const buffer = new JitterBuffer({ outputRate, ...options });
  // The sender's clock: right until driftFrom, then off by ppm, and from turnAt (if given)
  // off by turnPpm; all in its wall-clock seconds.
  const pieces = [[0, 0], [driftFrom, ppm]];
  if (turnAt !== undefined) pieces.push([turnAt, turnPpm]);
  const startPos = [0];
  for (let i = 1; i < pieces.length; i++) startPos.push(startPos[i - 1] + (pieces[i][0] - pieces[i - 1][0]) * 48000 * (1 + pieces[i - 1][1] / 1e6));
  // Wall time (ms) at which the sender has made sample position `pos`.
  const sentMs = (pos) => {
    let i = pieces.length - 1;
    while (i > 0 && pos < startPos[i]) i--;
    return (pieces[i][0] + (pos - startPos[i]) / (48000 * (1 + pieces[i][1] / 1e6))) * 1000;
  };
  const frames = tier.block * tier.blocks;
  const quanta = Math.floor((seconds * outputRate) / QUANTUM);
  const out = new Float32Array(quanta * QUANTUM);
  const l = new Float32Array(QUANTUM);
  const r = new Float32Array(QUANTUM);
  const underruns = [];
  const delays = [];
  const offsets = []; // {t, correction} every 0.1 s of output
  let m = 0;
  let lastArrival = 0;
  const arrivalOf = (k) => Math.max(lastArrival, hold(phaseMs + sentMs((k + 1) * frames) + jitterMs(k)));
  let next = arrivalOf(0);
  for (let q = 0; q < quanta; q += pullQuanta) {
    const nowMs = ((q * QUANTUM) / outputRate) * 1000;
    while (next <= nowMs) {
      for (let b = 0; b < tier.blocks; b++) {
        const seq = m * tier.blocks + b;
        if (drop(seq)) continue;
        const pos = seq * tier.block;
        const s = new Float32Array(2 * tier.block);
        for (let i = 0; i < tier.block; i++) s[2 * i] = s[2 * i + 1] = valueAt(pos + i);
        buffer.push(seq, pos, s, next, m);
      }
      lastArrival = next;
      m++;
      next = arrivalOf(m);
    }
    for (let p = 0; p < pullQuanta && q + p < quanta; p++) {
      const frame = (q + p) * QUANTUM;
      buffer.pull(l, r, QUANTUM, frame);
      out.set(l, frame);
      if (buffer.stats.underruns > underruns.length) underruns.push(frame / outputRate);
    }
    if (q % Math.round(outputRate / 10 / QUANTUM) < pullQuanta) offsets.push({ t: nowMs / 1000, correction: buffer.correction, drift: buffer.control.driftEstimate, err: buffer.control.slopeError, targetMs: buffer.targetMs, stretched: buffer.stats.stretchedFrames, shrunk: buffer.stats.shrunkFrames, level: buffer.control.highRef / 48, setpoint: buffer.control.setpoint / 48 });
    const recs = buffer.takeRenders();
    for (let i = 0; i < recs.length; i += RENDER_FIELDS) {
      const pos = recs[i + 1] * tier.block;
      const playedMs = (recs[i + 3] / outputRate) * 1000;
      delays.push({ t: playedMs / 1000, ms: playedMs - sentMs(pos) });
    }
  }
  return { buffer, out, underruns, delays, offsets };
}

// Slope of the delay over [from, to] s, in ms per s; a step of the player's own (an edit
// of its level, over 1.5 ms at once) is no slope.
export function delaySlope(delays, from, to = Infinity) {
  const pts = delays.filter((d) => d.t >= from && d.t <= to);
  return slopeAcrossSteps(pts.map((p) => p.t), pts.map((p) => p.ms), 1.5).slope;
}

