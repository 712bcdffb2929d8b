#!/usr/bin/env node
// What a listener hears, engine by engine and quality by quality, through the real relay:
// one page session per (engine, quality) listens to a scripted sender (scenario.mjs:
// clean, 2 % loss, 40-80 ms bursts, sender clock +-0.1 %, a change of tier) and every
// segment is judged on the page's recorded output and the sound server's (judge.mjs).
//
//   ORLUNE_RELAY_BIN=build/release/relay/orlune-relay node tests/web/matrix.mjs \
//       [--engines chromium,firefox,webkit] [--qualities lossless,low,standard,high,auto]
//       [--script full|short] [--mbit 0] [--starts 0] [--json FILE]
//
// --starts N then opens N fresh pages per engine on Auto, each pressing Listen once: each
// must play within 15 s and its web content process live on (WebKit: no crash).
// Across sessions: Lossless <= 100 ms median datagram -> sound (Chromium, clean link) and
// each Opus tier at most its packing + 2.5 ms above that Lossless figure.
// Runs in a private network namespace (root; exit 77 without), with a private PulseAudio.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { parseArgs } from 'node:util';
import * as H from './harness.mjs';
import { judgeSession, parseScriptLog } from './judge.mjs';
import * as S from './scenario.mjs';
import { startMonitor } from './sound-monitor.mjs';

const TAG = 'matrix';
const { values: opts } = parseArgs({
  options: {
    engines: { type: 'string', default: 'chromium,firefox,webkit' },
    qualities: { type: 'string', default: 'lossless,low,standard,high,auto' },
    script: { type: 'string', default: 'full' },
    mbit: { type: 'string', default: '0' },
    starts: { type: 'string', default: '0' },
    json: { type: 'string' },
  },
});
await H.enterPrivateNetwork(TAG);

// Packing of each Opus tier (relay/README.md) plus the codec's 2.5 ms, over Lossless.
const ADDED_OVER_LOSSLESS_MS = { low: 40 + 2.5, standard: 20 + 2.5, high: 20 + 2.5 };
const LOSSLESS_MAX_MS = 100;
const engines = opts.engines.split(',').filter(Boolean);
const qualities = opts.qualities.split(',').filter(Boolean);
const script = S.SCRIPTS[opts.script];
const mbit = Number(opts.mbit);
const starts = Number(opts.starts);
const sessionSeconds = S.scriptSeconds(script);
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'orlune-matrix-'));
const procs = new H.Procs(tmp);
const budget = engines.length * (qualities.length * (sessionSeconds + 40) + starts * 25 + 60);
const watchdog = setTimeout(async () => {
  console.error(`[${TAG}] timed out after ${budget} s`);
  await procs.stopAll();
  process.exit(2);
}, budget * 1000);

// One session: sender, page, timeline, then the capture and the judgment.
async function session(browser, sound, engine, quality) {
  const room = `m${engine.slice(0, 2)}${quality.slice(0, 3)}${Math.floor(Math.random() * 1e6)}`;
  const sender = H.startSender(procs, { room, seconds: sessionSeconds, name: `sender-${room}`, extra: ['--script', opts.script] });
  const monitor = startMonitor(procs, sound, `monitor-${room}`);
  const url = `http://127.0.0.1:${H.PORTS.http}/orlune/${room}#quality=${quality}&capture=60`;
  let page = null;
  try {
    const r = await H.openAndListen(browser, url, { startMs: 15000 });
    page = r.page;
    if (!r.playing) return { error: 'never played' };
    const timeline = [];
    // The scenarios begin a second after the page plays (the sender's lead-in ends).
    await H.sleep(1000);
    if (script[0].untilSignal) sender.kill('SIGUSR2');
    const go = Date.now();
    const rest = script.filter((seg) => !seg.untilSignal);
    const tierAt = rest.reduce((acc, seg, i) => (seg.tier ? S.scriptSeconds(rest.slice(0, i)) : acc), -1);
    const up = quality === 'lossless' ? 'high' : 'lossless';
    const plan = tierAt < 0 ? [] : [[tierAt + 1.5, up], [tierAt + 4, quality]];
    while (Date.now() - go < S.scriptSeconds(rest) * 1000 + 500) {
      const el = (Date.now() - go) / 1000;
      while (plan.length && el >= plan[0][0]) await page.evaluate((q) => window.orluneSetQuality(q), plan.shift()[1]);
      const s = await page.evaluate(() => {
        const x = window.orluneStats();
        return { state: x.state, tier: x.tier ?? null, underruns: x.underruns, bufferedMs: x.bufferedMs,
          latencyText: document.getElementById('latency').textContent };
      });
      timeline.push({ ms: Date.now(), ...s });
      await H.sleep(400);
    }
    const before = Date.now();
    const capture = await page.evaluate((s) => window.orluneCapture(s), 60, 30000);
    const readMs = (before + Date.now()) / 2;
    const stats = await page.evaluate(() => window.orluneStats());
    const records = (await page.evaluate(() => window.orluneLatencies(), undefined, 30000)).map((r) => ({ frame: r.frame, arrivalMs: r.arrivalMs }));
    const crash = page.crash ? page.crash() : null;
    if (crash) return { error: `web content process crashed: ${crash}` };
    await sender.exited;
    const log = parseScriptLog(sender.sendLog);
    const heard = monitor.take();
    // ORLUNE_MATRIX_RAW=DIR keeps what a session is judged on, for judge.mjs to be rerun on.
    if (process.env.ORLUNE_MATRIX_RAW) {
      const dir = path.join(process.env.ORLUNE_MATRIX_RAW, `${engine}-${quality}-${mbit}`);
      fs.mkdirSync(dir, { recursive: true });
      fs.copyFileSync(sender.sendLog, path.join(dir, 'sent.txt'));
      fs.writeFileSync(path.join(dir, 'session.json'), JSON.stringify({ script: opts.script, capture, readMs, records, stats, timeline, engine, quality,
        monitor: { originMs: heard.originMs, rate: heard.rate } }));
      fs.writeFileSync(path.join(dir, 'monitor.f32'), Buffer.from(heard.samples.buffer));
    }
    const verdict = judgeSession({ script, log, capture, readMs, records, stats, timeline, monitor: heard, engine, quality });
    return { ...verdict, tiers: [...new Set(timeline.map((t) => t.tier))], decoder: stats.decoder ?? null,
      sampleRate: capture.sampleRate, underruns: stats.underruns, lost: stats.lost, pageErrors: page.errors.slice(0, 3) };
  } catch (err) {
    return { error: `${err.constructor.name}: ${err.message}` };
  } finally {
    if (page) await page.close();
    await monitor.stop();
    await procs.stop(sender);
  }
}

// N fresh pages on Auto, each pressing Listen once.
async function manyStarts(browser, engine) {
  const log = [];
  for (let i = 0; i < starts; i++) {
    const room = `s${i}`;
    const sender = H.startSender(procs, { room, seconds: 30, name: `starts-${engine}-${i}` });
    let outcome;
    let page = null;
    try {
      const r = await H.openAndListen(browser, `http://127.0.0.1:${H.PORTS.http}/orlune/${room}`, { startMs: 15000 });
      page = r.page;
      if (r.playing) await H.sleep(2000);
      const after = await page.evaluate(() => window.orluneStats().state, undefined, 5000);
      const crash = page.crash ? page.crash() : null;
      outcome = crash ? `CRASH (${crash})` : r.playing && after === 'playing' ? `playing after ${r.startMs} ms` : `not playing (${after})`;
    } catch (err) {
      outcome = err.constructor.name === 'WebProcessCrash' ? `CRASH (${err.message})` : `FAILED (${err.message})`;
    } finally {
      if (page) await page.close();
      await procs.stop(sender);
    }
    log.push(outcome);
    H.log(TAG, `${engine} start ${i + 1}/${starts}: ${outcome}`);
  }
  return log;
}

let exitCode = 1;
const results = [];
try {
  if (mbit > 0) H.shapeRelayTraffic(H.PORTS.http, mbit);
  const sound = await H.startSoundServer(procs);
  await H.startRelay(procs);
  for (const engine of engines) {
    const browser = await H.launchBrowser(engine, { dir: tmp, soundEnv: sound.env, procs });
    H.log(TAG, `${engine}: ${browser.version}; load ${H.loadAverage()}`);
    for (const quality of qualities) {
      const t = Date.now();
      const r = await session(browser, sound, engine, quality);
      results.push({ engine, version: browser.version, quality, link: mbit > 0 ? `${mbit} Mbit/s` : 'unshaped', seconds: Math.round((Date.now() - t) / 1000), load: H.loadAverage(), ...r });
      H.log(TAG, `${engine} ${quality}: ${r.error ? `ERROR ${r.error}` : `${r.segments.flatMap((s) => s.checks).filter((c) => c.judged && !c.ok).length} failed`} (${Math.round((Date.now() - t) / 1000)} s)`);
    }
    if (starts > 0) results.push({ engine, starts: await manyStarts(browser, engine) });
    await browser.close();
  }
  const verdicts = summarize(results);
  if (opts.json) fs.writeFileSync(opts.json, JSON.stringify({ load: H.loadAverage(), results, verdicts }, null, 2));
  const failed = verdicts.filter((v) => v.judged && !v.ok).length;
  console.log(`${TAG}: ${verdicts.filter((v) => v.judged).length - failed} passed, ${failed} failed; load ${H.loadAverage()}`);
  exitCode = failed ? 1 : 0;
} catch (err) {
  console.error(`[${TAG}] error: ${err && err.stack ? err.stack : err}`);
  for (const name of ['relay', 'pulseaudio', 'webkit']) {
    const t = procs.tail(name);
    if (t) console.log(`--- ${name} ---\n${t}`);
  }
} finally {
  await procs.stopAll();
  clearTimeout(watchdog);
  fs.rmSync(tmp, { recursive: true, force: true });
}
process.exit(exitCode);

// Prints one line per check and the table; returns every verdict.
function summarize(all) {
  const verdicts = [];
  const say = (v) => {
    verdicts.push(v);
    console.log(`${v.ok ? 'PASS' : v.judged ? 'FAIL' : 'INFO'}  ${v.name}: ${v.detail}`);
  };
  for (const r of all) {
    if (r.starts) {
      const good = r.starts.filter((x) => x.startsWith('playing')).length;
      say({ name: `${r.engine}: ${r.starts.length} starts in a row, each playing, no crash`, ok: good === r.starts.length, judged: true,
        detail: `${good} played, ${r.starts.filter((x) => x.startsWith('CRASH')).length} crashed` });
      continue;
    }
    const id = `${r.engine} ${r.quality} ${r.link}`;
    if (r.error) {
      say({ name: `${id}: session`, ok: false, judged: true, detail: r.error });
      continue;
    }
    for (const seg of r.segments) for (const c of seg.checks) say({ ...c, name: `${id} ${seg.name}: ${c.name}` });
  }
  const sessions = all.filter((r) => r.segments);
  const lossless = sessions.find((r) => r.engine === 'chromium' && r.quality === 'lossless' && r.link === 'unshaped');
  if (lossless) {
    say({ name: `chromium: Lossless datagram -> sound median <= ${LOSSLESS_MAX_MS} ms (clean)`, ok: lossless.cleanDelayMs <= LOSSLESS_MAX_MS,
      judged: true, detail: `${lossless.cleanDelayMs} ms` });
    for (const r of sessions.filter((x) => x.engine === 'chromium' && x.link === 'unshaped' && ADDED_OVER_LOSSLESS_MS[x.quality])) {
      const limit = lossless.cleanDelayMs + ADDED_OVER_LOSSLESS_MS[r.quality];
      say({ name: `chromium: ${r.quality} at most packing + 2.5 ms above Lossless`, ok: r.cleanDelayMs <= limit, judged: true,
        detail: `${r.cleanDelayMs} ms, limit ${limit.toFixed(1)} ms` });
    }
  }
  console.log('\nengine | quality | link | decoder | tiers | s | segment: failed checks (delay ms)');
  for (const r of sessions) {
    const segs = r.segments.map((s) => `${s.name}: ${s.checks.filter((c) => c.judged && !c.ok).map((c) => `${c.name} [${c.detail}]`).join('; ') || 'ok'} (${s.delayMs ?? '-'})`);
    console.log(`${r.engine} | ${r.quality} | ${r.link} | ${r.decoder} | ${r.tiers.join('>')} | ${r.seconds} | ${segs.join(' || ')}`);
  }
  return verdicts;
}
