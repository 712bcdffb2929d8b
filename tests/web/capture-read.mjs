// Reads a long capture from the page in pieces, newest first, each ending where the one
// after it begins. One read of tens of seconds turns megabytes of audio into text on the
// page's main thread; in Firefox and WebKit that holds up the socket's messages long
// enough to run the jitter buffer dry, which the recording then shows as the listener's
// fault. Pieces of a second, with a pause between them, leave the page responsive.

// `evaluate(fn, arg, timeoutMs)` runs fn(arg) in the page (harness page.evaluate).
// Returns {sampleRate, endFrame, frames, left, right} as window.orluneCapture does
// (base64 little-endian float32; `right` null when `channels` is 1), and `endReadMs`: the
// wall-clock time (`now()`) around which the newest piece, and so `endFrame`, was read.
export async function readCaptureInPieces(evaluate, seconds, { pieceSeconds = 1, pauseMs = 40, channels = 2, sleep, now = Date.now } = {}) {
  const wait = sleep || ((ms) => new Promise((r) => setTimeout(r, ms)));
  const read = (s, endFrame) =>
    evaluate(async (a) => {
      const c = await window.orluneCapture(a.s, { endFrame: a.endFrame ?? undefined, channels: a.channels });
      return c.right === '' && a.channels === 1 ? { ...c, right: null } : c;
    }, { s, endFrame, channels }, 30000);
  const left = [];
  const right = [];
  let sampleRate = 0;
  let endFrame = NaN;
  let begin = NaN; // context frame the pieces read so far start at
  let endReadMs = NaN;
  let remaining = seconds;
  while (remaining > 1e-9) {
    const s = Math.min(pieceSeconds, remaining);
    const asked = now();
    const piece = await read(s, Number.isFinite(begin) ? begin : null);
    if (!Number.isFinite(endFrame)) {
      endReadMs = (asked + now()) / 2;
      sampleRate = piece.sampleRate;
      endFrame = piece.endFrame;
    }
    if (piece.frames === 0) break; // the ring holds nothing older
    left.unshift(Buffer.from(piece.left, 'base64'));
    if (channels !== 1) right.unshift(Buffer.from(piece.right, 'base64'));
    begin = piece.endFrame - piece.frames;
    remaining -= s;
    // Shorter than asked: the ring's start is reached.
    if (piece.frames < Math.round(s * sampleRate)) break;
    if (remaining > 1e-9) await wait(pauseMs);
  }
  const l = Buffer.concat(left);
  return {
    sampleRate,
    endFrame,
    endReadMs,
    frames: l.length / 4,
    left: l.toString('base64'),
    right: channels === 1 ? null : Buffer.concat(right).toString('base64'),
  };
}
