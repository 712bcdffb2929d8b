#!/usr/bin/env node
// The player on a shaped link: relay, tone sender and Chromium inside a private network
// namespace whose loopback carries the relay's TCP traffic through an htb class of
// --mbit Mbit/s (0: unshaped).
//
//   ORLUNE_RELAY_BIN=build-relay/relay/orlune-relay node tests/web/e2e-link.mjs \
//       --mbit 2 [--seconds 20] [--settle 10] [--page-query quality=auto] [--browser chromium] [--json FILE]
//
// Reports the tier the page settles on and when (the last change of orluneStats().tier;
// a page without tiers plays the lossless float32 stream throughout), underruns after
// that, added latency (median, p95, page arrival -> output and from sending), the tone's
// frequency and level. It passes when the page settled within --settle seconds and then
// played with no underrun, the tone within 0.2 % and 0.2 dB. Needs root (exit 77 without).
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { parseArgs } from 'node:util';
import * as H from './harness.mjs';

const TAG = 'e2e-link';
const { values: opts } = parseArgs({
  options: {
    mbit: { type: 'string', default: '0' },
    seconds: { type: 'string', default: '20' },
    settle: { type: 'string', default: '10' },
    'page-query': { type: 'string', default: 'quality=auto' },
    browser: { type: 'string', default: 'chromium' },
    json: { type: 'string' },
  },
});
await H.enterPrivateNetwork(TAG);

const FREQ = 1000;
const DBFS = -12;
const mbit = Number(opts.mbit);
const seconds = Number(opts.seconds);
const settleS = Number(opts.settle);
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'orlune-link-'));
const procs = new H.Procs(tmp);
const watchdog = setTimeout(async () => {
  console.error(`[${TAG}] timed out`);
  await procs.stopAll();
  process.exit(2);
}, (seconds + 90) * 1000);

let exitCode = 1;
try {
  if (mbit > 0) H.shapeRelayTraffic(H.PORTS.http, mbit);
  const sound = await H.startSoundServer(procs);
  await H.startRelay(procs);
  const sender = H.startSender(procs, { room: 'link', seconds: seconds + 60, freq: FREQ, dbfs: DBFS });
  const browser = await H.launchBrowser(opts.browser, { dir: tmp, soundEnv: sound.env, procs });
  procs.onStop(() => browser.close());
  const query = opts['page-query'] ? `?${opts['page-query']}` : '';
  const url = `http://127.0.0.1:${H.PORTS.http}/orlune/link${query}#capture=${seconds + 2}`;
  const r = await H.openAndListen(browser, url, { startMs: 20000 });
  if (!r.playing) throw new Error('the page did not start playing within 20 s');
  // Settled: from the last tier change on (a page without tiers: one second into playback).
  let settledAt = 0;
  const m = await H.listenAndMeasure(r.page, {
    seconds, freq: FREQ, dbfs: DBFS, sendLog: sender.sendLog,
    fromFrame: (stats, timeline) => {
      const change = H.lastTierChange(stats, timeline);
      settledAt = change.t;
      return change.frame;
    },
  });
  const s = m.stats;
  const tier = s.tier ?? 'lossless (page has no tiers)';
  const shaped = mbit > 0 ? H.shapedClassStats() : null;
  const result = {
    link: mbit > 0 ? `${mbit} Mbit/s` : 'unshaped',
    load: H.loadAverage(),
    tier,
    settledAfterS: settledAt,
    underrunsAfterSettling: m.underrunsJudged,
    underrunsTotal: s.underruns,
    lost: s.lost,
    relaySkipped: s.relaySkipped,
    latencyPageMs: m.latencyPageMs,
    latencyFromSendMs: m.latencyFromSendMs,
    freqHz: m.channels.map((c) => Math.round(c.freqHz * 1000) / 1000),
    levelDbfs: m.channels.map((c) => Math.round(c.levelDbfs * 1000) / 1000),
    judgedSeconds: m.channels[0].seconds,
    bufferedMsEnd: Math.round(s.bufferedMs),
    shapedClass: shaped,
    tiers: [...new Set(m.timeline.map((x) => x.tier))],
  };
  console.log(JSON.stringify(result, null, 2));
  if (opts.json) fs.writeFileSync(opts.json, JSON.stringify({ ...result, timeline: m.timeline }, null, 2));
  const checks = [
    ['settled within the limit', settledAt <= settleS, `${settledAt} s on ${tier}`],
    ['no underrun after settling', m.underrunsJudged === 0, `${m.underrunsJudged}`],
    ['at least 5 s judged', m.channels[0].seconds >= 5, `${m.channels[0].seconds} s`],
    ...m.channels.map((c, i) => [`${i ? 'R' : 'L'}: ${FREQ} Hz within 0.2 %, ${DBFS} dBFS within 0.2 dB`,
      Math.abs(c.freqHz - FREQ) / FREQ <= 0.002 && Math.abs(c.levelDbfs - DBFS) <= 0.2,
      `${c.freqHz.toFixed(3)} Hz, ${c.levelDbfs.toFixed(3)} dBFS`]),
  ];
  for (const [name, ok, detail] of checks) console.log(`${ok ? 'PASS' : 'FAIL'}  ${name}: ${detail}`);
  const failed = checks.filter((c) => !c[1]).length;
  console.log(`${TAG}: ${checks.length - failed} passed, ${failed} failed`);
  exitCode = failed ? 1 : 0;
  // The lossless float32 stream alone needs 3.1 Mbit/s: below that a page that is offered
  // nothing else (a player without tiers, or a relay that serves only float32) cannot pass,
  // which is not what this test is for. Auto never settles on Lossless by itself.
  const onlyLossless = s.tier === undefined || s.tier === 'lossless';
  if (failed && onlyLossless && mbit > 0 && mbit < 4) {
    console.log(`[${TAG}] SKIPPED: no Opus tier reached the page (float32 needs 3.1 Mbit/s, the link gives ${mbit})`);
    exitCode = H.SKIP;
  }
} catch (err) {
  console.error(`[${TAG}] error: ${err && err.stack ? err.stack : err}`);
  for (const name of ['relay', 'sender']) {
    const t = procs.tail(name);
    if (t) console.log(`--- ${name} ---\n${t}`);
  }
} finally {
  await procs.stopAll();
  clearTimeout(watchdog);
  fs.rmSync(tmp, { recursive: true, force: true });
}
process.exit(exitCode);
