// Continuation of the audio before a hole, for lost messages the decoder could not conceal
// itself (Lossless datagrams, Opus frames decoded by WebCodecs). The audio before the hole
// is repeated at the lag at which it best matches itself (a pitch period, or a whole number
// of them), so a tone or a held note goes on at its own pitch and level instead of fading to
// silence; the audio after the hole is crossfaded in by the caller. Works in place on the
// jitter buffer's ring (two Float32Arrays of a power-of-two length); allocation-free.

export const CONCEAL_DEFAULTS = Object.freeze({
  windowFrames: 480, // 10 ms compared at each lag
  minLag: 32, // 1.5 kHz
  maxLag: 960, // 20 ms: 50 Hz, or several periods of anything higher
});

// The lag in frames at which the `windowFrames` before `end` best match the ones `lag`
// earlier (normalised cross-correlation of L + R). 0 when fewer than `available` frames of
// history would be needed, or the audio there is silent.
export function repeatLag(L, R, mask, end, available, o = CONCEAL_DEFAULTS) {
  const w = o.windowFrames;
  if (available < w + o.maxLag + 2) return 0;
  let best = 0;
  let bestScore = -Infinity;
  // Coarse: every other lag, every other frame; then the neighbours of the best at full
  // resolution.
  for (let lag = o.minLag; lag <= o.maxLag; lag += 2) {
    const s = score(L, R, mask, end, lag, w, 2);
    if (s > bestScore) {
      bestScore = s;
      best = lag;
    }
  }
  if (bestScore === -Infinity) return 0;
  const from = Math.max(o.minLag, best - 2);
  const to = Math.min(o.maxLag, best + 2);
  bestScore = -Infinity;
  for (let lag = from; lag <= to; lag++) {
    const s = score(L, R, mask, end, lag, w, 1);
    if (s > bestScore) {
      bestScore = s;
      best = lag;
    }
  }
  return bestScore === -Infinity ? 0 : best;
}

function score(L, R, mask, end, lag, w, step) {
  let xy = 0;
  let xx = 0;
  let yy = 0;
  for (let t = end - w; t < end; t += step) {
    const x = L[t & mask] + R[t & mask];
    const y = L[(t - lag) & mask] + R[(t - lag) & mask];
    xy += x * y;
    xx += x * x;
    yy += y * y;
  }
  if (xx < 1e-12 || yy < 1e-12) return -Infinity;
  return xy / Math.sqrt(xx * yy);
}

// How well the `frames` before `end` match the audio `lag` earlier (normalised
// cross-correlation of L + R, -1..1; -Infinity where either is silent). A steady tone at its
// period scores above 0.99; audio that just changed, far less.
export function repeatMatch(L, R, mask, end, lag, frames) {
  return score(L, R, mask, end, lag, frames, 1);
}

// Makes the last `lag` frames before `end` loop without a seam: the last of them (at most
// `frames`, and never more than `lag`) are crossfaded into the audio one lag earlier, so the
// frame before `end` leads into the frame `lag` before it as the audio there did. Where the
// audio repeats at `lag` exactly (a steady tone) this changes nothing; where it does not (a
// note or a tone that just changed) a repeat then joins with no step. The caller keeps
// them unread.
export function seamLoop(L, R, mask, end, lag, frames) {
  const n = Math.max(0, Math.min(frames, lag));
  for (let k = 0; k < n; k++) {
    const p = (end - n + k) & mask;
    const q = (end - n + k - lag) & mask;
    const g = (k + 1) / n;
    L[p] += (L[q] - L[p]) * g;
    R[p] += (R[q] - R[p]) * g;
  }
}

// Writes `frames` frames from `start` on: the last `lag` frames before `start`, repeated.
// Frames from `fadeFrom` on fade out linearly to 0 at `start + frames` (for holes too long
// for a continuation to stay plausible).
export function repeatInto(L, R, mask, start, frames, lag, fadeFrom = Infinity) {
  const end = start + frames;
  for (let i = 0; i < frames; i++) {
    const p = start + i;
    const src = (start - lag + (i % lag)) & mask;
    const g = p < fadeFrom ? 1 : (end - p) / (end - fadeFrom + 1);
    L[p & mask] = L[src] * g;
    R[p & mask] = R[src] * g;
  }
}
