#!/usr/bin/env node
// The player's quality tiers in headless Chromium, against tier-server.mjs: twice, once with
// WebCodecs and once with AudioDecoder removed from the page by an init script, so the
// WebAssembly decoder plays. Each run listens in Auto and checks, from a capture of what
// the AudioWorklet rendered:
//   - Auto climbs from Standard to High within 10 s of Listen, and the tone plays clean
//     (frequency, level, no clicks) on High;
//   - missing frames, a sequence gap and undecodable packets are concealed and counted, and
//     the tone is back right after; Opus that decodes beyond full scale is clipped;
//   - forty quality changes in a second reach the relay as a handful of requests, and the
//     last one (Lossless) is what plays;
//   - 2 s of NaN, infinite and huge float32 samples never reach the output as anything
//     non-finite or beyond full scale, and the tone is back at once when they stop;
//   - (WebCodecs run) an unknown tier in the link means Auto, with a note; a codec the page
//     does not know is dropped, counted, and the page asks for Lossless again.
//
//   node tests/web/opus-decoding.mjs [--json FILE]
// ORLUNE_SCREENSHOT=FILE saves the page as it plays High (WebCodecs run).
// Needs playwright-core in tests/web/node_modules and web/opus-decoder.min.js (both put
// there by scripts/bootstrap). ORLUNE_CHROMIUM names the browser (default /usr/bin/chromium).
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseArgs } from 'node:util';
import { decodeFloat32, findGlitches, sineLevelDbfs, zeroCrossingFrequency } from './signal.mjs';
import { startTierServer } from './tier-server.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const webRoot = path.resolve(here, '..', '..', 'web');
const chromiumPath = process.env.ORLUNE_CHROMIUM || '/usr/bin/chromium';
const { values: opts } = parseArgs({ options: { json: { type: 'string' } } });
const DBFS = -12;
const AMPLITUDE = 10 ** (DBFS / 20);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'orlune-opus-'));

const checks = [];
function check(name, ok, detail) {
  checks.push({ name, ok: !!ok, detail });
  console.log(`${ok ? 'PASS' : 'FAIL'}  ${name}: ${detail}`);
}

async function launch(chromium) {
  return chromium.launchPersistentContext(fs.mkdtempSync(path.join(tmp, 'profile-')), {
    executablePath: chromiumPath,
    headless: true,
    args: ['--autoplay-policy=no-user-gesture-required', '--no-sandbox', '--disable-gpu', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
}

// Opus packets of the tone from the browser's own encoder: 10 ms frames, one list per tier.
async function encodeTone(page, seconds) {
  const lists = await page.evaluate(async ({ seconds, amplitude }) => {
    const out = {};
    // "loud": the tone at +10 dBFS, which decodes to samples far beyond full scale.
    const plan = [['low', 48000, amplitude, seconds], ['standard', 128000, amplitude, seconds],
      ['high', 256000, amplitude, seconds], ['loud', 256000, 3.16, 2]];
    for (const [name, bitrate, level, length] of plan) {
      const packets = [];
      const encoder = new AudioEncoder({
        output: (chunk) => {
          const b = new Uint8Array(chunk.byteLength);
          chunk.copyTo(b);
          let s = '';
          for (const x of b) s += String.fromCharCode(x);
          packets.push(btoa(s));
        },
        error: (e) => { throw e; },
      });
      encoder.configure({ codec: 'opus', sampleRate: 48000, numberOfChannels: 2, bitrate, opus: { frameDuration: 10000 } });
      const block = 4800;
      for (let at = 0; at < length * 48000; at += block) {
        const data = new Float32Array(2 * block);
        for (let i = 0; i < block; i++) {
          const v = level * Math.sin((2 * Math.PI * (((at + i) * 1000) % 48000)) / 48000);
          data[i] = v;
          data[block + i] = v;
        }
        const frame = new AudioData({ format: 'f32-planar', sampleRate: 48000, numberOfFrames: block, numberOfChannels: 2, timestamp: (at * 1e6) / 48000, data });
        encoder.encode(frame);
        frame.close();
      }
      await encoder.flush();
      encoder.close();
      out[name] = packets;
    }
    return out;
  }, { seconds, amplitude: AMPLITUDE });
  const packets = {};
  for (const [name, list] of Object.entries(lists)) packets[name] = list.map((b) => Buffer.from(b, 'base64'));
  return packets;
}

function analyse(x, label) {
  return {
    label,
    seconds: Math.round((x.length / 48000) * 100) / 100,
    freqHz: zeroCrossingFrequency(x, 48000),
    levelDbfs: sineLevelDbfs(x),
    glitches: findGlitches(x, 48000, 1000, AMPLITUDE).length,
  };
}

function checkTone(run, a, { glitchFree = true, minSeconds = 0.8 } = {}) {
  const ferr = Math.abs(a.freqHz - 1000) / 1000;
  check(`${run}: ${a.label}: tone at 1 kHz and ${DBFS} dBFS${glitchFree ? ', no clicks' : ''}`,
    a.seconds >= minSeconds && ferr < 0.002 && Math.abs(a.levelDbfs - DBFS) < 0.5 && (!glitchFree || a.glitches === 0),
    `${a.seconds} s, ${a.freqHz.toFixed(2)} Hz, ${a.levelDbfs.toFixed(2)} dBFS, ${a.glitches} clicks`);
}

async function runOnce(chromium, packets, { name, webCodecs }) {
  const server = await startTierServer({ webRoot, packets, amplitude: AMPLITUDE });
  const context = await launch(chromium);
  const errors = [];
  try {
    if (!webCodecs) await context.addInitScript(() => { delete window.AudioDecoder; });
    const page = context.pages()[0] || (await context.newPage());
    page.on('pageerror', (e) => errors.push(String(e)));
    page.on('console', (m) => {
      if (m.type() === 'error') errors.push(`console: ${m.text()}`);
    });
    const hash = webCodecs ? '#capture=40&quality=bogus' : '#capture=40';
    await page.goto(`http://127.0.0.1:${server.port}/orlune/tiers${hash}`);
    await page.waitForLoadState('load');
    await sleep(500);
    const stats = () => page.evaluate(() => window.orluneStats());
    const waitFor = (fn, arg, timeout) => page.waitForFunction(fn, arg, { timeout, polling: 50 }).then(() => true, () => false);
    // Wall clock to output frame: frame of the audio that arrived at `wall` (epoch ms).
    const marks = {};
    const mark = (key) => { marks[key] = Date.now(); };

    const listenAt = Date.now();
    await page.click('#listen');
    const playing = await waitFor(() => window.orluneStats().state === 'playing', null, 15000);
    check(`${name}: plays`, playing, JSON.stringify(playing ? '' : await stats()).slice(0, 300));
    if (!playing) return { name, errors };
    const first = await stats();
    check(`${name}: decodes with ${webCodecs ? 'WebCodecs' : 'WebAssembly'}`, first.decoder === (webCodecs ? 'webcodecs' : 'wasm'), `${first.decoder}`);
    check(`${name}: connects in Auto`, server.log.connectQuality === 'auto' && first.quality === 'auto', `link asked for ${server.log.connectQuality}, page in ${first.quality}`);
    if (webCodecs) check(`${name}: an unknown tier in the link falls back to Auto, with a note`, !!first.qualityNote, `${first.qualityNote}`);

    const high = await waitFor(() => window.orluneStats().tier === 'high', null, 12000);
    mark('high');
    const seen = high ? null : await stats();
    check(`${name}: Auto steps up to High within 10 s of Listen`, high && marks.high - listenAt <= 10000,
      high ? `${marks.high - listenAt} ms` : `not within 12 s: ${JSON.stringify({ tier: seen.tier, auto: seen.auto, underruns: seen.underrunFrames, requests: server.log.quality })}`);
    await sleep(2500);
    if (process.env.ORLUNE_SCREENSHOT && webCodecs) await page.screenshot({ path: process.env.ORLUNE_SCREENSHOT });

    mark('inject');
    server.inject.missing = 3;
    server.inject.gap = 2;
    await sleep(200);
    server.inject.garbage = 5;
    await sleep(2400);

    mark('loud');
    const clippedBefore = (await stats()).clipped;
    server.inject.loud = 50; // messages, 1 s
    await waitFor(() => window.orluneStats().clipped > 0, null, 3000);
    await sleep(1000);
    const afterLoud = await stats();
    check(`${name}: Opus decoded beyond full scale is clipped on its way to the output`, afterLoud.clipped > clippedBefore,
      `${afterLoud.clipped - clippedBefore} samples clipped`);
    await sleep(1000);
    mark('quiet');

    mark('switching');
    const cycle = ['low', 'standard', 'high', 'auto'];
    await page.evaluate(async (cycle) => {
      for (let i = 0; i < 39; i++) {
        window.orluneSetQuality(cycle[i % cycle.length]);
        await new Promise((r) => setTimeout(r, 25));
      }
      window.orluneSetQuality('lossless');
    }, cycle);
    const switchRequests = server.log.quality.filter((q) => q.at >= marks.switching).length;
    const lossless = await waitFor(() => window.orluneStats().tier === 'lossless', null, 3000);
    mark('lossless');
    await sleep(1500);
    const requestsDuring = server.log.quality.filter((q) => q.at >= marks.switching).length;
    check(`${name}: 40 quality changes in a second: few requests, the last one plays`, lossless && requestsDuring <= 8,
      `${requestsDuring} requests (${switchRequests} while switching), lossless ${lossless}`);

    mark('bad');
    server.inject.badUntil = Date.now() + 2000;
    await sleep(2000);
    mark('clean');
    await sleep(1800);

    if (webCodecs) {
      mark('unknown');
      server.inject.unknownCodec = 20;
      const back = await waitFor(() => { const s = window.orluneStats(); return s.undecodable > 0 && s.tier === 'lossless'; }, null, 3000);
      const s = await stats();
      check(`${name}: an unknown codec is dropped and counted, and the page asks for Lossless again`, back,
        `${s.undecodable} messages dropped, tier ${s.tier}, note ${s.formatError}`);
      await sleep(800);
    }

    const s = await stats();
    const captureWall = Date.now();
    const capture = await page.evaluate(() => window.orluneCapture(40));
    const left = decodeFloat32(capture.left);
    const right = decodeFloat32(capture.right);
    // Output frame of audio that reached the page at `wall`: the capture ends about now,
    // and audio is heard about the added latency after it arrives.
    const latency = (s.latency && s.latency.medianMs) || 80;
    const frameOf = (wall) => Math.round(left.length - ((captureWall - wall - latency) * 48000) / 1000);
    const slice = (from, to) => left.subarray(Math.max(0, frameOf(from)), Math.max(0, frameOf(to)));

    let nonFinite = 0;
    let peak = 0;
    for (const ch of [left, right]) {
      for (const v of ch) {
        if (!Number.isFinite(v)) nonFinite++;
        else if (Math.abs(v) > peak) peak = Math.abs(v);
      }
    }
    check(`${name}: nothing non-finite or beyond full scale reached the output`, nonFinite === 0 && peak <= 1,
      `${nonFinite} non-finite, peak ${peak}; made safe on the way: ${s.nonFinite} non-finite, ${s.clipped} clipped`);
    check(`${name}: the bad samples were caught`, s.nonFinite > 0 && s.clipped > 0, `${s.nonFinite} non-finite, ${s.clipped} clipped`);

    checkTone(name, analyse(slice(marks.high + 500, marks.inject - 200), 'on High'));
    const concealedDetail = `${s.opusMissing} frames missing, ${s.opusConcealed} concealed by the decoder, ` +
      `${s.lost} lost in the buffer, ${s.decodeErrors} undecodable`;
    const concealed = webCodecs ? s.lost >= 1 : s.opusConcealed >= 10;
    check(`${name}: missing, skipped-over and undecodable frames are counted and concealed`,
      s.opusMissing >= 5 && s.decodeErrors >= 5 && concealed, concealedDetail);
    checkTone(name, analyse(slice(marks.inject + 1200, marks.loud - 100), 'after the damaged frames'));
    checkTone(name, analyse(slice(marks.quiet - 700, marks.switching - 200), 'right after the loud frames'), { minSeconds: 0.5 });
    checkTone(name, analyse(slice(marks.lossless + 400, marks.bad - 200), 'on Lossless'));
    checkTone(name, analyse(slice(marks.clean + 250, marks.clean + 1600), 'right after the bad samples'), { minSeconds: 1 });
    check(`${name}: no page errors`, errors.length === 0, errors.join(' | ') || 'none');
    return { name, stats: s, marks, requests: server.log.quality.length, sent: server.log.sent };
  } finally {
    await context.close().catch(() => {});
    await server.close();
  }
}

const watchdog = setTimeout(() => {
  console.error('[opus-decoding] timed out');
  process.exit(2);
}, 150000);

let exitCode = 1;
try {
  let chromium;
  try {
    ({ chromium } = await import('playwright-core'));
  } catch {
    throw new Error('playwright-core is missing: run (cd tests/web && npm install --no-package-lock --no-audit --no-fund)');
  }
  if (!fs.existsSync(path.join(webRoot, 'opus-decoder.min.js'))) throw new Error('web/opus-decoder.min.js is missing: run scripts/bootstrap');
  const encoderContext = await launch(chromium);
  const server = await startTierServer({ webRoot, packets: {}, amplitude: AMPLITUDE });
  const page = encoderContext.pages()[0] || (await encoderContext.newPage());
  await page.goto(`http://127.0.0.1:${server.port}/orlune/encoder`);
  const packets = await encodeTone(page, 20);
  await encoderContext.close();
  await server.close();
  console.log(`[opus-decoding] ${packets.standard.length} packets per tier from the browser's encoder`);
  const runs = [];
  runs.push(await runOnce(chromium, packets, { name: 'WebCodecs', webCodecs: true }));
  runs.push(await runOnce(chromium, packets, { name: 'WebAssembly', webCodecs: false }));
  if (opts.json) fs.writeFileSync(opts.json, JSON.stringify({ runs, checks }, null, 2));
  const failed = checks.filter((c) => !c.ok).length;
  console.log(`web_player_opus: ${checks.length - failed} passed, ${failed} failed`);
  exitCode = failed || checks.length === 0 ? 1 : 0;
} catch (err) {
  console.error(`[opus-decoding] error: ${err && err.stack ? err.stack : err}`);
}
clearTimeout(watchdog);
fs.rmSync(tmp, { recursive: true, force: true });
process.exit(exitCode);
