// The quality tiers the relay's events announce, and the stream format each one sets for
// the binary messages after it (their byte layouts are wire.js's). No DOM, no browser
// globals: the socket worker and Node's test runner both import it.

import { OPUS_FRAME_SAMPLES } from './wire.js';

export const PCM_CODEC = 'pcm-f32';
export const OPUS_CODEC = 'opus';
export const KNOWN_CODECS = new Set([PCM_CODEC, OPUS_CODEC]);

// The tiers of a relay that predates them: it only ever sends float32 datagrams.
export const LOSSLESS_ONLY = Object.freeze({
  tier: 'lossless',
  codec: PCM_CODEC,
  bitrate: 3072000,
  frameSamples: 256,
  framesPerMessage: 1,
});

// The stream format announced by a hello or codec event. A hello without a tier comes from
// a relay without tiers: lossless. Returns {format} or {error} for a codec this page does
// not know (its binary messages are then dropped, not guessed at).
export function streamFormat(msg) {
  if (!msg || (msg.type === 'hello' && msg.tier === undefined && msg.codec === undefined)) {
    return { format: { ...LOSSLESS_ONLY } };
  }
  const codec = msg.codec;
  if (!KNOWN_CODECS.has(codec)) return { error: `unknown codec ${JSON.stringify(codec)}` };
  const frameSamples = Number(msg.frameSamples);
  const framesPerMessage = Number(msg.framesPerMessage);
  if (codec === OPUS_CODEC && !OPUS_FRAME_SAMPLES.has(frameSamples)) {
    return { error: `Opus frames of ${msg.frameSamples} samples` };
  }
  return {
    format: {
      tier: typeof msg.tier === 'string' ? msg.tier : '?',
      codec,
      bitrate: Number.isFinite(Number(msg.bitrate)) ? Number(msg.bitrate) : 0,
      frameSamples: codec === PCM_CODEC ? 256 : frameSamples,
      framesPerMessage: Number.isInteger(framesPerMessage) && framesPerMessage > 0 ? framesPerMessage : 1,
    },
  };
}

// The tiers a hello offers that this page can play, cheapest first. Tiers in an unknown
// codec are left out, so neither the control nor Auto can ask for them.
export function playableTiers(hello) {
  const list = hello && Array.isArray(hello.tiers) ? hello.tiers : [];
  const seen = new Set();
  const tiers = [];
  for (const t of list) {
    if (!t || typeof t.name !== 'string' || !/^[a-z0-9_-]{1,32}$/.test(t.name) || seen.has(t.name)) continue;
    if (!KNOWN_CODECS.has(t.codec)) continue;
    const bitrate = Number(t.bitrate);
    seen.add(t.name);
    tiers.push({ name: t.name, codec: t.codec, bitrate: Number.isFinite(bitrate) && bitrate > 0 ? bitrate : 0 });
  }
  tiers.sort((a, b) => a.bitrate - b.bitrate);
  return tiers;
}

// The WebSocket address with the quality the page asks for; "lossless" with no parameter
// would mean the same to a relay with tiers, but a relay without them ignores it anyway.
export function withQuality(url, quality) {
  if (!quality) return url;
  return `${url}${url.includes('?') ? '&' : '?'}quality=${encodeURIComponent(quality)}`;
}

// The quality asked for in the page address: "#quality=high". Anything not offered falls
// back to Auto; the tiers are only known after the hello, so this just checks the shape.
export function qualityFromHash(hash) {
  const m = /(?:^#|&)quality=([^&]*)/.exec(hash || '');
  if (!m) return 'auto';
  let q;
  try {
    q = decodeURIComponent(m[1]).toLowerCase();
  } catch {
    return 'auto';
  }
  return /^[a-z0-9_-]{1,32}$/.test(q) ? q : 'auto';
}
