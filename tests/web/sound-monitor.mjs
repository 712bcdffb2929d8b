// What reaches the sound server: the private null sink's monitor recorded with parec, each
// sample stamped with the wall-clock time it was played. This is the listener's side of
// "datagram -> sound", measured outside the browser, so an engine whose output clock is
// wrong (or hidden) is measured the same as any other.
//
// parec hands over blocks of at most --latency-msec; a block's last sample was played no
// later than the moment the block arrives here. The earliest (arrival - samples so far)
// over the whole recording is therefore the time of sample 0, too late by at most the
// pipe's delay on the best block.
import { RATE } from './scenario.mjs';

export function startMonitor(procs, sound, name = 'monitor') {
  const child = procs.start(name, 'parec', [
    '-d', sound.monitor, '--raw', '--format=float32le', `--rate=${RATE}`, '--channels=1', '--latency-msec=5',
  ], { stdout: 'pipe', env: { ...process.env, ...sound.env } });
  const chunks = [];
  let bytes = 0;
  let originMs = Infinity;
  child.stdout.on('data', (buf) => {
    const now = performance.timeOrigin + performance.now();
    chunks.push(buf);
    bytes += buf.length;
    originMs = Math.min(originMs, now - ((bytes / 4) * 1000) / RATE);
  });
  return {
    // The recording so far: {samples: Float32Array, originMs: wall time of sample 0, rate}.
    take() {
      const all = Buffer.concat(chunks);
      const n = Math.floor(all.length / 4);
      const samples = new Float32Array(n);
      for (let i = 0; i < n; i++) samples[i] = all.readFloatLE(4 * i);
      return { samples, originMs, rate: RATE };
    },
    stop: () => procs.stop(child),
  };
}
