// Audio-thread side of the Orlune player: pulls render quanta out of the jitter buffer,
// meters what it plays and reports to the page about ten times a second.
//
// Messages from the page (port):
//   {type: 'packet', buffer: ArrayBuffer(2064), arrival: ms, id, epoch}   one relay datagram
//   {type: 'pcm', seq, pos, buffer: ArrayBuffer, arrival, id, epoch, held}   decoded audio:
//                             float32 interleaved stereo frames (the socket worker decodes
//                             Opus); `held`: see render-log.js
//     `epoch` changes when the sequence numbers start afresh within one stream (another
//     quality tier): the next packet is spliced on.
//   {type: 'discontinuity'}   new source or new connection: sequence numbers start over
//   {type: 'end'}             the source went silent
//   {type: 'skip', dropped}   the relay skipped this listener ahead by `dropped` packets
//   {type: 'capture', seconds, requestId, endFrame?, channels?}   send back the last seconds
//                             of output (before context frame endFrame if given; the left
//                             channel only with channels: 1)
//   {type: 'port'} with a MessagePort: the socket worker's channel, which carries
//                             the packet, discontinuity, end and skip messages
// Messages to the socket worker (over its port):
//   {type: 'underruns', count}   the underrun count went up (the quality choice listens)
// Messages to the page:
//   {type: 'stats', frame, buffer: {...}, peak: [l, r], rms: [l, r],
//    renders: [id, sequence, arrival, frame, held, ...]}
//   {type: 'capture', requestId, sampleRate, endFrame, left, right}

import { JitterBuffer } from './jitter-buffer.js';
import { parseFloatMessage } from './wire.js';
import { captureWindow } from './capture-window.js';

const REPORT_SECONDS = 0.1;

class OrlunePlayerProcessor extends AudioWorkletProcessor {
  constructor(options) {
    super();
    const opts = (options && options.processorOptions) || {};
    this.buffer = new JitterBuffer({ ...(opts.buffer || {}), outputRate: sampleRate });
    this.malformed = 0;
    this.epoch = 0;
    this.reportedUnderruns = 0;

    const captureSeconds = Math.max(0, Math.min(60, Number(opts.captureSeconds) || 0));
    this.captureFrames = Math.round(captureSeconds * sampleRate);
    this.captureL = this.captureFrames ? new Float32Array(this.captureFrames) : null;
    this.captureR = this.captureFrames ? new Float32Array(this.captureFrames) : null;
    this.captureWritten = 0;

    this.reportEvery = Math.round(REPORT_SECONDS * sampleRate);
    this.sinceReport = 0;
    this.peakL = 0;
    this.peakR = 0;
    this.sumL = 0;
    this.sumR = 0;
    this.meterFrames = 0;

    this.dataPort = null;
    this.port.onmessage = (event) => this.onMessage(event.data, event.ports);
  }

  onMessage(msg, ports) {
    switch (msg && msg.type) {
      case 'packet': {
        const packet = parseFloatMessage(msg.buffer);
        if (!packet) {
          this.malformed++;
          return;
        }
        this.nextEpoch(msg.epoch);
        this.buffer.push(packet.sequence, packet.samplePosition, packet.samples, msg.arrival, msg.id);
        break;
      }
      case 'pcm': {
        const ok = msg.buffer instanceof ArrayBuffer && msg.buffer.byteLength % 8 === 0 && msg.buffer.byteLength > 0;
        if (!ok || !Number.isFinite(msg.seq) || !Number.isFinite(msg.pos)) {
          this.malformed++;
          return;
        }
        this.nextEpoch(msg.epoch);
        const held = Number.isFinite(msg.held) ? msg.held : 0;
        this.buffer.push(msg.seq, msg.pos, new Float32Array(msg.buffer), msg.arrival, msg.id, held);
        break;
      }
      case 'discontinuity':
        this.buffer.discontinuity();
        break;
      case 'end':
        this.buffer.end();
        break;
      case 'skip':
        this.buffer.relaySkipped(Number(msg.dropped));
        break;
      case 'capture':
        this.sendCapture(msg);
        break;
      case 'port':
        if (this.dataPort) this.dataPort.close();
        this.dataPort = (ports && ports[0]) || null;
        if (this.dataPort) this.dataPort.onmessage = (event) => this.onMessage(event.data);
        break;
      default:
        break;
    }
  }

  nextEpoch(epoch) {
    if (epoch === undefined || epoch === this.epoch) return;
    this.epoch = epoch;
    this.buffer.newSequence();
  }

  sendCapture(msg) {
    const total = this.captureFrames;
    if (total === 0) {
      this.port.postMessage({ type: 'capture', requestId: msg.requestId, sampleRate, endFrame: currentFrame, left: new ArrayBuffer(0), right: new ArrayBuffer(0) });
      return;
    }
    const w = captureWindow({ written: this.captureWritten, total, now: currentFrame, seconds: Number(msg.seconds), endFrame: Number(msg.endFrame), sampleRate });
    const both = msg.channels !== 1;
    const left = new Float32Array(w.count);
    const right = new Float32Array(both ? w.count : 0);
    const first = Math.min(w.count, total - w.start);
    left.set(this.captureL.subarray(w.start, w.start + first));
    left.set(this.captureL.subarray(0, w.count - first), first);
    if (both) {
      right.set(this.captureR.subarray(w.start, w.start + first));
      right.set(this.captureR.subarray(0, w.count - first), first);
    }
    this.port.postMessage(
      {
        type: 'capture',
        requestId: msg.requestId,
        sampleRate,
        endFrame: w.endFrame,
        left: left.buffer,
        right: right.buffer,
      },
      [left.buffer, right.buffer],
    );
  }

  process(inputs, outputs) {
    const out = outputs[0];
    const outL = out[0];
    const outR = out.length > 1 ? out[1] : scratch(outL.length);
    const n = outL.length;
    this.buffer.pull(outL, outR, n, currentFrame);

    for (let k = 0; k < n; k++) {
      // The ring holds only samples within +-1; interpolation can overshoot a little.
      let l = outL[k];
      let r = outR[k];
      if (l > 1) outL[k] = l = 1;
      else if (l < -1) outL[k] = l = -1;
      if (r > 1) outR[k] = r = 1;
      else if (r < -1) outR[k] = r = -1;
      const al = l < 0 ? -l : l;
      const ar = r < 0 ? -r : r;
      if (al > this.peakL) this.peakL = al;
      if (ar > this.peakR) this.peakR = ar;
      this.sumL += l * l;
      this.sumR += r * r;
    }
    this.meterFrames += n;

    if (this.captureL) {
      let w = this.captureWritten % this.captureFrames;
      for (let k = 0; k < n; k++) {
        this.captureL[w] = outL[k];
        this.captureR[w] = outR[k];
        if (++w === this.captureFrames) w = 0;
      }
      this.captureWritten += n;
    }

    this.sinceReport += n;
    if (this.sinceReport >= this.reportEvery) {
      this.sinceReport = 0;
      this.report();
    }
    return true;
  }

  report() {
    const frames = this.meterFrames || 1;
    const snapshot = this.buffer.snapshot();
    snapshot.malformed = this.malformed;
    if (snapshot.underruns !== this.reportedUnderruns && this.dataPort) {
      this.reportedUnderruns = snapshot.underruns;
      this.dataPort.postMessage({ type: 'underruns', count: snapshot.underruns });
    }
    this.port.postMessage({
      type: 'stats',
      frame: currentFrame,
      sampleRate,
      buffer: snapshot,
      peak: [this.peakL, this.peakR],
      rms: [Math.sqrt(this.sumL / frames), Math.sqrt(this.sumR / frames)],
      renders: this.buffer.takeRenders(),
    });
    this.peakL = this.peakR = this.sumL = this.sumR = 0;
    this.meterFrames = 0;
  }
}

let scratchBuffer = null;
function scratch(n) {
  if (!scratchBuffer || scratchBuffer.length !== n) scratchBuffer = new Float32Array(n);
  return scratchBuffer;
}

registerProcessor('orlune-player', OrlunePlayerProcessor);
