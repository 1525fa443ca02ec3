// Serves the files of one directory over plain HTTP on 127.0.0.1, with byte
// ranges and an optional rate limit, for tests that run the real yt-dlp.
//   node clip-server.mjs DIRECTORY [BYTES_PER_SECOND]
// prints "READY <port>"; GET /_log returns the Range and Cookie headers of every request.
// A name without an extension is a page (a package index's, say).
// A path under /cut/ serves half of the file and then drops the connection;
// /busy/N/NAME answers 429 Too Many Requests N times, then serves NAME.
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';

const [directory, rate = '0'] = process.argv.slice(2);
const bytesPerSecond = Number(rate);
const log = [];
const refusals = new Map(); // path -> how many 429 answers it has had

function send(response, data, start) {
  if (!bytesPerSecond) return response.end(data);
  // Small slices on a timer, so a transfer takes long enough to be paused midway.
  const slice = Math.max(1024, Math.floor(bytesPerSecond / 20));
  let at = 0;
  const timer = setInterval(() => {
    if (response.destroyed) return clearInterval(timer);
    response.write(data.subarray(at, at + slice));
    at += slice;
    if (at >= data.length) {
      clearInterval(timer);
      response.end();
    }
  }, 50);
  response.on('close', () => clearInterval(timer));
}

const server = http.createServer((request, response) => {
  const url = new URL(request.url, 'http://127.0.0.1');
  if (url.pathname === '/_log') {
    response.writeHead(200, { 'Content-Type': 'application/json' });
    return response.end(JSON.stringify(log));
  }
  const busy = /^\/busy\/(\d+)\//.exec(url.pathname);
  if (busy) {
    const seen = refusals.get(url.pathname) ?? 0;
    if (seen < Number(busy[1])) {
      refusals.set(url.pathname, seen + 1);
      log.push({ method: request.method, path: url.pathname, range: null, status: 429 });
      response.writeHead(429, { 'Content-Type': 'text/plain', 'Retry-After': '30' });
      return response.end('Too Many Requests');
    }
  }
  const cut = url.pathname.startsWith('/cut/');
  const file = path.join(directory, path.basename(decodeURIComponent(url.pathname)));
  if (!fs.existsSync(file)) {
    response.writeHead(404);
    return response.end();
  }
  const data = fs.readFileSync(file);
  log.push({ method: request.method, path: url.pathname, range: request.headers.range ?? null, cookie: request.headers.cookie ?? null });
  const types = { '': 'text/html; charset=utf-8', html: 'text/html; charset=utf-8', m3u8: 'application/vnd.apple.mpegurl', ts: 'video/mp2t', mpd: 'application/dash+xml', xml: 'application/rss+xml' };
  const headers = { 'Content-Type': types[path.extname(file).slice(1)] ?? 'video/mp4', 'Accept-Ranges': 'bytes' };
  if (cut) {
    response.writeHead(200, { ...headers, 'Content-Length': data.length });
    response.write(data.subarray(0, data.length >> 1));
    return setTimeout(() => request.socket.destroy(), 20);
  }
  const match = /^bytes=(\d+)-(\d*)$/.exec(request.headers.range ?? '');
  if (match) {
    const start = Number(match[1]);
    const end = match[2] ? Number(match[2]) : data.length - 1;
    if (start >= data.length) {
      response.writeHead(416, { 'Content-Range': `bytes */${data.length}` });
      return response.end();
    }
    const body = data.subarray(start, end + 1);
    response.writeHead(206, { ...headers, 'Content-Length': body.length, 'Content-Range': `bytes ${start}-${end}/${data.length}` });
    return request.method === 'HEAD' ? response.end() : send(response, body, start);
  }
  response.writeHead(200, { ...headers, 'Content-Length': data.length });
  return request.method === 'HEAD' ? response.end() : send(response, data, 0);
});

server.listen(0, '127.0.0.1', () => process.stdout.write(`READY ${server.address().port}\n`));
process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
