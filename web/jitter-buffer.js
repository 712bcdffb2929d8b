// Jitter buffer for the Orlune player: a ring of 48 kHz stereo audio between the network
// side (blocks pushed as they arrive) and the audio side (render quanta pulled by the
// AudioWorklet). It places each block by its sample position, fills holes, joins a new
// tier's stream to the old one, and resamples to the output rate; how much it holds and
// how fast it plays is playout-control.js's, and which block played when render-log.js's.
//
// The same module runs inside the AudioWorklet and under Node's test runner: no DOM, no
// timers, no browser globals. Neither push nor pull allocates.
//
// Model
//   Positions are absolute frame counts kept as Numbers (exact up to 2^53 frames). `readPos`
//   is fractional: it advances by `ratio` input frames per output frame, where
//       ratio = (48000 / outputRate) * (1 + correction)
//   With the offset at zero and a 48 kHz context the frames are copied as they are.
//
//   Playback starts once the buffer holds the target (and at least a message and a margin).
//   When the target rises (more jitter), the level is raised at once with a continuation of
//   the audio (stretch); when it falls, the level is lowered at once by whole repeat periods
//   of the audio (shrink): the rate offset is left for clock drift, and a clean link plays
//   at exactly the sent rate. When far more than the target is buffered for a while (after
//   an underrun the delayed messages arrive in a burst), the read position jumps forward
//   with a short crossfade.
//
//   A hole (a forward gap in the sequence whose positions fit) of up to `maxFillMs` is
//   filled with a continuation of the audio before it (ring-edits.js), and the block
//   after it is crossfaded in; longer holes, or holes with too little audio before them,
//   get silence with the audio before faded out and the audio after faded in. An underrun
//   is counted only when the same stream resumes after the buffer ran dry, so the end of a
//   stream is not mistaken for one.
//
//   A new tier's stream (newSequence()) starts up to `maxOverlapFrames` before the old one
//   ended: what the buffer holds already is left out, and the old stream's last frames are
//   crossfaded into the new one's over up to `joinFadeFrames` of that overlap, so a change
//   between codecs (which never agree sample for sample) leaves no step.
//
//   Blocks are usually the relay's 256-frame datagrams; decoded Opus arrives in blocks of
//   the codec's frame size. A gap is measured in blocks of the length of the one before it.
//
//   Every sample is made safe as it is written: NaN and infinities become 0, anything
//   beyond full scale is clipped to +-1. The ring only ever holds playable audio.

import { PlayoutControl } from './playout-control.js';
import { RenderLog, RENDER_FIELDS } from './render-log.js';
import { fillHole, joinWithin, shrink, stretch } from './ring-edits.js';
import { SAMPLE_RATE } from './wire.js';

export { RENDER_FIELDS };

export const DEFAULTS = Object.freeze({
  outputRate: SAMPLE_RATE,
  capacityFrames: 1 << 17, // 2.7 s; must be a power of two
  jumpExcessMs: 40, // on-time level this far above target and a message (or half the target): jump
  skipExcessMs: 250, // instant level this far above target: jump at once
  fadeFrames: 128,
  maxFillMs: 120, // holes up to this long are filled with a continuation
  fillHoldMs: 40, // ...at full level for this long, then fading out
  stretchMaxMs: 60, // the level is raised by at most this much at a time
  concealFadeFrames: 240, // continuation -> the audio after the hole
  joinFadeFrames: 256, // old tier -> new tier, within their overlap
  lateWindow: 64, // packets this far behind are late duplicates; further back is a restart
  maxGapPackets: 11250, // a forward jump beyond 60 s is a new stream, not a loss
  maxOverlapFrames: 9600, // a new sequence may start up to 200 ms before the old one ended
  renderRecordCapacity: 4096,
  underrunLogCapacity: 256,
});

export class JitterBuffer {
  constructor(options = {}) {
    const o = { ...DEFAULTS, ...options };
    if ((o.capacityFrames & (o.capacityFrames - 1)) !== 0) throw new Error('capacityFrames must be a power of two');
    this.o = o;
    this.capacity = o.capacityFrames;
    this.mask = o.capacityFrames - 1;
    this.left = new Float32Array(this.capacity);
    this.right = new Float32Array(this.capacity);
    this.baseRatio = SAMPLE_RATE / o.outputRate;
    this.framesPerMs = SAMPLE_RATE / 1000;
    this.control = new PlayoutControl(o, o.outputRate, this.baseRatio);
    this.renders = new RenderLog(2048, o.renderRecordCapacity);

    this.writePos = 0;
    this.readPos = 0;
    this.continuousFrom = 0; // the ring holds one stream's audio from here to writePos
    this.state = 'waiting'; // waiting | buffering | playing
    this.ended = false;
    this.ratio = this.baseRatio;
    this.fadeInLeft = 0; // output frames of read-side fade-in still to apply
    this.xfadePos = 0; // old read position while a jump crossfades into the new one
    this.xfadeLeft = 0;
    this.tailL = 0; // the last frame played before the buffer ran dry, fading out
    this.tailR = 0;
    this.tailLeft = 0;

    this.expectedSeq = null;
    this.expectedPos = 0;
    this.lastFrames = 256; // length of the block before the next one
    this.sequenceRenewed = false; // newSequence() called: a continuing position is no splice
    this.fadeInPacket = false; // fade in the next block written (after a splice)
    this.blendFrames = 0; // crossfade the next block from the continuation in the ring
    this.pendingUnderrun = false;
    this.pendingUnderrunFrame = 0;
    this.pendingRelaySkip = 0;

    this.underrunLog = [];
    this.stats = {
      packets: 0,
      underruns: 0,
      lost: 0,
      late: 0,
      relaySkipped: 0,
      discontinuities: 0,
      concealedFrames: 0, // frames filled in for lost blocks (continuation or silence)
      silentFills: 0, // holes filled with faded silence (too long, or nothing to continue)
      stretchedFrames: 0, // continuation added to raise the level when the target rose
      shrunkFrames: 0, // frames taken out to lower the level when the target fell
      joins: 0, // changes of tier crossfaded within their overlap
      nonFinite: 0, // NaN or infinite samples written as 0
      clipped: 0, // samples beyond full scale clipped to +-1
      droppedFrames: 0, // input frames thrown away (overflow or jump ahead)
      overlapFrames: 0, // frames of a new sequence left out as already buffered
      jumps: 0,
      playedFrames: 0, // output frames rendered from audio (not silence while stalled)
      silentFrames: 0, // output frames rendered as silence while waiting or buffering
    };
  }

  get level() {
    return this.writePos - this.readPos;
  }

  get bufferedMs() {
    return this.control.meanLevel / this.framesPerMs;
  }

  get targetMs() {
    return this.control.targetFrames / this.framesPerMs;
  }

  get jitterMs() {
    return this.control.jitterMs;
  }

  get correction() {
    return this.control.correction;
  }

  // ---- network side ---------------------------------------------------------------

  // A new source took the room or the connection was re-established: the next block
  // starts a new sequence, and a gap before it is not a loss.
  discontinuity() {
    this.expectedSeq = null;
    this.sequenceRenewed = false;
    this.pendingUnderrun = false;
    this.pendingRelaySkip = 0;
    this.ended = false;
    this.control.reset();
  }

  // The stream goes on, but its sequence numbers start afresh (another codec or quality
  // tier): the next block follows on seamlessly when its position continues the stream or
  // overlaps its end, and is spliced on otherwise; neither counts as a restart.
  newSequence() {
    this.expectedSeq = null;
    this.sequenceRenewed = this.stats.packets > 0;
    this.control.relevel();
  }

  // The source went silent: let the buffer play out; running dry is then not an underrun.
  end() {
    this.ended = true;
    this.pendingUnderrun = false;
    if (this.state === 'buffering' && this.level < 3) this.state = 'waiting';
  }

  // The relay skipped this listener ahead by `dropped` blocks: the coming sequence gap of
  // up to that size is the relay's doing, not a network loss.
  relaySkipped(dropped) {
    if (Number.isFinite(dropped) && dropped > 0) this.pendingRelaySkip += Math.floor(dropped);
  }

  // Adds one block. `samples` holds interleaved stereo frames. `arrivalMs`, `id` and
  // `held` are handed back in the render records; blocks of one message share an `id`
  // (without one, each block is a message of its own).
  // Returns 'ok', 'late' (dropped) or 'restart' (accepted as the start of a new stream).
  push(sequence, samplePosition, samples, arrivalMs = 0, id = NaN, held = 0) {
    const o = this.o;
    let frames = samples.length >> 1;
    if (frames === 0) return 'late';
    let result = 'ok';
    let splice = false;
    let skip = 0; // leading frames of `samples` left out

    if (this.expectedSeq === null && this.sequenceRenewed && samplePosition < this.expectedPos &&
        this.expectedPos - samplePosition <= o.maxOverlapFrames) {
      const have = this.expectedPos - samplePosition;
      joinWithin(this, samples, samplePosition, Math.min(have, frames));
      if (have >= frames) {
        this.stats.overlapFrames += frames;
        return 'ok';
      }
      this.stats.overlapFrames += have;
      skip = have;
      frames -= have;
      samplePosition = this.expectedPos;
    }

    if (this.expectedSeq === null) {
      const continues = this.sequenceRenewed && samplePosition === this.expectedPos;
      result = this.stats.packets === 0 || continues ? 'ok' : 'restart';
      splice = !continues;
    } else {
      const gap = sequence - this.expectedSeq;
      if (gap < 0) {
        if (gap >= -o.lateWindow) {
          this.stats.late++;
          return 'late';
        }
        result = this.restart();
        splice = true;
      } else if (gap > 0) {
        const consistent = samplePosition === this.expectedPos + gap * this.lastFrames;
        if (gap > o.maxGapPackets || !consistent) {
          result = this.restart();
          splice = true;
        } else if (this.pendingRelaySkip > 0) {
          // The relay's skip is no loss and is not filled: it was made to catch up. Anything
          // missing beyond it was lost on the way to the relay.
          const skipped = Math.min(gap, this.pendingRelaySkip);
          this.stats.relaySkipped += skipped;
          this.stats.lost += gap - skipped;
          this.pendingRelaySkip -= skipped;
          this.control.forgetSlope();
          splice = true;
        } else {
          this.stats.lost += gap;
          fillHole(this, gap * this.lastFrames, frames);
        }
      } else if (samplePosition !== this.expectedPos) {
        result = this.restart();
        splice = true;
      }
    }

    if (result === 'ok' && !splice && this.state === 'playing' && this.control.deficit > 0) {
      stretch(this, Math.min(this.control.deficit, this.o.stretchMaxMs * this.framesPerMs), frames);
    } else if (result === 'ok' && !splice && this.state === 'playing' && this.control.surplus > 0) {
      shrink(this, this.control.surplus, frames);
    }

    if (this.pendingUnderrun && result === 'ok') {
      this.stats.underruns++;
      this.logUnderrun(this.pendingUnderrunFrame);
      this.control.underrun();
    }
    this.pendingUnderrun = false;
    this.ended = false;

    if (splice) {
      if (this.level > 0) {
        this.fadeOutTail();
        this.fadeInPacket = true;
      }
      this.blendFrames = 0;
      this.continuousFrom = this.writePos;
    }

    // Never overwrite unread audio: drop the oldest frames instead.
    const room = this.capacity - 4 - this.level;
    if (room < frames) {
      const drop = Math.ceil(frames - room);
      this.readPos += drop;
      this.stats.droppedFrames += drop;
      this.renders.dropBefore(this.readPos);
      this.fadeInLeft = o.fadeFrames;
    }

    this.renders.mark(this.writePos, id, sequence, arrivalMs, held);
    this.writeSamples(samples, skip, frames);
    this.control.noteArrival(this.level, frames, id, samplePosition + frames, arrivalMs);

    this.stats.packets++;
    this.expectedSeq = sequence + 1;
    this.expectedPos = samplePosition + frames;
    this.lastFrames = frames;
    this.sequenceRenewed = false;
    if (this.state === 'waiting') this.state = 'buffering';
    return result;
  }

  restart() {
    this.stats.discontinuities++;
    this.pendingUnderrun = false;
    this.pendingRelaySkip = 0;
    this.control.reset();
    return 'restart';
  }

  // `frames` frames of interleaved `samples` from frame `from` on (no view is made: this runs
  // on the audio thread), faded in after a splice or crossfaded from a continuation.
  writeSamples(samples, from, frames) {
    const m = this.mask;
    const fadeIn = this.fadeInPacket ? this.o.fadeFrames : 0;
    const blend = this.blendFrames;
    let w = this.writePos;
    for (let i = 0; i < frames; i++, w++) {
      let l = samples[2 * (from + i)];
      let r = samples[2 * (from + i) + 1];
      // One comparison pair per sample on the common path; NaN fails both.
      if (!(l >= -1 && l <= 1)) l = this.safe(l);
      if (!(r >= -1 && r <= 1)) r = this.safe(r);
      if (i < blend) {
        const g = (i + 1) / (blend + 1);
        l = this.left[w & m] + (l - this.left[w & m]) * g;
        r = this.right[w & m] + (r - this.right[w & m]) * g;
      } else if (i < fadeIn) {
        const g = (i + 1) / (fadeIn + 1);
        l *= g;
        r *= g;
      }
      this.left[w & m] = l;
      this.right[w & m] = r;
    }
    this.writePos = w;
    this.fadeInPacket = false;
    this.blendFrames = 0;
  }

  safe(x) {
    if (x > 1 && x !== Infinity) {
      this.stats.clipped++;
      return 1;
    }
    if (x < -1 && x !== -Infinity) {
      this.stats.clipped++;
      return -1;
    }
    this.stats.nonFinite++;
    return 0;
  }

  writeSilence(frames) {
    const m = this.mask;
    let w = this.writePos;
    for (let i = 0; i < frames; i++, w++) {
      this.left[w & m] = 0;
      this.right[w & m] = 0;
    }
    this.writePos = w;
  }

  // Fades the last `fadeFrames` written frames to zero, as far as they are still unread.
  fadeOutTail() {
    const n = this.o.fadeFrames;
    const firstUnread = Math.ceil(this.readPos);
    const m = this.mask;
    for (let k = 1; k <= n; k++) {
      const p = this.writePos - k;
      if (p < firstUnread) break;
      const g = (k - 1) / n;
      this.left[p & m] *= g;
      this.right[p & m] *= g;
    }
  }

  // ---- audio side -----------------------------------------------------------------

  // Renders `n` output frames into `outL` and `outR`. `frameStamp` is the output clock's
  // frame index of outL[0] (the worklet's currentFrame); render records use it.
  pull(outL, outR, n, frameStamp = 0) {
    const o = this.o;
    const control = this.control;
    const level = this.level;

    if (this.state !== 'playing') {
      const ready = level >= control.startFrames || (this.ended && level >= 3);
      if (this.state === 'buffering' && ready) {
        this.state = 'playing';
        control.startPlaying(level);
        this.fadeInLeft = o.fadeFrames;
      } else {
        outL.fill(0, 0, n);
        outR.fill(0, 0, n);
        this.renderTail(outL, outR, 0, n);
        this.stats.silentFrames += n;
        return 0;
      }
    }

    // Far too much buffered (delayed messages arriving in a burst after an underrun, or the
    // page was suspended): jump to the target instead of playing catch-up for a minute.
    const target = control.targetFrames;
    const jumpLevel = target + control.messageSize + Math.max(o.jumpExcessMs * this.framesPerMs, 0.5 * target);
    if (level > target + control.messageSize + o.skipExcessMs * this.framesPerMs || control.highRef > jumpLevel) {
      this.jump(Math.floor(level - target));
    }

    const c = control.correction;
    const ratio = c === 0 ? this.baseRatio : this.baseRatio * (1 + c);
    this.ratio = ratio;
    const startPos = this.readPos;
    const rendered = this.render(outL, outR, n, ratio);
    if (this.xfadeLeft > 0) this.crossfadeFromJump(outL, outR, rendered, ratio);
    if (this.fadeInLeft > 0) {
      const total = o.fadeFrames;
      for (let k = 0; k < rendered && this.fadeInLeft > 0; k++, this.fadeInLeft--) {
        const g = (total - this.fadeInLeft + 1) / (total + 1);
        outL[k] *= g;
        outR[k] *= g;
      }
    }
    // Played again before the last frame heard had faded out: the fade goes on under the
    // fade-in, so the two cross instead of the fade being cut off.
    if (this.tailLeft > 0) this.mixTail(outL, outR, rendered);

    this.renders.played(startPos, this.readPos, ratio, frameStamp);
    this.stats.playedFrames += rendered;
    if (rendered === n) {
      control.notePlayed(this.level, n, ratio);
      this.tailL = outL[n - 1];
      this.tailR = outR[n - 1];
    } else {
      this.ranDry(outL, outR, n, rendered, frameStamp);
    }
    return rendered;
  }

  // Copies (ratio 1 on a whole frame) or interpolates up to `n` frames; returns how many.
  render(outL, outR, n, ratio) {
    const startPos = this.readPos;
    const m = this.mask;
    const L = this.left;
    const R = this.right;
    if (ratio === 1 && startPos === Math.floor(startPos)) {
      const rendered = Math.min(n, this.writePos - startPos);
      for (let k = 0; k < rendered; k++) {
        const p = (startPos + k) & m;
        outL[k] = L[p];
        outR[k] = R[p];
      }
      this.readPos = startPos + rendered;
      return rendered;
    }
    // Cubic Hermite interpolation needs one frame before and two after the position.
    const usable = this.writePos - 3 - startPos;
    const rendered = usable < 0 ? 0 : Math.min(n, Math.floor(usable / ratio) + 1);
    let pos = startPos;
    for (let k = 0; k < rendered; k++, pos += ratio) {
      const i = Math.floor(pos);
      const f = pos - i;
      outL[k] = hermite(L[(i - 1) & m], L[i & m], L[(i + 1) & m], L[(i + 2) & m], f);
      outR[k] = hermite(R[(i - 1) & m], R[i & m], R[(i + 1) & m], R[(i + 2) & m], f);
    }
    this.readPos = pos;
    return rendered;
  }

  // Crossfade from where the read position was before a jump.
  crossfadeFromJump(outL, outR, rendered, ratio) {
    const total = this.o.fadeFrames;
    const m = this.mask;
    const L = this.left;
    const R = this.right;
    let pos = this.xfadePos;
    for (let k = 0; k < rendered && this.xfadeLeft > 0; k++, this.xfadeLeft--, pos += ratio) {
      const g = (total - this.xfadeLeft + 1) / (total + 1);
      const i = Math.floor(pos);
      const f = pos - i;
      const oldL = hermite(L[(i - 1) & m], L[i & m], L[(i + 1) & m], L[(i + 2) & m], f);
      const oldR = hermite(R[(i - 1) & m], R[i & m], R[(i + 1) & m], R[(i + 2) & m], f);
      outL[k] = oldL + (outL[k] - oldL) * g;
      outR[k] = oldR + (outR[k] - oldR) * g;
    }
    this.xfadePos = pos;
  }

  // The buffer ran dry after `rendered` frames: the last frame fades to silence over
  // `fadeFrames` (into the next quanta if need be), and playback waits for the start level.
  ranDry(outL, outR, n, rendered, frameStamp) {
    this.tailL = rendered > 0 ? outL[rendered - 1] : this.tailL;
    this.tailR = rendered > 0 ? outR[rendered - 1] : this.tailR;
    this.tailLeft = this.o.fadeFrames;
    outL.fill(0, rendered, n);
    outR.fill(0, rendered, n);
    this.renderTail(outL, outR, rendered, n);
    this.stats.silentFrames += n - rendered;
    if (this.ended) {
      this.state = 'waiting';
    } else {
      this.state = 'buffering';
      if (!this.pendingUnderrun) {
        this.pendingUnderrun = true;
        this.pendingUnderrunFrame = frameStamp + rendered;
      }
    }
  }

  renderTail(outL, outR, from, n) {
    const total = this.o.fadeFrames;
    for (let k = from; k < n && this.tailLeft > 0; k++, this.tailLeft--) {
      const g = this.tailLeft / (total + 1);
      outL[k] = this.tailL * g;
      outR[k] = this.tailR * g;
    }
  }

  mixTail(outL, outR, n) {
    const total = this.o.fadeFrames;
    for (let k = 0; k < n && this.tailLeft > 0; k++, this.tailLeft--) {
      const g = this.tailLeft / (total + 1);
      outL[k] += this.tailL * g;
      outR[k] += this.tailR * g;
    }
  }

  jump(frames) {
    if (frames <= 0) return;
    this.xfadePos = this.readPos;
    this.xfadeLeft = this.o.fadeFrames;
    this.readPos += frames;
    this.stats.droppedFrames += frames;
    this.stats.jumps++;
    this.renders.dropBefore(this.readPos);
    this.control.relevel();
    this.control.meanLevel = this.level;
  }

  // Removes and returns the render records gathered so far, flat (RENDER_FIELDS each).
  takeRenders() {
    return this.renders.take();
  }

  logUnderrun(frame) {
    if (this.underrunLog.length >= this.o.underrunLogCapacity) this.underrunLog.shift();
    this.underrunLog.push(frame);
  }

  snapshot() {
    const c = this.control;
    return {
      state: this.state,
      ended: this.ended,
      levelMs: this.level / this.framesPerMs,
      bufferedMs: this.bufferedMs,
      targetMs: this.targetMs,
      jitterMs: this.jitterMs,
      correction: c.correction,
      driftPpm: c.driftEstimate * 1e6,
      messageMs: c.messageSize / this.framesPerMs,
      arrivalLevelMs: Number.isNaN(c.highRef) ? null : c.highRef / this.framesPerMs,
      setpointMs: Number.isNaN(c.setpoint) ? null : c.setpoint / this.framesPerMs,
      ...this.stats,
      underrunFrames: this.underrunLog.slice(),
    };
  }
}

// 4-point cubic Hermite (Catmull-Rom) interpolation between y0 and y1 at fraction f.
export function hermite(ym1, y0, y1, y2, f) {
  const c1 = 0.5 * (y1 - ym1);
  const c2 = ym1 - 2.5 * y0 + 2 * y1 - 0.5 * y2;
  const c3 = 0.5 * (y2 - ym1) + 1.5 * (y0 - y1);
  return ((c3 * f + c2) * f + c1) * f + y0;
}
