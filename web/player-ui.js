// The player page's display: status line, Listen button, buffer and latency figures, the
// quality control and the level meter. It only reads the Player's state (player.js).

import { toDbfs } from './player-core.js';

const STATUS_TEXT = {
  idle: 'Press Listen to hear this room',
  starting: 'Starting audio…',
  connecting: 'Connecting…',
  waiting: 'Waiting for the stream',
  buffering: 'Buffering…',
  playing: 'Playing',
  reconnecting: 'Connection lost — reconnecting',
  suspended: 'Audio paused — press Resume',
  error: 'Error',
};

export function makeUi(outputClockSafe) {
  const $ = (id) => document.getElementById(id);
  const el = {
    room: $('room'),
    button: $('listen'),
    status: $('status'),
    statusText: $('status-text'),
    buffered: $('buffered'),
    target: $('target'),
    underruns: $('underruns'),
    lost: $('lost'),
    latency: $('latency'),
    meterL: $('meter-l'),
    meterR: $('meter-r'),
    meterDb: $('meter-db'),
    quality: $('quality'),
    tier: $('tier'),
    qualityNote: $('quality-note'),
  };
  let tierList = '';
  const decodeErrors = { count: 0, at: -Infinity };
  const meter = { l: -90, r: -90, targetL: -90, targetR: -90, last: 0 };

  function setText(node, text) {
    if (node && node.textContent !== text) node.textContent = text;
  }

  function update(player) {
    const state = player.state();
    el.status.dataset.state = state;
    let text = STATUS_TEXT[state] || state;
    if (state === 'error') text = `Error: ${player.error}`;
    if (state === 'reconnecting' && player.reconnectInMs > 0) {
      text = `Connection lost — reconnecting in ${Math.ceil(player.reconnectInMs / 1000)} s`;
    }
    if (state === 'waiting' && player.net.live === false) text = 'Waiting for the stream — the source is not sending';
    setText(el.statusText, text);
    setText(el.button, !player.running ? 'Listen' : state === 'suspended' ? 'Resume' : 'Stop');
    el.button.classList.toggle('active', player.running);

    const w = player.worklet;
    const b = (w && w.buffer) || { bufferedMs: 0, targetMs: 0, underruns: 0, lost: 0 };
    const latencyMs = player.latency.recentMedian();
    setText(el.buffered, player.running ? `${Math.round(b.bufferedMs)}` : '–');
    setText(el.target, player.running ? `target ${Math.round(b.targetMs)}` : '');
    setText(el.underruns, `${b.underruns}`);
    // Frames the Opus decoder concealed never reach the buffer as a gap: count them here.
    const concealed = (player.net.quality && player.net.quality.opus && player.net.quality.opus.concealedMissing) || 0;
    setText(el.lost, `${b.lost + concealed}`);
    // Where the output clock may not be read, or the engine does not tell its output latency,
    // the figure leaves out the output's own latency: it is a lower bound, and says so.
    const known = outputClockSafe && player.outputLatencyKnown !== false;
    setText(el.latency, latencyMs === null || state !== 'playing' ? '–' : `${Math.round(latencyMs)}${known ? '' : '+'}`);
    if (!known) el.latency.title = 'at least: this browser does not report its output latency';
    else el.latency.removeAttribute('title');
    updateQuality(player);
    meter.targetL = player.running && w ? toDbfs(w.peak[0]) : -90;
    meter.targetR = player.running && w ? toDbfs(w.peak[1]) : -90;
  }

  function updateQuality(player) {
    const q = player.net.quality || {};
    const tiers = q.tiers || [];
    const list = tiers.map((t) => `${t.name}:${t.bitrate}`).join(',');
    if (list !== tierList) {
      tierList = list;
      const options = [['auto', 'Auto']].concat(tiers.map((t) => [t.name, `${tierName(t.name)} · ${formatBps(t.bitrate)}`]));
      el.quality.replaceChildren(...options.map(([value, label]) => new Option(label, value)));
    }
    if (el.quality.value !== player.quality && [...el.quality.options].some((o) => o.value === player.quality)) {
      el.quality.value = player.quality;
    }
    let text = '–';
    if (player.running && q.tier) {
      const codec = q.codec === 'opus' ? 'Opus' : q.codec === 'pcm-f32' ? 'PCM' : q.codec;
      text = `${q.auto ? 'Auto: ' : ''}${tierName(q.tier)} (${codec}) · ${formatBps(q.receivedBps)}`;
    }
    setText(el.tier, text);
    const errors = (q.opus && q.opus.decodeErrors) || 0;
    if (errors !== decodeErrors.count) {
      decodeErrors.count = errors;
      decodeErrors.at = performance.now();
    }
    const recentErrors = errors > 0 && performance.now() - decodeErrors.at < 5000;
    const errorText = recentErrors ? `${errors} Opus frames could not be decoded; they were concealed` : '';
    const noteText = q.formatError || q.note || errorText;
    setText(el.qualityNote, noteText);
    el.qualityNote.hidden = !noteText;
  }

  // Peak meter: rises at once, falls 20 dB per second.
  function animate(now) {
    const dt = meter.last ? Math.min(0.1, (now - meter.last) / 1000) : 0;
    meter.last = now;
    meter.l = meter.targetL > meter.l ? meter.targetL : Math.max(meter.targetL, meter.l - 20 * dt);
    meter.r = meter.targetR > meter.r ? meter.targetR : Math.max(meter.targetR, meter.r - 20 * dt);
    const width = (db) => `${Math.max(0, Math.min(100, ((db + 60) / 60) * 100)).toFixed(1)}%`;
    el.meterL.style.width = width(meter.l);
    el.meterR.style.width = width(meter.r);
    const top = Math.max(meter.l, meter.r);
    setText(el.meterDb, top <= -60 ? '−∞ dB' : `${top.toFixed(1).replace('-', '−')} dB`);
    requestAnimationFrame(animate);
  }
  requestAnimationFrame(animate);

  return { el, update };
}

function tierName(name) {
  return name ? name.charAt(0).toUpperCase() + name.slice(1) : '';
}

function formatBps(bps) {
  if (!(bps > 0)) return '0 kbit/s';
  return bps >= 1e6 ? `${(bps / 1e6).toFixed(1)} Mbit/s` : `${Math.round(bps / 1000)} kbit/s`;
}
