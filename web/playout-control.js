// How much the jitter buffer holds, and how fast it plays: the target level and the drift
// controller's rate offset. Pure arithmetic on levels in 48 kHz frames; the jitter buffer
// tells it what arrives and what is played. Runs on the audio thread: nothing here
// allocates after construction.
//
// What is measured
//   Messages arrive in lumps: 256 frames (5.3 ms) on Lossless, 2 x 10 ms or 4 x 10 ms of
//   Opus, and a link may hold them for tens of milliseconds and then hand over a burst. The
//   level right after an arrival (`high`) is what the buffer holds when audio is on time:
//   a held message arrives together with the ones after it, so the highest such level in
//   each half second is that of audio that came on time, whatever the lumps. The lowest
//   level after a render quantum (`low`) is how close the buffer came to running dry.
//   `dip = high - low` holds one message plus the jitter (late arrival, bursts, an audio
//   device that pulls several quanta at once); the jitter is the dip less the largest
//   recent message.
//
// The target (for `high`)
//   target >= message + jitterFactor * jitter + margin, at least minTargetMs. It rises at
//   once when the jitter grows (and by underrunBoostMs with each underrun, after which it
//   holds for `jitterSeconds`) and sinks when things are calm: by a share a second of how
//   far it is above what they need, at least targetFallMsPerSecond. While settling the
//   deepest dip counts, then the second-deepest of the last `jitterSeconds`, so a single
//   stall does not hold the latency up.
//
// The setpoint
//   Where `high` is held: the level at which playback started (between the target and a
//   message above it), taken afresh after a change of tier or a jump. When the target
//   rises above it, the setpoint follows and the jitter buffer raises the level at once
//   (`deficit`); when the target falls more than a message below it, it follows and the
//   buffer lowers the level at once (`surplus`). Neither touches the rate.
//
// The rate offset
//   The drift is the sender's clock against the page's: at each arrival, how far the audio
//   that came (its stream position) is ahead of the page's clock. Late arrivals only lower
//   that, so the highest of each block is the audio that came on time, and its slope over
//   the blocks is the drift, untouched by render quanta, edits, holes or the relay's skips.
//   The slope is that after the best bend of a two-slope fit over the last `driftSeconds`
//   since the last step (stepMs: the arrivals changed their rhythm), or over the last
//   `recentDriftSeconds` where drift began, stopped or turned lately. It counts as drift
//   only beyond driftSignificance standard errors and beyond holdDrift: on a clean link
//   the offset is exactly 0 and the samples are copied as they came.
//   While `high` (averaged over a second) is outside bandMs of the setpoint, a small pull
//   back into the band is added (over correctionSeconds, at most maxPull: a tone stays
//   within that of its pitch); a level far outside it for a while is edited back instead
//   (editBackMs). The offset changes by at most `slew` per block, so the pitch never jumps.
//   The page's clock stands in for the output's: the two were measured within 20 ppm of
//   each other, which the pull takes up.

export const CONTROL_DEFAULTS = Object.freeze({
  startTargetMs: 40,
  minTargetMs: 40,
  maxTargetMs: 500,
  jitterFactor: 1.5,
  marginMs: 10,
  jitterSeconds: 10,
  settleSeconds: 5, // keep the start target until this many seconds of dips are known
  targetFallMsPerSecond: 1, // the target sinks at least this fast when things are calm...
  targetFallShare: 0.06, // ...and by this share a second of how far it is above what they need
  underrunBoostMs: 20,
  startupMs: 2000, // dips and underruns while the page starts up say little about the network
  blockSeconds: 0.5,
  bandMs: 3,
  driftSeconds: 16,
  recentDriftSeconds: 6, // drift that began lately is read over this span
  driftSignificance: 3, // a slope is drift only beyond this many standard errors
  levelNoiseMs: 0.5, // the least the top of a block's arrivals is taken to wander
  stepMs: 1.5, // a change of that top this large from one block to the next is a step, not drift
  correctionSeconds: 24, // a level outside the band is pulled back over about this long
  maxPull: 0.00008, // 80 ppm: the pull back into the band (the clocks' drift is apart)
  maxDrift: 0.0012, // what two audio clocks may differ by; a steeper slope is not drift
  maxCorrection: 0.0022, // under four cents: the largest drift and a pull
  holdDrift: 0.00004, // 40 ppm: less than this is left alone until the level leaves the band
  editBlocks: 4, // blocks after a move of the setpoint in which the level is edited to it
  editBackMs: 6, // a level this far from the setpoint...
  editBackBlocks: 4, // ...for this many blocks in a row is edited back to it
  lowerStepMs: 10, // a falling target lowers the setpoint in steps of at least this: few edits
  slew: 0.0005, // per block: a 0.1 % offset is reached within a second
  levelTauSeconds: 0.5, // the mean level shown on the page
});

const HISTORY = 40; // blocks kept for the drift slope (>= driftSeconds / blockSeconds)
const MESSAGES = 16; // recent message sizes kept

export class PlayoutControl {
  constructor(options, outputRate, baseRatio) {
    const o = { ...CONTROL_DEFAULTS, ...options };
    this.o = o;
    this.outputRate = outputRate;
    this.baseRatio = baseRatio;
    this.fpm = 48; // 48 kHz frames per millisecond
    this.blockFrames = Math.round(o.blockSeconds * outputRate);
    this.targetFrames = Math.round(o.startTargetMs * this.fpm);
    this.dips = new Float64Array(Math.max(1, Math.round(o.jitterSeconds / o.blockSeconds)));
    this.histT = new Float64Array(HISTORY);
    this.histY = new Float64Array(HISTORY);
    this.messages = new Float64Array(MESSAGES);
    this.correction = 0;
    this.meanLevel = 0;
    this.reset();
  }

  // The level jumped for a reason other than the clocks (a change of tier, the relay's
  // skip, a hole filled short): the slope is measured afresh from here.
  forgetSlope() {
    this.histCount = 0;
    this.histHead = 0;
    this.blockBest = -Infinity;
    this.blockBestT = -Infinity;
  }

  // The level moved for a reason of its own (a jump, a change of tier with another message
  // size): the setpoint is taken afresh where the level settles, and the slope measured anew.
  relevel() {
    this.forgetSlope();
    this.restartBlock(); // what the block saw before the move is no part of the new level
    this.highRef = NaN;
    this.setpoint = NaN;
    this.relevelled = true;
  }

  restartBlock() {
    this.blockLeft = this.blockFrames;
    this.blockHigh = -Infinity;
    this.blockLow = Infinity;
    this.blockCount = 0;
  }

  // A new stream: what was measured says nothing about it.
  reset() {
    this.dipCount = 0;
    this.dipHead = 0;
    this.histCount = 0;
    this.histHead = 0;
    this.streamFrames = 0;
    this.blockLeft = this.blockFrames;
    this.blockHigh = -Infinity;
    this.blockLow = Infinity;
    this.blockCount = 0;
    this.highRef = NaN; // `high` averaged over about a second
    this.setpoint = NaN; // where `high` is held: where playback started, moved with the target
    this.originMs = NaN; // the first arrival of the stream: arrival times are kept from it
    this.blockBest = -Infinity; // the block's highest position ahead of the clock (frames)
    this.blockBestT = -Infinity; // ...and when it arrived (output frames from originMs)
    this.jitterMs = 0;
    this.driftEstimate = 0;
    this.raised = false;
    this.lowered = false;
    this.relevelled = false;
    this.editsLeft = 0;
    this.editUp = true;
    this.farBlocks = 0;
    this.slopeError = Infinity;
    this.holdTargetUntil = 0; // stream frame before which the target does not fall
    this.messages.fill(0);
    this.messageHead = 0;
    this.messageId = NaN;
    this.messageFrames = 0; // frames of the message being pushed
    this.pulledSince = true;
  }

  // The largest of the recent messages, in frames.
  get messageSize() {
    let m = this.messageFrames;
    for (let k = 0; k < MESSAGES; k++) if (this.messages[k] > m) m = this.messages[k];
    return m;
  }

  // After frames were written: `level` is the level now, `id` the message they belong to
  // (pushes with one id and no render between them are one message), `endPos` the stream
  // position after them and `arrivalMs` when their message reached the page (wall clock, ms;
  // 0 where unknown).
  noteArrival(level, frames, id, endPos = NaN, arrivalMs = 0) {
    // How far the sender's audio is ahead of the page's clock at this arrival. Late
    // arrivals only lower it: the highest in a block is the audio that came on time, and
    // its slope over the blocks is the sender's clock against the page's, which no render
    // quantum, edit, skip or hole of the buffer blurs.
    if (arrivalMs > 0 && Number.isFinite(endPos)) {
      if (Number.isNaN(this.originMs)) this.originMs = arrivalMs;
      const ms = arrivalMs - this.originMs;
      const ahead = endPos - ms * this.fpm;
      if (ahead > this.blockBest) {
        this.blockBest = ahead;
        this.blockBestT = (ms * this.outputRate) / 1000;
      }
    }
    if (id !== this.messageId || this.pulledSince) {
      this.messages[this.messageHead] = this.messageFrames;
      this.messageHead = (this.messageHead + 1) % MESSAGES;
      this.messageFrames = 0;
      this.messageId = id;
      this.pulledSince = false;
    }
    this.messageFrames += frames;
    if (level > this.blockHigh) this.blockHigh = level;
  }

  // Playback starts (or resumes after an underrun) at `level`. The clocks' slope goes on:
  // arrivals measure it, whether or not the output ran dry.
  startPlaying(level) {
    this.meanLevel = level;
    this.highRef = NaN;
    this.setpoint = NaN;
    this.relevelled = false;
    this.restartBlock();
  }

  // After a render quantum of `n` output frames at `ratio`, `level` left.
  notePlayed(level, n, ratio) {
    this.pulledSince = true;
    this.meanLevel += (level - this.meanLevel) * Math.min(1, n / (this.o.levelTauSeconds * this.outputRate));
    this.streamFrames += n;
    if (level < this.blockLow) this.blockLow = level;
    this.blockCount++;
    this.blockLeft -= n;
    if (this.blockLeft > 0) return;
    this.blockLeft += this.blockFrames;
    const high = this.blockHigh;
    const low = this.blockLow;
    this.blockHigh = -Infinity;
    this.blockLow = Infinity;
    this.blockCount = 0;
    if (high === -Infinity) return; // nothing arrived: the next block tells more
    this.highRef = Number.isNaN(this.highRef) ? high : this.highRef + (high - this.highRef) * 0.5;
    if (this.blockBestT !== -Infinity) this.addHistory(this.blockBestT, this.blockBest);
    this.blockBest = -Infinity;
    this.blockBestT = -Infinity;
    // A rise or fall of the setpoint is met by editing the audio, for editBlocks blocks
    // after it: an edit made while the measured level lagged behind (after a jump, a
    // stall) may not have met all of it, which the next blocks show. What is left after
    // that is left to the rate.
    // Only in the direction the setpoint moved: `high` wanders by a few milliseconds from
    // block to block with the arrivals, and a level that overshoots is not edited back.
    if (this.editsLeft > 0) {
      this.editsLeft--;
      const band = this.o.bandMs * this.fpm;
      this.raised = this.editUp && this.setpoint - this.highRef > band;
      this.lowered = !this.editUp && this.highRef - this.setpoint > band;
    } else {
      this.raised = this.lowered = false;
    }
    // A level that stays far from the setpoint (an edit overshot, a burst left more than the
    // target) is edited back as well: the rate is for the clocks, and a pull slow enough
    // not to be heard would take minutes.
    const off = this.highRef - this.setpoint;
    this.farBlocks = Math.abs(off) > this.o.editBackMs * this.fpm ? this.farBlocks + 1 : 0;
    if (this.editsLeft === 0 && this.farBlocks >= this.o.editBackBlocks) {
      this.farBlocks = 0;
      this.editsLeft = this.o.editBlocks;
      this.editUp = off < 0;
      this.raised = off < 0;
      this.lowered = off > 0;
    }
    if (Number.isNaN(this.setpoint)) {
      // Where the level is; after a change of tier or a jump never below the target: a
      // level that came out short is raised at once.
      this.setpoint = this.relevelled ? Math.max(this.highRef, this.targetFrames) : this.highRef;
      this.raised = this.setpoint > this.highRef;
      this.editsLeft = this.o.editBlocks;
      this.editUp = true;
      this.relevelled = false;
    }
    if (this.streamFrames > (this.o.startupMs / 1000) * this.outputRate) this.addDip(high - low);
    if (this.deficit === 0 && this.surplus === 0) this.updateCorrection();
  }

  addHistory(t, y) {
    const i = (this.histHead + this.histCount) % HISTORY;
    this.histT[i] = t;
    this.histY[i] = y;
    if (this.histCount < HISTORY) this.histCount++;
    else this.histHead = (this.histHead + 1) % HISTORY;
  }

  // The drift over the last `seconds`, since the last step of the series (the arrivals
  // changed their rhythm: bursts began or ended; drift moves it well under stepMs a block):
  // the series on one slope, then on another from some block on (least squares over every
  // such bend with at least two seconds after it; the best fit wins), for drift may have
  // begun, stopped or turned, and a plain line reads only part of the new slope. Returns
  // the slope after the bend and leaves its standard error in `slopeError` (Infinity where
  // it cannot be told).
  measureDrift(seconds) {
    this.slopeError = Infinity;
    if (this.histCount === 0) return 0;
    const span = seconds * this.outputRate;
    const newest = this.histT[(this.histHead + this.histCount - 1) % HISTORY];
    let first = 0; // offset of the oldest block within the span, and after its last step
    while (first < this.histCount && newest - this.histT[(this.histHead + first) % HISTORY] > span) first++;
    // Steps are looked for in the running median of three blocks: one block whose arrivals
    // all came late (a stall) is noise, not a step.
    const step = this.o.stepMs * this.fpm;
    for (let k = this.histCount - 1; k > first; k--) {
      if (Math.abs(this.medianY(k) - this.medianY(k - 1)) > step) {
        first = k;
        break;
      }
    }
    const n = this.histCount - first;
    if (n < 6) return 0;
    let sy = 0;
    let syy = 0;
    for (let k = first; k < this.histCount; k++) {
      const y = this.histY[(this.histHead + k) % HISTORY];
      sy += y;
      syy += y * y;
    }
    const my = sy / n;
    const syyc = syy - n * my * my;
    let bestSse = Infinity;
    let bestSlope = 0;
    let bestVar = 0; // the slope's variance per unit of residual variance
    for (let c = first; c < this.histCount; c++) {
      const tc = this.histT[(this.histHead + c) % HISTORY];
      if (newest - tc < 2 * this.outputRate) break;
      // Regressors: time before the bend (<= 0) and after it (>= 0), centred.
      let m1 = 0;
      let m2 = 0;
      for (let k = first; k < this.histCount; k++) {
        const d = this.histT[(this.histHead + k) % HISTORY] - tc;
        if (d < 0) m1 += d;
        else m2 += d;
      }
      m1 /= n;
      m2 /= n;
      let s11 = 0;
      let s12 = 0;
      let s22 = 0;
      let s1y = 0;
      let s2y = 0;
      for (let k = first; k < this.histCount; k++) {
        const i = (this.histHead + k) % HISTORY;
        const d = this.histT[i] - tc;
        const x1 = (d < 0 ? d : 0) - m1;
        const x2 = (d > 0 ? d : 0) - m2;
        const y = this.histY[i] - my;
        s11 += x1 * x1;
        s12 += x1 * x2;
        s22 += x2 * x2;
        s1y += x1 * y;
        s2y += x2 * y;
      }
      let slope;
      let sse;
      let v;
      const det = s11 * s22 - s12 * s12;
      if (s11 === 0 || det <= 1e-9 * s11 * s22) {
        if (s22 === 0) continue;
        slope = s2y / s22; // no bend: one line
        sse = syyc - slope * s2y;
        v = 1 / s22;
      } else {
        const before = (s22 * s1y - s12 * s2y) / det;
        slope = (s11 * s2y - s12 * s1y) / det;
        sse = syyc - before * s1y - slope * s2y;
        v = s11 / det;
      }
      if (sse < bestSse) {
        bestSse = sse;
        bestSlope = slope;
        bestVar = v;
      }
    }
    if (bestSse === Infinity) return 0;
    const floor = this.o.levelNoiseMs * this.fpm;
    const sigma = Math.sqrt(Math.max(Math.max(0, bestSse) / Math.max(1, n - 4), floor * floor));
    this.slopeError = sigma * Math.sqrt(bestVar);
    return bestSlope;
  }

  // The drift the level shows: over driftSeconds, or over the recent recentDriftSeconds
  // where those disagree beyond their error (drift that just began, or just ended), and 0
  // unless it stands clear of its error.
  // The history's k-th value (from the oldest), as the median of it and its neighbours.
  medianY(k) {
    const y = this.histY[(this.histHead + k) % HISTORY];
    if (k === 0 || k === this.histCount - 1) return y;
    const a = this.histY[(this.histHead + k - 1) % HISTORY];
    const b = this.histY[(this.histHead + k + 1) % HISTORY];
    return Math.max(Math.min(a, b), Math.min(Math.max(a, b), y));
  }

  estimateDrift() {
    const o = this.o;
    const long = this.measureDrift(o.driftSeconds);
    const longError = this.slopeError;
    const recent = this.measureDrift(o.recentDriftSeconds);
    const recentError = this.slopeError;
    let slope = long;
    let error = longError;
    const recentIsDrift = Math.abs(recent) > o.driftSignificance * recentError;
    if (recentError < Infinity && recentIsDrift && Math.abs(recent - long) > o.driftSignificance * recentError) {
      slope = recent;
      error = recentError;
    }
    this.slopeError = error;
    // Too little since a step (or a change of tier) to tell: the clocks have not changed,
    // and the drift last measured holds.
    if (error === Infinity) return this.driftEstimate * this.baseRatio;
    return Math.abs(slope) > o.driftSignificance * error ? slope : 0;
  }

  addDip(dip) {
    const o = this.o;
    const cap = this.dips.length;
    this.dips[(this.dipHead + this.dipCount) % cap] = dip;
    if (this.dipCount < cap) this.dipCount++;
    else this.dipHead = (this.dipHead + 1) % cap;
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
    const message = this.messageSize;
    // While settling, the deepest dip counts: the first seconds must not underrun twice.
    const settling = this.dipCount * o.blockSeconds < o.settleSeconds;
    const dipFrames = settling || this.dipCount < 2 ? deepest : second;
    this.jitterMs = Math.max(0, dipFrames - message) / this.fpm;
    let requiredMs = Math.max(o.minTargetMs, message / this.fpm + o.jitterFactor * this.jitterMs + o.marginMs);
    if (settling) requiredMs = Math.max(requiredMs, o.startTargetMs);
    const required = Math.round(Math.min(requiredMs, o.maxTargetMs) * this.fpm);
    const before = this.targetFrames;
    if (required >= before) this.targetFrames = required;
    else if (this.streamFrames >= this.holdTargetUntil) {
      // A stall or a jittery minute that has passed should not hold the delay up for
      // minutes: the target comes back within about a minute whatever it rose to.
      const fallPerSecond = Math.max(o.targetFallMsPerSecond * this.fpm, (before - required) * o.targetFallShare);
      this.targetFrames = Math.max(required, before - fallPerSecond * o.blockSeconds);
    }
    // The level must stay at least at the target; more than a message above it is delay
    // for nothing. Where it started within that range, it may stay. A falling target is
    // followed in steps of lowerStepMs, each one edit, not in an edit every block, and all
    // the way once it is where the jitter has it.
    if (this.targetFrames > before) {
      this.setpoint = Math.max(this.setpoint, this.targetFrames);
      this.raised = true;
      this.editsLeft = this.o.editBlocks;
      this.editUp = true;
    }
    else if (this.targetFrames < before && this.setpoint > this.targetFrames + message + this.lowerStep(required)) {
      this.setpoint = this.targetFrames + message;
      this.lowered = true;
      this.editsLeft = this.o.editBlocks;
      this.editUp = false;
    }
  }

  // How far the setpoint may stay above a falling target plus a message: a step of
  // lowerStepMs while the target still falls toward `required`, nothing once it is there.
  lowerStep(required) {
    return this.targetFrames > required ? this.o.lowerStepMs * this.fpm : 0;
  }

  // After the target rose: how far `high` is below the setpoint (frames), if beyond the
  // band. A rise is met at once (the jitter buffer adds a continuation); drift is met with
  // the rate.
  get deficit() {
    if (!this.raised) return 0;
    const d = this.setpoint - this.highRef;
    return d > this.o.bandMs * this.fpm ? d : 0;
  }

  // After the target fell: how far `high` is above the setpoint (frames), if beyond the
  // band. The jitter buffer removes that much at once where the audio repeats itself;
  // the rate is left for drift.
  get surplus() {
    if (!this.lowered) return 0;
    const d = this.highRef - this.setpoint;
    return d > this.o.bandMs * this.fpm ? d : 0;
  }

  // `frames` were removed at once to lower the level.
  noteShrunk(frames) {
    this.highRef -= frames;
    this.lowered = false; // the next block tells whether that was all
  }

  // `frames` of continuation were added to raise the level at once.
  noteStretched(frames) {
    this.highRef += frames;
    this.raised = false; // the next block tells whether that was all
  }

  // The level the buffer needs before it starts playing: the target, and never less than
  // one message and the margin above it.
  get startFrames() {
    return Math.max(this.targetFrames, this.messageSize + this.o.marginMs * this.fpm);
  }

  underrun() {
    if (this.streamFrames < (this.o.startupMs / 1000) * this.outputRate) return;
    const o = this.o;
    this.targetFrames = Math.min(Math.round(o.maxTargetMs * this.fpm), this.targetFrames + Math.round(o.underrunBoostMs * this.fpm));
    this.holdTargetUntil = this.streamFrames + o.jitterSeconds * this.outputRate;
  }

  // How far `high` is outside the band (negative below it), in frames; 0 inside.
  bandExcess() {
    const band = this.o.bandMs * this.fpm;
    const upper = this.setpoint + band;
    const lower = this.setpoint - band;
    if (this.highRef > upper) return this.highRef - upper;
    if (this.highRef < lower) return this.highRef - lower;
    return 0;
  }

  updateCorrection() {
    const o = this.o;
    const excess = this.bandExcess();
    this.driftEstimate = clamp(this.estimateDrift() / this.baseRatio, o.maxDrift);
    let wanted = 0;
    if (excess !== 0) {
      // Aim a millisecond inside the band, so that the level does not sit on its edge.
      const aim = excess + Math.sign(excess) * this.fpm;
      // The drift is measured apart: the level wandered for another reason (the last edit
      // fell short, arrivals changed their rhythm, the drift was read a little off) and is
      // pulled back slowly enough that a tone stays within maxPull of its pitch.
      const pull = clamp(aim / (o.correctionSeconds * this.outputRate), o.maxPull);
      wanted = this.driftEstimate + pull;
    } else if (Math.abs(this.driftEstimate) > o.holdDrift) {
      wanted = this.driftEstimate;
    }
    wanted = clamp(wanted, o.maxCorrection);
    let c = this.correction + clamp(wanted - this.correction, o.slew);
    if (wanted === 0 && Math.abs(c) < o.slew) c = 0;
    this.correction = c;
  }
}

function clamp(x, limit) {
  return x > limit ? limit : x < -limit ? -limit : x;
}
