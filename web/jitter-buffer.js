// Jitter buffer, loss concealment and clock-drift control for the Orlune player.
//
// The same module runs inside the AudioWorklet (imported by player-worklet.js) and under
// Node's test runner, so it uses no DOM, no timers and no browser globals. The pull path
// (called once per render quantum on the audio thread) does not allocate.
//
// Model
//   The network side pushes 256-frame stereo packets (48 kHz) into a ring; the audio side
//   pulls render quanta out of it. Positions are absolute frame counts kept as Numbers
//   (exact up to 2^53 frames, about 5900 years at 48 kHz). `readPos` is fractional: it
//   advances by `ratio` input frames per output frame, where
//       ratio = (48000 / outputRate) * (1 + correction)
//   and `correction` is the drift controller's small rate offset. With the offset at zero
//   and a 48 kHz context the frames are copied as they are.
//
//   Playback starts once the buffer holds `target` worth of audio. The target starts at
//   60 ms and follows the measured jitter: it rises at once when jitter grows or an
//   underrun happens, and sinks slowly when things are calm again. Jitter is measured where
//   it does harm: as the deepest dip of the buffer level below its running mean in each
//   second of playback. That takes in late packets as well as an audio device that pulls
//   several render quanta at once, and ignores stalls of the audio thread itself (the
//   buffer only fills up during those). The second-deepest dip of the last ten seconds
//   counts, so a single stall does not hold the latency up; each underrun raises the target
//   on its own.
//
//   The rate offset stays within 0.1 % (under two cents), enough for any pair of audio
//   clocks. When far more than the target is buffered for a while (after an underrun the
//   delayed packets arrive in a burst), the read position jumps forward to the target with
//   a short crossfade instead of playing faster for a minute.
//
//   Lost packets (a forward gap in the sequence) are replaced by silence, with the audio
//   before the gap faded out and the audio after it faded in. An underrun is counted only
//   when the same stream resumes after the buffer ran dry, so the end of a stream is not
//   mistaken for one.
//
//   Packets are usually the relay's 256-frame datagrams; decoded Opus arrives in blocks of
//   the codec's frame size. Each packet's length is taken from its sample array, and a gap
//   is measured in packets of the length of the one before it.
//
//   Every sample is made safe as it is written: NaN and infinities become 0, anything
//   beyond full scale is clipped to +-1 (a DAW track can hold such values and the plug-in
//   passes them through unchanged). The ring therefore only ever holds playable audio,
//   and clean audio after bad audio plays at once.

export const SAMPLE_RATE = 48000;
export const CHANNELS = 2;
export const FRAMES_PER_PACKET = 256;
export const HEADER_BYTES = 16;
export const PACKET_BYTES = HEADER_BYTES + FRAMES_PER_PACKET * CHANNELS * 4; // 2064
export const RENDER_FIELDS = 4; // see JitterBuffer.takeRenders

const TWO_POW_32 = 4294967296;

// Reads the int64 LE at `offset` as a Number (exact for |value| < 2^53).
function readInt64(view, offset) {
  const lo = view.getUint32(offset, true);
  const hi = view.getInt32(offset + 4, true);
  return hi * TWO_POW_32 + lo;
}

// Parses one binary WebSocket message of the relay. Returns null when the size is wrong.
// `samples` is a Float32Array of 512 interleaved values (L, R, L, R, ...).
export function parsePacket(buffer) {
  if (!(buffer instanceof ArrayBuffer) || buffer.byteLength !== PACKET_BYTES) return null;
  const view = new DataView(buffer);
  const sequence = readInt64(view, 0);
  const samplePosition = readInt64(view, 8);
  let samples;
  if (LITTLE_ENDIAN) {
    samples = new Float32Array(buffer, HEADER_BYTES, FRAMES_PER_PACKET * CHANNELS);
  } else {
    samples = new Float32Array(FRAMES_PER_PACKET * CHANNELS);
    for (let i = 0; i < samples.length; i++) samples[i] = view.getFloat32(HEADER_BYTES + 4 * i, true);
  }
  return { sequence, samplePosition, samples };
}

const LITTLE_ENDIAN = new Uint8Array(new Uint16Array([1]).buffer)[0] === 1;

export const DEFAULTS = Object.freeze({
  outputRate: SAMPLE_RATE,
  capacityFrames: 1 << 17, // 2.7 s; must be a power of two
  startTargetMs: 60,
  minTargetMs: 40,
  maxTargetMs: 500,
  jitterFactor: 1.25, // target >= jitterFactor * jitter + marginMs
  marginMs: 10,
  jitterSeconds: 10, // one dip per second of playback is kept for this many seconds
  settleSeconds: 5, // keep the start target until this many dips are known
  targetFallMsPerSecond: 1, // as fast as the largest rate correction drains the buffer
  underrunBoostMs: 20, // raise the target this much after each underrun...
  startupMs: 2000, // ...except in the first seconds of a stream, while the page settles
  levelTauSeconds: 0.5, // smoothing of the buffer level seen by the drift controller
  deadbandMs: 3,
  correctionSeconds: 8, // an error outside the dead band is worked off over about this long
  maxCorrection: 0.001, // 0.1 %, under two cents
  jumpExcessMs: 40, // smoothed level this far above target (or half the target if more): jump
  skipExcessMs: 250, // instant level this far above target: jump at once
  fadeFrames: 128,
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

    this.writePos = 0;
    this.readPos = 0;
    this.state = 'waiting'; // waiting | buffering | playing
    this.ended = false;
    this.ratio = this.baseRatio;
    this.correction = 0;
    this.smoothedLevel = 0;
    this.fadeInLeft = 0; // output frames of read-side fade-in still to apply

    this.targetFrames = Math.round(o.startTargetMs * this.framesPerMs);

    this.expectedSeq = null;
    this.expectedPos = 0;
    this.lastFrames = FRAMES_PER_PACKET; // length of the packet before the next one
    this.sequenceRenewed = false; // newSequence() called: a continuing position is no splice
    this.fadeInPacket = false; // fade in the next packet written (after a splice)
    this.pendingUnderrun = false;
    this.pendingUnderrunFrame = 0;
    this.pendingRelaySkip = 0;

    // Jitter: the deepest dip of the level below its mean, per second of playback.
    this.dips = new Float64Array(o.jitterSeconds);
    this.dipCount = 0;
    this.dipHead = 0;
    this.blockDip = 0;
    this.blockFrames = 0;
    this.streamFrames = 0; // output frames played since the stream (re)started
    this.jitterMs = 0;

    this.xfadePos = 0; // old read position while a jump crossfades into the new one
    this.xfadeLeft = 0;

    // Packet starts waiting to be rendered: absolute write position, the caller's id, the
    // packet's sequence number and its arrival time.
    this.markPos = new Float64Array(2048);
    this.markId = new Float64Array(2048);
    this.markSeq = new Float64Array(2048);
    this.markArrival = new Float64Array(2048);
    this.markHead = 0;
    this.markCount = 0;

    // Rendered packet starts: the mark's fields and the output frame (caller's clock) at
    // which the packet's first frame was played.
    this.renderId = new Float64Array(o.renderRecordCapacity);
    this.renderSeq = new Float64Array(o.renderRecordCapacity);
    this.renderArrival = new Float64Array(o.renderRecordCapacity);
    this.renderFrame = new Float64Array(o.renderRecordCapacity);
    this.renderHead = 0;
    this.renderCount = 0;
    this.renderOverflow = 0;

    this.underrunLog = [];

    this.stats = {
      packets: 0,
      underruns: 0,
      lost: 0,
      late: 0,
      relaySkipped: 0,
      discontinuities: 0,
      concealedFrames: 0, // silence inserted for lost packets
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
    return this.smoothedLevel / this.framesPerMs;
  }

  get targetMs() {
    return this.targetFrames / this.framesPerMs;
  }

  // ---- network side ---------------------------------------------------------------

  // A new source took the room or the connection was re-established: the next packet
  // starts a new sequence, and a gap before it is not a loss.
  discontinuity() {
    this.expectedSeq = null;
    this.sequenceRenewed = false;
    this.pendingUnderrun = false;
    this.pendingRelaySkip = 0;
    this.ended = false;
    this.resetJitter();
  }

  // The stream goes on, but its sequence numbers start afresh (another codec or quality
  // tier): the next packet follows on seamlessly when its sample position continues the
  // stream, and is spliced on otherwise; neither counts as a restart or resets the jitter
  // measurements.
  newSequence() {
    this.expectedSeq = null;
    this.sequenceRenewed = this.stats.packets > 0;
  }

  // The source went silent: let the buffer play out; running dry is then not an underrun.
  end() {
    this.ended = true;
    this.pendingUnderrun = false;
    if (this.state === 'buffering' && this.level < 3) this.state = 'waiting';
  }

  // The relay skipped this listener ahead by `dropped` packets: the coming sequence gap of
  // up to that size is the relay's doing, not a network loss.
  relaySkipped(dropped) {
    if (Number.isFinite(dropped) && dropped > 0) this.pendingRelaySkip += Math.floor(dropped);
  }

  // Adds one packet. `samples` holds the interleaved stereo frames (512 floats for a relay
  // datagram). `arrivalMs` and `id` are only handed back in the render records.
  // Returns 'ok', 'late' (dropped) or 'restart' (accepted as the start of a new stream).
  push(sequence, samplePosition, samples, arrivalMs = 0, id = 0) {
    const o = this.o;
    let frames = samples.length >> 1;
    if (frames === 0) return 'late';
    let result = 'ok';
    let splice = false;
    let skip = 0; // leading frames of `samples` left out

    if (this.expectedSeq === null && this.sequenceRenewed && samplePosition < this.expectedPos &&
        this.expectedPos - samplePosition <= o.maxOverlapFrames) {
      // The new tier starts a little before where the old one ended (the relay sends it so):
      // what is here already is left out, and the stream goes on without a seam.
      const have = this.expectedPos - samplePosition;
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
          splice = true;
        } else {
          this.stats.lost += gap;
          const fill = Math.min(gap * this.lastFrames, Math.max(0, this.targetFrames - Math.ceil(this.level)));
          this.fadeOutTail();
          this.writeSilence(fill);
          this.stats.concealedFrames += fill;
          splice = false; // the tail is faded already; fade the new packet in below
          this.fadeInPacket = true;
        }
      } else if (samplePosition !== this.expectedPos) {
        result = this.restart();
        splice = true;
      }
    }

    if (this.pendingUnderrun && result === 'ok') {
      this.stats.underruns++;
      this.logUnderrun(this.pendingUnderrunFrame);
      // Stalls while the page and the stream start up say little about the network.
      const startingUp = this.streamFrames < (o.startupMs / 1000) * o.outputRate;
      if (!startingUp) {
        this.targetFrames = Math.min(
          Math.round(o.maxTargetMs * this.framesPerMs),
          this.targetFrames + Math.round(o.underrunBoostMs * this.framesPerMs),
        );
      }
    }
    this.pendingUnderrun = false;
    this.ended = false;

    if (splice && this.level > 0) {
      this.fadeOutTail();
      this.fadeInPacket = true;
    }

    // Never overwrite unread audio: drop the oldest frames instead.
    const room = this.capacity - 4 - this.level;
    if (room < frames) {
      const drop = Math.ceil(frames - room);
      this.readPos += drop;
      this.stats.droppedFrames += drop;
      this.dropMarksBefore(this.readPos);
      this.fadeInLeft = o.fadeFrames;
    }

    this.addMark(this.writePos, id, sequence, arrivalMs);
    this.writeSamples(samples, skip, frames, this.fadeInPacket ? o.fadeFrames : 0);
    this.fadeInPacket = false;

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
    this.resetJitter();
    return 'restart';
  }

  // `frames` frames of interleaved `samples` from frame `from` on (no view is made: this runs on
  // the audio thread).
  writeSamples(samples, from, frames, fadeIn) {
    const m = this.mask;
    let w = this.writePos;
    for (let i = 0; i < frames; i++, w++) {
      const g = i < fadeIn ? (i + 1) / (fadeIn + 1) : 1;
      let l = samples[2 * (from + i)];
      let r = samples[2 * (from + i) + 1];
      // One comparison pair per sample on the common path; NaN fails both.
      if (!(l >= -1 && l <= 1)) l = this.safe(l);
      if (!(r >= -1 && r <= 1)) r = this.safe(r);
      this.left[w & m] = l * g;
      this.right[w & m] = r * g;
    }
    this.writePos = w;
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

  resetJitter() {
    this.dipCount = 0;
    this.dipHead = 0;
    this.blockDip = 0;
    this.blockFrames = 0;
    this.streamFrames = 0;
    this.jitterMs = 0;
  }

  // Called after each render quantum that played audio: `remaining` is the level left.
  noteLevel(remaining, n) {
    const o = this.o;
    this.streamFrames += n;
    if (this.streamFrames <= (o.startupMs / 1000) * o.outputRate) return;
    const dip = this.smoothedLevel - remaining;
    if (dip > this.blockDip) this.blockDip = dip;
    this.blockFrames += n;
    if (this.blockFrames < o.outputRate) return;

    // One second of playback done: keep its dip and move the target.
    const cap = this.dips.length;
    this.dips[(this.dipHead + this.dipCount) % cap] = this.blockDip;
    if (this.dipCount < cap) this.dipCount++;
    else this.dipHead = (this.dipHead + 1) % cap;
    this.blockDip = 0;
    this.blockFrames = 0;

    let deepest = 0;
    let second = 0;
    for (let k = 0; k < this.dipCount; k++) {
      const d = this.dips[(this.dipHead + k) % cap];
      if (d > deepest) {
        second = deepest;
        deepest = d;
      } else if (d > second) {
        second = d;
      }
    }
    this.jitterMs = (this.dipCount > 1 ? second : deepest) / this.framesPerMs;

    let requiredMs = Math.max(o.minTargetMs, o.jitterFactor * this.jitterMs + o.marginMs);
    if (this.dipCount < o.settleSeconds) requiredMs = Math.max(requiredMs, o.startTargetMs);
    const required = Math.round(Math.min(requiredMs, o.maxTargetMs) * this.framesPerMs);
    if (required >= this.targetFrames) {
      this.targetFrames = required;
    } else {
      this.targetFrames = Math.max(required, this.targetFrames - o.targetFallMsPerSecond * this.framesPerMs);
    }
  }

  addMark(pos, id, seq, arrivalMs) {
    const cap = this.markPos.length;
    if (this.markCount === cap) {
      this.markHead = (this.markHead + 1) % cap;
      this.markCount--;
    }
    const i = (this.markHead + this.markCount) % cap;
    this.markPos[i] = pos;
    this.markId[i] = id;
    this.markSeq[i] = seq;
    this.markArrival[i] = arrivalMs;
    this.markCount++;
  }

  dropMarksBefore(pos) {
    const cap = this.markPos.length;
    while (this.markCount > 0 && this.markPos[this.markHead] < pos) {
      this.markHead = (this.markHead + 1) % cap;
      this.markCount--;
    }
  }

  // ---- audio side -----------------------------------------------------------------

  // Renders `n` output frames into `outL` and `outR`. `frameStamp` is the output clock's
  // frame index of outL[0] (the worklet's currentFrame); render records use it.
  pull(outL, outR, n, frameStamp = 0) {
    const o = this.o;
    const level = this.level;
    const alpha = Math.min(1, n / (o.levelTauSeconds * o.outputRate));
    this.smoothedLevel += (level - this.smoothedLevel) * alpha;

    if (this.state !== 'playing') {
      const ready = level >= this.targetFrames || (this.ended && level >= 3);
      if (this.state === 'buffering' && ready) {
        this.state = 'playing';
        // The level now saws between the target and a packet above it; its mean is
        // about the target, which is where the drift controller should start from.
        this.smoothedLevel = Math.min(level, this.targetFrames);
        this.fadeInLeft = o.fadeFrames;
      } else {
        outL.fill(0, 0, n);
        outR.fill(0, 0, n);
        this.stats.silentFrames += n;
        return 0;
      }
    }

    // Far too much buffered (delayed packets arriving in a burst after an underrun, or the
    // page was suspended): jump to the target instead of playing catch-up for a minute.
    const jumpLevel = this.targetFrames + Math.max(o.jumpExcessMs * this.framesPerMs, 0.5 * this.targetFrames);
    if (level > this.targetFrames + o.skipExcessMs * this.framesPerMs || this.smoothedLevel > jumpLevel) {
      this.jump(Math.floor(level - this.targetFrames));
    }

    this.updateRatio();
    const ratio = this.ratio;
    const startPos = this.readPos;
    const m = this.mask;
    const L = this.left;
    const R = this.right;
    let rendered;

    if (ratio === 1 && startPos === Math.floor(startPos)) {
      rendered = Math.min(n, this.writePos - startPos);
      for (let k = 0; k < rendered; k++) {
        const p = (startPos + k) & m;
        outL[k] = L[p];
        outR[k] = R[p];
      }
      this.readPos = startPos + rendered;
    } else {
      // Cubic Hermite interpolation needs one frame before and two after the position.
      const usable = this.writePos - 3 - startPos;
      rendered = usable < 0 ? 0 : Math.min(n, Math.floor(usable / ratio) + 1);
      let pos = startPos;
      for (let k = 0; k < rendered; k++, pos += ratio) {
        const i = Math.floor(pos);
        const f = pos - i;
        outL[k] = hermite(L[(i - 1) & m], L[i & m], L[(i + 1) & m], L[(i + 2) & m], f);
        outR[k] = hermite(R[(i - 1) & m], R[i & m], R[(i + 1) & m], R[(i + 2) & m], f);
      }
      this.readPos = pos;
    }

    if (this.xfadeLeft > 0) {
      // Crossfade from where the read position was before a jump.
      const total = o.fadeFrames;
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

    if (this.fadeInLeft > 0) {
      const total = o.fadeFrames;
      for (let k = 0; k < rendered && this.fadeInLeft > 0; k++, this.fadeInLeft--) {
        const g = (total - this.fadeInLeft + 1) / (total + 1);
        outL[k] *= g;
        outR[k] *= g;
      }
    }

    this.recordRenders(startPos, ratio, frameStamp);
    this.stats.playedFrames += rendered;
    if (rendered === n) this.noteLevel(this.level, n);

    if (rendered < n) {
      // Ran dry: fade out what there was and wait for the target again.
      const fade = Math.min(rendered, 64);
      for (let k = 0; k < fade; k++) {
        const g = k / fade;
        outL[rendered - 1 - k] *= g;
        outR[rendered - 1 - k] *= g;
      }
      outL.fill(0, rendered, n);
      outR.fill(0, rendered, n);
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
    return rendered;
  }

  jump(frames) {
    if (frames <= 0) return;
    this.xfadePos = this.readPos;
    this.xfadeLeft = this.o.fadeFrames;
    this.readPos += frames;
    this.stats.droppedFrames += frames;
    this.stats.jumps++;
    this.dropMarksBefore(this.readPos);
    this.smoothedLevel = this.level;
  }

  updateRatio() {
    const o = this.o;
    const error = this.smoothedLevel - this.targetFrames;
    const deadband = o.deadbandMs * this.framesPerMs;
    let c = 0;
    if (error > deadband) c = (error - deadband) / (o.correctionSeconds * SAMPLE_RATE);
    else if (error < -deadband) c = (error + deadband) / (o.correctionSeconds * SAMPLE_RATE);
    if (c > o.maxCorrection) c = o.maxCorrection;
    else if (c < -o.maxCorrection) c = -o.maxCorrection;
    this.correction = c;
    this.ratio = c === 0 ? this.baseRatio : this.baseRatio * (1 + c);
  }

  recordRenders(startPos, ratio, frameStamp) {
    const cap = this.markPos.length;
    while (this.markCount > 0) {
      const pos = this.markPos[this.markHead];
      if (pos >= this.readPos) break;
      const offset = pos <= startPos ? 0 : Math.ceil((pos - startPos) / ratio);
      this.addRender(this.markHead, frameStamp + offset);
      this.markHead = (this.markHead + 1) % cap;
      this.markCount--;
    }
  }

  addRender(mark, frame) {
    const cap = this.renderId.length;
    if (this.renderCount === cap) {
      this.renderHead = (this.renderHead + 1) % cap;
      this.renderCount--;
      this.renderOverflow++;
    }
    const i = (this.renderHead + this.renderCount) % cap;
    this.renderId[i] = this.markId[mark];
    this.renderSeq[i] = this.markSeq[mark];
    this.renderArrival[i] = this.markArrival[mark];
    this.renderFrame[i] = frame;
    this.renderCount++;
  }

  // Removes and returns the render records gathered so far, flat:
  // [id, sequence, arrivalMs, frame, id, sequence, arrivalMs, frame, ...].
  takeRenders() {
    const out = new Array(this.renderCount * RENDER_FIELDS);
    const cap = this.renderId.length;
    for (let k = 0; k < this.renderCount; k++) {
      const i = (this.renderHead + k) % cap;
      out[RENDER_FIELDS * k] = this.renderId[i];
      out[RENDER_FIELDS * k + 1] = this.renderSeq[i];
      out[RENDER_FIELDS * k + 2] = this.renderArrival[i];
      out[RENDER_FIELDS * k + 3] = this.renderFrame[i];
    }
    this.renderHead = 0;
    this.renderCount = 0;
    return out;
  }

  logUnderrun(frame) {
    if (this.underrunLog.length >= this.o.underrunLogCapacity) this.underrunLog.shift();
    this.underrunLog.push(frame);
  }

  snapshot() {
    return {
      state: this.state,
      ended: this.ended,
      levelMs: this.level / this.framesPerMs,
      bufferedMs: this.bufferedMs,
      targetMs: this.targetMs,
      jitterMs: this.jitterMs,
      correction: this.correction,
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
