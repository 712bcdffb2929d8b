// Which message started to play when: the jitter buffer notes where each pushed block
// starts in its ring (a mark) and, once the output has read past it, at which output frame
// it was played (a render record). The page turns these into the latency read-out. Fixed
// arrays only: this runs on the audio thread.

// Fields of one render record, in the order takeRenders() hands them out:
//   id        the caller's id of the message (one per WebSocket message)
//   sequence  the block's sequence number
//   arrival   when the message reached the page (epoch ms)
//   frame     the output frame (the context's clock) at which its first frame played
//   held      frames of audio the relay waited for after this block's first sample to
//             complete its message (Opus packing and the codec's look-ahead; 0 on Lossless)
export const RENDER_FIELDS = 5;

export class RenderLog {
  constructor(markCapacity = 2048, recordCapacity = 4096) {
    this.markPos = new Float64Array(markCapacity);
    this.markInfo = new Float64Array(markCapacity * 4); // id, sequence, arrival, held
    this.markHead = 0;
    this.markCount = 0;
    this.records = new Float64Array(recordCapacity * RENDER_FIELDS);
    this.recordCapacity = recordCapacity;
    this.recordHead = 0;
    this.recordCount = 0;
    this.overflow = 0;
  }

  mark(pos, id, sequence, arrival, held) {
    const cap = this.markPos.length;
    if (this.markCount === cap) {
      this.markHead = (this.markHead + 1) % cap;
      this.markCount--;
    }
    const i = (this.markHead + this.markCount) % cap;
    this.markPos[i] = pos;
    this.markInfo[4 * i] = id;
    this.markInfo[4 * i + 1] = sequence;
    this.markInfo[4 * i + 2] = arrival;
    this.markInfo[4 * i + 3] = held;
    this.markCount++;
  }

  // Marks before `pos` will never be played (dropped or jumped over).
  dropBefore(pos) {
    const cap = this.markPos.length;
    while (this.markCount > 0 && this.markPos[this.markHead] < pos) {
      this.markHead = (this.markHead + 1) % cap;
      this.markCount--;
    }
  }

  // Marks from `pos` on were overwritten (the level was lowered at the write end).
  dropFrom(pos) {
    const cap = this.markPos.length;
    while (this.markCount > 0 && this.markPos[(this.markHead + this.markCount - 1) % cap] >= pos) this.markCount--;
  }

  // The output read from `startPos` up to `endPos` at `ratio` input frames per output
  // frame, starting at output frame `frameStamp`: every mark passed becomes a record.
  played(startPos, endPos, ratio, frameStamp) {
    const cap = this.markPos.length;
    while (this.markCount > 0) {
      const pos = this.markPos[this.markHead];
      if (pos >= endPos) break;
      const offset = pos <= startPos ? 0 : Math.ceil((pos - startPos) / ratio);
      this.record(this.markHead, frameStamp + offset);
      this.markHead = (this.markHead + 1) % cap;
      this.markCount--;
    }
  }

  record(mark, frame) {
    const cap = this.recordCapacity;
    if (this.recordCount === cap) {
      this.recordHead = (this.recordHead + 1) % cap;
      this.recordCount--;
      this.overflow++;
    }
    const r = RENDER_FIELDS * ((this.recordHead + this.recordCount) % cap);
    this.records[r] = this.markInfo[4 * mark];
    this.records[r + 1] = this.markInfo[4 * mark + 1];
    this.records[r + 2] = this.markInfo[4 * mark + 2];
    this.records[r + 3] = frame;
    this.records[r + 4] = this.markInfo[4 * mark + 3];
    this.recordCount++;
  }

  // Removes and returns the records gathered so far, flat, RENDER_FIELDS per record.
  // (Called when the worklet reports, not per render quantum: it may allocate.)
  take() {
    const out = new Array(this.recordCount * RENDER_FIELDS);
    for (let k = 0; k < this.recordCount; k++) {
      const r = RENDER_FIELDS * ((this.recordHead + k) % this.recordCapacity);
      for (let f = 0; f < RENDER_FIELDS; f++) out[RENDER_FIELDS * k + f] = this.records[r + f];
    }
    this.recordHead = 0;
    this.recordCount = 0;
    return out;
  }
}
