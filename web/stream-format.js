// What the relay's WebSocket carries besides the float32 datagrams: quality tiers, the
// codec events that announce them, and the binary Opus message. No DOM, no browser
// globals: the socket worker and Node's test runner both import it.
//
// Binary Opus message, little-endian:
//   0   int64   frame sequence of the first frame (restarts from 0 with a new source or a
//               change of codec)
//   8   int64   48 kHz sample position of the first frame's first sample
//   16  uint16  samples per frame
//   18  uint8   frame count n (>= 1)
//   19  uint8   reserved (0)
//   20  n x (uint16 length, `length` bytes of one Opus packet); length 0: the frame is
//       missing at the relay and must be concealed

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

const OPUS_HEADER_BYTES = 20;
// Durations Opus can code at 48 kHz: 2.5, 5, 10, 20, 40 and 60 ms.
const OPUS_FRAME_SAMPLES = new Set([120, 240, 480, 960, 1920, 2880]);
const TWO_POW_32 = 4294967296;

function readInt64(view, offset) {
  return view.getInt32(offset + 4, true) * TWO_POW_32 + view.getUint32(offset, true);
}

// Parses one binary Opus message. Returns {sequence, samplePosition, frameSamples,
// packets} where each packet is a Uint8Array view into `buffer`, or null for a frame the
// relay marked missing; returns null for a malformed message (nothing of it is used).
export function parseOpusMessage(buffer) {
  if (!(buffer instanceof ArrayBuffer) || buffer.byteLength < OPUS_HEADER_BYTES + 2) return null;
  const view = new DataView(buffer);
  const sequence = readInt64(view, 0);
  const samplePosition = readInt64(view, 8);
  const frameSamples = view.getUint16(16, true);
  const count = view.getUint8(18);
  if (!Number.isSafeInteger(sequence) || sequence < 0 || !Number.isSafeInteger(samplePosition)) return null;
  if (!OPUS_FRAME_SAMPLES.has(frameSamples) || count === 0) return null;
  const packets = [];
  let at = OPUS_HEADER_BYTES;
  for (let k = 0; k < count; k++) {
    if (at + 2 > buffer.byteLength) return null;
    const length = view.getUint16(at, true);
    at += 2;
    if (at + length > buffer.byteLength) return null;
    packets.push(length === 0 ? null : new Uint8Array(buffer, at, length));
    at += length;
  }
  if (at !== buffer.byteLength) return null; // trailing bytes: not a message of this format
  return { sequence, samplePosition, frameSamples, packets };
}

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
