// Which part of the worklet's capture ring a capture request gets: the last `seconds`
// before context frame `endFrame` (or before now), as far as the ring still holds them.
// A test driver reads a long capture in pieces this way, so that no single read stalls
// the page (turning seconds of audio into text blocks the page's main thread, and in some
// engines the socket's delivery with it).
//
// `written`: frames written to the ring so far (frame `now` of the context is the next
// one); `total`: the ring's size. Returns {start, count, endFrame}: `count` frames from ring
// index `start` (wrapping), the last of them played just before context frame `endFrame`.
export function captureWindow({ written, total, now, seconds, endFrame, sampleRate }) {
  const held = Math.min(total, written);
  // Frames between the request's end and now; an end in the future or not given is now.
  const wantedEnd = Number.isFinite(endFrame) ? Math.floor(endFrame) : now;
  const behind = Math.max(0, Math.min(held, now - Math.min(now, wantedEnd)));
  const available = held - behind;
  const asked = Number.isFinite(seconds) && seconds > 0 ? Math.round(seconds * sampleRate) : total;
  const count = Math.max(0, Math.min(available, asked));
  const last = written - behind; // ring frames before this one are in the window
  const start = total > 0 ? (((last - count) % total) + total) % total : 0;
  return { start, count, endFrame: now - behind };
}
