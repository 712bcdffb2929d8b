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
  let first = NaN;
  let last = NaN;
  let count = 0;
  for (let i = 1; i < x.length; i++) {
    if (x[i - 1] < 0 && x[i] >= 0) {
      const t = i - 1 + -x[i - 1] / (x[i] - x[i - 1]);
      if (count === 0) first = t;
      last = t;
      count++;
    }
  }
  if (count < 2) return NaN;
  return ((count - 1) * sampleRate) / (last - first);
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
