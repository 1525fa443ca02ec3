// A local stand-in for MEGA's API and storage servers, for tests only.
// Written apart from the tool, on Node's own crypto, so that a misreading of
// MEGA's formats cannot pass both sides.
//
//   node mega-emulator.mjs --cert FILE --key FILE [--rate BYTES_PER_SECOND] [--latency MS]
// prints "READY <port>" once it listens on 127.0.0.1 over HTTPS. --rate caps
// what each storage answer sends (and so each connection, whose answers come
// one after another), --latency waits before each storage answer, as distant
// storage servers do; LARK_EMULATOR_RATE and LARK_EMULATOR_LATENCY_MS do the
// same, and POST /_control/shape {rate, latencyMs, slowRate} changes them at
// run time; slowRate caps one connection apart, as a bad path does (when it
// closes, the next connection to ask takes its place).
//
// Control requests (JSON bodies):
//   POST /_control/file   {path, name, handle?}                -> {handle, key, link}
//   POST /_control/share  {nodes: [...], raw: [...], folderKey?} -> {handle, key, link, handles, keys}
//   POST /_control/share  {generate: {folders, files, size}}     -> {handle, key, link} of a large share
//   POST /_control/fault  {api?: {...}, range?: {...}}          -> {}
//   POST /_control/shape  {rate?, latencyMs?, slowRate?}        -> {}
//   POST /_control/reset  {}                                    -> {}
//   GET  /_control/log                                          -> [{method, path, query, body, connection}]
import crypto from 'node:crypto';
import fs from 'node:fs';
import https from 'node:https';

const args = Object.fromEntries(
  process.argv.slice(2).reduce((pairs, value, i, all) => (i % 2 === 0 ? [...pairs, [value.replace(/^--/, ''), all[i + 1]]] : pairs), []),
);

const b64url = (bytes) => Buffer.from(bytes).toString('base64').replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
const handleAlphabet = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-';
const newHandle = () => Array.from(crypto.randomBytes(8), (b) => handleAlphabet[b % 64]).join('');

function aes(mode, key, iv, data, encrypt = true) {
  const cipher = (encrypt ? crypto.createCipheriv : crypto.createDecipheriv)(`aes-128-${mode}`, key, mode === 'ecb' ? null : iv);
  cipher.setAutoPadding(false);
  return Buffer.concat([cipher.update(data), cipher.final()]);
}

function xor(a, b) {
  const out = Buffer.alloc(a.length);
  for (let i = 0; i < a.length; i++) out[i] = a[i] ^ b[i];
  return out;
}

function padToBlock(data) {
  const rest = data.length % 16;
  return rest === 0 ? data : Buffer.concat([data, Buffer.alloc(16 - rest)]);
}

// Chunk sizes MEGA computes its MACs over: 128 KiB, 256 KiB, ... up to 1 MiB, then 1 MiB each.
function* chunks(size) {
  let start = 0;
  let length = 131072;
  while (start < size) {
    const end = Math.min(start + length, size);
    yield [start, end];
    start = end;
    if (length < 1048576) length += 131072;
  }
}

// Encrypts plaintext the way MEGA stores a file; returns the ciphertext and the 32-byte file key.
function encryptFile(plain) {
  const aesKey = crypto.randomBytes(16);
  const nonce = crypto.randomBytes(8);
  const counter = Buffer.concat([nonce, Buffer.alloc(8)]);
  const cipherText = aes('ctr', aesKey, counter, plain);
  let mac = Buffer.alloc(16);
  const macIv = Buffer.concat([nonce, nonce]);
  for (const [start, end] of chunks(plain.length)) {
    const encrypted = aes('cbc', aesKey, macIv, padToBlock(plain.subarray(start, end)));
    mac = aes('ecb', aesKey, null, xor(mac, encrypted.subarray(encrypted.length - 16)));
  }
  const condensed = Buffer.from([
    mac[0] ^ mac[4], mac[1] ^ mac[5], mac[2] ^ mac[6], mac[3] ^ mac[7],
    mac[8] ^ mac[12], mac[9] ^ mac[13], mac[10] ^ mac[14], mac[11] ^ mac[15],
  ]);
  const secondHalf = Buffer.concat([nonce, condensed]);
  return { cipherText, fileKey: Buffer.concat([xor(aesKey, secondHalf), secondHalf]) };
}

function attributeKey(key) {
  return key.length === 32 ? xor(key.subarray(0, 16), key.subarray(16)) : key;
}

function encryptAttributes(object, key, rawJson) {
  const json = rawJson ?? Buffer.from(JSON.stringify(object), 'utf8');
  const plain = padToBlock(Buffer.concat([Buffer.from('MEGA'), json]));
  return b64url(aes('cbc', attributeKey(key), Buffer.alloc(16), plain));
}

let files = new Map(); // handle -> {cipherText, fileKey, name, attributes}
let shares = new Map(); // share handle -> {entries, nodes: Map(handle -> file)}
let downloads = new Map(); // token -> cipherText
let faults = {};
let log = [];
const startShape = {
  rate: Number(args.rate ?? process.env.LARK_EMULATOR_RATE ?? 0),
  latencyMs: Number(args.latency ?? process.env.LARK_EMULATOR_LATENCY_MS ?? 0),
};
let shape = { ...startShape };
let slowSocket = null;

// Sends a storage answer at the shaped rate: slices on a timer, after the latency.
function sendShaped(response, status, body, headers) {
  const start = () => {
    if (response.destroyed) return;
    response.writeHead(status, { ...headers, 'Content-Length': body.length });
    const socket = response.socket;
    if (shape.slowRate && (!slowSocket || slowSocket.destroyed)) slowSocket = socket;
    const rate = shape.slowRate && socket === slowSocket ? shape.slowRate : shape.rate;
    if (!rate) return response.end(body);
    // What is due is counted from the clock, so a late timer does not lower the rate.
    const began = performance.now();
    let at = 0;
    const timer = setInterval(() => {
      if (response.destroyed) return clearInterval(timer);
      const due = Math.min(body.length, Math.floor((rate * (performance.now() - began)) / 1000));
      if (due > at) response.write(body.subarray(at, due));
      at = due;
      if (at >= body.length) {
        clearInterval(timer);
        response.end();
      }
    }, 20);
    response.on('close', () => clearInterval(timer));
  };
  if (shape.latencyMs > 0) setTimeout(start, shape.latencyMs);
  else start();
}

function reset() {
  files = new Map();
  shares = new Map();
  downloads = new Map();
  faults = {};
  log = [];
  shape = { ...startShape };
}

function addFile(spec) {
  const plain = fs.readFileSync(spec.path);
  const { cipherText, fileKey } = encryptFile(plain);
  const handle = spec.handle ?? newHandle();
  const file = { cipherText, fileKey, size: plain.length, attributes: encryptAttributes({ n: spec.name, c: 'x' }, fileKey) };
  files.set(handle, file);
  return { handle, key: b64url(fileKey), link: `https://mega.nz/file/${handle}#${b64url(fileKey)}` };
}

// nodes: [{id, type: 'folder'|'file', name, parent (an id, or null), path (files), fault}]
// fault: 'unreadable' (attributes under another key), 'wrongKeyLength', 'negativeSize', 'noSize', 'badType'
function addShare(spec) {
  const folderKey = spec.folderKey ? Buffer.from(spec.folderKey, 'base64url') : crypto.randomBytes(16);
  const shareHandle = newHandle();
  const handles = {};
  const keys = {};
  for (const node of spec.nodes) handles[node.id] = node.handle ?? newHandle();
  const share = { entries: [], nodes: new Map() };
  for (const node of spec.nodes) {
    const handle = handles[node.id];
    let key;
    let size = 0;
    if (node.type === 'file') {
      const plain = node.path ? fs.readFileSync(node.path) : Buffer.alloc(0);
      const encrypted = encryptFile(plain);
      key = encrypted.fileKey;
      size = plain.length;
      share.nodes.set(handle, { cipherText: encrypted.cipherText, fileKey: key, size });
      keys[node.id] = b64url(key);
    } else {
      key = crypto.randomBytes(16);
    }
    // nameBytes (base64) puts raw bytes, valid UTF-8 or not, into the name.
    const rawJson = node.nameBytes
      ? Buffer.concat([Buffer.from('{"n":"'), Buffer.from(node.nameBytes, 'base64'), Buffer.from('"}')])
      : undefined;
    const attributes = encryptAttributes({ n: node.name }, node.fault === 'unreadable' ? crypto.randomBytes(key.length) : key, rawJson);
    if (share.nodes.has(handle)) share.nodes.get(handle).attributes = attributes;
    let wrapped = aes('ecb', folderKey, null, key);
    if (node.fault === 'wrongKeyLength')
      wrapped = node.type === 'file' ? wrapped.subarray(0, 16) : Buffer.concat([wrapped, crypto.randomBytes(16)]);
    const entry = {
      h: handle,
      p: node.parent ? handles[node.parent] ?? node.parent : undefined,
      u: 'emulator',
      t: node.fault === 'badType' ? 2 : node.type === 'file' ? 0 : 1,
      a: attributes,
      k: node.noColon
        ? b64url(wrapped)
        : `${node.decoyKeyPart ? `${shareHandle}:${b64url(crypto.randomBytes(key.length))}/` : ''}${shareHandle}:${b64url(wrapped)}`,
      ts: 1700000000,
    };
    if (node.type === 'file' && node.fault !== 'noSize') entry.s = node.fault === 'negativeSize' ? -1 : size;
    share.entries.push(entry);
  }
  if (spec.generate) generateEntries(share, folderKey, shareHandle, spec.generate);
  // One at a time: spreading a million entries into push() overflows the stack.
  for (const entry of spec.raw ?? []) share.entries.push(entry);
  shares.set(shareHandle, share);
  return { handle: shareHandle, key: b64url(folderKey), link: `https://mega.nz/folder/${shareHandle}#${b64url(folderKey)}`, handles, keys };
}

// A large share made here rather than sent: a root, `folders` folders under it
// and `files` files of `size` bytes spread over them, named "Folder N" and
// "Clip N.mp4" (every third "Clip N.jpg"). Their content is not kept.
function generateEntries(share, folderKey, shareHandle, { folders, files, size = 0 }) {
  const root = newHandle();
  const folderHandles = Array.from({ length: folders }, () => newHandle());
  const entry = (handle, parent, type, name) => {
    const key = crypto.randomBytes(type === 0 ? 32 : 16);
    const result = {
      h: handle,
      p: parent,
      u: 'emulator',
      t: type,
      a: encryptAttributes({ n: name }, key),
      k: `${shareHandle}:${b64url(aes('ecb', folderKey, null, key))}`,
      ts: 1700000000,
    };
    if (type === 0) result.s = size;
    return result;
  };
  share.entries.push(entry(root, undefined, 1, 'Archive'));
  folderHandles.forEach((handle, i) => share.entries.push(entry(handle, root, 1, `Folder ${i}`)));
  for (let i = 0; i < files; i++)
    share.entries.push(entry(newHandle(), folderHandles[i % folders] ?? root, 0, `Clip ${i}.${i % 3 ? 'mp4' : 'jpg'}`));
}

// A fault applies to `count` matching requests (default: all), after skipping `after` of them,
// or with `every` to one request in so many;
// a range fault with `first` matches only the range that starts there, whatever order ranges arrive in.
function takeFault(kind, first) {
  const fault = faults[kind];
  if (!fault) return null;
  if (fault.first !== undefined && fault.first !== first) return null;
  // every: the one matching request in so many.
  if (fault.every !== undefined) {
    fault.seen = (fault.seen ?? 0) + 1;
    if (fault.seen % fault.every !== 0) return null;
  }
  if ((fault.after ?? 0) > 0) {
    fault.after--;
    return null;
  }
  if (fault.count !== undefined) {
    if (fault.count <= 0) return null;
    fault.count--;
  }
  return fault;
}

function reply(response, status, body, type = 'application/json') {
  const bytes = Buffer.isBuffer(body) ? body : Buffer.from(typeof body === 'string' ? body : JSON.stringify(body));
  response.writeHead(status, { 'Content-Type': type, 'Content-Length': bytes.length });
  response.end(bytes);
}

function apiCommand(command, share, port) {
  if (command.a === 'f') {
    const found = shares.get(share);
    if (!found) return -9;
    return { f: found.entries, ok: [], noc: 1 };
  }
  if (command.a === 'g') {
    const file = command.n !== undefined ? shares.get(share)?.nodes.get(command.n) : files.get(command.p);
    if (!file) return -9;
    const token = crypto.randomBytes(12).toString('hex');
    downloads.set(token, file.cipherText);
    const result = { s: file.size, g: `http://127.0.0.1:${port}/dl/${token}`, msd: 1, tl: 0 };
    if (file.attributes && !faults.omitAttributes) result.at = file.attributes;
    return result;
  }
  return -2;
}

function handleApi(request, response, body, url, port) {
  const fault = takeFault('api');
  if (fault?.status) return reply(response, fault.status, '[]');
  if (fault?.drop) return request.socket.destroy();
  // cut: the answer's first `cut` bytes, then the connection drops.
  if (fault?.cut !== undefined) {
    const found = shares.get(url.searchParams.get('n') ?? undefined);
    const text = Buffer.from(`[${JSON.stringify({ f: found?.entries ?? [], ok: [], noc: 1 })}]`);
    response.writeHead(200, { 'Content-Type': 'application/json', 'Content-Length': text.length });
    response.write(text.subarray(0, fault.cut));
    return setTimeout(() => request.socket.destroy(), 50);
  }
  if (fault?.endless) {
    // An answer that never ends, as fast as it is read.
    response.writeHead(200, { 'Content-Type': 'application/json' });
    response.write('[');
    const chunk = Buffer.alloc(65536, '0,');
    const more = () => {
      while (!response.destroyed && response.write(chunk));
      if (!response.destroyed) response.once('drain', more);
    };
    return more();
  }
  if (fault?.body !== undefined) return reply(response, 200, fault.body);
  if (fault?.code !== undefined) return reply(response, 200, [fault.code]);
  let commands;
  try {
    commands = JSON.parse(body);
  } catch {
    return reply(response, 200, -2);
  }
  const share = url.searchParams.get('n') ?? undefined;
  // A large share's listing is serialised once, as a real server would keep it ready.
  const found = shares.get(share);
  if (commands.length === 1 && commands[0].a === 'f' && found) {
    found.listingText ??= JSON.stringify({ f: found.entries, ok: [], noc: 1 });
    return reply(response, 200, `[${found.listingText}]`);
  }
  return reply(response, 200, commands.map((command) => apiCommand(command, share, port)));
}

function handleRange(request, response, url) {
  // MEGA's form puts the range in the path; the plain form (for other tools in benchmarks) takes a Range header.
  const match = /^\/dl\/([0-9a-f]+)(?:\/(\d+)-(\d+))?$/.exec(url.pathname);
  const data = match && downloads.get(match[1]);
  if (!data) return reply(response, 404, 'not found', 'text/plain');
  let first = 0;
  let last = data.length - 1;
  let plainStatus = 200;
  const header = /^bytes=(\d+)-(\d*)$/.exec(request.headers.range ?? '');
  if (match[2] !== undefined) {
    first = Number(match[2]);
    last = Number(match[3]);
  } else if (header) {
    first = Number(header[1]);
    last = header[2] ? Math.min(Number(header[2]), data.length - 1) : data.length - 1;
    plainStatus = 206;
  }
  let slice = data.subarray(first, Math.min(last + 1, data.length));
  const fault = match[2] === undefined ? null : takeFault('range', first);
  const extra = plainStatus === 206 ? { 'Content-Range': `bytes ${first}-${last}/${data.length}`, 'Accept-Ranges': 'bytes' } : { 'Accept-Ranges': 'bytes' };
  if (fault?.status) {
    // A quota answer may say how long until the quota resets.
    if (fault.timeLeft !== undefined) response.setHeader('X-MEGA-Time-Left', String(fault.timeLeft));
    return reply(response, fault.status, 'fault', 'text/plain');
  }
  if (fault?.short) slice = slice.subarray(0, Math.max(0, slice.length - 1));
  if (fault?.long) slice = Buffer.concat([slice, Buffer.from('x')]);
  if (fault?.flip) {
    slice = Buffer.from(slice);
    slice[slice.length >> 1] ^= 0x01;
  }
  if (fault?.trickle) {
    // A few bytes a second, for ever: a server that never quite stops.
    response.writeHead(200, { 'Content-Type': 'application/octet-stream', 'Content-Length': slice.length });
    let at = 0;
    const timer = setInterval(() => {
      if (response.destroyed || at >= slice.length) return clearInterval(timer);
      response.write(slice.subarray(at, at + fault.trickle));
      at += fault.trickle;
    }, 1000);
    return response.on('close', () => clearInterval(timer));
  }
  if (fault?.silent) {
    // Headers, then nothing at all.
    return response.writeHead(200, { 'Content-Type': 'application/octet-stream', 'Content-Length': slice.length });
  }
  if (fault?.stallMs || fault?.drop) {
    // Half the body, then a pause or a dropped connection.
    response.writeHead(200, { 'Content-Type': 'application/octet-stream', 'Content-Length': slice.length });
    response.write(slice.subarray(0, slice.length >> 1));
    if (fault.drop) return setTimeout(() => request.socket.destroy(), 50);
    return setTimeout(() => response.end(slice.subarray(slice.length >> 1)), fault.stallMs);
  }
  // delayMs holds back one whole answer, so later ranges arrive before it.
  if (fault?.delayMs)
    return setTimeout(() => reply(response, fault?.partialStatus ?? 200, slice, 'application/octet-stream'), fault.delayMs);
  if (shape.rate || shape.latencyMs || shape.slowRate)
    return sendShaped(response, fault?.partialStatus ?? plainStatus, slice, { 'Content-Type': 'application/octet-stream', ...extra });
  if (plainStatus === 206) return sendShaped(response, 206, slice, { 'Content-Type': 'application/octet-stream', ...extra });
  return reply(response, fault?.partialStatus ?? 200, slice, 'application/octet-stream');
}

const server = https.createServer({ cert: fs.readFileSync(args.cert), key: fs.readFileSync(args.key) }, (request, response) => {
  const chunks = [];
  request.on('data', (chunk) => chunks.push(chunk));
  request.on('end', () => {
    const body = Buffer.concat(chunks).toString('utf8');
    const url = new URL(request.url, 'https://127.0.0.1');
    const port = server.address().port;
    if (url.pathname.startsWith('/_control/')) {
      const input = body ? JSON.parse(body) : {};
      switch (url.pathname) {
        case '/_control/file': return reply(response, 200, addFile(input));
        case '/_control/share': return reply(response, 200, addShare(input));
        case '/_control/fault': faults = { ...faults, ...input }; return reply(response, 200, {});
        case '/_control/shape': shape = { ...shape, ...input }; slowSocket = null; return reply(response, 200, {});
        case '/_control/reset': reset(); return reply(response, 200, {});
        case '/_control/log': return reply(response, 200, log);
        default: return reply(response, 404, {});
      }
    }
    log.push({ method: request.method, path: url.pathname, query: Object.fromEntries(url.searchParams), body, connection: request.socket.remotePort });
    if (url.pathname === '/cs' && request.method === 'POST') return handleApi(request, response, body, url, port);
    if (url.pathname.startsWith('/dl/') && request.method === 'GET') return handleRange(request, response, url);
    return reply(response, 404, 'not found', 'text/plain');
  });
});

server.keepAliveTimeout = 120000;
server.listen(Number(args.port ?? 0), '127.0.0.1', () => {
  process.stdout.write(`READY ${server.address().port}\n`);
});
process.stdin.on('end', () => process.exit(0)); // ends with the test that started it
process.stdin.resume();
