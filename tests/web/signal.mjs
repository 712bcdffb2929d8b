// Measurements on captured player output: tone frequency, level and discontinuities.

export function decodeFloat32(base64) {
  const bytes = Buffer.from(base64, 'base64');
  const out = new Float32Array(bytes.length / 4);
  for (let i = 0; i < out.length; i++) out[i] = bytes.readFloatLE(4 * i);
  return out;
}

// Frequency from the rising zero crossings, each located by linear interpolation between
// the two samples around it. Returns NaN with fewer than two crossings.
export function zeroCrossingFrequency(x, sampleRate) {
  const c = risingCrossings(x);
  if (c.length < 2) return NaN;
  return ((c.length - 1) * sampleRate) / (c[c.length - 1] - c[0]);
}

// Level of a sine as its peak in dBFS, from the RMS (peak = RMS * sqrt 2).
export function sineLevelDbfs(x) {
  let sum = 0;
  for (let i = 0; i < x.length; i++) sum += x[i] * x[i];
  const rms = Math.sqrt(sum / x.length);
  return 20 * Math.log10(rms * Math.SQRT2);
}

// Positions where the signal bends more sharply than a clean sine of this frequency and
// amplitude can: a sine's second difference never exceeds A * (2 pi f / fs)^2, while a
// dropout, a jump or a fade to silence produces steps far larger than that.
export function findGlitches(x, sampleRate, freq, amplitude, factor = 4) {
  const w = (2 * Math.PI * freq) / sampleRate;
  const limit = factor * amplitude * w * w + 1e-4;
  const at = [];
  for (let i = 1; i + 1 < x.length; i++) {
    const d2 = x[i + 1] - 2 * x[i] + x[i - 1];
    if (Math.abs(d2) > limit) {
      at.push(i);
      i += 64; // one event, not every sample of it
    }
  }
  return at;
}

// Stretches where the tone's envelope leaves amplitude * (1 +- tolerance): silence, a fade
// or a level jump. Looks at windows of one and a half periods, each of which holds a peak.
// Returns the start index of each such stretch.
export function findEnvelopeFaults(x, sampleRate, freq, amplitude, tolerance = 0.1) {
  const win = Math.ceil((1.5 * sampleRate) / freq);
  const lo = amplitude * (1 - tolerance);
  const hi = amplitude * (1 + tolerance);
  const at = [];
  let inFault = false;
  for (let start = 0; start + win <= x.length; start += win) {
    let peak = 0;
    for (let i = start; i < start + win; i++) {
      const a = Math.abs(x[i]);
      if (a > peak) peak = a;
    }
    const bad = peak < lo || peak > hi;
    if (bad && !inFault) at.push(start);
    inFault = bad;
  }
  return at;
}

// Largest step between neighbouring samples: a click shows as a step larger than the
// signal's own (a sine of amplitude A and frequency f never steps more than 2A sin(pi f/fs)).
export function largestStep(x) {
  let m = 0;
  for (let i = 1; i < x.length; i++) m = Math.max(m, Math.abs(x[i] - x[i - 1]));
  return m;
}

// Longest run of samples quieter than `threshold`: silence, or a gap faded down to it. A
// sine of amplitude A spends only about threshold/(pi A) of a period below threshold.
export function longestQuiet(x, threshold) {
  let best = 0;
  let run = 0;
  for (let i = 0; i < x.length; i++) {
    run = Math.abs(x[i]) < threshold ? run + 1 : 0;
    if (run > best) best = run;
  }
  return best;
}

// Least-squares line through (xs[i], ys[i]): {slope, intercept, residual (largest |error|)}.
export function linearFit(xs, ys) {
  const n = xs.length;
  if (n < 2) return { slope: NaN, intercept: NaN, residual: NaN };
  let sx = 0;
  let sy = 0;
  for (let i = 0; i < n; i++) {
    sx += xs[i];
    sy += ys[i];
  }
  const mx = sx / n;
  const my = sy / n;
  let sxx = 0;
  let sxy = 0;
  for (let i = 0; i < n; i++) {
    sxx += (xs[i] - mx) ** 2;
    sxy += (xs[i] - mx) * (ys[i] - my);
  }
  const slope = sxy / sxx;
  const intercept = my - slope * mx;
  let residual = 0;
  for (let i = 0; i < n; i++) residual = Math.max(residual, Math.abs(ys[i] - intercept - slope * xs[i]));
  return { slope, intercept, residual };
}

// The slope of ys over xs (in order of xs) where the series may step: wherever one value
// differs from the one before by more than `step`, a new piece begins, and the pieces share
// one slope, each with its own level (least squares). A delay that the player moved at once
// (an edit of its level) steps; one that drifts slopes. Steps are found on the series'
// running median of three, so that a single value off by its noise splits nothing.
// Returns {slope, steps}.
export function slopeAcrossSteps(xs, ys, step) {
  const med = ys.map((y, i) => (i === 0 || i === ys.length - 1 ? y : [ys[i - 1], y, ys[i + 1]].sort((a, b) => a - b)[1]));
  const pieces = [];
  let from = 0;
  for (let i = 1; i <= xs.length; i++) {
    if (i === xs.length || Math.abs(med[i] - med[i - 1]) > step) {
      pieces.push([from, i]);
      from = i;
    }
  }
  let sxx = 0;
  let sxy = 0;
  for (const [a, b] of pieces) {
    if (b - a < 2) continue;
    let mx = 0;
    let my = 0;
    for (let i = a; i < b; i++) {
      mx += xs[i];
      my += ys[i];
    }
    mx /= b - a;
    my /= b - a;
    for (let i = a; i < b; i++) {
      sxx += (xs[i] - mx) ** 2;
      sxy += (xs[i] - mx) * (ys[i] - my);
    }
  }
  return { slope: sxx > 0 ? sxy / sxx : NaN, steps: pieces.length - 1 };
}

// Rising zero crossings, each placed by linear interpolation (fractional sample index).
export function risingCrossings(x) {
  const c = [];
  for (let i = 1; i < x.length; i++) if (x[i - 1] < 0 && x[i] >= 0) c.push(i - 1 + -x[i - 1] / (x[i] - x[i - 1]));
  return c;
}

// The changes of a tone stepping between the frequencies `freqs` without a phase jump:
// [{at, from, to}], `at` the fractional sample where the change happened, `from` and `to`
// indices into `freqs`. Each rising crossing is one cycle, so the phase is the crossing's
// number; the change is where the phase lines fitted on either side (their slopes are the
// two frequencies) meet, which is exact for a clean change whatever happens in the cycle
// that holds it. Changes next to a fault (a line that does not fit to 0.02 cycles) are left
// out, so a change is never placed more than about 0.1 ms off. `rateScale` is output rate over sent rate, for frequencies heard faster or slower.
export function findToneChanges(x, sampleRate, freqs, { rateScale = 1, fitCycles = 12 } = {}) {
  const c = risingCrossings(x);
  const cls = [];
  for (let i = 0; i + 1 < c.length; i++) {
    const f = sampleRate / (c[i + 1] - c[i]) / rateScale;
    cls.push(freqs.findIndex((g) => Math.abs(f / g - 1) < 0.015));
  }
  // runs of one class: [start crossing, end crossing (exclusive), class]
  const runs = [];
  for (let i = 0; i < cls.length; ) {
    let j = i;
    while (j < cls.length && cls[j] === cls[i]) j++;
    if (cls[i] >= 0 && j - i >= 6) runs.push([i, j, cls[i]]);
    i = j;
  }
  const changes = [];
  for (let r = 0; r + 1 < runs.length; r++) {
    const [a0, a1, from] = runs[r];
    const [b0, b1, to] = runs[r + 1];
    if (from === to || b0 - a1 > 3) continue;
    const before = [];
    for (let i = Math.max(a0, a1 - fitCycles); i < a1; i++) before.push(i);
    const after = [];
    for (let i = b0 + 1; i <= Math.min(b1, b0 + fitCycles); i++) after.push(i);
    const A = linearFit(before.map((i) => c[i]), before);
    const B = linearFit(after.map((i) => c[i]), after);
    if (!(A.residual < 0.02 && B.residual < 0.02)) continue;
    const at = (B.intercept - A.intercept) / (A.slope - B.slope);
    // Every crossing between the two fits must lie on the line of its side: a skip or a
    // dropout there would otherwise move the meeting point unseen.
    let onLines = at > c[a1 - 1] - 2 * (c[a1] - c[a1 - 1]) && at < c[b0 + 1];
    for (let i = a1; i <= b0 && onLines; i++) {
      const L = c[i] < at ? A : B;
      onLines = Math.abs(L.intercept + L.slope * c[i] - i) < 0.03;
    }
    if (onLines) changes.push({ at, from, to });
  }
  return changes;
}
