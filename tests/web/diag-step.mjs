// By hand: where a session kept with ORLUNE_MATRIX_RAW=DIR (matrix.mjs) has its largest
// steps in one segment, and where that segment's lost datagrams played.
//   node tests/web/diag-step.mjs DIR [segment]
import fs from 'node:fs';
import path from 'node:path';
import { captureChanges, parseScriptLog } from './judge.mjs';
import * as S from './scenario.mjs';

const dir = process.argv[2];
const want = process.argv[3] || 'loss';
const s = JSON.parse(fs.readFileSync(path.join(dir, 'session.json')));
const log = parseScriptLog(path.join(dir, 'sent.txt'));
const read = s.early || s.late;
const { capture, readMs, records } = read;
const sr = capture.sampleRate;
const { x, start, changes } = captureChanges(log, capture, readMs, records);
const segIndex = S.SCRIPTS[s.script].findIndex((g) => g.name === want);
const seqs = [];
for (let d = 0; d < log.count; d++) if (log.seg[d] === segIndex) seqs.push(d);
const near = (pos) => {
  let best = changes[0];
  for (const c of changes) if (c.k * S.STRETCH <= pos) best = c;
  return best.frame + (pos - best.k * S.STRETCH) * (sr / S.RATE);
};
const from = Math.round(near(seqs[0] * S.FRAMES)) - start;
const to = Math.round(near((seqs[seqs.length - 1] + 1) * S.FRAMES)) - start;
const ownStep = S.AMPLITUDE * 2 * Math.sin((Math.PI * Math.max(...S.FREQS)) / sr);
const steps = [];
for (let i = Math.max(1, from); i < Math.min(x.length, to); i++) steps.push({ i, d: Math.abs(x[i] - x[i - 1]) / ownStep });
steps.sort((a, b) => b.d - a.d);
const t0 = s.timeline[0];
for (const st of steps.slice(0, 8)) {
  const frame = start + st.i;
  const ms = t0.ms + ((frame - t0.frame) * 1000) / sr;
  console.log(`step ${st.d.toFixed(2)}x at frame ${frame} (${((ms - t0.ms) / 1000).toFixed(3)} s after the first timeline entry)`);
}
const top = steps[0].i;
console.log(Array.from(x.subarray(top - 12, top + 12), (v) => v.toFixed(3)).join(' '));
// The datagrams lost upstream in the segment, at the capture frame where they would have played.
const lostSeqs = seqs.filter((d) => log.lost.has(d));
console.log('lost at frames', lostSeqs.map((d) => Math.round(near(d * S.FRAMES))).join(' '));
