// How fast the audio output's clock runs against the page's (wall) clock, from the frame
// counts the worklet reports and the wall time each report reached the page.
//
// A report reaches the page some time after its frame was rendered, never before: of the
// reports in each block of `blockSeconds`, the one that came soonest (the least of
// wall time minus frame time) stands for the block, and the slope of those minima over
// the last `windowSeconds` is the output's offset (a device 110 ppm fast renders 110 ppm
// more frames a second of wall time, and the minima fall by 0.11 ms a second). A jump
// between blocks (the context stopped rendering, the page was throttled) starts afresh.
// The offset is told only once `minBlocks` are known and its standard error is below
// `maxErrorPpm`; until then it is 0.

export const OUTPUT_CLOCK_DEFAULTS = Object.freeze({
  blockSeconds: 1,
  windowSeconds: 60,
  minBlocks: 10,
  maxErrorPpm: 30, // an offset that is 30 ppm off slopes the delay by 0.03 ms/s
  jumpMs: 20,
});

export class OutputClock {
  constructor(options = {}) {
    this.o = { ...OUTPUT_CLOCK_DEFAULTS, ...options };
    this.blocks = []; // {t: s, y: ms}: each block's soonest report
    this.block = null;
    this.offset = 0; // the output's clock against the page's, as a fraction
    this.error = Infinity; // its standard error
  }

  // A report of the output's `frame` at `rate`, reaching the page at `wallMs`.
  add(frame, rate, wallMs) {
    if (!Number.isFinite(frame) || !(rate > 0) || !Number.isFinite(wallMs)) return;
    const t = frame / rate;
    const y = wallMs - t * 1000;
    const o = this.o;
    if (this.block && t >= this.block.start && t < this.block.start + o.blockSeconds) {
      if (y < this.block.y) {
        this.block.y = y;
        this.block.t = t;
      }
      return;
    }
    if (this.block) this.close(this.block);
    this.block = { start: t, t, y };
  }

  close(block) {
    const o = this.o;
    const last = this.blocks[this.blocks.length - 1];
    if (last && (block.t < last.t || Math.abs(block.y - last.y) > o.jumpMs)) this.blocks.length = 0;
    this.blocks.push({ t: block.t, y: block.y });
    while (this.blocks.length > 0 && block.t - this.blocks[0].t > o.windowSeconds) this.blocks.shift();
    this.fit();
  }

  fit() {
    const b = this.blocks;
    const n = b.length;
    if (n < this.o.minBlocks) return;
    let mt = 0;
    let my = 0;
    for (const p of b) {
      mt += p.t;
      my += p.y;
    }
    mt /= n;
    my /= n;
    let stt = 0;
    let sty = 0;
    for (const p of b) {
      stt += (p.t - mt) ** 2;
      sty += (p.t - mt) * (p.y - my);
    }
    if (stt === 0) return;
    const slope = sty / stt; // ms of wall time per s of output time, less one
    let sse = 0;
    for (const p of b) sse += (p.y - my - slope * (p.t - mt)) ** 2;
    const error = Math.sqrt(sse / (n - 2) / stt) / 1000;
    this.error = error;
    if (error * 1e6 <= this.o.maxErrorPpm) this.offset = -slope / 1000;
  }
}
