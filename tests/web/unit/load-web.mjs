// Imports a browser module from web/ under Node. The files there are plain ES modules with
// a .js name, which Node would take for CommonJS: they are copied into a directory whose
// package.json says "module", so their imports of each other work as in the browser.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

export const webDir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..', '..', 'web');
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'orlune-web-unit-'));
process.on('exit', () => fs.rmSync(tmp, { recursive: true, force: true }));
fs.writeFileSync(path.join(tmp, 'package.json'), '{"type": "module"}\n');
for (const name of fs.readdirSync(webDir)) {
  if (name.endsWith('.js')) fs.copyFileSync(path.join(webDir, name), path.join(tmp, name));
}

export async function loadWebModule(name) {
  return import(pathToFileURL(path.join(tmp, name)).href);
}
