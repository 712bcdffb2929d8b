import assert from 'node:assert/strict';
import { describe, test } from 'node:test';
import { loadWebModule } from './load-web.mjs';

const core = await loadWebModule('player-core.js');

describe('room code from the link', () => {
  test('takes the last segment after /orlune/', () => {
    assert.equal(core.roomFromPath('/orlune/band_room-2'), 'band_room-2');
    assert.equal(core.roomFromPath('/orlune/default/'), 'default');
    assert.equal(core.roomFromPath('/proxy/orlune/abc'), 'abc');
  });

  test('folds capitals and decodes escapes', () => {
    assert.equal(core.roomFromPath('/orlune/MyRoom'), 'myroom');
    assert.equal(core.roomFromPath('/orlune/%61bc'), 'abc');
  });

  test('rejects anything outside the alphabet instead of guessing', () => {
    for (const p of ['/orlune/', '/orlune/a b', '/orlune/caf%C3%A9', '/orlune/a.b', '/orlune/%zz', '/other/abc', '']) {
      assert.equal(core.roomFromPath(p), null, p);
    }
  });
});

describe('socket address', () => {
  test('same host and port, ws for http and wss for https', () => {
    assert.equal(core.socketUrl({ protocol: 'http:', host: '127.0.0.1:8080' }, 'r1'), 'ws://127.0.0.1:8080/orlune/r1/ws');
    assert.equal(core.socketUrl({ protocol: 'https:', host: 'example.test' }, 'r1'), 'wss://example.test/orlune/r1/ws');
  });
});

describe('hello message', () => {
  const hello = { type: 'hello', room: 'r', sampleRate: 48000, channels: 2, framesPerPacket: 256, live: true };
  test('accepts the stream format the player understands', () => {
    assert.equal(core.checkHello(hello), null);
  });
  test('names what is wrong with any other format', () => {
    assert.match(core.checkHello({ ...hello, sampleRate: 44100 }), /sample rate 44100/);
    assert.match(core.checkHello({ ...hello, channels: 1 }), /channel count 1/);
    assert.match(core.checkHello({ ...hello, framesPerPacket: 480 }), /packet size 480/);
    assert.match(core.checkHello({ type: 'source' }), /not a hello/);
  });
});

describe('reconnection back-off', () => {
  test('doubles from 500 ms up to 10 s and starts over after reset', () => {
    const b = new core.Backoff({ random: () => 0 });
    assert.deepEqual([1, 2, 3, 4, 5, 6, 7].map(() => b.next()), [500, 1000, 2000, 4000, 8000, 10000, 10000]);
    b.reset();
    assert.equal(b.next(), 500);
  });
  test('spreads listeners by up to 20 % on top', () => {
    assert.equal(new core.Backoff({ random: () => 0.999 }).next(), 600);
  });
});

describe('latency bookkeeping', () => {
  test('maps output frames through the output timestamp', () => {
    // Context time 2.0 s is heard at performance time 5000 ms.
    const ts = { contextTime: 2, performanceTime: 5000 };
    assert.equal(core.frameToPerformanceTime(2.5 * 48000, 48000, ts, null), 5500);
  });

  test('falls back to current time plus reported latency when no timestamp is given', () => {
    const fallback = { nowMs: 1000, currentTime: 1, outputLatency: 0.05 };
    const zero = { contextTime: 0, performanceTime: 0 };
    assert.equal(core.frameToPerformanceTime(48000 * 1.1, 48000, zero, fallback), 1150);
  });

  test('latency of each datagram is its playout time minus its arrival; the delay adds what the relay held', () => {
    const t = new core.LatencyTracker();
    // [id, sequence, arrival ms, frame, held frames]
    t.noteRenders([0, 10, 100, 4800, 0, 1, 11, 105, 5056, 960], (frame) => frame / 48 + 50);
    assert.deepEqual(
      t.samples.map((s) => [s.seq, s.latencyMs, s.delayMs]),
      [[10, 50, 50], [11, 50 + 5056 / 48 - 105, 50 + 5056 / 48 - 105 + 20]],
    );
    assert.equal(t.summary(5000).count, 1);
    assert.equal(t.recentMedian(), 50 + 5056 / 48 - 105 + 20);
  });

  test('summary reports median, 95th percentile and extremes', () => {
    const values = Array.from({ length: 100 }, (_, i) => i + 1);
    assert.deepEqual(core.summarize(values), { count: 100, minMs: 1, medianMs: 51, p95Ms: 96, maxMs: 100 });
    assert.equal(core.summarize([]).count, 0);
  });
});

describe('output timestamp that leaves out the output latency', () => {
  // Rendering at 1.050 s; what is heard lags by 50 ms of output latency.
  test('a timestamp naming what is heard is kept', () => {
    const ts = { contextTime: 1.0, performanceTime: 1000 };
    assert.deepEqual(core.outputTimestampWithLatency(ts, 1000, 1.05, 0.05), ts);
  });
  test('a timestamp naming what is rendered is moved back by the output latency', () => {
    const ts = { contextTime: 1.05, performanceTime: 1000 };
    const fixed = core.outputTimestampWithLatency(ts, 1002, 1.052, 0.05);
    assert.ok(Math.abs(fixed.contextTime - 1.0) < 1e-9);
    assert.equal(fixed.performanceTime, 1000);
    // The frame rendered now is heard 50 ms from now.
    const at = core.frameToPerformanceTime(1.052 * 48000, 48000, fixed, null);
    assert.ok(Math.abs(at - 1052) < 1e-6, `${at}`);
  });
  test('no latency reported, or no timestamp: unchanged', () => {
    const ts = { contextTime: 1.05, performanceTime: 1000 };
    assert.equal(core.outputTimestampWithLatency(ts, 1000, 1.05, 0), ts);
    assert.equal(core.outputTimestampWithLatency(null, 1000, 1.05, 0.05), null);
    const zero = { contextTime: 0, performanceTime: 0 };
    assert.equal(core.outputTimestampWithLatency(zero, 1000, 0.01, 0.05), zero);
  });
});
