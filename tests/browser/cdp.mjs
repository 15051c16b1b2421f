// Headless Chromium driven over the DevTools protocol. The protocol runs on
// a pipe pair (--remote-debugging-pipe) instead of a websocket, so no
// client library and no debugging port are needed: the browser reads
// NUL-terminated JSON commands on fd 3 and writes replies and events on fd 4.
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

export const CHROMIUM_FLAGS = [
  '--headless',
  '--no-sandbox',
  '--disable-gpu',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
];

// Every name resolves to nothing except the loopback address the tests use,
// so no page (the block page's advertising frame included) reaches beyond
// this machine, and a failing lookup cannot stall a page load.
const LOOPBACK_ONLY = '--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1';

export class Browser {
  static async launch({ executable = process.env.QELMOR_CHROMIUM || '/usr/bin/chromium' } = {}) {
    if (!existsSync(executable)) {
      throw new Error(`no browser at ${executable}: install Debian's chromium (scripts/test does)`);
    }
    const profile = mkdtempSync(join(tmpdir(), 'qelmor-chromium-'));
    const child = spawn(
      executable,
      [
        ...CHROMIUM_FLAGS,
        `--user-data-dir=${profile}`,
        '--remote-debugging-pipe',
        LOOPBACK_ONLY,
        '--window-size=1000,700',
        // Muted media still loads and plays; no sound device is needed.
        '--mute-audio',
        '--autoplay-policy=no-user-gesture-required',
        'about:blank',
      ],
      { stdio: ['ignore', 'ignore', 'pipe', 'pipe', 'pipe'] },
    );
    const browser = new Browser(child, profile);
    try {
      await browser.send('Browser.getVersion');
    } catch (error) {
      await browser.close();
      throw new Error(`${executable} did not start: ${error.message}\n${browser.stderr}`);
    }
    return browser;
  }

  constructor(child, profile) {
    this.child = child;
    this.profile = profile;
    this.nextId = 1;
    this.pending = new Map();
    this.listeners = new Set();
    this.stderr = '';
    this.exited = false;
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (text) => {
      // Enough to explain a failed start; the rest is noise.
      if (this.stderr.length < 20000) this.stderr += text;
    });
    this.toBrowser = child.stdio[3];
    this.fromBrowser = child.stdio[4];
    let buffered = Buffer.alloc(0);
    this.fromBrowser.on('data', (chunk) => {
      buffered = Buffer.concat([buffered, chunk]);
      let end;
      while ((end = buffered.indexOf(0)) >= 0) {
        const message = JSON.parse(buffered.subarray(0, end).toString('utf8'));
        buffered = buffered.subarray(end + 1);
        this.dispatch(message);
      }
    });
    const gone = (reason) => {
      this.exited = true;
      const error = new Error(`chromium ${reason}\n${this.stderr}`);
      for (const { reject } of this.pending.values()) reject(error);
      this.pending.clear();
    };
    child.on('error', (error) => gone(`could not run: ${error.message}`));
    child.on('exit', (code, signal) => gone(`exited (${signal ?? code})`));
    this.toBrowser.on('error', () => {});
  }

  dispatch(message) {
    if (message.id !== undefined) {
      const waiter = this.pending.get(message.id);
      if (!waiter) return;
      this.pending.delete(message.id);
      if (message.error) {
        waiter.reject(new Error(`${waiter.method}: ${message.error.message}`));
      } else {
        waiter.resolve(message.result);
      }
      return;
    }
    for (const listener of this.listeners) listener(message);
  }

  send(method, params = {}, sessionId = undefined, timeoutMs = 30000) {
    if (this.exited) return Promise.reject(new Error(`chromium has exited\n${this.stderr}`));
    const id = this.nextId++;
    const message = { id, method, params };
    if (sessionId) message.sessionId = sessionId;
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.pending.delete(id);
        reject(new Error(`${method}: no answer in ${timeoutMs} ms`));
      }, timeoutMs);
      this.pending.set(id, {
        method,
        resolve: (value) => {
          clearTimeout(timer);
          resolve(value);
        },
        reject: (error) => {
          clearTimeout(timer);
          reject(error);
        },
      });
      this.toBrowser.write(JSON.stringify(message) + '\0');
    });
  }

  onMessage(listener) {
    this.listeners.add(listener);
    return () => this.listeners.delete(listener);
  }

  // A new tab with its own session; its network and page events are
  // recorded from the start. Pages that must run side by side each take a
  // window of their own: a background tab defers loading its media.
  async newPage({ newWindow = false } = {}) {
    const { targetId } = await this.send('Target.createTarget', { url: 'about:blank', newWindow });
    const { sessionId } = await this.send('Target.attachToTarget', { targetId, flatten: true });
    const page = new Page(this, targetId, sessionId);
    await page.init();
    return page;
  }

  async close() {
    if (!this.exited) {
      try {
        await this.send('Browser.close', {}, undefined, 5000);
      } catch {
        // It may be gone already; the kill below makes sure.
      }
      await new Promise((resolve) => {
        if (this.exited) return resolve();
        const timer = setTimeout(() => {
          this.child.kill('SIGKILL');
        }, 5000);
        this.child.once('exit', () => {
          clearTimeout(timer);
          resolve();
        });
      });
    }
    rmSync(this.profile, { recursive: true, force: true });
  }
}

// What the browser sent and received for one request, from its own
// network events.
class RequestRecord {
  constructor(id) {
    this.id = id;
    this.url = undefined;
    this.type = undefined;
    this.sentHeaders = {}; // the headers as they went on the wire
    this.status = undefined;
    this.failed = undefined;
  }

  header(name) {
    const lower = name.toLowerCase();
    for (const [key, value] of Object.entries(this.sentHeaders)) {
      if (key.toLowerCase() === lower) return value;
    }
    return undefined;
  }
}

export class Page {
  constructor(browser, targetId, sessionId) {
    this.browser = browser;
    this.targetId = targetId;
    this.sessionId = sessionId;
    this.requests = new Map();
    this.events = []; // [{ method, params, at }] for page and network events
    this.waiters = new Set();
    this.unsubscribe = browser.onMessage((message) => {
      if (message.sessionId !== sessionId) return;
      this.record(message.method, message.params);
    });
  }

  async init() {
    await this.send('Page.enable');
    await this.send('Network.enable');
    await this.send('Runtime.enable');
    // Every scenario must reach the server; a cached answer would not show
    // in its log.
    await this.send('Network.setCacheDisabled', { cacheDisabled: true });
  }

  send(method, params = {}, timeoutMs) {
    return this.browser.send(method, params, this.sessionId, timeoutMs);
  }

  requestRecord(id) {
    let record = this.requests.get(id);
    if (!record) {
      record = new RequestRecord(id);
      this.requests.set(id, record);
    }
    return record;
  }

  record(method, params) {
    const at = Date.now();
    if (method === 'Network.requestWillBeSent') {
      const record = this.requestRecord(params.requestId);
      record.url = params.request.url;
      record.type = params.type;
      // Replaced by the wire headers when those arrive.
      if (Object.keys(record.sentHeaders).length === 0) record.sentHeaders = params.request.headers;
    } else if (method === 'Network.requestWillBeSentExtraInfo') {
      this.requestRecord(params.requestId).sentHeaders = params.headers;
    } else if (method === 'Network.responseReceived') {
      this.requestRecord(params.requestId).status = params.response.status;
    } else if (method === 'Network.loadingFailed') {
      this.requestRecord(params.requestId).failed = params.errorText;
    }
    const event = { method, params, at };
    this.events.push(event);
    for (const waiter of this.waiters) {
      if (waiter.match(event)) {
        this.waiters.delete(waiter);
        waiter.resolve(event);
      }
    }
  }

  // The first event (already seen after index `since`, or still to come)
  // for which `match` holds.
  waitForEvent(match, { since = 0, timeoutMs = 15000, what = 'event' } = {}) {
    const seen = this.events.slice(since).find(match);
    if (seen) return Promise.resolve(seen);
    return new Promise((resolve, reject) => {
      const waiter = {
        match,
        resolve: (event) => {
          clearTimeout(timer);
          resolve(event);
        },
      };
      const timer = setTimeout(() => {
        this.waiters.delete(waiter);
        reject(new Error(`no ${what} within ${timeoutMs} ms`));
      }, timeoutMs);
      this.waiters.add(waiter);
    });
  }

  // Navigates and waits for the load event of the new document.
  async goto(url, { timeoutMs = 15000 } = {}) {
    const since = this.events.length;
    const result = await this.send('Page.navigate', { url });
    if (result.errorText) throw new Error(`navigating to ${url}: ${result.errorText}`);
    await this.waitForEvent((e) => e.method === 'Page.loadEventFired', {
      since,
      timeoutMs,
      what: `load event for ${url}`,
    });
  }

  // Evaluates `expression` in the page (awaiting a promise) and returns
  // its value.
  async evaluate(expression, { timeoutMs = 15000 } = {}) {
    const reply = await this.send(
      'Runtime.evaluate',
      { expression, awaitPromise: true, returnByValue: true },
      timeoutMs,
    );
    if (reply.exceptionDetails) {
      const details = reply.exceptionDetails;
      throw new Error(
        `page script failed: ${details.exception?.description ?? details.text}`,
      );
    }
    return reply.result.value;
  }

  // The requests this page made whose URL satisfies `match`.
  requestsTo(match) {
    return [...this.requests.values()].filter((r) => r.url !== undefined && match(r.url));
  }

  async screenshot() {
    const { data } = await this.send('Page.captureScreenshot', { format: 'png' });
    return Buffer.from(data, 'base64');
  }

  async close() {
    this.unsubscribe();
    try {
      await this.browser.send('Target.closeTarget', { targetId: this.targetId });
    } catch {
      // The browser may be closing already.
    }
  }
}
