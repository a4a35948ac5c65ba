// A tiny static file server for the web page's tests: node tests/web/serve.mjs DIR PORT
// Serves DIR on http://127.0.0.1:PORT/ (a secure context, so WebHID is there), GET and HEAD only,
// nothing outside DIR. Prints "serving DIR on http://127.0.0.1:PORT/" once it listens.
import { createReadStream } from 'node:fs';
import { stat } from 'node:fs/promises';
import { createServer } from 'node:http';
import { extname, join, resolve, sep } from 'node:path';

const [dirArg, portArg] = process.argv.slice(2);
const port = Number(portArg);
if (!dirArg || !Number.isInteger(port) || port < 1 || port > 65535) {
  console.error('usage: node serve.mjs DIR PORT');
  process.exit(2);
}
const root = resolve(dirArg);

const types = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.json': 'application/json',
  '.wasm': 'application/wasm',
  '.svg': 'image/svg+xml',
  '.png': 'image/png',
  '.ico': 'image/x-icon',
  '.txt': 'text/plain; charset=utf-8',
};

function refuse(response, status) {
  response.writeHead(status, { 'Content-Type': 'text/plain; charset=utf-8' });
  response.end(`${status}\n`);
}

const server = createServer(async (request, response) => {
  if (request.method !== 'GET' && request.method !== 'HEAD') return refuse(response, 405);
  let path;
  try {
    path = decodeURIComponent(new URL(request.url, 'http://127.0.0.1').pathname);
  } catch {
    return refuse(response, 400);
  }
  let file = resolve(join(root, path));
  if (file !== root && !file.startsWith(root + sep)) return refuse(response, 403);
  try {
    let info = await stat(file);
    if (info.isDirectory()) {
      file = join(file, 'index.html');
      info = await stat(file);
    }
    if (!info.isFile()) return refuse(response, 404);
    response.writeHead(200, {
      'Content-Type': types[extname(file).toLowerCase()] ?? 'application/octet-stream',
      'Content-Length': info.size,
      'Cache-Control': 'no-store',
    });
    if (request.method === 'HEAD') return response.end();
    createReadStream(file).on('error', () => response.destroy()).pipe(response);
  } catch {
    refuse(response, 404);
  }
});
server.listen(port, '127.0.0.1', () => console.log(`serving ${root} on http://127.0.0.1:${port}/`));
