// The relay's WebSocket messages as the page reads them: the one place on the page that
// knows their byte layouts. No DOM, no browser globals: the socket worker, the AudioWorklet
// and Node's test runner all import it. Every reader returns null for a message that does
// not have its exact shape; the caller counts it and loses nothing else.
//
// Float32 audio message (the Lossless tier and relays without tiers), 2064 bytes, LE:
//   0   int64   packet sequence (as the plug-in sent it)
//   8   int64   48 kHz sample position of the first frame
//   16  512 x float32: 256 stereo frames, interleaved L, R
//
// Opus message, little-endian:
//   0   int64   frame sequence of the first frame (restarts from 0 with a new source or a
//               change of codec)
//   8   int64   48 kHz sample position of the first frame's first sample
//   16  uint16  samples per frame
//   18  uint8   frame count n (>= 1)
//   19  uint8   reserved (0)
//   20  n x (uint16 length, `length` bytes of one Opus packet); length 0: the frame is
//       missing at the relay and must be concealed
//
// Text messages are JSON objects with a string `type` (hello, codec, source, skip, error).

export const SAMPLE_RATE = 48000;
export const CHANNELS = 2;
export const FLOAT_FRAMES = 256;
export const FLOAT_HEADER_BYTES = 16;
export const FLOAT_MESSAGE_BYTES = FLOAT_HEADER_BYTES + FLOAT_FRAMES * CHANNELS * 4; // 2064
export const OPUS_HEADER_BYTES = 20;
// Durations Opus can code at 48 kHz: 2.5, 5, 10, 20, 40 and 60 ms.
export const OPUS_FRAME_SAMPLES = new Set([120, 240, 480, 960, 1920, 2880]);

const TWO_POW_32 = 4294967296;
const LITTLE_ENDIAN = new Uint8Array(new Uint16Array([1]).buffer)[0] === 1;

// The int64 LE at `offset` as a Number; null beyond 2^53, where a Number is no longer exact.
export function readInt64(view, offset) {
  const value = view.getInt32(offset + 4, true) * TWO_POW_32 + view.getUint32(offset, true);
  return Number.isSafeInteger(value) ? value : null;
}

// The sample position of a float32 audio message, without reading the rest of it.
export function floatMessagePosition(buffer) {
  if (!(buffer instanceof ArrayBuffer) || buffer.byteLength !== FLOAT_MESSAGE_BYTES) return null;
  return readInt64(new DataView(buffer), 8);
}

// A float32 audio message: {sequence, samplePosition, samples}, `samples` a Float32Array of
// the 512 interleaved values (a view into `buffer` on little-endian machines: no copy).
export function parseFloatMessage(buffer) {
  if (!(buffer instanceof ArrayBuffer) || buffer.byteLength !== FLOAT_MESSAGE_BYTES) return null;
  const view = new DataView(buffer);
  const sequence = readInt64(view, 0);
  const samplePosition = readInt64(view, 8);
  if (sequence === null || samplePosition === null) return null;
  let samples;
  if (LITTLE_ENDIAN) {
    samples = new Float32Array(buffer, FLOAT_HEADER_BYTES, FLOAT_FRAMES * CHANNELS);
  } else {
    samples = new Float32Array(FLOAT_FRAMES * CHANNELS);
    for (let i = 0; i < samples.length; i++) samples[i] = view.getFloat32(FLOAT_HEADER_BYTES + 4 * i, true);
  }
  return { sequence, samplePosition, samples };
}

// An Opus message: {sequence, samplePosition, frameSamples, packets}, each packet a
// Uint8Array view into `buffer`, or null for a frame the relay marked missing. A message
// with any fault is refused as a whole (nothing of it is used).
export function parseOpusMessage(buffer) {
  if (!(buffer instanceof ArrayBuffer) || buffer.byteLength < OPUS_HEADER_BYTES + 2) return null;
  const view = new DataView(buffer);
  const sequence = readInt64(view, 0);
  const samplePosition = readInt64(view, 8);
  const frameSamples = view.getUint16(16, true);
  const count = view.getUint8(18);
  if (sequence === null || sequence < 0 || samplePosition === null) return null;
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

// A text message: the JSON object, or null for anything that is not an object with a
// string `type`. What each type means is up to the caller.
export function parseEvent(text) {
  if (typeof text !== 'string') return null;
  let msg;
  try {
    msg = JSON.parse(text);
  } catch {
    return null;
  }
  if (!msg || typeof msg !== 'object' || Array.isArray(msg) || typeof msg.type !== 'string') return null;
  return msg;
}

// The one message the page writes: a quality request for a tier or 'auto'.
export function qualityRequest(tier) {
  return JSON.stringify({ type: 'quality', tier });
}
