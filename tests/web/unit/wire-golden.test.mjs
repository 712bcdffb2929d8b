// The page's parsers against the relay's golden byte vectors (tests/wire/golden/listener-*.json,
// written from the relay's own encoders): one file per message kind,
//   {"kind": "...", "vectors": [{"name", "hex" | "text", "fields"}]}
// with int64 fields as decimal strings. A vector whose `fields` is null is a message the
// page must refuse. Fails when there are no such files: a silent pass would prove nothing.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { describe, test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { loadWebModule } from './load-web.mjs';

const wire = await loadWebModule('wire.js');
const { streamFormat } = await loadWebModule('stream-format.js');
const { checkHello } = await loadWebModule('player-core.js');

const goldenDir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..', 'wire', 'golden');
const files = fs.existsSync(goldenDir) ? fs.readdirSync(goldenDir).filter((f) => /^listener-.*\.json$/.test(f)).sort() : [];

const bytes = (hex) => {
  assert.match(hex, /^([0-9a-f]{2})*$/, 'lowercase hex');
  const b = new Uint8Array(hex.length / 2);
  for (let i = 0; i < b.length; i++) b[i] = parseInt(hex.slice(2 * i, 2 * i + 2), 16);
  return b.buffer;
};
const hexOf = (u8) => Array.from(u8, (x) => x.toString(16).padStart(2, '0')).join('');
const int64 = (s) => Number(BigInt(s));
// The page keeps positions as Numbers: an int64 beyond 2^53 cannot be held exactly, so a
// message carrying one is refused rather than misplaced.
const beyondNumbers = (f) =>
  f !== null && [f.sequence, f.position].some((s) => s !== undefined && BigInt(s) ** 2n > 2n ** 106n);

const checks = {
  'listener-float32'(v) {
    const m = wire.parseFloatMessage(bytes(v.hex));
    if (v.fields === null || beyondNumbers(v.fields)) return assert.equal(m, null);
    assert.equal(m.sequence, int64(v.fields.sequence));
    assert.equal(m.samplePosition, int64(v.fields.position));
    assert.equal(m.samples.length / 2, v.fields.frames);
    v.fields.samples.forEach((x, i) => assert.ok(m.samples[i] === Math.fround(x), `sample ${i}: ${m.samples[i]} vs ${x}`));
    assert.equal(wire.floatMessagePosition(bytes(v.hex)), m.samplePosition);
  },
  'listener-opus'(v) {
    const m = wire.parseOpusMessage(bytes(v.hex));
    if (v.fields === null || beyondNumbers(v.fields)) return assert.equal(m, null);
    assert.equal(m.sequence, int64(v.fields.sequence));
    assert.equal(m.samplePosition, int64(v.fields.position));
    assert.equal(m.frameSamples, v.fields.frameSamples);
    assert.equal(m.packets.length, v.fields.frames.length);
    v.fields.frames.forEach((f, k) => {
      if (f.length === 0) assert.equal(m.packets[k], null, `frame ${k} is missing`);
      else assert.deepEqual([m.packets[k].length, hexOf(m.packets[k])], [f.length, f.hex], `frame ${k}`);
    });
  },
  'listener-events'(v) {
    const m = wire.parseEvent(v.text);
    if (v.fields === null) return assert.equal(m, null);
    assert.deepEqual(m, v.fields);
    if (m.type === 'hello') {
      assert.equal(checkHello(m), null);
      assert.equal(streamFormat(m).error, undefined);
    }
    if (m.type === 'codec') assert.equal(streamFormat(m).error, undefined, 'a codec the page plays');
  },
  // What the page sends: its writer must produce the relay's reference text exactly.
  'listener-requests'(v) {
    if (v.fields.tier === null) return; // a request the page never writes (the relay's own case)
    assert.equal(wire.qualityRequest(v.fields.tier), v.text);
  },
};

describe('golden vectors of the relay', () => {
  test('there are vectors for the listener messages', () => {
    assert.ok(files.length > 0, `no listener-*.json in ${goldenDir}`);
  });
  for (const file of files) {
    test(file, () => {
      const doc = JSON.parse(fs.readFileSync(path.join(goldenDir, file), 'utf8'));
      const check = checks[doc.kind];
      assert.ok(check, `unknown kind ${doc.kind}`);
      assert.ok(Array.isArray(doc.vectors) && doc.vectors.length > 0);
      for (const v of doc.vectors) {
        try {
          check(v);
        } catch (err) {
          err.message = `${v.name}: ${err.message}`;
          throw err;
        }
      }
    });
  }
});
