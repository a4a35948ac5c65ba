// A static server for the web page's folder, for the tests and benchmarks:
//   node tests/web/serve.mjs DIR [PORT]
// 127.0.0.1 is a secure context, where browsers offer WebHID. PORT 0 (the default) picks a free
// port; the first line printed is the page's address.
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';

const types = {
  '.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.mjs': 'text/javascript',
  '.wasm': 'application/wasm', '.css': 'text/css', '.svg': 'image/svg+xml', '.png': 'image/png',
  '.json': 'application/json',
};

export function serve(dir, port = 0) {
  const root = path.resolve(dir);
  const server = http.createServer((request, response) => {
    const url = new URL(request.url, 'http://127.0.0.1');
    const file = path.join(root, decodeURIComponent(url.pathname === '/' ? '/index.html' : url.pathname));
    if (!file.startsWith(root + path.sep)) { response.writeHead(403).end(); return; }
    fs.readFile(file, (error, data) => {
      if (error) { response.writeHead(404).end('not found'); return; }
      response.writeHead(200, { 'content-type': types[path.extname(file)] || 'application/octet-stream',
                                'cache-control': 'no-store' });
      response.end(data);
    });
  });
  return new Promise((resolve) => server.listen(port, '127.0.0.1', () =>
    resolve({ server, url: `http://127.0.0.1:${server.address().port}/` })));
}

if (import.meta.url === `file://${process.argv[1]}`) {
  const { url } = await serve(process.argv[2] || '.', Number(process.argv[3] || 0));
  console.log(url);
}
