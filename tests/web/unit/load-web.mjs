// Imports a browser module from web/ under Node. The files there are plain ES modules with
// a .js name; Node would take them for CommonJS, so each is copied under a .mjs name first.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const webDir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..', '..', 'web');
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'orlune-web-unit-'));
process.on('exit', () => fs.rmSync(tmp, { recursive: true, force: true }));

export async function loadWebModule(name) {
  const target = path.join(tmp, name.replace(/\.js$/, '.mjs'));
  fs.copyFileSync(path.join(webDir, name), target);
  return import(pathToFileURL(target).href);
}
