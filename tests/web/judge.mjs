// Judges one scripted listening session (scenario.mjs) on what the page played and what the
// sound server heard. Inputs: the sender's log, the page's capture (orluneCapture) with the
// wall time it was read, orluneStats(), the timeline the driver noted, and the monitor
// recording (sound-monitor.mjs).
//
// Landmarks are the tone's changes of frequency. In the monitor recording each one gives
// "datagram sent -> sound" (its wall time minus the sending time of the datagram that
// starts the new stretch). In the capture they place the segments: every change is a
// known sample position, so a segment's datagrams map to the capture frames that played
// them.
import fs from 'node:fs';
import * as S from './scenario.mjs';
import {
  decodeFloat32, findEnvelopeFaults, findGlitches, findToneChanges, largestStep, longestQuiet, sineLevelDbfs, slopeAcrossSteps,
  zeroCrossingFrequency,
} from './signal.mjs';

export const LIMITS = {
  freqPpm: 100,
  levelDb: 0.2,
  clickFactor: 2, // at 2 % loss: no step above 2x the signal's own largest
  slopeMsPerS: 0.2, // delay under drift, after settling
  delayStepMs: 2, // a change of the delay this large between landmarks is a step, not a slope
  // A decoded Opus tone's largest step varies from second to second (1.00-1.11x the tone's
  // own in recorded sessions, far from any change), so the second around a change of tier
  // may out-step the rest of the segment by chance. A seam does more: a cut between streams
  // a quarter of a sample apart steps 1.25x, a sample apart 2x.
  tierStepFactor: 1.15,
  readoutMs: 10,
  readoutRelative: 0.15,
};

export function parseScriptLog(file) {
  const sent = new Map(); // seq -> ms
  const seg = []; // seq -> segment
  const lost = new Set();
  const startMs = []; // segment -> wall time of its first datagram
  let lastMs = NaN;
  for (const line of fs.readFileSync(file, 'utf8').split('\n')) {
    const [a, b, c, d] = line.split(' ');
    if (!c) continue;
    const seq = Number(a);
    seg[seq] = Number(c);
    if (startMs[seg[seq]] === undefined) startMs[seg[seq]] = Number(b);
    lastMs = Number(b);
    if (d === 'lost') lost.add(seq);
    else sent.set(seq, Number(b));
  }
  return { sent, seg, lost, count: seg.length, startMs, endMs: lastMs };
}

// Sending time of the datagram that starts stretch k (the next one sent if it was dropped).
function changeSentMs(log, k) {
  for (let d = k * S.STRETCH_DATAGRAMS; d < (k + 1) * S.STRETCH_DATAGRAMS; d++) {
    if (log.sent.has(d)) return log.sent.get(d) - ((d - k * S.STRETCH_DATAGRAMS) * S.FRAMES * 1000) / S.RATE;
  }
  return NaN;
}

// The stretch k a change into FREQS[to] seen at wall time `ms` belongs to: the latest one
// sent by then (a working player's delay is far below the 1.2 s cycle).
function stretchOf(log, to, ms) {
  let best = -1;
  for (let k = to; k * S.STRETCH_DATAGRAMS < log.count; k += S.FREQS.length) {
    if (k === 0) continue;
    const t = changeSentMs(log, k);
    if (t <= ms) best = k;
    else if (t > ms) break;
  }
  return best;
}

// Datagram -> sound for every change the sound server played: [{k, ms, delayMs, segment}].
export function monitorDelays(log, monitor) {
  const out = [];
  for (const c of findToneChanges(monitor.samples, monitor.rate, S.FREQS)) {
    const ms = monitor.originMs + (c.at * 1000) / monitor.rate;
    const k = stretchOf(log, c.to, ms);
    if (k < 0 || (k - 1 + S.FREQS.length) % S.FREQS.length !== c.from) continue;
    out.push({ k, ms, delayMs: ms - changeSentMs(log, k), segment: log.seg[k * S.STRETCH_DATAGRAMS] });
  }
  return out;
}

// Capture frame of every change the page played: [{k, frame}]. A change is placed in wall
// time by the page's own record of when the message that played there arrived
// (orluneLatencies: arrival time and first frame of each message), which the audio clock
// cannot skew; without records, by the moment the capture was read.
export function captureChanges(log, capture, readMs, records = []) {
  const x = decodeFloat32(capture.left);
  const start = capture.endFrame - x.length;
  const byFrame = records.filter((r) => Number.isFinite(r.frame) && Number.isFinite(r.arrivalMs)).sort((a, b) => a.frame - b.frame);
  const arrivedMs = (frame) => {
    let lo = 0;
    let hi = byFrame.length - 1;
    if (hi < 0 || byFrame[0].frame > frame) return NaN;
    while (lo < hi) {
      const mid = (lo + hi + 1) >> 1;
      if (byFrame[mid].frame <= frame) lo = mid;
      else hi = mid - 1;
    }
    const r = byFrame[lo];
    return frame - r.frame < capture.sampleRate ? r.arrivalMs + ((frame - r.frame) * 1000) / capture.sampleRate : NaN;
  };
  const out = [];
  for (const c of findToneChanges(x, capture.sampleRate, S.FREQS)) {
    const frame = start + c.at;
    let ms = arrivedMs(frame);
    if (!Number.isFinite(ms)) ms = readMs - ((x.length - c.at) * 1000) / capture.sampleRate;
    const k = stretchOf(log, c.to, ms);
    if (k >= 0 && (k - 1 + S.FREQS.length) % S.FREQS.length === c.from) out.push({ k, frame });
  }
  // A change placed in the wrong cycle breaks the order; keep the longest ordered run.
  return { x, start, changes: out.filter((c, i) => (i === 0 || c.k > out[i - 1].k) && (i + 1 === out.length || c.k < out[i + 1].k)) };
}

// Capture frame that played sample position `pos`, interpolated between the changes.
function frameOf(changes, pos, sr) {
  const scale = sr / S.RATE;
  if (changes.length === 0) return NaN;
  let i = 0;
  while (i + 1 < changes.length && changes[i + 1].k * S.STRETCH <= pos) i++;
  const a = changes[i];
  const b = changes[i + 1];
  if (b && pos >= a.k * S.STRETCH) return a.frame + ((pos - a.k * S.STRETCH) * (b.frame - a.frame)) / ((b.k - a.k) * S.STRETCH);
  return a.frame + (pos - a.k * S.STRETCH) * scale;
}

const median = (v) => (v.length ? v.slice().sort((a, b) => a - b)[Math.floor(v.length / 2)] : NaN);
const r1 = (x) => Math.round(x * 10) / 10;

// Share of the samples in [from, to) of the capture that equal, bit for bit, what was sent,
// stretch by stretch at the offset the change before gives (+-1 sample).
export function bitExactShare(x, start, changes, from, to) {
  let same = 0;
  let total = 0;
  for (let j = 0; j + 1 < changes.length; j++) {
    const a = changes[j];
    if (changes[j + 1].k !== a.k + 1) continue;
    const lo = Math.max(from, Math.ceil(a.frame) + 64);
    const hi = Math.min(to, Math.floor(changes[j + 1].frame) - 64);
    if (hi <= lo) continue;
    let best = 0;
    for (const shift of [-1, 0, 1]) {
      const offset = Math.round(a.frame) + shift - a.k * S.STRETCH; // frame - position
      let n = 0;
      for (let f = lo; f < hi; f++) if (x[f - start] === S.sampleAt(f - offset)) n++;
      best = Math.max(best, n);
    }
    same += best;
    total += hi - lo;
  }
  return total ? same / total : NaN;
}

// The segment an underrun at capture frame `u` belongs to: that of the message the buffer
// was waiting for, the first one played after it, by its arrival time against the
// segments' starts (a held datagram arrives after its segment began). A hold at the start
// of the bursts runs the buffer dry while the loss segment's last datagrams play: that
// underrun is the bursts', not the loss's. -1 where no record tells.
export function underrunSegment(u, records, log) {
  let next = null;
  for (const r of records) {
    if (Number.isFinite(r.frame) && Number.isFinite(r.arrivalMs) && r.frame >= u && (!next || r.frame < next.frame)) next = r;
  }
  if (!next || next.frame - u > 48000) return -1;
  let seg = -1;
  for (let s = 0; s < log.startMs.length; s++) if (log.startMs[s] !== undefined && log.startMs[s] <= next.arrivalMs) seg = s;
  return seg;
}

// Context frames around which the page changed tier: [from, to] between the two polls of
// the driver's timeline that saw the old and the new tier.
export function tierChangeFrames(timeline, fromMs, toMs) {
  const out = [];
  for (let i = 1; i < timeline.length; i++) {
    const a = timeline[i - 1];
    const b = timeline[i];
    if (b.ms < fromMs || b.ms > toMs || a.tier === b.tier || !Number.isFinite(a.frame) || !Number.isFinite(b.frame)) continue;
    out.push([a.frame, b.frame]);
  }
  return out;
}

// Largest step (in the tone's own) within 0.3 s of a change of tier, and elsewhere in `x`
// (which starts at capture frame `x0`).
export function stepsAroundChanges(x, x0, changes, sr, own = S.LARGEST_STEP) {
  const pad = Math.round(0.3 * sr);
  let near = 0;
  let far = 0;
  for (let i = 1; i < x.length; i++) {
    const d = Math.abs(x[i] - x[i - 1]);
    const f = x0 + i;
    if (changes.some(([a, b]) => f >= a - pad && f <= b + pad)) near = Math.max(near, d);
    else far = Math.max(far, d);
  }
  return { near: near / own, far: far / own };
}

// Judges every segment of `script`. Returns {segments: [{name, checks: [{name, ok, detail,
// judged}]}], cleanDelayMs, readoutMs}. A check with judged: false is reported only.
export function judgeSession({ script, log, capture, readMs, records, stats, timeline, monitor, engine, quality, only = () => true }) {
  const sr = capture.sampleRate;
  // The tone's own largest step at the capture's rate (larger at 44.1 kHz than at 48).
  const ownStep = S.AMPLITUDE * 2 * Math.sin((Math.PI * Math.max(...S.FREQS)) / sr);
  const { x, start, changes } = captureChanges(log, capture, readMs, records);
  const delays = monitorDelays(log, monitor);
  const settle = S.SETTLE_SECONDS * sr;
  const firstHeard = stats.firstRenderFrame + sr;
  const underrunFrames = stats.underrunFrames || [];
  const underrunSeg = underrunFrames.map((u) => underrunSegment(u, records || [], log));
  const segments = [];
  let cleanDelayMs = NaN;
  let readout = NaN;
  for (let s = 0; s < script.length; s++) {
    const seg = script[s];
    const segMs = log.startMs[s];
    const segStartMs = log.startMs[s + 1] ?? log.endMs; // where the next one starts
    if (seg.name === 'lead-in' || seg.unjudged || !only(s)) continue;
    const checks = [];
    const check = (name, ok, detail, judged = true) => checks.push({ name, ok: !!ok, detail, judged });
    const seqs = [];
    for (let d = 0; d < log.count; d++) if (log.seg[d] === s) seqs.push(d);
    if (seqs.length === 0) {
      check('segment was sent', false, 'no datagram');
      segments.push({ name: seg.name, checks });
      continue;
    }
    let from = Math.round(frameOf(changes, seqs[0] * S.FRAMES, sr));
    let to = Math.min(capture.endFrame, Math.round(frameOf(changes, (seqs[seqs.length - 1] + 1) * S.FRAMES, sr)));
    // A later segment's underrun (and its silence) in this one's last frames is judged there.
    for (let i = 0; i < underrunFrames.length; i++) {
      if (underrunSeg[i] > s && underrunFrames[i] >= from && underrunFrames[i] < to) to = underrunFrames[i];
    }
    // The stream ends with the last segment: the buffer then runs dry and the page fades
    // out, which is no fault of the segment. It is judged up to 100 ms before that.
    if (s === script.length - 1) to -= Math.round(0.1 * sr);
    if (s === 1) from = Math.max(from, firstHeard);
    const settled = seg.drift || seg.burstMs ? from + settle : from;
    const judged = (a, b) => x.subarray(Math.max(0, a - start), Math.max(0, b - start));
    const part = judged(settled, to);
    if (!(part.length > sr)) {
      check('segment heard', false, `${r1(part.length / sr)} s of it in the capture (${changes.length} landmarks found)`);
      segments.push({ name: seg.name, checks });
      continue;
    }
    const under = underrunFrames.filter((f, i) => f >= settled && (underrunSeg[i] < 0 ? f < to : underrunSeg[i] === s)).length;
    check(`no underrun${settled > from ? ` after ${S.SETTLE_SECONDS} s` : ''}`, under === 0, `${under}`);
    // Stretches wholly inside the judged part, 10 ms in from either change.
    const stretches = [];
    for (let j = 0; j + 1 < changes.length; j++) {
      const a = changes[j];
      const b = changes[j + 1];
      if (b.k !== a.k + 1 || a.frame < settled || b.frame > to) continue;
      const pad = Math.round(0.01 * sr);
      const y = judged(Math.ceil(a.frame) + pad, Math.floor(b.frame) - pad);
      stretches.push({ freq: S.FREQS[a.k % S.FREQS.length], hz: zeroCrossingFrequency(y, sr), db: sineLevelDbfs(y) });
    }
    const ppm = Math.max(...stretches.map((t) => Math.abs(t.hz / t.freq - 1) * 1e6));
    const dB = Math.max(...stretches.map((t) => Math.abs(t.db - S.DBFS)));
    const steadyTone = !seg.drift && !seg.loss;
    check(`frequency within ${LIMITS.freqPpm} ppm (${stretches.length} stretches)`, stretches.length > 0 && ppm <= LIMITS.freqPpm,
      `worst ${r1(ppm)} ppm`, steadyTone);
    check(`level within ${LIMITS.levelDb} dB`, stretches.length > 0 && dB <= LIMITS.levelDb, `worst ${dB.toFixed(3)} dB`, steadyTone);
    const step = largestStep(part) / ownStep;
    const quiet = longestQuiet(part, 0.1 * S.AMPLITUDE);
    const clicks = findGlitches(part, sr, Math.max(...S.FREQS), S.AMPLITUDE).length;
    const dips = findEnvelopeFaults(part, sr, Math.min(...S.FREQS), S.AMPLITUDE).length;
    if (seg.loss) {
      const hole = Math.round((S.FRAMES * sr) / S.RATE);
      check(`no click above ${LIMITS.clickFactor}x the signal's largest step`, step <= LIMITS.clickFactor, `${step.toFixed(2)}x`);
      check(`no silence longer than the hole (${hole} samples)`, quiet <= hole, `${quiet} samples (${r1((quiet * 1000) / sr)} ms)`);
    } else if (seg.tier) {
      // A change of tier is judged against the audio's own steps elsewhere in the segment
      // (Opus decoding alone out-steps the tone), the raw figure reported.
      const limit = 10 ** (LIMITS.levelDb / 20);
      const around = stepsAroundChanges(part, Math.max(settled, start), tierChangeFrames(timeline, segMs, segStartMs + 1000), sr, ownStep);
      check(`no step at a change of tier above ${LIMITS.tierStepFactor}x the audio's own elsewhere`,
        around.near <= LIMITS.tierStepFactor * Math.max(1, around.far),
        `${around.near.toFixed(2)}x at the changes, ${around.far.toFixed(2)}x elsewhere`);
      check('no step above the signal\'s own (+0.2 dB)', step <= limit, `${step.toFixed(2)}x`, false);
      check('no level dip or jump', dips === 0, `${dips}`);
      const seen = [...new Set(timeline.filter((t) => t.ms >= segMs && t.ms < segStartMs + 1000).map((t) => t.tier))];
      check('the tier changed', seen.length > 1, seen.join(' -> '));
    } else {
      check('no discontinuity', clicks + dips === 0, `${clicks} clicks, ${dips} level faults; step ${step.toFixed(2)}x`,
        seg.name === 'clean' || !!seg.burstMs);
    }
    const mine = delays.filter((d) => d.segment === s);
    const afterSettle = mine.filter((d) => d.ms - segMs >= S.SETTLE_SECONDS * 1000 + 300);
    if (seg.drift) {
      // An edit of the player's level (whole periods added or taken out at once) steps the
      // delay; drift the player does not follow slopes it. Landmarks are 0.24 s apart.
      const fit = slopeAcrossSteps(afterSettle.map((d) => d.ms / 1000), afterSettle.map((d) => d.delayMs), LIMITS.delayStepMs);
      check(`delay slope within +-${LIMITS.slopeMsPerS} ms/s after ${S.SETTLE_SECONDS} s`, Math.abs(fit.slope) <= LIMITS.slopeMsPerS,
        `${fit.slope.toFixed(3)} ms/s over ${afterSettle.length} landmarks${fit.steps ? `, ${fit.steps} step(s) of the level` : ''}`);
    }
    const segDelay = median(mine.map((d) => d.delayMs));
    if (seg.name === 'clean') {
      cleanDelayMs = segDelay;
      if (quality === 'lossless' && sr === S.RATE) {
        const share = bitExactShare(x, start, changes, from, to);
        check('Lossless: the sent samples bit for bit', share === 1, `${r1(share * 100)} % of samples`);
      }
      const shown = median(timeline.filter((t) => t.ms >= segMs && t.ms < segStartMs && t.state === 'playing')
        .map((t) => parseFloat(t.latencyText)).filter(Number.isFinite));
      readout = shown;
      const tol = Math.max(LIMITS.readoutMs, LIMITS.readoutRelative * segDelay);
      // A figure the page marks '+' (the engine hides its output latency) is a lower bound:
      // it must not claim more than was measured; its distance is reported.
      const bound = timeline.some((t) => t.ms >= segMs && t.ms < segStartMs && /\+/.test(t.latencyText || ''));
      if (bound) check('latency read-out, marked a lower bound, not above datagram -> sound', shown <= segDelay + tol, `shown ${r1(shown)}+ ms, measured ${r1(segDelay)} ms`);
      check(`latency read-out within max(${LIMITS.readoutMs} ms, 15 %) of datagram -> sound`, Math.abs(shown - segDelay) <= tol,
        `shown ${r1(shown)} ms, measured ${r1(segDelay)} ms`, !bound);
    }
    const sorted = mine.map((d) => d.delayMs).sort((a, b) => a - b);
    segments.push({
      name: seg.name, delayMs: r1(segDelay), delayP95Ms: r1(sorted[Math.floor(0.95 * sorted.length)] ?? NaN), landmarks: mine.length,
      freqWorstPpm: r1(ppm), levelWorstDb: Math.round(dB * 1000) / 1000, clicks, dips, stepRatio: Math.round(step * 100) / 100,
      quietMs: r1((quiet * 1000) / sr), underruns: under, checks,
    });
  }
  // Where Auto settled: the last change of tier the driver saw, and underruns after it.
  let settledMs = timeline.length ? timeline[0].ms : NaN;
  let settledFrame = stats.firstRenderFrame + sr;
  let tier = timeline.length ? timeline[0].tier : null;
  for (let i = 1; i < timeline.length; i++) {
    if (timeline[i].tier !== timeline[i - 1].tier) {
      settledMs = timeline[i].ms;
      settledFrame = (timeline[i].frame ?? settledFrame) + sr / 2;
    }
    tier = timeline[i].tier;
  }
  const settling = { tier, atMs: settledMs, underrunsAfter: underrunFrames.filter((f) => f >= settledFrame).length };
  return { segments, cleanDelayMs: r1(cleanDelayMs), readoutMs: readout, settling, landmarks: { capture: changes.length, monitor: delays.length } };
}

// A session read twice: `early` (before the change of tier) judges the segments before it,
// `late` (the end) the change of tier; a page that died after `early` fails that segment.
export function judgeReads({ script, log, early, late, lateError, timeline, monitor, engine, quality }) {
  const common = { script, log, timeline, monitor, engine, quality };
  const tierSeg = script.findIndex((seg) => seg.tier);
  if (!early) return judgeSession({ ...common, ...late });
  const a = judgeSession({ ...common, ...early, only: (s) => s < tierSeg });
  const segments = a.segments.slice();
  if (late) segments.push(...judgeSession({ ...common, ...late, only: (s) => s >= tierSeg }).segments);
  else segments.push({ name: script[tierSeg].name, checks: [{ name: 'page alive through the change of tier', ok: false, judged: true, detail: lateError }] });
  return { ...a, segments };
}
