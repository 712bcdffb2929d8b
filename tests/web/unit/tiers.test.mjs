import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { describe, test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { loadWebModule } from './load-web.mjs';

const fmt = { ...(await loadWebModule('stream-format.js')), ...(await loadWebModule('wire.js')) };
const { OpusFeed, WasmOpusBackend } = await loadWebModule('opus-decoding.js');
const { AutoQuality } = await loadWebModule('auto-quality.js');
const { JitterBuffer } = await loadWebModule('jitter-buffer.js');

// An Opus message as the relay frames it; `packets` entries are byte arrays, [] for missing.
function opusMessage(sequence, position, packets, { frameSamples = 480, trailing = 0 } = {}) {
  const size = 20 + packets.reduce((n, p) => n + 2 + p.length, 0) + trailing;
  const buf = new ArrayBuffer(size);
  const v = new DataView(buf);
  v.setBigInt64(0, BigInt(sequence), true);
  v.setBigInt64(8, BigInt(position), true);
  v.setUint16(16, frameSamples, true);
  v.setUint8(18, packets.length);
  let at = 20;
  for (const p of packets) {
    v.setUint16(at, p.length, true);
    new Uint8Array(buf, at + 2, p.length).set(p);
    at += 2 + p.length;
  }
  return buf;
}

describe('Opus messages and stream formats', () => {
  test('reads the counters, the frame size and each packet, a zero length as missing', () => {
    const m = fmt.parseOpusMessage(opusMessage(2 ** 40, 2 ** 35 * 3, [[0xf4, 1, 2], []]));
    assert.equal(m.sequence, 2 ** 40);
    assert.equal(m.samplePosition, 2 ** 35 * 3);
    assert.equal(m.frameSamples, 480);
    assert.deepEqual([...m.packets[0]], [0xf4, 1, 2]);
    assert.equal(m.packets[1], null);
  });

  test('refuses malformed messages as a whole', () => {
    const good = opusMessage(1, 480, [[1, 2, 3]]);
    const cases = {
      'too short': good.slice(0, 21),
      'packet runs past the end': good.slice(0, good.byteLength - 1),
      'trailing bytes': opusMessage(1, 480, [[1]], { trailing: 3 }),
      'no frames': opusMessage(1, 480, []),
      'a frame size Opus cannot have': opusMessage(1, 480, [[1]], { frameSamples: 500 }),
      'negative sequence': opusMessage(-5, 0, [[1]]),
      'not an ArrayBuffer': new Uint8Array(good),
    };
    for (const [name, buf] of Object.entries(cases)) assert.equal(fmt.parseOpusMessage(buf), null, name);
  });

  test('a hello without tiers is lossless; an unknown codec is an error, not a guess', () => {
    assert.equal(fmt.streamFormat({ type: 'hello', sampleRate: 48000 }).format.codec, 'pcm-f32');
    const opus = fmt.streamFormat({ type: 'codec', tier: 'high', codec: 'opus', bitrate: 256000, frameSamples: 480, framesPerMessage: 2 });
    assert.deepEqual(opus.format, { tier: 'high', codec: 'opus', bitrate: 256000, frameSamples: 480, framesPerMessage: 2 });
    assert.match(fmt.streamFormat({ type: 'codec', tier: 'x', codec: 'flac' }).error, /unknown codec/);
    assert.match(fmt.streamFormat({ type: 'codec', tier: 'x', codec: 'opus', frameSamples: 7 }).error, /Opus frames/);
  });

  test('offers only tiers in known codecs, cheapest first, each name once', () => {
    const tiers = fmt.playableTiers({
      tiers: [
        { name: 'lossless', codec: 'pcm-f32', bitrate: 3072000 },
        { name: 'high', codec: 'opus', bitrate: 256000 },
        { name: 'future', codec: 'mystery', bitrate: 1 },
        { name: 'Bad Name', codec: 'opus', bitrate: 1 },
        { name: 'high', codec: 'opus', bitrate: 1 },
        { name: 'low', codec: 'opus', bitrate: 48000 },
      ],
    });
    assert.deepEqual(tiers.map((t) => t.name), ['low', 'high', 'lossless']);
    assert.deepEqual(fmt.playableTiers({}), []);
  });

  test('quality from the link: a well-formed name or Auto', () => {
    assert.equal(fmt.qualityFromHash('#capture=5&quality=High'), 'high');
    assert.equal(fmt.qualityFromHash('#quality=%zz'), 'auto');
    assert.equal(fmt.qualityFromHash('#quality=a%20b'), 'auto');
    assert.equal(fmt.qualityFromHash(''), 'auto');
    assert.equal(fmt.withQuality('ws://h/orlune/r/ws', 'auto'), 'ws://h/orlune/r/ws?quality=auto');
  });
});

// Decoders standing in for the real ones. The asynchronous one outputs when told to.
function asyncBackend() {
  const b = { kind: 'webcodecs', conceals: false, queued: [], refuse: false, onOutput: null, onError: null };
  b.decode = (key, packet) => {
    if (b.refuse) return false;
    b.queued.push({ key, value: packet[0] });
    return true;
  };
  b.outputAll = () => {
    for (const q of b.queued.splice(0)) b.onOutput(q.key, new Float32Array(960).fill(q.value / 8));
  };
  b.close = () => {};
  return b;
}

function syncBackend() {
  return {
    kind: 'wasm',
    conceals: true,
    decode: (packet) => (packet[0] === 0xff ? null : new Float32Array(960).fill(packet[0] / 8)),
    conceal: (frames) => new Float32Array(2 * frames).fill(-1),
    close: () => {},
  };
}

function feedWith(backend, clock = { t: 0 }) {
  const out = [];
  const feed = new OpusFeed({ backend, emit: (e) => out.push(e), now: () => clock.t });
  return { feed, out, clock };
}

const msg = (seq, pos, ...packets) => fmt.parseOpusMessage(opusMessage(seq, pos, packets));

describe('Opus feed', () => {
  test('hands blocks on in stream order, and events queued behind them wait their turn', () => {
    const b = asyncBackend();
    const { feed, out } = feedWith(b);
    feed.push(msg(0, 0, [10], [20]));
    const events = [];
    feed.inOrder(() => events.push(out.length));
    assert.equal(out.length, 0);
    b.outputAll();
    assert.deepEqual(out.map((e) => [e.seq, e.pos, e.samples[0]]), [[0, 0, 1.25], [1, 480, 2.5]]);
    assert.deepEqual(events, [2]);
  });

  test('a decoder error or a decode that never returns leaves a counted gap, and decoding goes on', () => {
    const b = asyncBackend();
    const { feed, out, clock } = feedWith(b);
    feed.push(msg(0, 0, [1], [2]));
    b.onError(new Error('bad packet'));
    feed.push(msg(2, 960, [3]));
    b.outputAll();
    assert.deepEqual(out.map((e) => e.seq), [2]);
    feed.push(msg(3, 1440, [4]));
    b.queued.length = 0; // swallowed by the decoder
    clock.t = 600;
    feed.push(msg(4, 1920, [5]));
    b.outputAll();
    feed.flush();
    assert.deepEqual(out.map((e) => e.seq), [2, 4]);
    assert.equal(feed.counters.decodeErrors, 3);
  });

  test('with a concealing decoder: missing frames and short gaps are filled in place, skips are not', () => {
    const { feed, out } = feedWith(syncBackend());
    feed.push(msg(0, 0, [10], []));
    feed.push(msg(4, 1920, [20], [0xff])); // frames 2 and 3 never came; the last is undecodable
    assert.deepEqual(out.map((e) => [e.seq, e.pos, e.samples[0]]), [
      [0, 0, 1.25], [1, 480, -1], [2, 960, -1], [3, 1440, -1], [4, 1920, 2.5], [5, 2400, -1],
    ]);
    assert.deepEqual([feed.counters.missing, feed.counters.concealed, feed.counters.decodeErrors], [3, 4, 1]);

    feed.relaySkipped(4);
    feed.push(msg(10, 4800, [30])); // 4 skipped by the relay: spliced downstream, not concealed
    assert.equal(out[out.length - 1].seq, 10);
    assert.equal(out.length, 7);
    feed.push(msg(9, 4320, [40])); // late: dropped
    feed.push(msg(40, 19200, [50])); // longer than concealment reaches: a gap for the buffer
    assert.deepEqual(out.slice(7).map((e) => e.seq), [40]);
    assert.equal(feed.counters.late, 1);
  });

  test('random messages and sequence numbers: no exception, every block the length of its frames', () => {
    let seed = 12345;
    const rand = (n) => {
      seed = (seed * 1664525 + 1013904223) >>> 0;
      return seed % n;
    };
    const { feed, out } = feedWith(syncBackend());
    let seq = 0;
    let parsed = 0;
    for (let k = 0; k < 3000; k++) {
      const packets = Array.from({ length: 1 + rand(3) }, () => Array.from({ length: rand(3) ? rand(20) : 0 }, () => rand(256)));
      seq = rand(10) ? seq + packets.length + rand(3) - 1 : rand(100000); // mostly on, some jumps
      const pos = rand(10) ? seq * 480 : rand(1e9);
      const buf = new Uint8Array(opusMessage(seq, pos, packets));
      if (rand(5) === 0) buf[rand(buf.length)] = rand(256); // damaged anywhere
      const m = fmt.parseOpusMessage(rand(20) ? buf.buffer : buf.buffer.slice(0, rand(buf.length)));
      if (m) {
        parsed++;
        feed.push(m);
      }
    }
    assert.ok(parsed > 2000, `${parsed} parsed`);
    assert.ok(out.length > 2000);
    for (const e of out) assert.equal(e.samples.length, 2 * e.frames);
  });

  const decoderBuild = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..', '..', 'web', 'opus-decoder.min.js');
  test('the WebAssembly decoder conceals one frame at a time and survives garbage', { skip: !fs.existsSync(decoderBuild) && 'web/opus-decoder.min.js missing (scripts/bootstrap)' }, async () => {
    globalThis.Worker ??= class {}; // the build subclasses Worker for its own threaded variant
    await loadWebModule('opus-decoder.min.js');
    const backend = await WasmOpusBackend.create(globalThis['opus-decoder']);
    const { feed, out } = feedWith(backend);
    const celt = [0xf4, ...Array.from({ length: 60 }, (_, i) => (i * 37) & 255)]; // CELT, 10 ms, stereo
    const original = console.error;
    let consoleErrors = 0;
    console.error = () => consoleErrors++;
    try {
      feed.push(msg(0, 0, celt, []));
      feed.push(msg(2, 960, [0xf7, 0x00], celt));
    } finally {
      console.error = original;
    }
    assert.equal(consoleErrors, 0, 'counted, not printed');
    assert.deepEqual(out.map((e) => e.samples.length), [960, 960, 960, 960]);
    assert.deepEqual([feed.counters.concealed, feed.counters.decodeErrors], [2, 1]);
    for (const e of out) assert.ok(e.samples.every(Number.isFinite));
    backend.close();
  });
});

// A link of `capacityBps` carrying the tier Auto picks: 20 ms messages queue at the
// bottleneck; a request takes `rttMs` to reach the relay. Returns the tiers over time.
function simulateLink({ seconds, capacityBps, rttMs = 40, skipWhenBehindMs = Infinity, stepMs = 20 }) {
  const tiers = [
    { name: 'low', bitrate: 48000 },
    { name: 'standard', bitrate: 128000 },
    { name: 'high', bitrate: 256000 },
  ];
  const auto = new AutoQuality({ tiers, start: 'standard', nowMs: 0 });
  let sending = 'standard';
  const requests = [];
  const history = [];
  let linkFree = 0;
  let maxBehind = 0;
  for (let k = 0; k * stepMs < seconds * 1000; k++) {
    const sentAt = k * stepMs;
    while (requests.length && requests[0].at <= sentAt) sending = requests.shift().tier;
    const bitrate = tiers.find((t) => t.name === sending).bitrate;
    const bytes = Math.round((bitrate * stepMs) / 8000) + 30;
    const arrival = Math.max(linkFree, sentAt) + (bytes * 8000) / capacityBps;
    linkFree = arrival;
    maxBehind = Math.max(maxBehind, arrival - sentAt);
    auto.noteMessage(arrival, bytes, (k + 1) * 960);
    if (arrival - sentAt > skipWhenBehindMs) {
      auto.noteSkip(arrival);
      linkFree = sentAt; // the relay dropped what was queued
    }
    const next = auto.decide(arrival);
    if (next) requests.push({ at: arrival + rttMs / 2, tier: next });
    history.push({ t: arrival, tier: auto.tier });
  }
  const changes = history.filter((h, i) => i > 0 && h.tier !== history[i - 1].tier);
  return { history, changes, maxBehind, auto };
}

describe('Auto', () => {
  test('on a link with room to spare: Standard, then High within 10 s, then no more changes', () => {
    for (const capacityBps of [1e6, 2e6, 100e6]) {
      const { changes } = simulateLink({ seconds: 90, capacityBps });
      assert.deepEqual(changes.map((c) => c.tier), ['high'], `${capacityBps}`);
      assert.ok(changes[0].t < 10000, `${capacityBps}: up after ${changes[0].t} ms`);
    }
  });

  test('a link that carries Standard but not High: steps back at once and probes High ever more rarely', () => {
    const { changes, history } = simulateLink({ seconds: 600, capacityBps: 200000 });
    const probes = changes.filter((c) => c.tier === 'high').map((c) => c.t);
    assert.ok(probes.length >= 2 && probes.length <= 5, `${probes.length} probes`);
    for (let i = 2; i < probes.length; i++) assert.ok(probes[i] - probes[i - 1] >= probes[i - 1] - probes[i - 2]);
    assert.equal(history[history.length - 1].tier, 'standard');
    for (const c of changes.filter((x) => x.tier === 'standard')) {
      const up = probes.filter((p) => p < c.t).pop();
      assert.ok(c.t - up < 2000, `stayed on High ${c.t - up} ms`);
    }
  });

  test('a link too slow for anything but Low ends on Low; the relay skipping steps down too', () => {
    assert.equal(simulateLink({ seconds: 60, capacityBps: 90000 }).auto.tier, 'low');
    const skipped = simulateLink({ seconds: 60, capacityBps: 110000, skipWhenBehindMs: 300 });
    assert.equal(skipped.auto.tier, 'low');
  });

  test('underruns: not right after a switch, not alone while audio arrives on time; else one step per cool-down', () => {
    const tiers = [{ name: 'low', bitrate: 1 }, { name: 'standard', bitrate: 2 }, { name: 'high', bitrate: 3 }];
    const auto = new AutoQuality({ tiers, start: 'high', nowMs: 0 });
    for (let t = 0; t <= 20000; t += 20) auto.noteMessage(t, 100, ((t + 20) / 1000) * 48000);
    auto.noteUnderrun(500);
    assert.equal(auto.decide(600), null, 'while settling');
    auto.noteUnderrun(15000);
    assert.equal(auto.decide(15100), null, 'a lone underrun, audio on time');
    auto.noteUnderrun(18000);
    assert.equal(auto.decide(18100), 'standard', 'the second within 10 s');
    auto.noteSkip(18200);
    assert.equal(auto.decide(18300), null, 'still draining what the old tier queued');
    auto.noteSkip(21500);
    assert.equal(auto.decide(21600), 'low');
    assert.equal(auto.decide(22000), null);

    const lagging = new AutoQuality({ tiers, start: 'high', nowMs: 0 });
    for (let t = 0; t <= 5000; t += 20) lagging.noteMessage(t, 100, ((t + 20) / 1000) * 48000);
    lagging.noteMessage(5100, 100, (5040 / 1000) * 48000); // 60 ms late
    lagging.noteUnderrun(5100);
    assert.equal(lagging.decide(5100), 'standard', 'an underrun while arrival lags');
  });

  test('the relay stepping the listener down counts against the tier it left', () => {
    const tiers = [{ name: 'low', bitrate: 1 }, { name: 'standard', bitrate: 2 }];
    const auto = new AutoQuality({ tiers, start: 'standard', nowMs: 0 });
    auto.noteTier(1000, 'low', 'step-down');
    for (let t = 1000; t < 15000; t += 20) auto.noteMessage(t, 10, (t / 1000) * 48000);
    assert.equal(auto.decide(15000), null); // held off after a failure
    assert.equal(auto.tier, 'low');
  });
});

describe('jitter buffer: unsafe samples and decoded blocks', () => {
  test('NaN and infinities become 0, beyond full scale is clipped, and clean audio plays as it came', () => {
    const b = new JitterBuffer({ startTargetMs: 0, minTargetMs: 0 });
    const bad = new Float32Array(512);
    const values = [NaN, Infinity, -Infinity, 3.4e38, -3.4e38, 1.0000001, -1, 0.5];
    for (let i = 0; i < 512; i++) bad[i] = values[i % values.length];
    const clean = new Float32Array(512).fill(0.25);
    b.push(0, 0, bad);
    b.push(1, 256, clean);
    const l = b.left.subarray(0, 512); // the ring, as the output will read it
    const r = b.right.subarray(0, 512);
    assert.deepEqual([...l.slice(0, 4)], [0, 0, -1, -1]); // NaN, -Inf, -3.4e38, -1
    assert.deepEqual([...r.slice(0, 4)], [0, 1, 1, 0.5]); // Inf, 3.4e38, 1.0000001, 0.5
    assert.ok(l.slice(256).every((x) => x === 0.25) && r.slice(256).every((x) => x === 0.25));
    assert.deepEqual([b.stats.nonFinite, b.stats.clipped], [192, 192]);
  });

  test('blocks of 480 frames: a gap counts in blocks; a new sequence follows on, or splices, without a restart', () => {
    const b = new JitterBuffer();
    const block = new Float32Array(960).fill(0.1);
    b.push(0, 0, block);
    b.push(1, 480, block);
    assert.equal(b.push(4, 4 * 480, block), 'ok');
    assert.equal(b.stats.lost, 2);
    const before = b.writePos;
    b.newSequence();
    assert.equal(b.push(0, 5 * 480, new Float32Array(512).fill(0.1)), 'ok'); // lossless, continuing
    assert.equal(b.left[(before - 1) & b.mask], 0.10000000149011612, 'no fade where the stream continues');
    b.newSequence();
    assert.equal(b.push(0, 9 * 480, new Float32Array(512)), 'restart'); // positions jumped: spliced
    assert.equal(b.push(1, 9 * 480 + 256, new Float32Array(512)), 'ok');
    // Two blocks, two blocks' worth of silence for the lost ones, one block, three datagrams.
    assert.deepEqual([b.stats.discontinuities, b.stats.lost, b.level], [0, 2, 960 + 960 + 480 + 3 * 256]);
  });
});
