// Opus decoding for the socket worker: two decoders behind one interface, and the feed
// that turns the relay's Opus messages into blocks of decoded audio, in stream order, for
// the jitter buffer.
//
// Decoders
//   WebCodecs `AudioDecoder` where the browser has it (asynchronous: outputs arrive in
//   callbacks), else the WebAssembly build of libopus from the `opus-decoder` package
//   (synchronous; the bootstrap copies its single-file build to web/opus-decoder.min.js).
//
// Missing frames (length 0 in a message, or a gap in the frame sequence that is not the
// relay's skip-ahead)
//   WebAssembly: libopus conceals them. A packet of its TOC byte alone is a frame of zero
//   bytes, which the decoder treats as lost and fills with exactly one frame of concealed
//   audio continuing the signal (an empty packet would make it conceal 120 ms at once).
//   Gaps longer than `maxConcealFrames` are left to the jitter buffer.
//   WebCodecs has no way to ask for concealment: the block is left out, so the jitter
//   buffer sees a sequence gap, counts it lost and fills it with a continuation of the audio
//   before it, crossfaded into the block after (ring-edits.js). That crossfade also covers
//   the decoder's first 2.5 ms after the hole, which still overlap-add the audio before it.
//
// Undecodable packets are counted; with WebAssembly they are concealed like missing
// frames, with WebCodecs (whose decoder closes on an error) they become a gap and a new
// decoder takes over from the next packet.

export const OPUS_CONFIG = Object.freeze({ codec: 'opus', sampleRate: 48000, numberOfChannels: 2 });
// The relay encodes with the low-delay application: what a frame decodes to is its input
// this many 48 kHz frames (2.5 ms) earlier.
export const OPUS_DELAY_FRAMES = 120;

export class WasmOpusBackend {
  // `library` is what the package's build defines: an object with an OpusDecoder class.
  static async create(library) {
    const decoder = new library.OpusDecoder({ channels: 2, sampleRate: 48000 });
    await decoder.ready;
    return new WasmOpusBackend(decoder);
  }

  constructor(decoder) {
    this.kind = 'wasm';
    this.conceals = true;
    this.decoder = decoder;
    this.lastToc = null;
  }

  // Returns interleaved stereo samples, or null when the packet could not be decoded.
  decode(packet) {
    let out;
    // The library reports every undecodable packet on the console; the feed counts them
    // instead, so a damaged stream does not flood the listener's console.
    const report = console.error;
    console.error = () => {};
    try {
      out = this.decoder.decodeFrame(packet);
    } catch {
      return null;
    } finally {
      console.error = report;
    }
    if (!out || out.errors.length > 0 || out.samplesDecoded === 0) return null;
    this.lastToc = packet[0] & 0xfc; // the same configuration, one frame (code 0)
    return interleave(out.channelData, out.samplesDecoded);
  }

  // One frame of concealment; silence before the first packet (nothing to continue).
  conceal(frameSamples) {
    if (this.lastToc === null) return new Float32Array(2 * frameSamples);
    const out = this.decode(new Uint8Array([this.lastToc]));
    return out || new Float32Array(2 * frameSamples);
  }

  close() {
    try {
      this.decoder.free();
    } catch {
      // already freed
    }
  }
}

export class WebCodecsOpusBackend {
  constructor(AudioDecoderClass = globalThis.AudioDecoder, EncodedAudioChunkClass = globalThis.EncodedAudioChunk) {
    this.kind = 'webcodecs';
    this.conceals = false;
    this.AudioDecoder = AudioDecoderClass;
    this.EncodedAudioChunk = EncodedAudioChunkClass;
    this.decoder = null;
    this.onOutput = () => {}; // (key, samples)
    this.onError = () => {}; // (error): every packet not yet output is lost
  }

  open() {
    const decoder = new this.AudioDecoder({
      output: (data) => {
        if (this.decoder !== decoder) return data.close();
        const key = data.timestamp;
        let samples = null;
        try {
          samples = audioDataToInterleaved(data);
        } catch {
          samples = null;
        } finally {
          data.close();
        }
        this.onOutput(key, samples);
      },
      error: (err) => {
        if (this.decoder !== decoder) return;
        this.decoder = null;
        this.onError(err);
      },
    });
    decoder.configure(OPUS_CONFIG);
    this.decoder = decoder;
  }

  // Creates and configures the decoder ahead of the first packet.
  warm() {
    try {
      if (!this.decoder || this.decoder.state === 'closed') this.open();
    } catch {
      this.decoder = null; // the first packet tries again
    }
  }

  // Queues one packet; its output arrives through onOutput with the same key. Returns
  // false when the packet was refused at once.
  decode(key, packet) {
    try {
      this.warm();
      this.decoder.decode(new this.EncodedAudioChunk({ type: 'key', timestamp: key, data: packet }));
      return true;
    } catch {
      this.decoder = null;
      return false;
    }
  }

  close() {
    const d = this.decoder;
    this.decoder = null;
    if (d && d.state !== 'closed') {
      try {
        d.close();
      } catch {
        // closed meanwhile
      }
    }
  }
}

// The best decoder this context has: WebCodecs when `webCodecs` allows it and the browser
// supports the configuration, else the WebAssembly one from `loadWasm()` (a promise of the
// package's library object). Null when neither works.
export async function openOpusBackend({ webCodecs = true, loadWasm = null } = {}) {
  if (webCodecs && typeof globalThis.AudioDecoder === 'function' && typeof globalThis.EncodedAudioChunk === 'function') {
    try {
      const support = await globalThis.AudioDecoder.isConfigSupported(OPUS_CONFIG);
      if (support && support.supported) return new WebCodecsOpusBackend();
    } catch {
      // fall through to WebAssembly
    }
  }
  if (loadWasm) {
    try {
      return await WasmOpusBackend.create(await loadWasm());
    } catch {
      return null;
    }
  }
  return null;
}

export function interleave(channels, frames) {
  const out = new Float32Array(2 * frames);
  const l = channels[0];
  const r = channels.length > 1 ? channels[1] : channels[0];
  for (let i = 0; i < frames; i++) {
    out[2 * i] = l[i];
    out[2 * i + 1] = r[i];
  }
  return out;
}

function audioDataToInterleaved(data) {
  const frames = data.numberOfFrames;
  if (data.format === 'f32' && data.numberOfChannels === 2) {
    const out = new Float32Array(2 * frames);
    data.copyTo(out, { planeIndex: 0 });
    return out;
  }
  const channels = [];
  for (let c = 0; c < Math.min(2, data.numberOfChannels); c++) {
    const plane = new Float32Array(frames);
    data.copyTo(plane, { planeIndex: c, format: 'f32-planar' });
    channels.push(plane);
  }
  return interleave(channels, frames);
}

export const FEED_DEFAULTS = Object.freeze({
  maxConcealFrames: 10, // longer gaps: left to the jitter buffer
  lateWindow: 64, // frames this far behind are late repeats; further back, a new stream
  stuckMs: 500, // a decode that has not come back after this long is given up as lost
});

// Turns parsed Opus messages into decoded blocks, handed to `emit({seq, pos, end, samples,
// arrival, id, epoch})` in stream order whatever order the decoder finishes in.
export class OpusFeed {
  constructor({ backend, emit, now = () => 0, options = {} }) {
    this.o = { ...FEED_DEFAULTS, ...options };
    this.emit = emit;
    this.now = now;
    this.queue = []; // entries waiting for their turn: {seq, pos, frames, samples, done, key, ...}
    this.byKey = new Map(); // decodes in flight (WebCodecs)
    this.nextKey = 0;
    this.epoch = 0;
    this.expectedSeq = null;
    this.expectedPos = 0;
    this.pendingSkipFrames = 0;
    this.messageEnd = null;
    // missing: frames that never came (length 0 or a gap not skipped by the relay); concealed:
    // frames the decoder made up (missing or undecodable), concealedMissing the missing ones.
    this.counters = { frames: 0, missing: 0, late: 0, concealed: 0, concealedMissing: 0, decodeErrors: 0, skippedFrames: 0 };
    this.backend = null;
    this.setBackend(backend);
  }

  setBackend(backend) {
    this.backend = backend;
    if (backend && backend.kind === 'webcodecs') {
      backend.onOutput = (key, samples) => this.onOutput(key, samples);
      backend.onError = () => this.onDecoderError();
    }
  }

  // The sequence numbers start afresh (new source, connection or codec): `epoch` tells the
  // jitter buffer to splice rather than take the jump for a loss or a late packet.
  restart(epoch) {
    this.epoch = epoch;
    this.expectedSeq = null;
    this.pendingSkipFrames = 0;
  }

  // The relay dropped this many frames to let the listener catch up: the coming gap is not
  // concealed (the jitter buffer splices it).
  relaySkipped(frames) {
    if (Number.isFinite(frames) && frames > 0) this.pendingSkipFrames += Math.floor(frames);
  }

  push(message, arrival = 0, id = 0) {
    const { sequence, samplePosition, frameSamples, packets } = message;
    const o = this.o;
    this.messageEnd = samplePosition + packets.length * frameSamples;
    if (this.expectedSeq !== null) {
      const gap = sequence - this.expectedSeq;
      if (gap < 0 && gap >= -o.lateWindow) {
        this.counters.late++;
        return;
      }
      if (gap < 0) {
        this.expectedSeq = null; // counters went back: a new stream the relay did not announce
      } else if (gap > 0) {
        const skipped = Math.min(gap, this.pendingSkipFrames);
        this.pendingSkipFrames -= skipped;
        this.counters.skippedFrames += skipped;
        const missing = gap - skipped;
        this.counters.missing += missing;
        const consistent = samplePosition === this.expectedPos + gap * frameSamples;
        if (skipped === 0 && missing <= o.maxConcealFrames && consistent && this.backend && this.backend.conceals) {
          for (let k = 0; k < missing; k++) {
            this.addConcealed(this.expectedSeq + k, this.expectedPos + k * frameSamples, frameSamples, arrival, id);
          }
        }
      }
    }
    for (let k = 0; k < packets.length; k++) {
      const seq = sequence + k;
      const pos = samplePosition + k * frameSamples;
      const packet = packets[k];
      this.counters.frames++;
      if (packet === null) {
        this.counters.missing++;
        if (this.backend && this.backend.conceals) this.addConcealed(seq, pos, frameSamples, arrival, id);
      } else {
        this.addDecoded(seq, pos, frameSamples, packet, arrival, id);
      }
    }
    this.expectedSeq = sequence + packets.length;
    this.expectedPos = samplePosition + packets.length * frameSamples;
    this.messageEnd = null;
    this.flush();
  }

  entry(seq, pos, frames, arrival, id) {
    // `end`: the sample position the message carrying this block ends at (concealed blocks
    // of a gap belong to the message that revealed it).
    const end = this.messageEnd ?? pos + frames;
    const e = { seq, pos, frames, end, arrival, id, epoch: this.epoch, samples: null, done: false, key: -1, queuedAt: this.now() };
    this.queue.push(e);
    return e;
  }

  addConcealed(seq, pos, frames, arrival, id) {
    const e = this.entry(seq, pos, frames, arrival, id);
    e.samples = fit(this.backend.conceal(frames), frames);
    e.done = true;
    this.counters.concealed++;
    this.counters.concealedMissing++;
  }

  addDecoded(seq, pos, frames, packet, arrival, id) {
    const e = this.entry(seq, pos, frames, arrival, id);
    const b = this.backend;
    if (!b) {
      e.done = true; // no decoder: the block stays out and the buffer sees a gap
      return;
    }
    if (b.kind === 'wasm') {
      const samples = b.decode(packet);
      if (samples === null) {
        this.counters.decodeErrors++;
        e.samples = fit(b.conceal(frames), frames);
        this.counters.concealed++;
      } else {
        e.samples = fit(samples, frames);
      }
      e.done = true;
      return;
    }
    e.key = this.nextKey;
    this.nextKey += 10000; // microseconds of a 10 ms frame; only the order matters
    this.byKey.set(e.key, e);
    if (!b.decode(e.key, packet)) {
      this.byKey.delete(e.key);
      this.counters.decodeErrors++;
      e.done = true;
    }
  }

  onOutput(key, samples) {
    let e = this.byKey.get(key);
    if (!e) {
      // A decoder that rewrote the timestamp: outputs still come in order.
      for (const pending of this.byKey.values()) {
        e = pending;
        break;
      }
      if (!e) return;
    }
    // Anything queued before this one that has not come back will not come back.
    for (const [k, pending] of this.byKey) {
      if (pending === e) break;
      this.byKey.delete(k);
      pending.done = true;
      this.counters.decodeErrors++;
    }
    this.byKey.delete(e.key);
    e.done = true;
    if (samples) e.samples = fit(samples, e.frames);
    else this.counters.decodeErrors++;
    this.flush();
  }

  onDecoderError() {
    for (const e of this.byKey.values()) {
      e.done = true;
      this.counters.decodeErrors++;
    }
    this.byKey.clear();
    this.flush();
  }

  // Hands on every finished block at the head of the queue; gives up on a decode that
  // has been out for too long, so a wedged decoder cannot hold the stream up.
  flush() {
    const q = this.queue;
    if (q.length > 0 && !q[0].done && this.now() - q[0].queuedAt > this.o.stuckMs) {
      for (const e of q) {
        if (e.done) continue;
        if (this.now() - e.queuedAt <= this.o.stuckMs) break;
        e.done = true;
        this.byKey.delete(e.key);
        this.counters.decodeErrors++;
      }
    }
    let n = 0;
    while (n < q.length && q[n].done) {
      const e = q[n++];
      if (e.run) e.run();
      else if (e.samples) this.emit(e);
    }
    if (n > 0) q.splice(0, n);
  }

  // Runs `fn` in stream order: at once when no decode is outstanding, else after the
  // blocks queued before it (a lossless packet or a stream event after a codec change).
  inOrder(fn) {
    if (this.queue.length === 0) {
      fn();
      return;
    }
    this.queue.push({ done: true, run: fn, queuedAt: this.now() });
  }

  // Forgets whatever is still queued (the listener stopped): nothing of it is handed on.
  clearPending() {
    this.queue.length = 0;
    this.byKey.clear();
    this.expectedSeq = null;
  }

  get pending() {
    return this.queue.length;
  }

  close() {
    if (this.backend) this.backend.close();
    this.backend = null;
    this.queue.length = 0;
    this.byKey.clear();
  }
}

// Exactly `frames` stereo frames: a packet of another duration is cut or padded, so the
// sample positions downstream stay those of the stream.
function fit(samples, frames) {
  if (samples.length === 2 * frames) return samples;
  const out = new Float32Array(2 * frames);
  out.set(samples.subarray(0, Math.min(samples.length, 2 * frames)));
  return out;
}
