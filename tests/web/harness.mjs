// Shared plumbing of the browser tests that run in a private network namespace: the
// namespace itself, a shaped link on its loopback, the relay, the tone sender, a private
// sound server, and the two browsers (Chromium through playwright-core, Firefox through
// puppeteer-core over WebDriver BiDi) behind one small page interface.
//
// Every process started here is registered with a Procs and stopped by Procs.stopAll(),
// which the scripts call on success, failure and time-out alike.
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const here = path.dirname(fileURLToPath(import.meta.url));
export const repo = path.resolve(here, '..', '..');

// Exit code CTest reads as "skipped" (SKIP_RETURN_CODE).
export const SKIP = 77;

export function sleep(ms) {
  return new Promise((r) => setTimeout(r, ms));
}

export function log(tag, ...args) {
  console.log(`[${tag}]`, ...args);
}

// Resolves to the promise's value, or rejects after `ms` with `what` in the message. A
// frozen browser tab never answers, so every call into a page goes through this.
export function within(ms, promise, what) {
  let timer;
  return Promise.race([
    promise,
    new Promise((_, reject) => {
      timer = setTimeout(() => reject(new TimeoutError(`${what}: no answer within ${ms} ms`)), ms);
    }),
  ]).finally(() => clearTimeout(timer));
}

export class TimeoutError extends Error {}

// ---- the private network namespace --------------------------------------------------

const NETNS_MARK = 'ORLUNE_PRIVATE_NETNS';

// Runs the calling script again inside `unshare -n` (a network namespace of its own that
// has only a loopback interface) unless it already is there, and brings that loopback up.
// Without root there is no namespace to be had: the script is skipped with exit code 77.
// Returns only inside the namespace.
export async function enterPrivateNetwork(tag) {
  if (process.env[NETNS_MARK] === String(process.ppid) || process.env[NETNS_MARK] === 'inside') {
    const up = spawnSync('ip', ['link', 'set', 'lo', 'up'], { encoding: 'utf8' });
    if (up.status !== 0) throw new Error(`ip link set lo up: ${up.stderr.trim()}`);
    return;
  }
  if (typeof process.getuid === 'function' && process.getuid() !== 0) {
    console.log(`[${tag}] SKIPPED: needs root for a private network namespace (unshare -n) and tc; run as root`);
    process.exit(SKIP);
  }
  const child = spawn('unshare', ['-n', '--', process.execPath, ...process.execArgv, ...process.argv.slice(1)], {
    stdio: 'inherit',
    env: { ...process.env, [NETNS_MARK]: 'inside' },
  });
  const forward = (sig) => child.kill(sig);
  process.on('SIGINT', forward);
  process.on('SIGTERM', forward);
  const code = await new Promise((resolve) => {
    child.once('error', (err) => {
      console.error(`[${tag}] cannot run unshare: ${err.message}`);
      resolve(1);
    });
    child.once('exit', (c, s) => resolve(c ?? (s ? 128 + (os.constants.signals[s] || 0) : 1)));
  });
  process.exit(code);
}

// Shapes what the relay sends to listeners: the TCP segments from `port` go through an htb
// class of `mbit` Mbit/s, everything else (the sender's datagrams, the browser's own
// traffic) through an unshaped default class. The loopback gets an Ethernet-sized MTU so
// that segments are the size a real link carries. Only inside the namespace.
export function shapeRelayTraffic(port, mbit) {
  const run = (...args) => {
    const r = spawnSync(args[0], args.slice(1), { encoding: 'utf8' });
    if (r.status !== 0) throw new Error(`${args.join(' ')}: ${(r.stderr || '').trim()}`);
  };
  run('ip', 'link', 'set', 'lo', 'mtu', '1500');
  run('tc', 'qdisc', 'replace', 'dev', 'lo', 'root', 'handle', '1:', 'htb', 'default', '10', 'r2q', '1000');
  run('tc', 'class', 'add', 'dev', 'lo', 'parent', '1:', 'classid', '1:10', 'htb', 'rate', '10gbit');
  const rate = `${Math.round(mbit * 1000)}kbit`;
  run('tc', 'class', 'add', 'dev', 'lo', 'parent', '1:', 'classid', '1:20', 'htb', 'rate', rate, 'ceil', rate,
    'burst', '3000', 'cburst', '3000');
  run('tc', 'filter', 'add', 'dev', 'lo', 'parent', '1:', 'protocol', 'ip', 'prio', '1', 'u32',
    'match', 'ip', 'protocol', '6', '0xff', 'match', 'ip', 'sport', String(port), '0xffff', 'flowid', '1:20');
}

// Bytes and packets the shaped class has passed, and what it dropped.
export function shapedClassStats() {
  const r = spawnSync('tc', ['-s', 'class', 'show', 'dev', 'lo', 'classid', '1:20'], { encoding: 'utf8' });
  const m = /Sent (\d+) bytes (\d+) pkt \(dropped (\d+)/.exec(r.stdout || '');
  return m ? { bytes: Number(m[1]), packets: Number(m[2]), dropped: Number(m[3]) } : null;
}

// ---- processes ------------------------------------------------------------------------

export class Procs {
  constructor(dir) {
    this.dir = dir;
    this.children = [];
    this.cleanups = [];
  }

  start(name, cmd, args, options = {}) {
    const out = fs.openSync(path.join(this.dir, `${name}.log`), 'w');
    const child = spawn(cmd, args, { stdio: ['ignore', options.stdout || out, out], env: options.env || process.env });
    fs.closeSync(out);
    child.name = name;
    child.exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
    child.once('error', (err) => console.log(`${name} failed to start: ${err.message}`));
    this.children.push(child);
    return child;
  }

  // Something else to undo at the end (a browser), run before the processes are stopped.
  onStop(fn) {
    this.cleanups.push(fn);
  }

  async stop(child, ms = 3000) {
    if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
    const done = await Promise.race([child.exited.then(() => true), sleep(ms).then(() => false)]);
    if (!done) {
      child.kill('SIGKILL');
      await Promise.race([child.exited, sleep(1000)]);
    }
  }

  async stopAll() {
    const cleanups = this.cleanups.splice(0);
    for (const fn of cleanups.reverse()) await within(10000, Promise.resolve().then(fn), 'cleanup').catch(() => {});
    const children = this.children.splice(0);
    await Promise.all(children.map((c) => this.stop(c)));
  }

  tail(name, lines = 20) {
    const file = path.join(this.dir, `${name}.log`);
    if (!fs.existsSync(file)) return '';
    return fs.readFileSync(file, 'utf8').trim().split('\n').slice(-lines).join('\n');
  }
}

export async function waitForHealth(httpPort, relay, ms = 10000) {
  const deadline = Date.now() + ms;
  while (Date.now() < deadline) {
    if (relay.exitCode !== null) throw new Error(`relay exited with ${relay.exitCode}`);
    try {
      const res = await fetch(`http://127.0.0.1:${httpPort}/healthz`, { signal: AbortSignal.timeout(1000) });
      if (res.ok) return;
    } catch {
      // not listening yet
    }
    await sleep(100);
  }
  throw new Error(`relay did not answer /healthz within ${ms} ms`);
}

// The namespace is ours alone, so fixed ports are free.
export const PORTS = { udp: 54321, http: 8080 };

export async function startRelay(procs, name = 'relay') {
  const bin = process.env.ORLUNE_RELAY_BIN;
  if (!bin) throw new Error('set ORLUNE_RELAY_BIN to the relay binary');
  const relay = procs.start(name, bin, [
    '--udp-port', String(PORTS.udp), '--http-port', String(PORTS.http), '--web-root', process.env.ORLUNE_WEB_ROOT || path.join(repo, 'web'),
  ]);
  await waitForHealth(PORTS.http, relay);
  return relay;
}

// The tone (or pulse train) sender; its send log has one "<sequence> <epoch ms>" per datagram.
export function startSender(procs, { room, seconds, freq = 1000, dbfs = -12, name = 'sender', extra = [] }) {
  const sendLog = path.join(procs.dir, `${name}-sent.txt`);
  const child = procs.start(name, process.execPath, [
    path.join(here, 'send-tone.mjs'), '--room', room, '--port', String(PORTS.udp), '--seconds', String(seconds),
    `--freq=${freq}`, `--dbfs=${dbfs}`, '--log', sendLog, ...extra,
  ]);
  child.sendLog = sendLog;
  return child;
}

// Sent datagrams only: a scripted sender also logs the ones it dropped ("... lost").
export function readSendLog(file) {
  const sent = new Map();
  if (!fs.existsSync(file)) return sent;
  for (const line of fs.readFileSync(file, 'utf8').split('\n')) {
    const [seq, ms, , lost] = line.split(' ');
    if (ms && lost !== 'lost') sent.set(Number(seq), Number(ms));
  }
  return sent;
}

// ---- a private sound server -------------------------------------------------------------

// PulseAudio with one null sink, in its own runtime directory, so a browser has an audio
// device to play into (Firefox never resumes an AudioContext without one). Returns the
// environment a browser needs to reach it.
export async function startSoundServer(procs) {
  const base = fs.mkdtempSync(path.join(procs.dir, 'pulse-'));
  const runtime = path.join(base, 'run');
  const home = path.join(base, 'home');
  fs.mkdirSync(runtime, { mode: 0o700 });
  fs.mkdirSync(home);
  const socket = path.join(runtime, 'native');
  const env = { ...process.env, XDG_RUNTIME_DIR: runtime, HOME: home, PULSE_RUNTIME_PATH: runtime };
  const server = procs.start('pulseaudio', 'pulseaudio', [
    '--daemonize=no', '--exit-idle-time=-1', '--disallow-exit', '-n', '--use-pid-file=no', '--log-target=stderr',
    '--load=module-null-sink sink_name=orlune rate=48000 channels=2',
    `--load=module-native-protocol-unix auth-anonymous=1 socket=${socket}`,
    '--load=module-always-sink',
  ], { env });
  const clientEnv = { XDG_RUNTIME_DIR: runtime, PULSE_SERVER: `unix:${socket}`, PULSE_SINK: 'orlune' };
  const deadline = Date.now() + 10000;
  while (Date.now() < deadline) {
    if (server.exitCode !== null) throw new Error(`pulseaudio exited: ${procs.tail('pulseaudio')}`);
    const r = spawnSync('pactl', ['info'], { env: { ...env, ...clientEnv }, encoding: 'utf8', timeout: 3000 });
    if (r.status === 0) return { env: clientEnv, sink: 'orlune', monitor: 'orlune.monitor' };
    await sleep(100);
  }
  throw new Error('pulseaudio did not start within 10 s');
}

// ---- browsers ---------------------------------------------------------------------------

const FIREFOX_PREFS = {
  // play without a click having been made by a person
  'media.autoplay.default': 0,
  'media.autoplay.blocking_policy': 0,
  'media.autoplay.block-webaudio': false,
  // nothing in the background: no updates, telemetry, studies, safe-browsing lists or
  // connectivity probes (the namespace has no way out anyway)
  'app.update.auto': false,
  'app.update.enabled': false,
  'app.normandy.enabled': false,
  'browser.safebrowsing.malware.enabled': false,
  'browser.safebrowsing.phishing.enabled': false,
  'browser.safebrowsing.downloads.enabled': false,
  'browser.safebrowsing.blockedURIs.enabled': false,
  'browser.search.update': false,
  'browser.newtabpage.enabled': false,
  'browser.startup.homepage_override.mstone': 'ignore',
  'datareporting.healthreport.uploadEnabled': false,
  'datareporting.policy.dataSubmissionEnabled': false,
  'toolkit.telemetry.enabled': false,
  'toolkit.telemetry.unified': false,
  'extensions.update.enabled': false,
  'extensions.getAddons.cache.enabled': false,
  'network.captive-portal-service.enabled': false,
  'network.connectivity-service.enabled': false,
  'network.dns.disablePrefetch': true,
  'network.prefetch-next': false,
  'media.gmp-manager.updateEnabled': false,
  'media.gmp-gmpopenh264.enabled': false,
  'media.eme.enabled': false,
  'privacy.resistFingerprinting': false,
};

// Launches a browser with a fresh profile. Returns {name, newPage(), close()}; a page is
// {goto, click, evaluate, screenshot, close, errors[]}, the same for every engine. WebKit
// (webkit.mjs) needs `procs` for its X server and driver.
export async function launchBrowser(kind, { dir, soundEnv, procs }) {
  if (kind === 'webkit') {
    const { launchWebKit } = await import('./webkit.mjs');
    return launchWebKit({ procs, soundEnv });
  }
  const profile = fs.mkdtempSync(path.join(dir, `profile-${kind}-`));
  const env = { ...process.env, ...(soundEnv || {}) };
  if (kind === 'firefox') {
    let puppeteer;
    try {
      puppeteer = (await import('puppeteer-core')).default;
    } catch {
      throw new Error('puppeteer-core is missing: run (cd tests/web && npm install --no-package-lock --no-audit --no-fund)');
    }
    const executablePath = process.env.ORLUNE_FIREFOX || '/usr/bin/firefox-esr';
    if (!fs.existsSync(executablePath)) throw new Error(`no browser at ${executablePath} (Debian package firefox-esr)`);
    const browser = await puppeteer.launch({
      browser: 'firefox',
      protocol: 'webDriverBiDi',
      executablePath,
      headless: true,
      userDataDir: profile,
      extraPrefsFirefox: FIREFOX_PREFS,
      env: { ...env, MOZ_CRASHREPORTER_DISABLE: '1' },
      defaultViewport: { width: 520, height: 600 },
      timeout: 60000,
    });
    return {
      name: 'firefox',
      version: await browser.version(),
      process: browser.process(),
      async newPage() {
        const page = await browser.newPage();
        const errors = [];
        page.on('pageerror', (err) => errors.push(String(err)));
        page.on('console', (msg) => {
          if (msg.type() === 'error') errors.push(msg.text());
        });
        return wrapPage(page, errors);
      },
      async close() {
        const proc = browser.process();
        await within(10000, browser.close(), 'closing firefox').catch(() => {});
        if (proc && proc.exitCode === null) proc.kill('SIGKILL');
      },
    };
  }
  let chromium;
  try {
    ({ chromium } = await import('playwright-core'));
  } catch {
    throw new Error('playwright-core is missing: run (cd tests/web && npm install --no-package-lock --no-audit --no-fund)');
  }
  const executablePath = process.env.ORLUNE_CHROMIUM || '/usr/bin/chromium';
  if (!fs.existsSync(executablePath)) throw new Error(`no browser at ${executablePath} (Debian package chromium)`);
  const context = await chromium.launchPersistentContext(profile, {
    executablePath,
    headless: true,
    env,
    viewport: { width: 520, height: 600 },
    // playwright mutes the tab by default; the sound server's monitor is where the
    // listener's delay is measured, so it must hear the page
    ignoreDefaultArgs: ['--mute-audio'],
    args: [
      '--autoplay-policy=no-user-gesture-required', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
    ],
  });
  return {
    name: 'chromium',
    version: context.browser() ? context.browser().version() : '',
    async newPage() {
      const page = await context.newPage();
      const errors = [];
      page.on('pageerror', (err) => errors.push(String(err)));
      page.on('console', (msg) => {
        if (msg.type() === 'error') errors.push(msg.text());
      });
      return wrapPage(page, errors);
    },
    async close() {
      await within(10000, context.close(), 'closing chromium').catch(() => {});
    },
  };
}

function wrapPage(page, errors) {
  return {
    errors,
    goto: (url) => within(30000, page.goto(url, { waitUntil: 'load' }), `loading ${url}`),
    click: (selector) => within(10000, page.click(selector), `clicking ${selector}`),
    evaluate: (fn, arg, ms = 10000) => within(ms, page.evaluate(fn, arg), 'page.evaluate'),
    screenshot: (file) => within(20000, page.screenshot({ path: file }), 'screenshot'),
    close: () => within(10000, page.close(), 'closing the page').catch(() => {}),
  };
}

// Polls `fn(arg)` in the page every `everyMs` until it returns something truthy; each
// evaluation must answer within `answerMs`. Returns the value or null after `ms`.
export async function poll(page, fn, arg, { ms, everyMs = 200, answerMs = 5000 }) {
  const deadline = Date.now() + ms;
  while (Date.now() < deadline) {
    const v = await page.evaluate(fn, arg, answerMs);
    if (v) return v;
    await sleep(everyMs);
  }
  return null;
}

// Where a playback run is judged from: one second into playback, or the last change of tier
// (Auto settling; a change of codec starts a fresh decoder, a splice the tone checks would
// count as a click), plus the time that splice takes to reach the output. Returns the context frame and the run's time of that change.
export function lastTierChange(stats, timeline) {
  let frame = stats.firstRenderFrame + stats.sampleRate;
  let t = 0;
  for (let i = 1; i < timeline.length; i++) {
    if (timeline[i].tier !== timeline[i - 1].tier) {
      // The page reports the new tier when its first message arrives; the splice is heard a
      // buffer's length later, so the judged part starts half a second after the report.
      frame = timeline[i].frame + Math.round(stats.sampleRate / 2);
      t = timeline[i].t;
    }
  }
  return { frame, t };
}

export function summarize(values) {
  if (values.length === 0) return { count: 0 };
  const v = values.slice().sort((a, b) => a - b);
  const at = (q) => v[Math.min(v.length - 1, Math.floor(q * v.length))];
  const r = (x) => Math.round(x * 10) / 10;
  return { count: v.length, min: r(v[0]), median: r(at(0.5)), p95: r(at(0.95)), max: r(v[v.length - 1]) };
}

export function loadAverage() {
  return os.loadavg().map((x) => x.toFixed(2)).join(' ');
}

// ---- one listening run ------------------------------------------------------------------

// Opens the room's page, presses Listen and waits for "playing" (within `startMs`). Throws
// TimeoutError when the tab stops answering. `beforeListen` runs in the page first.
export async function openAndListen(browser, url, { startMs = 15000, beforeListen = null } = {}) {
  const page = await browser.newPage();
  await page.goto(url);
  // Like a person, press Listen once the page is there.
  await sleep(300);
  if (beforeListen) await page.evaluate(beforeListen);
  await page.click('#listen');
  const t0 = Date.now();
  const playing = await poll(page, () => window.orluneStats && window.orluneStats().state === 'playing', null, {
    ms: startMs,
    everyMs: 100,
  });
  return { page, playing: !!playing, startMs: Date.now() - t0 };
}

// Lets the page play for `seconds`, noting every `everyMs` the tier, state and context frame
// (the timeline a tier choice is judged by), then reads the capture, statistics and
// latency samples and measures the settled part: from `fromFrame(stats, timeline)` on.
export async function listenAndMeasure(page, { seconds, freq, dbfs, sendLog, everyMs = 500, fromFrame }) {
  const { decodeFloat32, findEnvelopeFaults, findGlitches, sineLevelDbfs, zeroCrossingFrequency } = await import('./signal.mjs');
  const timeline = [];
  const t0 = Date.now();
  while (Date.now() - t0 < seconds * 1000) {
    const s = await page.evaluate(() => {
      const x = window.orluneStats();
      return { state: x.state, tier: x.tier ?? null, codec: x.codec ?? null, frame: x.contextFrame, underruns: x.underruns,
        bufferedMs: x.bufferedMs, latencyText: document.getElementById('latency').textContent };
    });
    timeline.push({ t: (Date.now() - t0) / 1000, ...s });
    await sleep(everyMs);
  }
  const capture = await page.evaluate((s) => window.orluneCapture(s), seconds + 2, 30000);
  const stats = await page.evaluate(() => window.orluneStats());
  const latencies = await page.evaluate(() => window.orluneLatencies(), undefined, 30000);

  const sr = capture.sampleRate;
  const from = Math.max(fromFrame ? fromFrame(stats, timeline) : stats.firstRenderFrame + sr, stats.firstRenderFrame + sr);
  const captureStart = capture.endFrame - capture.frames;
  const amplitude = 10 ** (dbfs / 20);
  const channels = [capture.left, capture.right].map((b64) => {
    const x = decodeFloat32(b64).subarray(Math.max(0, from - captureStart));
    return {
      seconds: Math.round((x.length / sr) * 100) / 100,
      freqHz: zeroCrossingFrequency(x, sr),
      levelDbfs: sineLevelDbfs(x),
      glitches: findGlitches(x, sr, freq, amplitude).length,
      envelopeFaults: findEnvelopeFaults(x, sr, freq, amplitude).length,
    };
  });
  const judged = (frame) => frame >= from && frame < capture.endFrame;
  const settled = latencies.filter((s) => judged(s.frame));
  const sent = sendLog ? readSendLog(sendLog) : new Map();
  // The send log is by datagram sequence; an Opus tier's blocks count its own frames, so the
  // sending time is only known for the float32 stream.
  const fromSend = [];
  const byDatagram = stats.codec !== 'opus';
  for (const s of settled) if (byDatagram && sent.has(s.seq)) fromSend.push(s.arrivalMs + s.latencyMs - sent.get(s.seq));
  return {
    sampleRate: sr,
    fromFrame: from,
    firstRenderFrame: stats.firstRenderFrame,
    stats,
    timeline,
    channels,
    underrunsJudged: stats.underrunFrames.filter(judged).length,
    latencyPageMs: summarize(settled.map((s) => s.latencyMs)),
    latencyFromSendMs: summarize(fromSend),
  };
}
