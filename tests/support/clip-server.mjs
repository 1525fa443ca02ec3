// Serves the files of one directory over plain HTTP on 127.0.0.1, with byte
// ranges and an optional rate limit, for tests that run the real yt-dlp.
//   node clip-server.mjs DIRECTORY [BYTES_PER_SECOND]
// prints "READY <port>"; GET /_log returns the Range header of every request.
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';

const [directory, rate = '0'] = process.argv.slice(2);
const bytesPerSecond = Number(rate);
const log = [];

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
  const file = path.join(directory, path.basename(url.pathname));
  if (!fs.existsSync(file)) {
    response.writeHead(404);
    return response.end();
  }
  const data = fs.readFileSync(file);
  log.push({ method: request.method, path: url.pathname, range: request.headers.range ?? null });
  // A page without a video, for the failures yt-dlp reports on one.
  const type = file.endsWith('.html') ? 'text/html; charset=utf-8' : 'video/mp4';
  const headers = { 'Content-Type': type, 'Accept-Ranges': 'bytes' };
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
