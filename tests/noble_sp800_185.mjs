// Outputs of @noble/hashes' sha3-addons (npm) for the SP 800-185 functions,
// the reference of cshake_test's differential test.
//
//   node noble_sp800_185.mjs NOBLE_DIR < requests.json
//
// NOBLE_DIR holds node_modules/@noble/hashes. The requests are a JSON list of
// {"fn", "in", "key", "n", "s", "tuple", "b", "len"}: fn one of cshake128,
// cshake256, kmac128, kmac256, kmac128xof, kmac256xof, tuplehash128,
// tuplehash256, tuplehash128xof, tuplehash256xof, parallelhash128,
// parallelhash256, parallelhash128xof, parallelhash256xof; byte strings in
// hex (tuple a list of them), b the ParallelHash block size, len the output
// bytes (at least 1). Prints one hex line per request.
import { readFileSync } from 'fs';
import path from 'path';
import { pathToFileURL } from 'url';

const dir = process.argv[2];
const addons = await import(
  pathToFileURL(path.join(dir, 'node_modules', '@noble', 'hashes', 'sha3-addons.js')).href);
const hex = (s) => Uint8Array.from(Buffer.from(s ?? '', 'hex'));
for (const r of JSON.parse(readFileSync(0, 'utf8'))) {
  const fn = addons[r.fn];
  const opts = { dkLen: r.len, personalization: hex(r.s) };
  let out;
  if (r.fn.startsWith('cshake')) {
    out = fn(hex(r.in), { ...opts, NISTfn: hex(r.n) });
  } else if (r.fn.startsWith('kmac')) {
    out = fn(hex(r.key), hex(r.in), opts);
  } else if (r.fn.startsWith('tuplehash')) {
    out = fn(r.tuple.map(hex), opts);
  } else {
    out = fn(hex(r.in), { ...opts, blockLen: r.b });
  }
  console.log(Buffer.from(out).toString('hex'));
}
