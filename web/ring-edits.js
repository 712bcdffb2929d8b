// Edits at the jitter buffer's write end that keep the audio continuous: a hole filled
// with a continuation of the audio before it, the level raised (stretch) or lowered
// (shrink) at once when the target moves, and the old tier crossfaded into the new one over
// their overlap. Each works in place on the buffer's ring (jitter-buffer.js) and allocates
// nothing; the repeat lag comes from loss-concealment.js.

import { repeatLag, repeatInto, repeatMatch, seamLoop } from './loss-concealment.js';

// Level edits are optional and can wait for a better block: one is made only where the
// audio's newest frames match themselves a lag earlier at least this well (a steady tone
// scores above 0.99), never just after the audio changed.
const EDIT_MATCH = 0.9;
const MATCH_FRAMES = 96;

// Frames before the write end that may still be changed: not yet read, with the
// interpolator's look-ahead.
function unreadBefore(jb) {
  return Math.max(0, jb.writePos - (Math.ceil(jb.readPos) + 3));
}

// The repeat lag for an optional edit, or 0 where the audio does not repeat well enough now.
function editLag(jb) {
  const lag = repeatLag(jb.left, jb.right, jb.mask, jb.writePos, jb.writePos - jb.continuousFrom);
  if (lag === 0) return 0;
  return repeatMatch(jb.left, jb.right, jb.mask, jb.writePos, lag, MATCH_FRAMES) >= EDIT_MATCH ? lag : 0;
}

// `hole` frames never came; `next` frames follow. A continuation where there is audio to
// continue and room for it, else faded silence of at most what keeps the target.
export function fillHole(jb, hole, next) {
  const o = jb.o;
  const fade = Math.min(o.concealFadeFrames, next);
  const fits = hole <= o.maxFillMs * jb.framesPerMs && jb.level + hole + fade + next < jb.capacity - 8;
  const lag = fits ? repeatLag(jb.left, jb.right, jb.mask, jb.writePos, jb.writePos - jb.continuousFrom) : 0;
  if (lag > 0) {
    seamLoop(jb.left, jb.right, jb.mask, jb.writePos, lag, unreadBefore(jb));
    const fadeFrom = jb.writePos + o.fillHoldMs * jb.framesPerMs;
    repeatInto(jb.left, jb.right, jb.mask, jb.writePos, hole + fade, lag, fadeFrom);
    jb.writePos += hole;
    jb.stats.concealedFrames += hole;
    jb.blendFrames = fade;
    return;
  }
  const fill = Math.min(hole, Math.max(0, jb.control.targetFrames - Math.ceil(jb.level)));
  jb.fadeOutTail();
  jb.writeSilence(fill);
  jb.stats.concealedFrames += fill;
  jb.stats.silentFills++;
  jb.control.forgetSlope();
  jb.fadeInPacket = true;
  jb.continuousFrom = jb.writePos;
}

// The target rose well above the level (more jitter than before): raise the level at
// once with a continuation of the audio, crossfaded into the next block, instead of
// waiting for the buffer to run dry.
export function stretch(jb, frames, next) {
  const fade = Math.min(jb.o.concealFadeFrames, next);
  if (jb.blendFrames > 0 || jb.level + Math.round(frames) + fade + next >= jb.capacity - 8) return;
  // One try per rise and block: the lag search is the costly part, and this runs on the
  // audio thread.
  jb.control.raised = false;
  const lag = editLag(jb);
  if (lag === 0) return;
  // Whole repeat periods, so that the audio arriving next continues the continuation in
  // phase: a part period would shift a tone's phase and bend its frequency.
  const add = Math.max(1, Math.round(frames / lag)) * lag;
  seamLoop(jb.left, jb.right, jb.mask, jb.writePos, lag, unreadBefore(jb));
  repeatInto(jb.left, jb.right, jb.mask, jb.writePos, add + fade, lag);
  jb.writePos += add;
  jb.blendFrames = fade;
  jb.stats.stretchedFrames += add;
  jb.control.noteStretched(add);
}

// The target fell: lower the level at once by a whole number of the audio's repeat lag,
// taken off the newest frames; the block after them is crossfaded in from the audio a
// lag-multiple earlier, which it continues.
export function shrink(jb, surplus, next) {
  const fade = Math.min(jb.o.concealFadeFrames, next);
  if (jb.blendFrames > 0 || jb.fadeInPacket) return;
  jb.control.lowered = false; // one try per fall (see stretch)
  const lag = editLag(jb);
  if (lag === 0) return;
  const remove = Math.floor(surplus / lag) * lag;
  const firstUnread = Math.ceil(jb.readPos) + 3;
  if (remove <= 0 || jb.writePos - remove < firstUnread + fade || jb.writePos - remove < jb.continuousFrom) return;
  jb.writePos -= remove;
  jb.renders.dropFrom(jb.writePos);
  jb.blendFrames = Math.min(fade, remove); // the ring holds the old audio only that far
  jb.stats.shrunkFrames += remove;
  jb.control.noteShrunk(remove);
}

// The new tier's frames from `pos` on (`count` of them, all before the old stream's end)
// repeat what the ring holds: over the last `joinFadeFrames` before that end (as far as
// they are unread) the old stream is crossfaded into the new one, so the join has no step.
export function joinWithin(jb, samples, pos, count) {
  const n = Math.min(jb.o.joinFadeFrames, unreadBefore(jb));
  const fadeStart = jb.expectedPos - n;
  const from = Math.max(pos, fadeStart);
  const to = Math.min(pos + count, jb.expectedPos);
  if (n <= 0 || from >= to) return;
  const m = jb.mask;
  for (let p = from; p < to; p++) {
    const g = (p - fadeStart + 1) / (n + 1);
    const i = p - pos;
    const w = (jb.writePos - (jb.expectedPos - p)) & m;
    jb.left[w] += (clean(samples[2 * i]) - jb.left[w]) * g;
    jb.right[w] += (clean(samples[2 * i + 1]) - jb.right[w]) * g;
  }
  if (to === jb.expectedPos) jb.stats.joins++;
}

// A sample as the ring may hold it: NaN and infinities 0, beyond full scale clipped.
export function clean(x) {
  return x >= -1 && x <= 1 ? x : x > 1 && x !== Infinity ? 1 : x < -1 && x !== -Infinity ? -1 : 0;
}
