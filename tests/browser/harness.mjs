// The servers around the browser: qelmor-serve with a copy of the filter
// and its KAVRO.ini in a folder of their own, a plain "foreign" server on
// another port, the site's files, and the access log read back as records.
import { spawn } from 'node:child_process';
import { createHash } from 'node:crypto';
import { copyFileSync, mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { createServer as createHttpServer } from 'node:http';
import { createServer as createNetServer } from 'node:net';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { deflateSync } from 'node:zlib';

export const LOOPBACK = '127.0.0.1';

export function md5Hex(text) {
  return createHash('md5').update(text, 'latin1').digest('hex');
}

// --name value pairs from the command line; the filter can be swapped for
// another library through QELMOR_BROWSER_FILTER (to show that the
// scenarios catch a filter that lets everything through).
export function readOptions(argv = process.argv.slice(2)) {
  const options = {};
  for (let i = 0; i < argv.length; i += 2) {
    if (!argv[i].startsWith('--') || i + 1 >= argv.length) {
      throw new Error(`expected --name value pairs, got "${argv.slice(i).join(' ')}"`);
    }
    options[argv[i].slice(2)] = argv[i + 1];
  }
  if (process.env.QELMOR_BROWSER_FILTER) {
    options.filter = process.env.QELMOR_BROWSER_FILTER;
    console.log(`# filter replaced by QELMOR_BROWSER_FILTER=${options.filter}`);
  }
  for (const required of ['serve', 'filter', 'artifacts']) {
    if (!options[required]) throw new Error(`missing --${required}`);
  }
  return options;
}

export function tempFolder(prefix) {
  const path = mkdtempSync(join(tmpdir(), prefix));
  return {
    path,
    file: (relative) => join(path, relative),
    write(relative, content) {
      const target = join(path, relative);
      mkdirSync(dirname(target), { recursive: true });
      writeFileSync(target, content);
      return target;
    },
    remove: () => rmSync(path, { recursive: true, force: true }),
  };
}

// A port nobody listens on right now. qelmor-serve is given it up front
// because the block page's RedirectUrl, read once at start, names it.
export function freePort() {
  return new Promise((resolve, reject) => {
    const server = createNetServer();
    server.once('error', reject);
    server.listen(0, LOOPBACK, () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// ---------------------------------------------------------------------------
// Files of the site

const CRC_TABLE = (() => {
  const table = new Uint32Array(256);
  for (let n = 0; n < 256; n++) {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    table[n] = c >>> 0;
  }
  return table;
})();

function crc32(bytes) {
  let c = 0xffffffff;
  for (const byte of bytes) c = CRC_TABLE[(c ^ byte) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

function pngChunk(type, data) {
  const length = Buffer.alloc(4);
  length.writeUInt32BE(data.length);
  const typed = Buffer.concat([Buffer.from(type, 'latin1'), data]);
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(crc32(typed));
  return Buffer.concat([length, typed, crc]);
}

// A width x height PNG in two colours (a diagonal split), so a decoded
// picture is told from a broken one by its natural size.
export function makePng(width, height) {
  const header = Buffer.alloc(13);
  header.writeUInt32BE(width, 0);
  header.writeUInt32BE(height, 4);
  header[8] = 8; // bits per sample
  header[9] = 2; // RGB
  const rows = [];
  for (let y = 0; y < height; y++) {
    const row = Buffer.alloc(1 + width * 3); // filter byte 0: none
    for (let x = 0; x < width; x++) {
      const rgb = x > y ? [0x2a, 0x6f, 0xdb] : [0xf2, 0xa9, 0x00];
      row.set(rgb, 1 + x * 3);
    }
    rows.push(row);
  }
  return Buffer.concat([
    Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
    pngChunk('IHDR', header),
    pngChunk('IDAT', deflateSync(Buffer.concat(rows))),
    pngChunk('IEND', Buffer.alloc(0)),
  ]);
}

// A short VP8 WebM clip recorded by the browser itself from a canvas: a real
// video that the same browser is sure to play, made without an encoder on
// the machine and without a binary kept in git.
export async function recordWebm(browser, { width = 64, height = 48, durationMs = 800 } = {}) {
  const page = await browser.newPage();
  try {
    const base64 = await page.evaluate(`(async () => {
      const canvas = document.createElement('canvas');
      canvas.width = ${width};
      canvas.height = ${height};
      document.body.appendChild(canvas);
      const context = canvas.getContext('2d');
      const recorder = new MediaRecorder(canvas.captureStream(25),
                                         { mimeType: 'video/webm;codecs=vp8' });
      const chunks = [];
      recorder.ondataavailable = (event) => chunks.push(event.data);
      const stopped = new Promise((resolve) => { recorder.onstop = resolve; });
      recorder.start();
      const start = performance.now();
      await new Promise((resolve) => {
        const draw = (now) => {
          const elapsed = now - start;
          context.fillStyle = 'hsl(' + Math.floor(elapsed / 3) % 360 + ', 70%, 50%)';
          context.fillRect(0, 0, canvas.width, canvas.height);
          if (elapsed < ${durationMs}) requestAnimationFrame(draw); else resolve();
        };
        requestAnimationFrame(draw);
      });
      recorder.stop();
      await stopped;
      const bytes = new Uint8Array(await new Blob(chunks).arrayBuffer());
      let text = '';
      for (const byte of bytes) text += String.fromCharCode(byte);
      return btoa(text);
    })()`);
    const clip = Buffer.from(base64, 'base64');
    // EBML magic: a recording that failed would leave nothing or garbage.
    if (clip.length < 200 || clip.readUInt32BE(0) !== 0x1a45dfa3) {
      throw new Error(`the browser recorded no WebM clip (${clip.length} bytes)`);
    }
    return clip;
  } finally {
    await page.close();
  }
}

export function kavroIni(settings) {
  const lines = ['[KAVRO]'];
  for (const [key, value] of Object.entries(settings)) lines.push(`${key}=${value}`);
  return lines.join('\r\n') + '\r\n';
}

// ---------------------------------------------------------------------------
// qelmor-serve and its access log

// The Combined Log Format with the filter's decision last:
// 127.0.0.1 - - [09/Dec/2026:17:54:43 +0000] "GET / HTTP/1.1" 200 512 "referer" "agent" NEXT
const QUOTED = '"((?:[^"\\\\]|\\\\x[0-9A-F]{2})*)"';
const ACCESS_LINE = new RegExp(
  `^(\\S+) - - \\[([^\\]]+)\\] ${QUOTED} (\\d+|-) (\\d+) ${QUOTED} ${QUOTED} (\\S+)$`);

const MONTHS = ['Jan', 'Feb', 'Mar', 'Apr', 'May', 'Jun', 'Jul', 'Aug', 'Sep', 'Oct', 'Nov', 'Dec'];

// "11/Dec/2026:02:42:05 +0000" as milliseconds since the epoch.
function parseLogTime(text) {
  const match = /^(\d{2})\/(\w{3})\/(\d{4}):(\d{2}):(\d{2}):(\d{2}) ([+-])(\d{2})(\d{2})$/.exec(text);
  if (!match) return undefined;
  const [, day, month, year, hour, minute, second, sign, offsetHours, offsetMinutes] = match;
  const offset = (sign === '-' ? -1 : 1) * (Number(offsetHours) * 60 + Number(offsetMinutes));
  return (
    Date.UTC(Number(year), MONTHS.indexOf(month), Number(day), Number(hour), Number(minute), Number(second)) -
    offset * 60000
  );
}

export function parseAccessLine(line) {
  const match = ACCESS_LINE.exec(line);
  if (!match) return undefined;
  const [method, target, version] = match[3].split(' ');
  return {
    line,
    client: match[1],
    // When the response ended (the log's second, UTC), not when it began.
    time: parseLogTime(match[2]),
    method,
    target,
    version,
    status: match[4] === '444' ? 0 : Number(match[4]),
    bytes: Number(match[5]),
    referer: match[6],
    agent: match[7],
    filter: match[8],
  };
}

export class ServeProcess {
  // Starts qelmor-serve over `root` with the filter library at
  // `filterPath` (a copy beside its KAVRO.ini) on 127.0.0.1:`port`;
  // `env` is added to the environment it inherits (a preloaded clock, a
  // time zone).
  static async start({ program, root, filterPath, port, env = {} }) {
    const serve = new ServeProcess();
    // A clock preloaded through `env` starts counting about now.
    serve.spawnedAt = Date.now();
    const child = spawn(
      program,
      ['--root', root, '--filter', filterPath, '--listen', `${LOOPBACK}:${port}`, '--threads', '8'],
      { stdio: ['ignore', 'pipe', 'pipe'], env: { ...process.env, ...env } },
    );
    serve.child = child;
    child.stdout.setEncoding('utf8');
    child.stderr.setEncoding('utf8');
    child.stdout.on('data', (text) => serve.take(text));
    child.stderr.on('data', (text) => {
      serve.errors += text;
    });
    child.on('exit', (code, signal) => {
      serve.exit = { code, signal };
      serve.notify();
    });
    const ready = `listening on http://${LOOPBACK}:${port}/`;
    try {
      await serve.waitFor(() => serve.output.includes(ready) || serve.exit, 10000);
    } catch {
      // Reported below with what it said.
    }
    if (!serve.output.includes(ready)) {
      await serve.stop();
      throw new Error(
        `qelmor-serve did not start on port ${port}\nstdout:\n${serve.output}\nstderr:\n${serve.errors}`,
      );
    }
    serve.port = port;
    return serve;
  }

  constructor() {
    this.output = '';
    this.errors = '';
    this.partial = '';
    this.records = [];
    this.waiters = new Set();
    this.exit = undefined;
  }

  take(text) {
    this.output += text;
    this.partial += text;
    let end;
    while ((end = this.partial.indexOf('\n')) >= 0) {
      const record = parseAccessLine(this.partial.slice(0, end));
      this.partial = this.partial.slice(end + 1);
      if (record) this.records.push(record);
    }
    this.notify();
  }

  notify() {
    for (const waiter of [...this.waiters]) waiter();
  }

  waitFor(condition, timeoutMs) {
    return new Promise((resolve, reject) => {
      const check = () => {
        const value = condition();
        if (value) {
          this.waiters.delete(check);
          clearTimeout(timer);
          resolve(value);
        }
      };
      const timer = setTimeout(() => {
        this.waiters.delete(check);
        reject(new Error(`timed out after ${timeoutMs} ms`));
      }, timeoutMs);
      this.waiters.add(check);
      check();
    });
  }

  url(target) {
    return `http://${LOOPBACK}:${this.port}${target}`;
  }

  // The records logged since `mark` (a count of records) for `target`.
  recordsFor(target, mark = 0) {
    return this.records.slice(mark).filter((record) => record.target === target);
  }

  // Waits until every target in `targets` has at least one record after
  // `mark`; the browser's work is done by then, the server's log line may
  // still be on its way.
  async waitForRecords(targets, mark, timeoutMs = 5000) {
    try {
      await this.waitFor(
        () => targets.every((target) => this.recordsFor(target, mark).length > 0),
        timeoutMs,
      );
    } catch {
      const missing = targets.filter((target) => this.recordsFor(target, mark).length === 0);
      throw new Error(
        `the access log has no line for ${missing.join(', ')}; it has:\n` +
          this.records
            .slice(mark)
            .map((r) => r.line)
            .join('\n'),
      );
    }
  }

  async stop() {
    if (!this.exit) {
      this.child.kill('SIGTERM');
      try {
        await this.waitFor(() => this.exit, 5000);
      } catch {
        this.child.kill('SIGKILL');
        await this.waitFor(() => this.exit, 5000);
      }
    }
  }
}

// A folder with the filter library and its KAVRO.ini side by side, as the
// filter looks for its settings beside itself.
export function filterFolder(libraryPath, ini) {
  const folder = tempFolder('qelmor-browser-filter-');
  const copy = folder.file('qelmor.so');
  copyFileSync(libraryPath, copy);
  folder.write('KAVRO.ini', ini);
  return { folder, library: copy, ini: folder.file('KAVRO.ini') };
}

// qelmor-serve over `root` with a fresh copy of the filter and the
// KAVRO.ini that `iniFor(port)` makes (the block page's RedirectUrl names
// the port, and is read once at start). A port can be taken between the
// probe and the start, so a few are tried. Stop it with stopGuardedSite.
export async function startGuardedSite({ program, library, root, iniFor, env }) {
  let lastError;
  for (let attempt = 0; attempt < 3; attempt++) {
    const port = await freePort();
    const filter = filterFolder(library, iniFor(port));
    try {
      const serve = await ServeProcess.start({ program, root, filterPath: filter.library, port, env });
      return { serve, filter };
    } catch (error) {
      filter.folder.remove();
      lastError = error;
    }
  }
  throw lastError;
}

export async function stopGuardedSite(guarded) {
  await guarded?.serve.stop();
  guarded?.filter.folder.remove();
}

// ---------------------------------------------------------------------------
// The foreign site: a plain HTTP server with pages of its own, and nothing
// in front of it.

export async function startPlainSite(pages) {
  const requests = [];
  const server = createHttpServer((request, response) => {
    requests.push({ url: request.url, headers: request.headers });
    const page = pages[request.url.split('?')[0]];
    if (page === undefined) {
      response.writeHead(404, { 'Content-Type': 'text/plain' });
      response.end('not found\n');
      return;
    }
    response.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
    response.end(page);
  });
  await new Promise((resolve) => server.listen(0, LOOPBACK, resolve));
  const { port } = server.address();
  return {
    port,
    requests,
    url: (target) => `http://${LOOPBACK}:${port}${target}`,
    stop: () =>
      new Promise((resolve) => {
        server.closeAllConnections?.();
        server.close(() => resolve());
      }),
  };
}
