// Keeps the page's AudioContext playing through what mobile Safari does to it. No DOM
// beyond what is handed in, so it runs under Node's test runner with a fake context.
//
// - The context is created, and resumed, only from the listener's gesture (the caller's
//   click handler calls start() before any await).
// - resume() is called only from 'suspended', never on an 'interrupted' context (a phone call, Siri, another app
//   taking the audio session): Safari refuses it, and resumes the context by itself when
//   the interruption ends. One that stays 'interrupted' for `interruptedMs` is replaced by a new
//   context (`onRebuild(ctx)` sets the audio graph up again); a press of the button while
//   interrupted does the same at once.
// - navigator.audioSession.type = 'playback' (where it exists) before each context is made,
//   so iOS plays through the silent switch like a music app.
// - No sample rate is assumed: `rate` is only asked for where the engine honours it.

export class AudioContextKeeper {
  constructor({ AudioContextClass, navigator = {}, rate, onStateChange = () => {}, onRebuild = () => {}, interruptedMs = 3000, timers = globalThis }) {
    this.AudioContextClass = AudioContextClass;
    this.navigator = navigator;
    this.rate = rate;
    this.onStateChange = onStateChange;
    this.onRebuild = onRebuild;
    this.interruptedMs = interruptedMs;
    this.timers = timers;
    this.ctx = null;
    this.timer = null;
    this.rebuilds = 0;
    this.suspending = false; // a suspend() has not completed yet
  }

  get state() {
    return this.ctx ? this.ctx.state : null;
  }

  // From the listener's gesture: a running context, as far as the browser lets it.
  // Returns a promise that settles when the resume (if one was needed) does.
  start() {
    if (!this.ctx) this.create();
    if (this.ctx.state === 'interrupted') {
      this.rebuild();
      return Promise.resolve();
    }
    return this.resume();
  }

  // Only from 'suspended', or from a 'running' that a suspend() asked for a moment ago is
  // about to end (the two then run in the order they were called).
  resume() {
    const ctx = this.ctx;
    if (!ctx || !(ctx.state === 'suspended' || (ctx.state === 'running' && this.suspending))) return Promise.resolve();
    return Promise.resolve(this.ctx.resume()).catch(() => {});
  }

  suspend() {
    this.clearTimer();
    if (!this.ctx || this.ctx.state !== 'running') return Promise.resolve();
    this.suspending = true;
    return Promise.resolve(this.ctx.suspend())
      .catch(() => {})
      .finally(() => {
        this.suspending = false;
      });
  }

  create() {
    const session = this.navigator.audioSession;
    if (session && session.type !== 'playback') {
      try {
        session.type = 'playback';
      } catch {
        // read-only on some versions: nothing to be done
      }
    }
    const options = { latencyHint: 'interactive' };
    let ctx;
    if (this.rate) {
      try {
        ctx = new this.AudioContextClass({ ...options, sampleRate: this.rate });
      } catch {
        ctx = null; // the device insists on another rate: the jitter buffer resamples
      }
    }
    if (!ctx) ctx = new this.AudioContextClass(options);
    ctx.onstatechange = () => this.stateChanged(ctx);
    this.ctx = ctx;
    return ctx;
  }

  stateChanged(ctx) {
    if (ctx !== this.ctx) return;
    if (ctx.state === 'interrupted') {
      if (this.timer === null) {
        this.timer = this.timers.setTimeout(() => {
          this.timer = null;
          if (this.ctx === ctx && ctx.state === 'interrupted') this.rebuild();
        }, this.interruptedMs);
      }
    } else {
      this.clearTimer();
    }
    this.onStateChange(ctx.state);
  }

  rebuild() {
    this.clearTimer();
    const old = this.ctx;
    if (old) {
      old.onstatechange = null;
      try {
        Promise.resolve(old.close()).catch(() => {});
      } catch {
        // already closed
      }
    }
    this.ctx = null;
    const ctx = this.create();
    this.rebuilds++;
    this.onRebuild(ctx);
    if (ctx.state === 'suspended') Promise.resolve(ctx.resume()).catch(() => {});
    return ctx;
  }

  clearTimer() {
    if (this.timer !== null) this.timers.clearTimeout(this.timer);
    this.timer = null;
  }
}
