// Page-side helpers of the Orlune player that need no DOM: the room code from the link,
// the WebSocket address, reconnection back-off and the latency bookkeeping.

const ROOM_PATTERN = /^[a-z0-9_-]+$/;

// The room code is the last path segment after "/orlune/". Capital letters are folded so a
// hand-typed link still works; anything else outside the alphabet makes the link invalid.
export function roomFromPath(pathname) {
  const m = /\/orlune\/([^/]+)\/?$/.exec(pathname || '');
  if (!m) return null;
  let room;
  try {
    room = decodeURIComponent(m[1]).toLowerCase();
  } catch {
    return null;
  }
  return ROOM_PATTERN.test(room) ? room : null;
}

// ws: for http pages, wss: for https pages, same host and port.
export function socketUrl(location, room) {
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  return `${scheme}//${location.host}/orlune/${room}/ws`;
}

// The hello message must describe the stream this player understands.
export function checkHello(msg) {
  if (!msg || msg.type !== 'hello') return 'not a hello message';
  if (msg.sampleRate !== 48000) return `unsupported sample rate ${msg.sampleRate}`;
  if (msg.channels !== 2) return `unsupported channel count ${msg.channels}`;
  if (msg.framesPerPacket !== 256) return `unsupported packet size ${msg.framesPerPacket}`;
  return null;
}

// Exponential back-off with a little randomness so many listeners of one room do not all
// knock at the same instant after the relay restarts.
export class Backoff {
  constructor({ initialMs = 500, maxMs = 10000, factor = 2, jitter = 0.2, random = Math.random } = {}) {
    this.initialMs = initialMs;
    this.maxMs = maxMs;
    this.factor = factor;
    this.jitter = jitter;
    this.random = random;
    this.attempt = 0;
  }

  next() {
    const base = Math.min(this.maxMs, this.initialMs * this.factor ** this.attempt);
    this.attempt++;
    return Math.round(base * (1 + this.jitter * this.random()));
  }

  reset() {
    this.attempt = 0;
  }
}

// What an engine says about its output clock, checked before it is believed (WebKitGTK
// reported an output 1.9 s behind with 90 ms buffered). `ts` is getOutputTimestamp(), read
// just before `nowMs` (performance.now()) and `currentTime`; latencies in seconds. Returns
// {ts, latency}: the timestamp if it is plausible, else null (the caller then maps frames
// with currentTime + latency), and the output + base latency if plausible, else the base
// latency alone if that is, else 0.
export const MAX_OUTPUT_LATENCY_S = 0.5;

export function checkOutputClock({ ts, nowMs, currentTime, outputLatency, baseLatency }) {
  const ok = (x) => Number.isFinite(x) && x >= 0 && x <= MAX_OUTPUT_LATENCY_S;
  const base = ok(baseLatency) ? baseLatency : 0;
  let latency = ok(outputLatency) && ok(outputLatency + base) ? outputLatency + base : base;
  let good = null;
  if (ts && Number.isFinite(ts.contextTime) && Number.isFinite(ts.performanceTime) && ts.contextTime > 0 && ts.performanceTime > 0) {
    const fixed = outputTimestampWithLatency(ts, nowMs, currentTime, ok(outputLatency) ? outputLatency : 0);
    // How long from now until what is rendered now is heard, by this timestamp.
    const aheadS = currentTime - fixed.contextTime - (nowMs - fixed.performanceTime) / 1000;
    const fresh = Math.abs(nowMs - fixed.performanceTime) <= 1000;
    if (fresh && aheadS >= 0 && aheadS <= MAX_OUTPUT_LATENCY_S) good = fixed;
  }
  if (!Number.isFinite(latency)) latency = 0;
  return { ts: good, latency };
}

// Whether the page knows how far behind rendering the output is: by a plausible output
// timestamp, or an output latency the engine reports above 0. WebKitGTK reports an
// outputLatency of 0 and a timestamp of the render time (its performanceTime off by the
// context time), about 60 ms short of what the sound server hears: the figure shown is
// then a lower bound, as where the clock is not read at all.
export function outputLatencyKnown(reading, checked) {
  if (!reading) return false;
  if (checked && checked.ts) return true;
  const lat = reading.outputLatency;
  return Number.isFinite(lat) && lat > 0 && lat <= MAX_OUTPUT_LATENCY_S;
}

// Maps an output frame index of the AudioContext to performance.now() time at which that
// frame reaches the audio output. `ts` is AudioContext.getOutputTimestamp(): the context
// time being heard at `ts.performanceTime`. Browsers that do not fill it in fall back to the
// current render time plus the latencies the context reports.
export function frameToPerformanceTime(frame, sampleRate, ts, fallback) {
  if (ts && ts.performanceTime > 0 && ts.contextTime > 0) {
    return ts.performanceTime + (frame / sampleRate - ts.contextTime) * 1000;
  }
  return fallback.nowMs + (frame / sampleRate - fallback.currentTime + fallback.outputLatency) * 1000;
}

// getOutputTimestamp() should name the context time being heard at the output right now;
// some browsers return the time being rendered instead, which leaves the output latency
// out. Rendering runs ahead of the output by that latency, so the timestamp's context time
// lags currentTime by about outputLatency where it is right, and by next to nothing where
// it is not: then the timestamp is moved back by the output latency. `nowMs` and
// `currentTime` are read right after the timestamp; times in seconds except the *Ms ones.
export function outputTimestampWithLatency(ts, nowMs, currentTime, outputLatency) {
  if (!ts || !(ts.contextTime > 0) || !(outputLatency > 0)) return ts;
  const lagS = currentTime - ts.contextTime - (nowMs - ts.performanceTime) / 1000;
  if (lagS >= outputLatency / 2) return ts;
  return { contextTime: ts.contextTime - outputLatency, performanceTime: ts.performanceTime };
}

// Latency of each block from the arrival of its message at the page to the moment its first
// frame is played out (`latencyMs`), and the listener's delay from the plug-in's datagram to
// the sound (`delayMs`): that plus what the relay held the block's first sample back to
// complete its message (`heldMs`: the Opus tiers' packing and the codec's look-ahead, 0 on
// Lossless). The worklet reports [id, sequence, arrival, frame, held, ...] per block it
// starts to play (render-log.js); `frameToMs` maps an output frame to the clock of `arrival`.
const RECORD_FIELDS = 5;

export class LatencyTracker {
  constructor(keep = 20000) {
    this.keep = keep;
    this.samples = []; // {id, seq, arrivalMs, frame, latencyMs, heldMs, delayMs}
  }

  noteRenders(renders, frameToMs) {
    for (let k = 0; k + RECORD_FIELDS - 1 < renders.length; k += RECORD_FIELDS) {
      const arrivalMs = renders[k + 2];
      const frame = renders[k + 3];
      const latencyMs = frameToMs(frame) - arrivalMs;
      const heldMs = (renders[k + 4] || 0) / 48;
      this.samples.push({ id: renders[k], seq: renders[k + 1], arrivalMs, frame, latencyMs, heldMs, delayMs: latencyMs + heldMs });
    }
    if (this.samples.length > this.keep) this.samples.splice(0, this.samples.length - this.keep);
  }

  // Median delay of the last `n` blocks, for the display.
  recentMedian(n = 200) {
    if (this.samples.length === 0) return null;
    return summarize(this.samples.slice(-n).map((s) => s.delayMs)).medianMs;
  }

  // Arrival -> output of the blocks from `fromFrame` on (`field` 'delayMs' for the delay).
  summary(fromFrame = -Infinity, field = 'latencyMs') {
    const values = [];
    for (const s of this.samples) if (s.frame >= fromFrame) values.push(s[field]);
    return summarize(values);
  }
}

export function summarize(values) {
  if (values.length === 0) return { count: 0, minMs: null, medianMs: null, p95Ms: null, maxMs: null };
  const v = values.slice().sort((a, b) => a - b);
  const at = (q) => v[Math.min(v.length - 1, Math.floor(q * v.length))];
  return { count: v.length, minMs: v[0], medianMs: at(0.5), p95Ms: at(0.95), maxMs: v[v.length - 1] };
}

// Peak level in dBFS for the meter, floored at -90.
export function toDbfs(x) {
  return x > 0 ? Math.max(-90, 20 * Math.log10(x)) : -90;
}
