// Digests from @noble/hashes (npm), the reference of the examples' tests for
// the functions that Python's hashlib lacks.
//
//   node noble_digest.mjs NOBLE_DIR < requests.json
//
// NOBLE_DIR holds node_modules/@noble/hashes (`npm install --prefix NOBLE_DIR
// @noble/hashes`). The requests are a JSON list of {"algo", "path", "len"}
// with algo one of turboshake128, turboshake256 (domain byte 0x1F), kt128,
// kt256 (no customization) and keccak256; prints one hex line per request.
import { readFileSync } from 'fs';
import path from 'path';
import { pathToFileURL } from 'url';

const dir = process.argv[2];
const load = (name) =>
  import(pathToFileURL(path.join(dir, 'node_modules', '@noble', 'hashes', name)).href);
const addons = await load('sha3-addons.js');
const sha3 = await load('sha3.js');
const functions = {
  turboshake128: (m, n) => addons.turboshake128(m, { D: 0x1f, dkLen: n }),
  turboshake256: (m, n) => addons.turboshake256(m, { D: 0x1f, dkLen: n }),
  kt128: (m, n) => addons.kt128(m, { dkLen: n }),
  kt256: (m, n) => addons.kt256(m, { dkLen: n }),
  keccak256: (m) => sha3.keccak_256(m),
};
for (const r of JSON.parse(readFileSync(0, 'utf8'))) {
  const digest = r.len === 0 ? new Uint8Array(0) : functions[r.algo](readFileSync(r.path), r.len);
  console.log(Buffer.from(digest).toString('hex'));
}
