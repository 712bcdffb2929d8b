// Auto: which quality tier the connection carries. Pure logic in simulated time; the
// socket worker feeds it arrivals and trouble and asks it now and then what to play.
//
// Falling behind
//   Every message carries the sample position of its audio. `now - position` (wall clock
//   minus stream clock) stays within the network's jitter while the connection keeps up
//   and grows when it carries less than real time. Its lowest value over the last
//   `lagWindowMs` is the reference; the excess over it is how far arrival is behind.
//   Behind by more than `behindMs`, the relay's skip event or the relay stepping the
//   listener down itself: step down one tier at once, then hold still for
//   `downCooldownMs` while the queued audio drains. An underrun steps down when arrival
//   was lagging too (`underrunBehindMs`) or when it is the second within
//   `underrunWindowMs`; a lone underrun with audio arriving on time is the listener's
//   machine stalling, which a cheaper tier would not cure.
//
// Stepping up
//   After `calmMs` without trouble, one tier up; never above `maxTier`. Auto spans the Opus
//   tiers only: Lossless needs about 3.3 Mbit/s with its overhead, more than many links
//   carry, and a failed probe costs an underrun. The listener can pick it by hand.
//   A tier that failed within `failWindowMs` of being entered is tried again only after a
//   hold that doubles with each failure (from `retryMs` to `maxRetryMs`), and not while
//   the throughput measured when it failed (bytes per second over `rateWindowMs`, the
//   most that link delivered) is below its bit rate times `overhead`.

export const AUTO_DEFAULTS = Object.freeze({
  behindMs: 100,
  lagWindowMs: 10000,
  rateWindowMs: 2000,
  calmMs: 4000,
  settleMs: 2000, // after a switch or a new stream, underruns are the switch's doing
  downCooldownMs: 3000,
  underrunBehindMs: 30,
  underrunWindowMs: 10000,
  failWindowMs: 30000,
  retryMs: 20000,
  maxRetryMs: 600000,
  ceilingMs: 60000, // how long a throughput measured at a failure is believed
  overhead: 1.25, // WebSocket, TCP and IP headers on ~20 ms messages, with some margin
});

export class AutoQuality {
  // `tiers`: [{name, bitrate}] cheapest first, the tiers Auto may choose.
  constructor({ tiers, start, nowMs = 0, options = {} }) {
    this.o = { ...AUTO_DEFAULTS, ...options };
    this.tiers = tiers.slice();
    this.index = Math.max(0, this.tiers.findIndex((t) => t.name === start));
    this.failures = new Map(); // tier name -> {count, until, ceilingBps, at}
    this.arrivals = []; // {t, bytes}
    this.lags = []; // per-second minima of now - position: {t, lag}
    this.changedAt = nowMs;
    this.troubleAt = -Infinity;
    this.enteredAt = nowMs;
    this.lastReason = 'start';
    this.behind = 0;
    this.lastUnderrunAt = -Infinity;
  }

  get tier() {
    return this.tiers[this.index] ? this.tiers[this.index].name : null;
  }

  // A message of `bytes` arrived at `nowMs`, its audio ending at sample `endPosition`.
  noteMessage(nowMs, bytes, endPosition) {
    this.arrivals.push({ t: nowMs, bytes });
    while (this.arrivals.length > 0 && this.arrivals[0].t < nowMs - this.o.rateWindowMs) this.arrivals.shift();
    const lag = nowMs - (endPosition / 48000) * 1000;
    const slot = Math.floor(nowMs / 1000);
    const last = this.lags[this.lags.length - 1];
    if (last && last.slot === slot) last.lag = Math.min(last.lag, lag);
    else this.lags.push({ slot, t: nowMs, lag });
    while (this.lags.length > 0 && this.lags[0].t < nowMs - this.o.lagWindowMs) this.lags.shift();
    let reference = Infinity;
    for (const l of this.lags) reference = Math.min(reference, l.lag);
    this.behind = lag - reference;
  }

  // Bytes per second received over the rate window.
  rateBps(nowMs) {
    let bytes = 0;
    for (const a of this.arrivals) if (a.t >= nowMs - this.o.rateWindowMs) bytes += a.bytes;
    return (bytes * 8 * 1000) / this.o.rateWindowMs;
  }

  // The stream's clock started afresh (new source or connection): positions jump.
  newStream(nowMs) {
    this.lags.length = 0;
    this.arrivals.length = 0;
    this.behind = 0;
    this.changedAt = nowMs;
  }

  noteUnderrun(nowMs) {
    const repeated = nowMs - this.lastUnderrunAt <= this.o.underrunWindowMs;
    this.lastUnderrunAt = nowMs;
    if (repeated || this.behind > this.o.underrunBehindMs) this.trouble(nowMs, 'underrun');
  }

  noteSkip(nowMs) {
    this.trouble(nowMs, 'skip', true);
  }

  // The relay switched this connection to `name` (its own step-down, or our request).
  noteTier(nowMs, name, reason) {
    const i = this.tiers.findIndex((t) => t.name === name);
    if (i < 0) return;
    if (reason === 'step-down' && i < this.index) {
      this.lastReason = 'relay step-down';
      this.recordFailure(nowMs, this.index);
    }
    if (i !== this.index) {
      this.index = i;
      this.changedAt = nowMs;
      this.enteredAt = nowMs;
    }
  }

  trouble(nowMs, reason, always = false) {
    if (!always && nowMs - this.changedAt < this.o.settleMs) return;
    this.troubleAt = nowMs;
    this.lastReason = reason;
    this.pendingDown = true;
  }

  recordFailure(nowMs, index) {
    const t = this.tiers[index];
    if (!t) return;
    const f = this.failures.get(t.name) || { count: 0, until: 0, ceilingBps: Infinity, at: 0 };
    if (nowMs - this.enteredAt <= this.o.failWindowMs) {
      f.count++;
      f.until = nowMs + Math.min(this.o.maxRetryMs, this.o.retryMs * 2 ** (f.count - 1));
    }
    // What the link delivered while it fell behind is what it can carry; an underrun alone
    // says nothing about the link.
    if (this.lastReason !== 'underrun') {
      f.ceilingBps = this.rateBps(nowMs);
      f.at = nowMs;
    }
    this.failures.set(t.name, f);
  }

  // The tier to ask the relay for now, or null to stay.
  decide(nowMs) {
    const o = this.o;
    // The lag reference starts afresh with each switch, so lag counts at once.
    if (this.behind > o.behindMs) this.trouble(nowMs, 'behind', true);
    if (this.pendingDown) {
      this.pendingDown = false;
      if (nowMs - this.changedAt < o.downCooldownMs && this.lastDownAt === this.changedAt) return null;
      if (this.index === 0) return null;
      this.recordFailure(nowMs, this.index);
      return this.switchTo(nowMs, this.index - 1, 'down', true);
    }
    if (this.index + 1 >= this.tiers.length) return null;
    if (this.arrivals.length === 0) return null; // nothing is streaming: no evidence either way
    if (nowMs - Math.max(this.changedAt, this.troubleAt) < o.calmMs) return null;
    const up = this.tiers[this.index + 1];
    const f = this.failures.get(up.name);
    if (f && nowMs < f.until) return null;
    if (f && nowMs - f.at < o.ceilingMs && up.bitrate * o.overhead > f.ceilingBps) return null;
    return this.switchTo(nowMs, this.index + 1, 'up', false);
  }

  switchTo(nowMs, index, reason, down) {
    this.index = index;
    this.changedAt = nowMs;
    this.enteredAt = nowMs;
    if (down) this.lastDownAt = nowMs;
    this.lastReason = reason;
    // The lag reference belongs to the old tier's queueing; start measuring afresh.
    this.lags.length = 0;
    this.behind = 0;
    return this.tiers[index].name;
  }

  summary(nowMs) {
    return { tier: this.tier, behindMs: Math.round(this.behind), rateBps: Math.round(this.rateBps(nowMs)), reason: this.lastReason };
  }
}
