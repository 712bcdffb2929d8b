// The WebCodecs decoder is set up before the first packet, so that a change of tier does
// not wait for it; a decoder that closed or failed is set up again.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { loadWebModule } from './load-web.mjs';

const { WebCodecsOpusBackend } = await loadWebModule('opus-decoding.js');

function fakeCodecs() {
  const made = [];
  class FakeDecoder {
    constructor(init) {
      this.init = init;
      this.state = 'unconfigured';
      this.chunks = [];
      made.push(this);
    }
    configure(config) {
      this.config = config;
      this.state = 'configured';
    }
    decode(chunk) {
      this.chunks.push(chunk);
    }
    close() {
      this.state = 'closed';
    }
  }
  class FakeChunk {
    constructor(init) {
      Object.assign(this, init);
    }
  }
  return { made, FakeDecoder, FakeChunk };
}

test('warm() configures one decoder ahead of the packets, which then go to it', () => {
  const { made, FakeDecoder, FakeChunk } = fakeCodecs();
  const backend = new WebCodecsOpusBackend(FakeDecoder, FakeChunk);
  backend.warm();
  backend.warm();
  assert.equal(made.length, 1);
  assert.equal(made[0].state, 'configured');
  assert.equal(made[0].config.codec, 'opus');
  assert.ok(backend.decode(7, new Uint8Array([0xfc])));
  assert.equal(made.length, 1);
  assert.equal(made[0].chunks[0].timestamp, 7);
});

test('a decoder that closed or failed is set up afresh, by warm() or the next packet', () => {
  const { made, FakeDecoder, FakeChunk } = fakeCodecs();
  const backend = new WebCodecsOpusBackend(FakeDecoder, FakeChunk);
  backend.warm();
  made[0].close();
  backend.warm();
  assert.equal(made.length, 2);
  let failed = 0;
  backend.onError = () => failed++;
  made[1].init.error(new Error('decoder died'));
  assert.equal(failed, 1);
  assert.ok(backend.decode(1, new Uint8Array([0xfc])));
  assert.equal(made.length, 3);
  assert.equal(made[2].chunks.length, 1);
});
