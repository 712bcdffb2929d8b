// Main-thread side of the Orlune player: the Listen button, the audio context and the
// status display. The WebSocket lives in a worker (player-socket.js) that hands datagrams
// straight to the AudioWorklet (player-worklet.js); this thread only sees statistics.
//
// Hooks for automated tests (always present, cheap):
//   window.orluneStats()      -> current statistics, see Player.stats()
//   window.orluneLatencies()  -> per-block latency samples
//                                [{id, seq, arrivalMs, frame, latencyMs, heldMs, delayMs}];
//                                arrivalMs is epoch time (performance.timeOrigin +
//                                performance.now() in the worker); latencyMs from arrival to
//                                output, delayMs adds what the relay held the block (heldMs)
//   window.orluneCapture(s)   -> Promise of the last s seconds the worklet played, as
//                                {sampleRate, endFrame, frames, left, right} with base64
//                                little-endian float32 channels. Needs "#capture=SECONDS"
//                                in the page address (the worklet keeps no copy otherwise).
//   window.orluneCapture(s, {endFrame, channels})   the same ending before context frame
//                                endFrame; channels: 1 for the left channel only. Long
//                                captures are read in pieces this way (tests/web/harness.mjs).
//
// Latency: for every datagram the socket worker notes the time its WebSocket message
// arrives; the worklet reports the AudioContext frame at which the datagram's first frame
// is rendered; AudioContext.getOutputTimestamp() maps that frame to the time at which it
// reaches the audio output. The difference is the added latency on the listener's side:
// jitter buffer plus the context's output latency; with what the relay held the block back
// to fill its message (Opus packing, codec look-ahead) it is the listener's delay from the
// plug-in's datagram to the sound, which the page shows. Times are compared as epoch
// milliseconds (performance.timeOrigin + performance.now()), since the worker's and the
// page's performance.now() start at different moments.

import {
  roomFromPath, socketUrl, LatencyTracker, frameToPerformanceTime, checkOutputClock, outputLatencyKnown,
} from './player-core.js';
import { qualityFromHash } from './stream-format.js';
import { detectEngine, enginePolicy } from './engine.js';
import { AudioContextKeeper } from './audio-context-keeper.js';
import { makeUi } from './player-ui.js';

const OUTPUT_CLOCK_DELAY_S = 1.5;
const OUTPUT_CLOCK_EVERY_S = 10;
const POLICY = enginePolicy(detectEngine(navigator));
const OUTPUT_CLOCK_SAFE = POLICY.readOutputClock;


class Player {
  constructor(room, ui, captureSeconds, quality = 'auto') {
    this.room = room;
    this.quality = quality; // 'auto' or a tier name, as the listener chose
    this.ui = ui;
    this.captureSeconds = captureSeconds;
    this.keeper = new AudioContextKeeper({
      AudioContextClass: window.AudioContext,
      navigator,
      rate: POLICY.contextRate,
      onStateChange: () => this.render(),
      onRebuild: (ctx) => this.rebuilt(ctx),
    });
    this.ctx = null;
    this.node = null;
    this.moduleReady = null;
    this.socket = null; // the worker
    this.running = false;
    this.net = { connection: 'closed', reconnectAt: 0, live: null, error: null, counters: {} };
    this.error = null;
    this.latency = new LatencyTracker();
    this.outputTs = null; // getOutputTimestamp() as last read, if it was plausible
    this.outputLatency = 0; // seconds, output + base latency, as last read (checked)
    this.outputClockRejected = 0; // implausible output timestamps left unused
    this.clockFrom = null; // context frame from which the context has run without a pause
    this.clockReadFrame = null;
    this.worklet = null; // last stats message from the worklet
    this.firstRenderFrame = null;
    this.captureRequests = new Map();
    this.nextCaptureId = 1;
    this.startToken = 0;
  }

  // Runs inside the click handler: the context must be created or resumed right here,
  // before any await, or iOS keeps it silent.
  async start() {
    const resumed = this.keeper.start();
    this.ctx = this.keeper.ctx;
    const token = ++this.startToken;
    this.running = true;
    this.error = null;
    this.render();
    try {
      if (!this.moduleReady) this.moduleReady = this.ctx.audioWorklet.addModule('player-worklet.js');
      await this.moduleReady;
      await resumed;
    } catch (err) {
      this.fail(`audio could not start: ${err && err.message ? err.message : err}`);
      return;
    }
    if (!this.running || token !== this.startToken) return;
    this.createNode();
    this.connect();
  }

  // The button while playing but not running: resume, or a new context if interrupted.
  resume() {
    if (this.keeper.state === 'interrupted') this.keeper.start();
    else this.keeper.resume();
  }

  // The keeper replaced a context that stayed interrupted: the audio graph goes on the new one.
  rebuilt(ctx) {
    this.ctx = ctx;
    this.moduleReady = null;
    if (this.node) {
      this.node.port.onmessage = null;
      this.node = null;
    }
    if (!this.running) return;
    this.start();
  }

  stop() {
    this.running = false;
    if (this.socket) this.socket.postMessage({ type: 'stop' });
    if (this.node) {
      this.node.port.onmessage = null;
      this.node.disconnect();
      this.node = null;
    }
    this.worklet = null;
    this.keeper.suspend();
    this.render();
  }

  fail(message) {
    this.error = message;
    this.stop();
  }

  createNode() {
    this.node = new AudioWorkletNode(this.ctx, 'orlune-player', {
      numberOfInputs: 0,
      numberOfOutputs: 1,
      outputChannelCount: [2],
      processorOptions: { captureSeconds: this.captureSeconds },
    });
    this.node.port.onmessage = (event) => this.onWorkletMessage(event.data);
    this.node.connect(this.ctx.destination);
    this.firstRenderFrame = null;
    this.clockFrom = null;
    this.clockReadFrame = null;
  }

  connect() {
    if (!this.socket) {
      this.socket = new Worker('player-socket.js', { type: 'module' });
      this.socket.onmessage = (event) => this.onSocketMessage(event.data);
      this.socket.onerror = () => this.fail('the network worker failed to start');
    }
    const channel = new MessageChannel();
    this.node.port.postMessage({ type: 'port' }, [channel.port1]);
    // The page's view of WebCodecs decides: where the page has no AudioDecoder, or must not
    // use it, its worker decodes with WebAssembly even if it has one.
    // WebCodecs only on engines whose Opus decoder is known not to crash (engine.js).
    const webCodecs = typeof window.AudioDecoder === 'function' && POLICY.webCodecsOpus;
    this.socket.postMessage(
      { type: 'start', url: socketUrl(location, this.room), quality: this.quality, webCodecs },
      [channel.port2],
    );
    this.net.connection = 'connecting';
    this.render();
  }

  setQuality(quality) {
    this.quality = quality;
    this.qualitySerial = (this.qualitySerial || 0) + 1;
    if (this.socket) this.socket.postMessage({ type: 'quality', quality, serial: this.qualitySerial });
    this.render();
  }

  onSocketMessage(msg) {
    if (msg.type !== 'connection') return;
    this.net = msg;
    // The worker may have settled on Auto instead (a tier this relay does not offer);
    // reports from before the listener's latest choice do not count.
    const q = msg.quality;
    if (q && q.mode && (q.serial || 0) === (this.qualitySerial || 0)) this.quality = q.mode;
    if (msg.error && this.running) {
      this.fail(msg.error);
      return;
    }
    this.render();
  }

  onWorkletMessage(msg) {
    if (msg.type === 'stats') {
      this.worklet = msg;
      this.workletAtMs = performance.timeOrigin + performance.now();
      this.readOutputClock(msg);
      if (msg.renders.length) {
        if (this.firstRenderFrame === null) this.firstRenderFrame = msg.renders[3];
        const fallback = {
          nowMs: performance.now(),
          currentTime: this.ctx.currentTime,
          outputLatency: this.outputLatency,
        };
        const rate = msg.sampleRate;
        const origin = performance.timeOrigin;
        this.latency.noteRenders(msg.renders, (frame) => origin + frameToPerformanceTime(frame, rate, this.outputTs, fallback));
      }
      this.render();
    } else if (msg.type === 'capture') {
      const resolve = this.captureRequests.get(msg.requestId);
      this.captureRequests.delete(msg.requestId);
      if (resolve) resolve(msg);
    }
  }

  // The context's output clock (getOutputTimestamp, outputLatency, baseLatency), read
  // only once the context has been rendering for OUTPUT_CLOCK_DELAY_S and then once per
  // OUTPUT_CLOCK_EVERY_S, and cached for everything else on the page (stats() included, which
  // tests poll). In Firefox (ESR 153, PulseAudio output) reading either of them while the
  // context plays can hang the tab's content process for good: every 50 ms from the start
  // it froze about one start in three, and a single read 1.5 s into playback still froze
  // 3 to 5 starts in 20, while a page that never reads them started 27 of 27 times. There
  // they are not read at all, and the latency shown leaves out the output latency.
  readOutputClock(msg) {
    if (!OUTPUT_CLOCK_SAFE) return;
    const rate = msg.sampleRate || this.ctx.sampleRate;
    if (this.ctx.state !== 'running') {
      this.clockFrom = null;
      return;
    }
    if (this.clockFrom === null) this.clockFrom = msg.frame;
    const renderedS = (msg.frame - this.clockFrom) / rate;
    if (renderedS < OUTPUT_CLOCK_DELAY_S) return;
    if (this.clockReadFrame !== null && msg.frame - this.clockReadFrame < OUTPUT_CLOCK_EVERY_S * rate && msg.frame >= this.clockReadFrame) return;
    this.clockReadFrame = msg.frame;
    const ts = this.ctx.getOutputTimestamp ? this.ctx.getOutputTimestamp() : null;
    const reading = {
      ts: ts ? { contextTime: ts.contextTime, performanceTime: ts.performanceTime } : null,
      nowMs: performance.now(),
      currentTime: this.ctx.currentTime,
      outputLatency: this.ctx.outputLatency,
      baseLatency: this.ctx.baseLatency,
    };
    this.outputClockReading = reading; // as the engine gave it, for diagnosis
    const checked = checkOutputClock(reading);
    this.outputLatency = checked.latency;
    this.outputTs = checked.ts;
    this.outputLatencyKnown = outputLatencyKnown(reading, checked);
    this.outputClockRejected += ts && !checked.ts ? 1 : 0;
  }

  // `endFrame`: the capture ends before this context frame (default: now); `channels: 1`
  // leaves the right channel out (an empty string).
  requestCapture(seconds, { endFrame, channels } = {}) {
    if (!this.node) return Promise.reject(new Error('not playing'));
    const requestId = this.nextCaptureId++;
    return new Promise((resolve) => {
      this.captureRequests.set(requestId, resolve);
      this.node.port.postMessage({ type: 'capture', seconds, requestId, endFrame, channels });
    }).then((msg) => ({
      sampleRate: msg.sampleRate,
      endFrame: msg.endFrame,
      frames: msg.left.byteLength / 4,
      left: toBase64(msg.left),
      right: toBase64(msg.right),
    }));
  }

  get reconnectInMs() {
    return this.net.connection === 'reconnecting' ? this.net.reconnectAt - (performance.timeOrigin + performance.now()) : 0;
  }

  state() {
    if (this.error) return 'error';
    if (!this.running) return 'idle';
    if (!this.node) return 'starting';
    if (this.net.connection === 'connecting' || this.net.connection === 'closed') return 'connecting';
    if (this.net.connection === 'reconnecting') return 'reconnecting';
    if (this.ctx && this.ctx.state !== 'running') return 'suspended';
    const b = this.worklet && this.worklet.buffer;
    if (!b || b.state === 'waiting' || this.net.live === false) return 'waiting';
    return b.state; // buffering | playing
  }

  stats() {
    const w = this.worklet;
    const b = (w && w.buffer) || {};
    const c = this.net.counters || {};
    const q = this.net.quality || {};
    const opus = q.opus || {};
    const rate = (w && w.sampleRate) || (this.ctx && this.ctx.sampleRate) || 48000;
    const ts = this.outputTs;
    return {
      state: this.state(),
      error: this.error,
      room: this.room,
      live: this.net.live,
      connection: this.net.connection,
      contextState: this.ctx ? this.ctx.state : null,
      sampleRate: rate,
      contextFrame: w ? w.frame : 0,
      contextFrameAtMs: w ? this.workletAtMs : null, // wall time the page heard of contextFrame
      firstRenderFrame: this.firstRenderFrame,
      bufferedMs: b.bufferedMs ?? 0,
      levelMs: b.levelMs ?? 0,
      targetMs: b.targetMs ?? 0,
      jitterMs: b.jitterMs ?? 0,
      rateCorrection: b.correction ?? 0,
      underruns: b.underruns ?? 0,
      underrunFrames: b.underrunFrames ?? [],
      lost: b.lost ?? 0,
      late: b.late ?? 0,
      relaySkipped: b.relaySkipped ?? 0,
      discontinuities: b.discontinuities ?? 0,
      concealedFrames: b.concealedFrames ?? 0,
      droppedFrames: b.droppedFrames ?? 0,
      jumps: b.jumps ?? 0,
      playedFrames: b.playedFrames ?? 0,
      silentFrames: b.silentFrames ?? 0,
      packetsReceived: c.packets ?? 0,
      packetsBuffered: b.packets ?? 0,
      malformed: (c.malformed ?? 0) + (b.malformed ?? 0),
      nonFinite: b.nonFinite ?? 0,
      clipped: b.clipped ?? 0,
      quality: this.quality,
      tier: q.tier ?? null,
      codec: q.codec ?? null,
      bitrate: q.bitrate ?? 0,
      receivedBps: q.receivedBps ?? 0,
      decoder: q.decoder ?? null,
      tiers: q.tiers ?? [],
      auto: q.auto ?? null,
      qualityNote: q.note ?? null,
      formatError: q.formatError ?? null,
      relayError: q.relayError ?? null,
      relayErrors: c.relayErrors ?? 0,
      qualityRequests: c.qualityRequests ?? 0,
      formatChanges: c.formatChanges ?? 0,
      undecodable: c.undecodable ?? 0,
      opusFrames: opus.frames ?? 0,
      opusMissing: opus.missing ?? 0,
      opusConcealed: opus.concealed ?? 0,
      decodeErrors: opus.decodeErrors ?? 0,
      reconnects: c.reconnects ?? 0,
      skipMessages: c.skipMessages ?? 0,
      peak: w ? w.peak : [0, 0],
      rms: w ? w.rms : [0, 0],
      outputLatencyMs: this.ctx ? this.outputLatency * 1000 : null,
      outputTimestamp: ts ? { contextTime: ts.contextTime, performanceTime: ts.performanceTime } : null,
      outputClockReading: this.outputClockReading ?? null,
      latency: this.latency.summary(),
      delay: this.latency.summary(-Infinity, 'delayMs'),
      engine: POLICY.engine,
      outputClockRead: OUTPUT_CLOCK_SAFE,
      outputLatencyKnown: OUTPUT_CLOCK_SAFE && this.outputLatencyKnown !== false,
      outputClockRejected: this.outputClockRejected,
      contextRebuilds: this.keeper.rebuilds,
      driftPpm: b.driftPpm ?? 0,
      messageMs: b.messageMs ?? 0,
      arrivalLevelMs: b.arrivalLevelMs ?? null,
      setpointMs: b.setpointMs ?? null,
      silentFills: b.silentFills ?? 0,
      stretchedFrames: b.stretchedFrames ?? 0,
      shrunkFrames: b.shrunkFrames ?? 0,
      joins: b.joins ?? 0,
    };
  }

  render() {
    this.ui.update(this);
  }
}

function toBase64(arrayBuffer) {
  const bytes = new Uint8Array(arrayBuffer);
  let s = '';
  const chunk = 0x8000;
  for (let i = 0; i < bytes.length; i += chunk) s += String.fromCharCode.apply(null, bytes.subarray(i, i + chunk));
  return btoa(s);
}

function captureSecondsFromHash(hash) {
  const m = /(?:^#|&)capture(?:=(\d+(?:\.\d+)?))?(?:&|$)/.exec(hash || '');
  if (!m) return 0;
  return Math.min(60, m[1] ? Number(m[1]) : 12);
}

function main() {
  const room = roomFromPath(location.pathname);
  const ui = makeUi(OUTPUT_CLOCK_SAFE);
  ui.el.room.textContent = room || '(none)';
  if (room) document.title = `${room} · Vesk Orlune`;
  const player = new Player(room, ui, captureSecondsFromHash(location.hash), qualityFromHash(location.hash));
  ui.el.quality.addEventListener('change', () => player.setQuality(ui.el.quality.value));

  if (!room) {
    player.error = 'this link has no valid room code';
    ui.el.button.disabled = true;
    player.render();
    return;
  }
  if (!window.AudioContext || !window.AudioWorkletNode) {
    player.error = 'this browser cannot play the stream (no AudioWorklet support)';
    ui.el.button.disabled = true;
    player.render();
    return;
  }

  ui.el.button.addEventListener('click', () => {
    if (player.running && player.ctx && player.ctx.state !== 'running') {
      player.resume();
    } else if (player.running) {
      player.stop();
    } else {
      player.start();
    }
  });
  // The countdown of the reconnecting state needs a tick of its own.
  setInterval(() => {
    if (player.net.connection === 'reconnecting') player.render();
  }, 500);

  window.orluneStats = () => player.stats();
  window.orluneLatencies = () => player.latency.samples.slice();
  window.orluneCapture = (seconds, options) => player.requestCapture(seconds, options);
  window.orluneSetQuality = (quality) => player.setQuality(String(quality));
  player.render();
}

main();
