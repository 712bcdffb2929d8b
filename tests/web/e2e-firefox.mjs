#!/usr/bin/env node
// The player in Firefox ESR (or, with --browser chromium, the same checks in Chromium),
// inside a private network namespace with a private sound server (a PulseAudio null sink:
// without a sound server Firefox never resumes an AudioContext).
//
//   ORLUNE_RELAY_BIN=build-relay/relay/orlune-relay node tests/web/e2e-firefox.mjs \
//       [--browser firefox|chromium] [--seconds 10] [--starts 20] [--page-query quality=auto] [--json FILE]
//
// 1. Plays a 1 kHz, -12 dBFS tone for --seconds: no underrun and no lost datagram after the
//    first second (or Auto's last change of tier), the tone's frequency within 0.2 % and level within 0.2 dB, no clicks;
//    the page's latency read-out agrees within 25 ms with arrival-to-sound as the worklet
//    and the context report it (jitter-buffer level plus the output latency), which is
//    the part Firefox's getOutputTimestamp() leaves out.
// 2. --starts fresh pages in a row, each pressing Listen once: every one must reach
//    "playing" within 15 s and keep answering; a tab that stops answering counts as frozen
//    (the browser is then started afresh, since later pages in it hang too).
// Needs root (unshare -n); without it the script exits 77 (skipped).
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { parseArgs } from 'node:util';
import * as H from './harness.mjs';

const TAG = 'e2e-firefox';
const { values: opts } = parseArgs({
  options: {
    browser: { type: 'string', default: 'firefox' },
    seconds: { type: 'string', default: '10' },
    starts: { type: 'string', default: '20' },
    'page-query': { type: 'string', default: '' },
    json: { type: 'string' },
    // Firefox's read-out leaves out the output latency (the player may not read it there
    // without hanging the tab); this reports the comparison without judging it.
    'readout-report-only': { type: 'boolean', default: false },
  },
});
await H.enterPrivateNetwork(TAG);

// The read-out is compared with buffer level + output latency, a reference that moves by a
// render quantum and the buffer's own swing (6 to 17 ms apart in Chromium on this loaded
// machine): 25 ms still catches a read-out that leaves the output latency (40-50 ms) out.
const LIMITS = { freqRelative: 0.002, levelDb: 0.2, readoutMs: 25, startMs: 15000 };
const FREQ = 1000;
const DBFS = -12;
const seconds = Number(opts.seconds);
const starts = Number(opts.starts);
const query = opts['page-query'] ? `?${opts['page-query']}` : '';
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'orlune-firefox-'));
const procs = new H.Procs(tmp);
const checks = [];
const check = (name, ok, detail) => checks.push({ name, ok: !!ok, detail });

const watchdog = setTimeout(async () => {
  console.error(`[${TAG}] timed out`);
  await procs.stopAll();
  process.exit(2);
}, (seconds + 60 + starts * 25) * 1000);

let exitCode = 1;
try {
  const sound = await H.startSoundServer(procs);
  await H.startRelay(procs);
  const sender = H.startSender(procs, { room: 'tone', seconds: seconds + 60 + starts * 25, freq: FREQ, dbfs: DBFS });
  let browser = await H.launchBrowser(opts.browser, { dir: tmp, soundEnv: sound.env, procs });
  procs.onStop(() => browser && browser.close());
  H.log(TAG, `${browser.version}; load ${H.loadAverage()}`);
  const url = `http://127.0.0.1:${H.PORTS.http}/orlune/tone${query}#capture=${seconds + 2}`;

  // ---- 1. one long listen ---------------------------------------------------------------
  const first = await H.openAndListen(browser, url, { startMs: LIMITS.startMs });
  check('page reaches "playing"', first.playing, `after ${first.startMs} ms`);
  let result = null;
  if (first.playing) {
    const m = await H.listenAndMeasure(first.page, {
      seconds, freq: FREQ, dbfs: DBFS, sendLog: sender.sendLog,
      fromFrame: (stats, timeline) => H.lastTierChange(stats, timeline).frame,
    });
    const s = m.stats;
    check('no underrun after the first second (and the last tier change)', m.underrunsJudged === 0, `${m.underrunsJudged} (total ${s.underruns})`);
    check('no lost datagram', s.lost === 0, `${s.lost}`);
    m.channels.forEach((c, i) => {
      const ch = i ? 'R' : 'L';
      const ferr = (c.freqHz - FREQ) / FREQ;
      check(`${ch}: ${FREQ} Hz within 0.2 %`, Math.abs(ferr) <= LIMITS.freqRelative, `${c.freqHz.toFixed(3)} Hz`);
      check(`${ch}: ${DBFS} dBFS within ${LIMITS.levelDb} dB`, Math.abs(c.levelDbfs - DBFS) <= LIMITS.levelDb, `${c.levelDbfs.toFixed(3)} dBFS`);
      check(`${ch}: no clicks or dropouts`, c.glitches + c.envelopeFaults === 0, `${c.glitches} clicks, ${c.envelopeFaults} envelope faults`);
    });
    if (s.codec) check(`stream decoded (${s.codec})`, s.playedFrames > 0, `${s.codec}, tier ${s.tier}`);
    // Arrival to sound as the audio side reports it: a datagram waits in the jitter buffer
    // for about the buffered level, then takes the output latency to reach the sound server.
    const late = m.timeline.filter((x) => x.t >= 3 && x.state === 'playing');
    const level = H.summarize(late.map((x) => x.bufferedMs)).median;
    const outMs = Number(s.outputLatencyMs) || 0;
    const expected = level + outMs;
    const shown = H.summarize(late.map((x) => parseFloat(x.latencyText)).filter((x) => Number.isFinite(x))).median;
    const readout = `read-out ${shown} ms; buffered ${level} + output ${outMs.toFixed(1)} = ${expected.toFixed(1)} ms`;
    if (opts['readout-report-only']) {
      H.log(TAG, `latency read-out NOT JUDGED: ${readout}`);
    } else {
      check(`latency read-out agrees with buffer + output latency within ${LIMITS.readoutMs} ms`,
        Number.isFinite(shown) && Math.abs(shown - expected) <= LIMITS.readoutMs, readout);
    }
    check('no page errors', first.page.errors.length === 0, first.page.errors.join(' | ') || 'none');
    result = { ...m, timeline: undefined, readout: { shownMs: shown, bufferedMs: level, outputLatencyMs: s.outputLatencyMs } };
    result.stats = { underruns: s.underruns, lost: s.lost, tier: s.tier ?? null, codec: s.codec ?? null,
      outputLatencyMs: s.outputLatencyMs, outputTimestamp: s.outputTimestamp, underrunFrames: s.underrunFrames };
    // What a failed run is diagnosed from: when the tier changed and how full the buffer was.
    result.timeline = m.timeline.map((x) => `${x.t.toFixed(1)}s ${x.frame} ${x.state} ${x.tier} ${x.underruns} ${x.bufferedMs}`);
  }
  await first.page.close();

  // ---- 2. many starts -------------------------------------------------------------------
  const startLog = [];
  for (let i = 0; i < starts; i++) {
    let outcome;
    try {
      const r = await H.openAndListen(browser, url.replace(/#.*/, ''), { startMs: LIMITS.startMs });
      // Keep asking for a moment past the start: a tab that froze during start-up stops
      // answering here at the latest.
      if (r.playing) await H.sleep(3000);
      const after = await r.page.evaluate(() => window.orluneStats().state, undefined, 5000);
      outcome = r.playing ? (after === 'playing' ? `playing after ${r.startMs} ms` : `stopped (${after})`) : 'never played';
      await r.page.close();
    } catch (err) {
      if (!(err instanceof H.TimeoutError)) throw err;
      outcome = `FROZEN (${err.message})`;
      await browser.close();
      browser = await H.launchBrowser(opts.browser, { dir: tmp, soundEnv: sound.env, procs });
    }
    startLog.push(outcome);
    H.log(TAG, `start ${i + 1}/${starts}: ${outcome}`);
  }
  const good = startLog.filter((x) => x.startsWith('playing')).length;
  if (starts > 0) check(`${starts} starts in a row, each playing, none frozen`, good === starts,
    `${good} played, ${startLog.filter((x) => x.startsWith('FROZEN')).length} froze`);

  const out = { browser: browser.version, load: H.loadAverage(), listen: result, starts: startLog, checks };
  if (opts.json) fs.writeFileSync(opts.json, JSON.stringify(out, null, 2));
  if (result) console.log(JSON.stringify({ ...result, stats: result.stats }, null, 2));
  for (const c of checks) console.log(`${c.ok ? 'PASS' : 'FAIL'}  ${c.name}: ${c.detail}`);
  const failed = checks.filter((c) => !c.ok).length;
  console.log(`${TAG}: ${checks.length - failed} passed, ${failed} failed`);
  exitCode = failed ? 1 : 0;
} catch (err) {
  console.error(`[${TAG}] error: ${err && err.stack ? err.stack : err}`);
  for (const name of ['relay', 'sender', 'pulseaudio']) {
    const t = procs.tail(name);
    if (t) console.log(`--- ${name} ---\n${t}`);
  }
} finally {
  await procs.stopAll();
  clearTimeout(watchdog);
  fs.rmSync(tmp, { recursive: true, force: true });
}
process.exit(exitCode);
