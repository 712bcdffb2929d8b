// The socket worker's state and logic (player-socket.js is its thin entry point): one
// connection to the relay's WebSocket with reconnection, the quality choice (Auto,
// auto-quality.js, or a tier the listener fixed), Opus decoding (opus-decoding.js) and the
// hand-over of audio to the AudioWorklet. Browser globals (WebSocket, timers, clocks) come
// in through `env`, so the logic can be driven without a browser.

import { Backoff, checkHello } from './player-core.js';
import { AutoQuality } from './auto-quality.js';
import { OPUS_DELAY_FRAMES, OpusFeed, openOpusBackend } from './opus-decoding.js';
import { OPUS_CODEC, PCM_CODEC, playableTiers, streamFormat, withQuality } from './stream-format.js';
import { FLOAT_FRAMES, floatMessagePosition, parseEvent, parseOpusMessage, qualityRequest } from './wire.js';

const STABLE_CONNECTION_MS = 5000;
const REQUEST_SPACING_MS = 250; // quality requests are coalesced to one per this long
const IN_FLIGHT_MS = 3000; // a request unanswered this long is taken as not followed
const RATE_WINDOW_MS = 2000;
// The tiers the relay's protocol names; a link may only ask for these at connect time (an
// unknown one would be refused), the rest of the choice waits for the hello's list.
const PROTOCOL_TIERS = new Set(['low', 'standard', 'high', 'lossless']);

export class SocketSession {
  // env: {WebSocket, setTimeout, clearTimeout, now (epoch ms), mono (ms), report(msg),
  //       loadWasm() (a promise of the opus-decoder library)}
  constructor(env) {
    this.env = env;
    this.url = null;
    this.audio = null; // MessagePort to the worklet
    this.ws = null;
    this.running = false;
    this.connection = 'closed'; // closed | connecting | open | reconnecting
    this.live = null;
    this.error = null;
    this.reconnectTimer = null;
    this.reconnectAt = 0;
    this.openedAt = 0;
    this.nextId = 0;
    this.backoff = new Backoff();
    this.counters = {
      packets: 0,
      malformed: 0,
      connects: 0,
      reconnects: 0,
      skipMessages: 0,
      bytes: 0,
      undecodable: 0, // messages in a codec this page cannot play
      relayErrors: 0,
      qualityRequests: 0,
      formatChanges: 0,
    };
    // Quality: what the listener asked for, what the relay sends, and the decoder.
    this.mode = 'auto'; // 'auto' or a tier name
    this.tiers = []; // playable tiers of this relay, cheapest first
    this.format = null; // from the latest hello or codec event
    this.formatError = null;
    this.auto = null;
    this.epoch = 0;
    this.wanted = null; // tier to ask the relay for
    this.inFlight = null; // tier asked for that no codec event has confirmed yet
    this.lastRequestAt = -Infinity;
    this.requestTimer = null;
    this.note = null; // why the page is not playing what was asked for
    this.relayError = null;
    this.backendReady = null;
    this.feed = null;
    this.decoderKind = null;
    this.underrunCount = 0;
    this.qualitySerial = 0; // the page's latest quality choice that this worker has taken in
    this.arrivals = []; // {t, bytes} over RATE_WINDOW_MS
    this.startToken = 0;
  }

  // ---- from the page ----------------------------------------------------------------

  start({ url, quality, webCodecs }, port) {
    this.stop();
    this.url = url;
    this.audio = port || this.audio;
    if (this.audio) this.audio.onmessage = (e) => this.onAudioMessage(e.data);
    this.underrunCount = 0;
    this.error = null;
    this.running = true;
    this.backoff.reset();
    this.counters.connects = 0;
    if (typeof quality === 'string') this.mode = quality;
    const token = ++this.startToken;
    this.openDecoder(webCodecs !== false).then(() => {
      if (this.running && token === this.startToken) this.connect();
    });
  }

  setQuality(quality, serial) {
    if (typeof quality !== 'string') return;
    this.qualitySerial = Number(serial) || 0;
    if (this.tiers.length > 0) this.chooseQuality(quality);
    else this.mode = quality; // applied once the hello lists the tiers
    this.report();
  }

  stop() {
    this.running = false;
    this.env.clearTimeout(this.reconnectTimer);
    this.reconnectTimer = null;
    this.env.clearTimeout(this.requestTimer);
    this.requestTimer = null;
    this.wanted = null;
    this.inFlight = null;
    if (this.feed) this.feed.clearPending();
    this.close();
    this.connection = 'closed';
    this.live = null;
    this.report();
  }

  // Every REPORT_MS while running.
  tick() {
    if (!this.running) return;
    const mono = this.env.mono();
    if (this.feed) this.feed.flush();
    // A request the relay did not follow: Auto goes on from the tier actually playing.
    const { auto, format } = this;
    if (auto && format && !this.wanted && !this.inFlight && auto.tier !== format.tier && mono - this.lastRequestAt > 2000) {
      auto.noteTier(mono, format.tier, 'relay');
    }
    if (auto && this.connection === 'open') {
      const next = auto.decide(mono);
      if (next) this.request(next);
    }
    this.report();
  }

  // ---- reports ------------------------------------------------------------------------

  receivedBps(t) {
    const a = this.arrivals;
    while (a.length > 0 && a[0].t < t - RATE_WINDOW_MS) a.shift();
    let bytes = 0;
    for (const x of a) bytes += x.bytes;
    return Math.round((bytes * 8 * 1000) / RATE_WINDOW_MS);
  }

  qualityReport() {
    const t = this.env.mono();
    const f = this.format;
    return {
      mode: this.mode,
      serial: this.qualitySerial,
      tier: f ? f.tier : null,
      codec: f ? f.codec : null,
      bitrate: f ? f.bitrate : 0,
      framesPerMessage: f ? f.framesPerMessage : 1,
      formatError: this.formatError,
      tiers: this.tiers.map((x) => ({ ...x })),
      receivedBps: this.receivedBps(t),
      decoder: this.decoderKind,
      auto: this.auto ? this.auto.summary(t) : null,
      requested: this.wanted || this.inFlight,
      note: this.note,
      relayError: this.relayError,
      opus: this.feed ? { ...this.feed.counters, pending: this.feed.pending } : null,
    };
  }

  report() {
    const { connection, reconnectAt, live, error } = this;
    this.env.report({ type: 'connection', connection, reconnectAt, live, error, counters: { ...this.counters }, quality: this.qualityReport() });
  }

  // ---- to the worklet -----------------------------------------------------------------

  // Posts to the worklet in stream order: behind any Opus block still being decoded.
  toAudio(msg, transfer) {
    const post = () => {
      if (this.audio) this.audio.postMessage(msg, transfer || []);
    };
    if (this.feed) this.feed.inOrder(post);
    else post();
  }

  emitBlock(e) {
    let samples = e.samples;
    if (samples.byteOffset !== 0 || samples.buffer.byteLength !== samples.byteLength) samples = samples.slice();
    // Decoded audio comes out OPUS_DELAY_FRAMES late: placed where it belongs, a change to or
    // from Lossless joins at the same instant of the music.
    const pos = e.pos - OPUS_DELAY_FRAMES;
    // The relay held this block's first sample until its message was complete: that wait is
    // part of the listener's delay. A sample waits for the rest of its own datagram and the
    // message for the rest of its last one: on average the two cancel, so the wait is the
    // frames from the block's first sample (placed as decoded: the codec's look-ahead
    // included) to the message's end. On Lossless a datagram's first sample waits for exactly
    // its own datagram, as its message: 0.
    const held = Math.max(0, e.end - pos);
    const msg = { type: 'pcm', seq: e.seq, pos, buffer: samples.buffer, arrival: e.arrival, id: e.id, epoch: e.epoch, held };
    if (this.audio) this.audio.postMessage(msg, [samples.buffer]);
  }

  openDecoder(webCodecs) {
    if (!this.backendReady) {
      this.backendReady = openOpusBackend({ webCodecs, loadWasm: this.env.loadWasm }).then((backend) => {
        this.decoderKind = backend ? backend.kind : null;
        if (backend) this.feed = new OpusFeed({ backend, emit: (e) => this.emitBlock(e), now: () => this.env.mono() });
        // Set up now, whatever is playing: a decoder met cold at a change of tier (Firefox
        // under load: over 100 ms) runs the buffer dry while the old tier has stopped.
        if (backend && backend.warm) backend.warm();
        return backend;
      });
    }
    return this.backendReady;
  }

  // ---- the connection -----------------------------------------------------------------

  // The quality asked for in the link at connect time.
  connectQuality() {
    if (!this.feed) return 'lossless'; // no Opus decoder: the float32 stream is all this page plays
    return this.mode === 'auto' || !PROTOCOL_TIERS.has(this.mode) ? 'auto' : this.mode;
  }

  newEpoch() {
    this.epoch++;
    if (this.feed) this.feed.restart(this.epoch);
  }

  connect() {
    this.connection = this.counters.connects > 0 ? 'reconnecting' : 'connecting';
    this.counters.connects++;
    let socket;
    try {
      socket = new this.env.WebSocket(withQuality(this.url, this.connectQuality()));
    } catch (err) {
      this.error = `cannot open ${this.url}: ${err.message}`;
      this.running = false;
      this.report();
      return;
    }
    socket.binaryType = 'arraybuffer';
    this.ws = socket;
    socket.onopen = () => {
      if (this.ws !== socket) return;
      this.connection = 'open';
      this.openedAt = this.env.now();
      this.newEpoch();
      if (this.auto) this.auto.newStream(this.env.mono());
      this.toAudio({ type: 'discontinuity' });
      this.report();
    };
    socket.onmessage = (event) => {
      if (this.ws !== socket) return;
      if (typeof event.data === 'string') this.onText(event.data);
      else this.onBinary(event.data);
    };
    socket.onclose = () => {
      if (this.ws !== socket) return;
      this.ws = null;
      if (this.running) this.scheduleReconnect();
    };
    socket.onerror = () => {}; // a close event follows
    this.report();
  }

  close() {
    const socket = this.ws;
    this.ws = null;
    if (socket) {
      socket.onopen = socket.onmessage = socket.onclose = socket.onerror = null;
      socket.close();
    }
  }

  scheduleReconnect() {
    if (this.openedAt && this.env.now() - this.openedAt >= STABLE_CONNECTION_MS) this.backoff.reset();
    this.openedAt = 0;
    const delay = this.backoff.next();
    this.connection = 'reconnecting';
    this.reconnectAt = this.env.now() + delay;
    this.counters.reconnects++;
    this.toAudio({ type: 'end' });
    this.env.clearTimeout(this.reconnectTimer);
    this.reconnectTimer = this.env.setTimeout(() => {
      this.reconnectTimer = null;
      if (this.running) this.connect();
    }, delay);
    this.report();
  }

  // ---- from the relay -----------------------------------------------------------------

  onText(text) {
    const msg = parseEvent(text);
    if (!msg) return;
    const mono = this.env.mono();
    if (msg.type === 'hello') {
      const problem = checkHello(msg);
      if (problem) {
        this.error = `the relay sends a stream this page cannot play (${problem})`;
        this.stop();
        return;
      }
      this.live = !!msg.live;
      this.tiers = playableTiers(msg);
      this.setFormat(msg, 'hello');
      this.chooseQuality(this.mode);
    } else if (msg.type === 'codec') {
      this.setFormat(msg, msg.reason);
    } else if (msg.type === 'source') {
      this.live = !!msg.live;
      if (this.live) {
        this.newEpoch();
        if (this.auto) this.auto.newStream(mono);
      }
      this.toAudio({ type: this.live ? 'discontinuity' : 'end' });
    } else if (msg.type === 'skip') {
      this.counters.skipMessages++;
      const dropped = Number(msg.dropped) || 0;
      // The relay counts messages; the jitter buffer counts blocks (one per Opus frame).
      const opus = this.format && this.format.codec === OPUS_CODEC;
      const blocks = opus ? dropped * this.format.framesPerMessage : dropped;
      if (this.feed && opus) this.feed.relaySkipped(blocks);
      if (this.auto) this.auto.noteSkip(mono);
      this.toAudio({ type: 'skip', dropped: blocks });
    } else if (msg.type === 'error') {
      this.counters.relayErrors++;
      this.relayError = typeof msg.message === 'string' ? msg.message.slice(0, 200) : 'error';
      this.wanted = null; // the request was refused; the tier stays what the relay says
      this.inFlight = null;
    } else {
      return;
    }
    this.report();
  }

  // A hello or codec event: binary messages from here on are in this format.
  setFormat(msg, reason) {
    const { format: f, error: problem } = streamFormat(msg);
    const before = this.format;
    this.formatError = problem || null;
    const offersLossless = this.tiers.some((t) => t.name === 'lossless');
    if (problem) {
      // Dropped and counted; ask for the one format every relay sends.
      this.format = { tier: String(msg.tier), codec: String(msg.codec), bitrate: 0, frameSamples: 0, framesPerMessage: 1 };
      if (offersLossless && msg.tier !== 'lossless') this.request('lossless');
    } else {
      this.format = f;
      if (f.codec === OPUS_CODEC && !this.feed) {
        this.formatError = 'no Opus decoder in this browser';
        if (offersLossless) this.request('lossless');
      }
    }
    if (before) this.counters.formatChanges++;
    if (this.inFlight === this.format.tier) this.inFlight = null;
    if (this.wanted === this.format.tier && !this.inFlight) this.wanted = null;
    this.newEpoch();
    if (this.auto) this.auto.noteTier(this.env.mono(), this.format.tier, reason);
  }

  onBinary(buffer) {
    if (!(buffer instanceof ArrayBuffer)) {
      this.counters.malformed++;
      return;
    }
    const t = this.env.mono();
    this.counters.bytes += buffer.byteLength;
    this.arrivals.push({ t, bytes: buffer.byteLength });
    const codec = this.format ? this.format.codec : PCM_CODEC;
    if (codec === PCM_CODEC) {
      const position = floatMessagePosition(buffer);
      if (position === null) {
        this.counters.malformed++;
        return;
      }
      this.markLive();
      if (this.auto) this.auto.noteMessage(t, buffer.byteLength, position + FLOAT_FRAMES);
      this.toAudio({ type: 'packet', buffer, arrival: this.env.now(), id: this.nextId++, epoch: this.epoch }, [buffer]);
      return;
    }
    if (codec !== OPUS_CODEC || !this.feed) {
      this.counters.undecodable++;
      return;
    }
    const message = parseOpusMessage(buffer);
    if (!message) {
      this.counters.malformed++;
      return;
    }
    this.markLive();
    if (this.auto) this.auto.noteMessage(t, buffer.byteLength, message.samplePosition + message.packets.length * message.frameSamples);
    this.feed.push(message, this.env.now(), this.nextId++);
  }

  markLive() {
    this.counters.packets++;
    if (this.live !== true) {
      this.live = true;
      this.report();
    }
  }

  onAudioMessage(msg) {
    if (!msg || msg.type !== 'underruns') return;
    const count = Number(msg.count) || 0;
    if (count > this.underrunCount && this.auto) this.auto.noteUnderrun(this.env.mono());
    this.underrunCount = count;
  }

  // ---- quality ------------------------------------------------------------------------

  // Auto or a fixed tier. A tier this relay does not offer (or this page cannot decode)
  // falls back to Auto, and says so.
  chooseQuality(q) {
    this.note = null;
    const { tiers, feed } = this;
    const opusTiers = feed ? tiers.filter((t) => t.codec === OPUS_CODEC) : [];
    const offered = tiers.find((t) => t.name === q && (t.codec === PCM_CODEC || feed));
    if (q !== 'auto' && !offered) {
      if (tiers.length > 0) this.note = `quality "${q}" is not offered here; Auto instead`;
      q = 'auto';
    }
    this.mode = q;
    if (q !== 'auto') {
      this.auto = null;
      this.request(q);
      return;
    }
    if (opusTiers.length === 0) {
      this.auto = null;
      if (!feed && tiers.some((t) => t.codec === OPUS_CODEC)) this.note = 'no Opus decoder in this browser: Lossless only';
      return;
    }
    // From the tier playing if Auto may choose it, else where the relay starts Auto.
    const start = opusTiers.some((t) => t.name === 'standard') ? 'standard' : opusTiers[0].name;
    const f = this.format;
    const current = f && opusTiers.some((t) => t.name === f.tier) ? f.tier : start;
    if (!this.auto) this.auto = new AutoQuality({ tiers: opusTiers, start: current, nowMs: this.env.mono() });
    this.request(current);
  }

  // The tier the relay is on once it has followed what was sent.
  headingFor() {
    if (this.inFlight && this.env.mono() - this.lastRequestAt > IN_FLIGHT_MS) this.inFlight = null;
    return this.inFlight || (this.format ? this.format.tier : null);
  }

  // Asks the relay for a tier; at most one request per REQUEST_SPACING_MS, the latest wins.
  request(tier) {
    this.wanted = this.headingFor() === tier ? null : tier;
    if (this.requestTimer !== null) return;
    const wait = this.lastRequestAt + REQUEST_SPACING_MS - this.env.mono();
    if (wait > 0) {
      this.requestTimer = this.env.setTimeout(() => {
        this.requestTimer = null;
        this.sendRequest();
      }, wait);
    } else {
      this.sendRequest();
    }
  }

  sendRequest() {
    const ws = this.ws;
    if (!this.wanted || !ws || ws.readyState !== 1) return;
    if (this.headingFor() === this.wanted) {
      this.wanted = null;
      return;
    }
    this.lastRequestAt = this.env.mono();
    this.counters.qualityRequests++;
    ws.send(qualityRequest(this.wanted));
    this.inFlight = this.wanted;
    this.wanted = null;
  }
}
