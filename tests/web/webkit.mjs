// The Safari engine in the browser tests: WebKitGTK's MiniBrowser under a private Xvfb,
// driven over classic W3C WebDriver (WebKitWebDriver) by a small client on fetch. Each
// page gets a browser of its own (a WebDriver session), so a crashed web content process
// takes nothing else with it. A crash is told apart from a slow page: the driver's and
// the browser's output (one log) is searched for the web process's death after every call
// that fails and at the end of every page.
import fs from 'node:fs';
import path from 'node:path';
import { SKIP, TimeoutError, log, sleep, within } from './harness.mjs';

export const MINIBROWSER = process.env.ORLUNE_MINIBROWSER || '/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser';
export const WEBDRIVER = process.env.ORLUNE_WEBKITDRIVER || '/usr/bin/WebKitWebDriver';

// What WebKitGTK and glibc print when the web content process dies.
const CRASH = /free\(\): invalid pointer|WebProcess (CRASHED|terminated)|web process (crashed|terminated)|double free|corrupted|Segmentation fault|SIGSEGV|SIGABRT|Aborted|WebKitWebProcess.*(crash|abort)/i;

export class WebProcessCrash extends Error {}

// Text of the log that tells of a crash, or null.
export function crashIn(text) {
  const lines = text.split('\n').filter((l) => CRASH.test(l));
  return lines.length ? lines.slice(0, 3).join(' | ') : null;
}

// A private X server on a free display; returns its DISPLAY (":N").
export async function startXvfb(procs) {
  const out = path.join(procs.dir, 'xvfb-display.txt');
  const fd = fs.openSync(out, 'w');
  const x = procs.start('xvfb', 'Xvfb', ['-displayfd', '1', '-screen', '0', '1024x768x24', '-nolisten', 'tcp'], { stdout: fd });
  fs.closeSync(fd);
  const deadline = Date.now() + 10000;
  while (Date.now() < deadline) {
    const n = fs.readFileSync(out, 'utf8').trim();
    if (/^\d+$/.test(n)) return `:${n}`;
    if (x.exitCode !== null) throw new Error(`Xvfb exited: ${procs.tail('xvfb')}`);
    await sleep(50);
  }
  throw new Error('Xvfb gave no display within 10 s');
}

// Launches WebKitWebDriver; newPage() starts a MiniBrowser session. Same interface as the
// other engines in harness.mjs: {name, version, newPage(), close()}.
export async function launchWebKit({ procs, soundEnv }) {
  for (const f of [MINIBROWSER, WEBDRIVER]) {
    if (!fs.existsSync(f)) {
      log('webkit', `SKIPPED: no ${f} (Debian packages libwebkit2gtk-4.1-0, webkit2gtk-driver)`);
      process.exit(SKIP);
    }
  }
  const display = await startXvfb(procs);
  const port = 4444 + Math.floor(Math.random() * 1000);
  const env = { ...process.env, ...(soundEnv || {}), DISPLAY: display, WEBKIT_DISABLE_COMPOSITING_MODE: '1', GTK_A11Y: 'none', NO_AT_BRIDGE: '1' };
  // One page at a time: a page left open by a failed run is replaced, not refused.
  const driver = procs.start('webkit', WEBDRIVER, [`--port=${port}`, '--replace-on-new-session'], { env });
  const base = `http://127.0.0.1:${port}`;
  const logText = () => {
    const f = path.join(procs.dir, 'webkit.log');
    return fs.existsSync(f) ? fs.readFileSync(f, 'utf8') : '';
  };
  const call = async (method, url, body, ms = 30000) => {
    const res = await within(ms, fetch(base + url, {
      method,
      headers: { 'content-type': 'application/json' },
      body: body === undefined ? undefined : JSON.stringify(body),
    }), `WebDriver ${method} ${url}`);
    const j = await res.json().catch(() => ({ value: { error: 'bad json', message: `HTTP ${res.status}` } }));
    if (!res.ok || (j.value && j.value.error)) throw new Error(`WebDriver ${method} ${url}: ${j.value?.error}: ${j.value?.message}`);
    return j.value;
  };
  const deadline = Date.now() + 10000;
  for (;;) {
    try {
      await call('GET', '/status', undefined, 2000);
      break;
    } catch (err) {
      if (Date.now() > deadline || driver.exitCode !== null) throw new Error(`WebKitWebDriver did not start: ${err.message}`);
      await sleep(100);
    }
  }
  let version = 'WebKitGTK';
  const sessions = new Set();
  return {
    name: 'webkit',
    get version() {
      return version;
    },
    crashReport: () => crashIn(logText()),
    async newPage() {
      const seen = logText().length;
      const crashSince = () => crashIn(logText().slice(seen));
      const caps = await call('POST', '/session', {
        capabilities: {
          alwaysMatch: {
            'webkitgtk:browserOptions': { binary: MINIBROWSER, args: ['--automation', '--autoplay-policy=allow'] },
          },
        },
      }, 60000);
      const id = caps.sessionId;
      sessions.add(id);
      version = `MiniBrowser (WebKitGTK ${caps.capabilities.browserVersion})`;
      const s = `/session/${id}`;
      // Every failure is checked for a crash of the web content process first: that is
      // what a dead page looks like from here, and it must be named as such.
      const guard = async (what, p) => {
        try {
          return await p;
        } catch (err) {
          await sleep(300);
          const crash = crashSince();
          if (crash) throw new WebProcessCrash(`web content process crashed during ${what}: ${crash}`);
          throw err;
        }
      };
      const errors = [];
      return {
        errors,
        crash: crashSince,
        goto: (url) => guard(`loading ${url}`, call('POST', `${s}/url`, { url }, 30000)),
        async click(selector) {
          const find = () => call('POST', `${s}/element`, { using: 'css selector', value: selector }, 10000);
          const deadline = Date.now() + 10000;
          const el = await guard(`finding ${selector}`, (async () => {
            for (;;) {
              const found = await find().catch(async (err) => {
                if (Date.now() <= deadline) return sleep(200).then(() => null);
                // Say what the page was instead (an error page, a page still loading).
                const where = await call('POST', `${s}/execute/sync`, {
                  script: 'return [location.href, document.readyState, document.title].join(" | ")', args: [],
                }, 5000).catch((e) => `unreadable: ${e.message}`);
                throw new Error(`${err.message} (page: ${where})`);
              });
              if (found) return found;
            }
          })());
          const ref = el['element-6066-11e4-a52e-4f614a4d4f4a'] ?? Object.values(el)[0];
          await guard(`clicking ${selector}`, call('POST', `${s}/element/${ref}/click`, {}, 10000));
        },
        // Same contract as playwright's page.evaluate(fn, arg): fn is a function of one
        // argument; a returned promise is awaited.
        evaluate(fn, arg, ms = 10000) {
          const script = `const done = arguments[arguments.length - 1];
            Promise.resolve().then(() => (${fn.toString()})(arguments[0]))
              .then((v) => done({ ok: v === undefined ? null : v }), (e) => done({ err: String(e && e.stack || e) }));`;
          return guard('a script', call('POST', `${s}/execute/async`, { script, args: [arg === undefined ? null : arg] }, ms + 5000)
            .then((r) => {
              if (r && r.err) throw new Error(r.err);
              return r ? r.ok : null;
            }));
        },
        async screenshot(file) {
          const png = await guard('a screenshot', call('GET', `${s}/screenshot`, undefined, 20000));
          fs.writeFileSync(file, Buffer.from(png, 'base64'));
        },
        async close() {
          sessions.delete(id);
          await call('DELETE', s, undefined, 15000).catch(() => {});
        },
      };
    },
    async close() {
      for (const id of sessions) await call('DELETE', `/session/${id}`, undefined, 10000).catch(() => {});
      sessions.clear();
    },
  };
}

export { TimeoutError };
