// Which browser engine runs the page, and what follows from it. A crash in an engine's
// own decoder takes the page down with it (no exception reaches the page), so the Opus
// decoder is chosen per engine, not per feature test: WebCodecs `AudioDecoder` where it is
// known good (Chromium's Blink, Firefox's Gecko), the WebAssembly build of libopus
// everywhere else. WebKit's AudioDecoder for Opus crashed WebKitGTK's web content process
// ("free(): invalid pointer") within a second of playing; Safari on macOS and iOS shares
// that code, so every WebKit page takes the WebAssembly decoder.
//
// The user agent names the engine, but browsers borrow each other's tokens: every
// browser on iOS and iPadOS is WebKit whatever it calls itself (CriOS, FxiOS, EdgiOS),
// an iPad asks for desktop pages as "Macintosh" (it has a touch screen, a Mac has not),
// Chromium has `navigator.userAgentData` and WebKit has not. An engine that cannot be told
// is 'other' and is treated as WebKit is: the safe decoder.

const IOS_BROWSERS = /\b(CriOS|FxiOS|EdgiOS|OPiOS|GSA)\//;

// `nav`: navigator-like {userAgent, userAgentData, maxTouchPoints}.
export function detectEngine(nav = {}) {
  const ua = String(nav.userAgent || '');
  const ios = /\b(iPhone|iPad|iPod)\b/.test(ua) || IOS_BROWSERS.test(ua) || (/\bMacintosh\b/.test(ua) && nav.maxTouchPoints > 1);
  if (ios) return 'webkit';
  if (/\bGecko\/\d/.test(ua) && /\bFirefox\//.test(ua)) return 'gecko';
  if (/\b(Chrome|Chromium|HeadlessChrome)\/\d/.test(ua) && nav.userAgentData) return 'blink';
  if (/\bAppleWebKit\//.test(ua)) return 'webkit';
  return 'other';
}

// What the player does on each engine.
export function enginePolicy(engine) {
  return {
    engine,
    // WebCodecs only where its Opus decoder is known good.
    webCodecsOpus: engine === 'blink' || engine === 'gecko',
    // Firefox (ESR 153, PulseAudio) can hang the tab's content process when outputLatency or
    // getOutputTimestamp() is read while the context plays; elsewhere they are read, checked.
    readOutputClock: engine !== 'gecko',
    // Safari may refuse or mangle a forced rate; the jitter buffer resamples from 48 kHz.
    contextRate: engine === 'webkit' || engine === 'other' ? undefined : 48000,
  };
}
