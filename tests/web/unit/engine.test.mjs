// Per-engine choices, the AudioContext through what mobile Safari does to it (a fake
// context), and the sanity checks on what an engine says about its output clock.
import assert from 'node:assert/strict';
import { describe, test } from 'node:test';
import { loadWebModule } from './load-web.mjs';

const { detectEngine, enginePolicy } = await loadWebModule('engine.js');
const { AudioContextKeeper } = await loadWebModule('audio-context-keeper.js');
const core = await loadWebModule('player-core.js');

describe('engine', () => {
  const uaData = { brands: [] };
  const cases = [
    ['Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/156.0.0.0 Safari/537.36', uaData, 0, 'blink'],
    ['Mozilla/5.0 (X11; Linux x86_64; rv:153.0) Gecko/20100101 Firefox/153.0', undefined, 0, 'gecko'],
    ['Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/26.0 Safari/605.1.15', undefined, 0, 'webkit'],
    ['Mozilla/5.0 (iPhone; CPU iPhone OS 26_0 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/26.0 Mobile/15E148 Safari/604.1', undefined, 5, 'webkit'],
    ['Mozilla/5.0 (iPhone; CPU iPhone OS 26_0 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) CriOS/156.0 Mobile/15E148 Safari/604.1', uaData, 5, 'webkit'],
    ['Mozilla/5.0 (iPhone; CPU iPhone OS 26_0 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) FxiOS/150.0 Mobile/15E148 Safari/605.1.15', undefined, 5, 'webkit'],
    // An iPad asking for the desktop page: a "Mac" with a touch screen.
    ['Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/26.0 Safari/605.1.15', undefined, 5, 'webkit'],
    // WebKit dressed as Chrome, without Chromium's userAgentData.
    ['Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/605.1.15 (KHTML, like Gecko) Chrome/150.0 Safari/605.1.15', undefined, 0, 'webkit'],
    ['', undefined, 0, 'other'],
  ];
  test('is told from the user agent and what the browser has', () => {
    for (const [userAgent, userAgentData, maxTouchPoints, want] of cases) {
      assert.equal(detectEngine({ userAgent, userAgentData, maxTouchPoints }), want, userAgent);
    }
  });
  test('WebCodecs Opus only on Blink and Gecko; no forced rate and a checked clock on WebKit', () => {
    assert.deepEqual(['blink', 'gecko', 'webkit', 'other'].map((e) => enginePolicy(e).webCodecsOpus), [true, true, false, false]);
    assert.equal(enginePolicy('webkit').contextRate, undefined);
    assert.equal(enginePolicy('blink').contextRate, 48000);
    assert.equal(enginePolicy('gecko').readOutputClock, false);
    assert.equal(enginePolicy('webkit').readOutputClock, true);
  });
});

// A context whose state the test drives; it refuses resume() unless suspended, like Safari.
class FakeContext {
  static made = [];
  static refuseRate = false;
  constructor(options) {
    if (options.sampleRate && FakeContext.refuseRate) throw new Error('NotSupportedError');
    this.options = options;
    this.sampleRate = options.sampleRate || 44100;
    this.state = 'suspended';
    this.resumes = 0;
    this.closed = false;
    FakeContext.made.push(this);
  }
  resume() {
    if (this.state === 'interrupted') return Promise.reject(new Error('InvalidStateError'));
    this.resumes++;
    this.set('running');
    return Promise.resolve();
  }
  suspend() {
    this.set('suspended');
    return Promise.resolve();
  }
  close() {
    this.closed = true;
    this.state = 'closed';
    return Promise.resolve();
  }
  set(state) {
    this.state = state;
    if (this.onstatechange) this.onstatechange();
  }
}

function keeper(extra = {}) {
  FakeContext.made = [];
  const timers = { pending: [], setTimeout(fn, ms) { this.pending.push({ fn, ms }); return this.pending.length; }, clearTimeout(id) { if (id) this.pending[id - 1] = null; } };
  timers.fire = () => timers.pending.splice(0).forEach((t) => t && t.fn());
  const rebuilt = [];
  const nav = { audioSession: { type: 'auto' } };
  const k = new AudioContextKeeper({ AudioContextClass: FakeContext, navigator: nav, timers, onRebuild: (ctx) => rebuilt.push(ctx), ...extra });
  return { k, timers, rebuilt, nav };
}

describe('the audio context on iOS', () => {
  test('made from the gesture with the playback session; never resumed while interrupted', async () => {
    const { k, nav } = keeper({ rate: 48000 });
    await k.start();
    assert.equal(nav.audioSession.type, 'playback');
    assert.equal(k.ctx.state, 'running');
    assert.equal(k.ctx.options.sampleRate, 48000);
    k.ctx.set('interrupted');
    await k.resume(); // interrupted: not resumed (Safari refuses, and resumes it itself)
    assert.equal(k.ctx.resumes, 1);
    k.ctx.set('running');
    await k.resume(); // running: left alone
    assert.equal(k.ctx.resumes, 1);
    // Stop, then Listen before the suspend took effect: resumed after it.
    // (A context carries such calls out in the order they were made.)
    let queue = Promise.resolve();
    const later = (state) => (queue = queue.then(() => new Promise((r) => setTimeout(() => r(k.ctx.set(state)), 5))));
    k.ctx.suspend = () => later('suspended');
    k.ctx.resume = () => {
      k.ctx.resumes++;
      return later('running');
    };
    const stopping = k.suspend();
    const starting = k.start();
    await stopping;
    await starting;
    assert.deepEqual([k.ctx.resumes, k.ctx.state], [2, 'running']);
  });

  test('a context that stays interrupted is replaced; one that comes back is kept', async () => {
    const { k, timers, rebuilt } = keeper();
    await k.start();
    const first = k.ctx;
    first.set('interrupted');
    first.set('running'); // the call ended
    timers.fire();
    assert.equal(k.ctx, first);
    first.set('interrupted');
    timers.fire(); // still interrupted after interruptedMs
    assert.notEqual(k.ctx, first);
    assert.ok(first.closed && first.onstatechange === null);
    assert.deepEqual(rebuilt, [k.ctx]);
    assert.equal(k.ctx.state, 'running');
    // Pressing the button while interrupted rebuilds at once.
    k.ctx.set('interrupted');
    await k.start();
    assert.equal(k.rebuilds, 2);
  });

  test('never assumes 48 kHz: a refused rate gives the device rate', async () => {
    FakeContext.refuseRate = true;
    try {
      const { k } = keeper({ rate: 48000 });
      await k.start();
      assert.equal(k.ctx.sampleRate, 44100);
    } finally {
      FakeContext.refuseRate = false;
    }
  });
});

describe('the output clock an engine reports', () => {
  // Rendering at 10.000 s, read at performance time 5000 ms.
  const base = { nowMs: 5000, currentTime: 10, outputLatency: 0.03, baseLatency: 0.005 };
  test('a plausible timestamp and latency are used', () => {
    const r = core.checkOutputClock({ ...base, ts: { contextTime: 9.97, performanceTime: 4999 } });
    assert.deepEqual(r.ts, { contextTime: 9.97, performanceTime: 4999 });
    assert.ok(Math.abs(r.latency - 0.035) < 1e-12);
  });
  test('an output seconds behind, a stale or future timestamp, or a huge latency are not', () => {
    for (const ts of [
      { contextTime: 8.08, performanceTime: 5000 }, // 1.9 s behind what is rendered
      { contextTime: 10.5, performanceTime: 5000 }, // ahead of rendering
      { contextTime: 9.97, performanceTime: 1000 }, // read seconds ago
      { contextTime: NaN, performanceTime: 5000 },
    ]) {
      assert.equal(core.checkOutputClock({ ...base, ts }).ts, null, JSON.stringify(ts));
    }
    assert.equal(core.checkOutputClock({ ...base, ts: null, outputLatency: 1.9 }).latency, 0.005);
    assert.equal(core.checkOutputClock({ ...base, ts: null, outputLatency: -1, baseLatency: undefined }).latency, 0);
  });
  test('an engine that reports no output latency and no usable timestamp leaves the figure a lower bound', () => {
    // As WebKitGTK gave it: outputLatency 0, a timestamp of the render time whose
    // performanceTime runs ahead by the context time.
    const webkit = { nowMs: 2263, currentTime: 1.7415, outputLatency: 0, baseLatency: 0.0029, ts: { contextTime: 1.7386, performanceTime: 4001 } };
    assert.equal(core.outputLatencyKnown(webkit, core.checkOutputClock(webkit)), false);
    const noTs = { ...base, ts: null };
    assert.equal(core.outputLatencyKnown(noTs, core.checkOutputClock(noTs)), true, 'a reported latency is enough');
    const good = { ...base, outputLatency: undefined, ts: { contextTime: 9.97, performanceTime: 4999 } };
    assert.equal(core.outputLatencyKnown(good, core.checkOutputClock(good)), true, 'a plausible timestamp is enough');
    assert.equal(core.outputLatencyKnown(null, null), false);
  });
  test('frames then map through currentTime and the checked latency', () => {
    const { ts, latency } = core.checkOutputClock({ ...base, ts: { contextTime: 8, performanceTime: 5000 } });
    const at = core.frameToPerformanceTime(10 * 48000, 48000, ts, { nowMs: 5000, currentTime: 10, outputLatency: latency });
    assert.ok(Math.abs(at - 5035) < 1e-9);
  });
});
