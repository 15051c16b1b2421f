// Playback in real players while the server's minute turns: a timed token
// (EncryptMode 2) made for the minute before is refused with TokenGrace 0
// once the minute has turned, and taken for every range with TokenGrace 1.
//
// The server's clock is moved by Debian's libfaketime, preloaded into
// qelmor-serve only: the shipped library reads the real clock
// (clock_gettime and localtime_r) and is not told anything. Each case starts
// its server a few seconds before a minute turns, so the wait is short.
//
//   node playback.test.mjs --serve PATH --filter PATH --tool PATH --artifacts DIR
//
// Exits 77 (skipped) when ffmpeg or libfaketime is not installed;
// scripts/test installs both.
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { existsSync, mkdirSync, readFileSync, readdirSync, writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { after, before, describe, it } from 'node:test';

import { Browser } from './cdp.mjs';
import {
  LOOPBACK,
  kavroIni,
  readOptions,
  startGuardedSite,
  stopGuardedSite,
  tempFolder,
} from './harness.mjs';

const SKIPPED = 77;
const options = readOptions();
if (!options.tool) throw new Error('missing --tool (the qelmor program that issues tokens)');

// The multi-threaded variant: qelmor-serve reads the clock from several
// event loops at once, and the plain one keeps its state without locks.
function findLibfaketime() {
  const folders = ['/usr/lib/faketime'];
  for (const entry of existsSync('/usr/lib') ? readdirSync('/usr/lib') : []) {
    folders.push(join('/usr/lib', entry, 'faketime'));
  }
  const candidates = folders.map((folder) => join(folder, 'libfaketimeMT.so.1'));
  if (process.env.QELMOR_LIBFAKETIME) candidates.unshift(process.env.QELMOR_LIBFAKETIME);
  return candidates.find((path) => existsSync(path));
}

function hasProgram(name) {
  const run = spawnSync(name, ['-version'], { stdio: 'ignore', timeout: 10000 });
  return run.status === 0;
}

const libfaketime = findLibfaketime();
const missing = [];
if (!libfaketime) missing.push('libfaketime (Debian package faketime)');
if (!hasProgram('ffmpeg')) missing.push('ffmpeg (Debian package ffmpeg)');
if (missing.length > 0) {
  console.log(`# skipped: ${missing.join(' and ')} not installed; scripts/test installs them`);
  process.exit(SKIPPED);
}

// A POSIX zone, so no tzdata is needed, and not UTC, so a server that took
// UTC for local time would compute another hour and refuse every token.
const ZONE = { tz: 'CST-8', hoursEastOfUtc: 8 };
const TOKEN_DAY = '2026-12-11';
const TOKEN_HOUR = 10;
const TOKEN_MINUTE = 41;
const PUB_KEY = 'playback-key';
const PLAYER_AGENT = 'NSPlayer/12.00.19041.3636 WMFSDK/12.00.19041.3636';

const pad = (n) => String(n).padStart(2, '0');
const tokenMinuteText = (minute) => `${TOKEN_DAY} ${pad(TOKEN_HOUR)}:${pad(minute)}`;

// The environment of a server whose clock (in the zone ZONE) starts `lead`
// seconds before the token's minute ends, and keeps running.
function fakeClock(lead) {
  return {
    TZ: ZONE.tz,
    LD_PRELOAD: libfaketime,
    FAKETIME: `@${tokenMinuteText(TOKEN_MINUTE)}:${pad(60 - lead)}`,
    // h2o times its loop with CLOCK_MONOTONIC; only the wall clock moves.
    FAKETIME_DONT_FAKE_MONOTONIC: '1',
  };
}

// The turn as the access log writes it (UTC).
const TURN_IN_LOG = Date.UTC(2026, 11, 11, TOKEN_HOUR - ZONE.hoursEastOfUtc, TOKEN_MINUTE + 1, 0);

function siteConfig({ grace, playOnline, mediaAction, port }) {
  return kavroIni({
    PubKey: PUB_KEY,
    PassMode: 1,
    EncryptMode: 2,
    MediaExt: '.ts.webm',
    Mediaaction: mediaAction,
    PlayOnline: playOnline,
    TokenGrace: grace,
    RedirectUrl: `http://${LOOPBACK}:${port}/`,
  });
}

// The token a page of the site made at `minute`, issued by the project's
// tool in the server's zone.
function issueToken(ini, minute) {
  const run = spawnSync(
    options.tool,
    ['token', '--ini', ini, '--client', LOOPBACK, '--at', tokenMinuteText(minute)],
    { encoding: 'utf8', env: { ...process.env, TZ: ZONE.tz }, timeout: 10000 },
  );
  assert.equal(run.status, 0, `qelmor token failed: ${run.stderr}`);
  const token = run.stdout.trim();
  assert.match(token, /^[0-9A-Fa-f]{32}$/, `qelmor token printed ${run.stdout}`);
  return token;
}

// Runs a program to its end, killed if it outlives `timeoutMs`.
function runProgram(program, args, { timeoutMs }) {
  return new Promise((resolve, reject) => {
    const child = spawn(program, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    let stdout = '';
    let stderr = '';
    child.stdout.setEncoding('utf8');
    child.stderr.setEncoding('utf8');
    child.stdout.on('data', (text) => (stdout += text));
    child.stderr.on('data', (text) => {
      if (stderr.length < 50000) stderr += text;
    });
    const timer = setTimeout(() => child.kill('SIGKILL'), timeoutMs);
    child.on('error', (error) => {
      clearTimeout(timer);
      reject(error);
    });
    child.on('exit', (code, signal) => {
      clearTimeout(timer);
      if (signal) reject(new Error(`${program} ${args.join(' ')}: ${signal} (timeout ${timeoutMs} ms)\n${stderr}`));
      else resolve({ code, stdout, stderr });
    });
  });
}

async function ffmpeg(args, timeoutMs = 60000) {
  const run = await runProgram('ffmpeg', ['-nostdin', '-hide_banner', '-loglevel', 'error', ...args], {
    timeoutMs,
  });
  if (run.code !== 0) throw new Error(`ffmpeg ${args.join(' ')} exited ${run.code}:\n${run.stderr}`);
  return run;
}

// A clip of one of ffmpeg's test patterns at 25 frames a second, made at
// test time so that nothing large is kept in git.
async function makeClip(site, relative, pattern, encoding) {
  mkdirSync(dirname(site.file(relative)), { recursive: true });
  await ffmpeg(['-f', 'lavfi', '-i', `${pattern}:rate=25`, ...encoding, site.file(relative)]);
}

function describeRecords(records) {
  return records.map((r) => r.line).join('\n') || '(none)';
}

const isServed = (record) => [200, 206].includes(record.status) && record.filter === 'NEXT';

// A record that ended a second or more after the turn was decided after it:
// the ranges here take milliseconds to send.
const endedAfterTurn = (record) => record.time >= TURN_IN_LOG + 1000;

// What both clients must show from the access log: every request named
// the token of the earlier minute, and reading went on past the turn.
function checkLog(records, { grace, refusal, what }) {
  const log = describeRecords(records);
  assert.ok(records.some(isServed), `${what}: nothing was served before the turn:\n${log}`);
  if (grace > 0) {
    for (const record of records) {
      assert.ok(isServed(record), `${what}: TokenGrace ${grace} must serve every range:\n${log}`);
    }
    return;
  }
  const refused = records.filter((record) => !isServed(record));
  assert.ok(refused.length > 0, `${what}: TokenGrace 0 must refuse after the turn:\n${log}`);
  for (const record of refused) {
    assert.ok(refusal(record), `${what}: refused in the wrong way:\n${record.line}`);
    assert.ok(record.time >= TURN_IN_LOG, `${what}: refused before the minute turned:\n${record.line}`);
  }
}

let artifacts;
before(() => {
  artifacts = options.artifacts;
  mkdirSync(artifacts, { recursive: true });
});

const CASES = [
  { name: 'TokenGrace 0', grace: 0 },
  { name: 'TokenGrace 1', grace: 1 },
];

// Starts one server per case at once, on the same faked clock, and runs
// `play` against each concurrently, so the cases share one wait for the turn.
async function playEveryCase({ root, lead, settings, play }) {
  const servers = [];
  try {
    for (const testCase of CASES) {
      servers.push(
        await startGuardedSite({
          program: options.serve,
          library: options.filter,
          root,
          iniFor: (port) => siteConfig({ ...settings, grace: testCase.grace, port }),
          env: fakeClock(lead),
        }),
      );
    }
    const token = issueToken(servers[0].filter.ini, TOKEN_MINUTE);
    assert.notEqual(token, issueToken(servers[0].filter.ini, TOKEN_MINUTE + 1), 'tokens of two minutes differ');
    const outcomes = await Promise.all(
      servers.map((guarded, i) =>
        play({
          serve: guarded.serve,
          token,
          // libfaketime starts counting when the process loads it, just
          // after the spawn: the real turn is then or a little later.
          turnsAt: guarded.serve.spawnedAt + lead * 1000,
          testCase: CASES[i],
        }),
      ),
    );
    return CASES.map((testCase, i) => ({ ...testCase, ...outcomes[i], serve: servers[i].serve }));
  } finally {
    for (const guarded of servers) await stopGuardedSite(guarded);
  }
}

function report(what, result, records) {
  const served = records.filter(isServed).length;
  console.log(`# ${what}, ${result.name}: ${served} served, ${records.length - served} refused`);
  for (const record of records) console.log(`# log: ${record.line}`);
}

// ---------------------------------------------------------------------------
// ffmpeg as the player: an HLS playlist whose segments are byte ranges of
// one MPEG-TS file, read at playback speed (-re), so each second of video
// is a separate range request on a kept-alive connection.

describe('ffmpeg reads a byte-range playlist across the minute', () => {
  const CLIP_SECONDS = 10;
  const LEAD_SECONDS = 5;
  const SEGMENT = '/hls/clip.ts';
  let site;
  let results;
  let framesInClip;

  // One line per packet on standard output; "#" lines are the header.
  const countPackets = (framecrc) => framecrc.split('\n').filter((l) => l && !l.startsWith('#')).length;

  before(async () => {
    site = tempFolder('qelmor-playback-hls-');
    await makeClip(site, 'hls/clip.m3u8', `testsrc=size=160x120:duration=${CLIP_SECONDS}`, [
      '-c:v', 'mpeg2video', '-g', '25', '-b:v', '300k',
      '-f', 'hls', '-hls_time', '1', '-hls_flags', 'single_file', '-hls_playlist_type', 'vod',
    ]);
    framesInClip = countPackets((await ffmpeg(['-i', site.file('hls/clip.ts'), '-map', '0:v', '-c', 'copy', '-f', 'framecrc', '-'])).stdout);
    const playlist = readFileSync(site.file('hls/clip.m3u8'), 'utf8');
    assert.ok((playlist.match(/#EXT-X-BYTERANGE/g) ?? []).length >= CLIP_SECONDS, `not a byte-range playlist:\n${playlist}`);

    results = await playEveryCase({
      root: site.path,
      lead: LEAD_SECONDS,
      settings: { playOnline: 1, mediaAction: 1 },
      async play({ serve, token }) {
        // The site's page hands the player a playlist with the token in
        // every segment link; the playlist itself is of no guarded class.
        const tokened = playlist.replace(/^clip\.ts$/gm, `clip.ts?kavro=${token}`);
        site.write(`hls/${token}-${serve.port}.m3u8`, tokened);
        const run = await runProgram(
          'ffmpeg',
          [
            '-nostdin', '-hide_banner', '-loglevel', 'warning', '-user_agent', PLAYER_AGENT, '-re',
            '-i', serve.url(`/hls/${token}-${serve.port}.m3u8`), '-map', '0:v', '-c', 'copy', '-f', 'framecrc', '-',
          ],
          { timeoutMs: (CLIP_SECONDS + 30) * 1000 },
        );
        return { frames: countPackets(run.stdout), ffmpegLog: run.stderr, target: `${SEGMENT}?kavro=${token}` };
      },
    });
  });

  after(() => site?.remove());

  for (const testCase of CASES) {
    it(`${testCase.name}: ${testCase.grace ? 'every range served' : 'refused once the minute turns'}`, async () => {
      const result = results.find((r) => r.grace === testCase.grace);
      const { serve } = result;
      const records = serve.recordsFor(result.target);
      report('ffmpeg', result, records);
      for (const record of records) assert.equal(record.agent, PLAYER_AGENT, 'the player sent its agent');
      assert.ok(
        records.filter(endedAfterTurn).length >= 2,
        `ffmpeg must still be reading after the turn:\n${describeRecords(records)}`,
      );
      checkLog(records, {
        grace: testCase.grace,
        refusal: (record) => record.status === 403 && record.filter.startsWith('FINISHED:wrote='),
        what: 'ffmpeg',
      });
      if (testCase.grace > 0) {
        assert.equal(result.frames, framesInClip, `every frame reached the player:\n${result.ffmpegLog}`);
      } else {
        assert.ok(result.frames < framesInClip, `the player must miss frames (${result.frames} of ${framesInClip})`);
      }
    });
  }
});

// ---------------------------------------------------------------------------
// Chromium as the player: a page's <video> with the tokened source plays
// on a slow line; after the turn the viewer skips ahead past what has
// arrived, which makes the browser ask for a new range.

describe('Chromium plays a <video> and skips ahead after the minute', () => {
  const CLIP_SECONDS = 12;
  // Time for the page and the first frames, on a machine busy with other
  // tests, before the turn.
  const LEAD_SECONDS = 8;
  const SKIP_TO = 10; // seconds into the clip, far beyond what the slow line has brought
  // Bytes per second: about the clip's own rate, so the browser never has
  // the part skipped to before the skip.
  const LINE_SPEED = 100000;
  const CLIP = '/media/clip.webm';
  let site;
  let browser;
  let results;

  before(async () => {
    site = tempFolder('qelmor-playback-video-');
    // VP8 in WebM: Debian's chromium plays it, and ffmpeg encodes it fast.
    await makeClip(site, CLIP.slice(1), `testsrc2=size=320x240:duration=${CLIP_SECONDS}`, [
      '-c:v', 'libvpx', '-deadline', 'realtime', '-cpu-used', '8',
      '-b:v', '3M', '-minrate', '3M', '-maxrate', '3M', '-g', '25',
    ]);
    browser = await Browser.launch();

    results = await playEveryCase({
      root: site.path,
      lead: LEAD_SECONDS,
      // The browser's own agent: media for browsers, and a refusal
      // diverted to KAVRO.webm, which the site does not have.
      settings: { playOnline: 0, mediaAction: 0 },
      async play({ serve, token, turnsAt, testCase }) {
        const source = `${CLIP}?kavro=${token}`;
        site.write(
          `watch-${serve.port}.html`,
          `<!DOCTYPE html><html><head><meta charset="utf-8"><title>Watch</title></head><body>
<video id="clip" src="${source}" muted autoplay playsinline preload="auto"></video>
<script>
  const video = document.getElementById('clip');
  window.watched = { error: null, ended: false };
  video.addEventListener('error', () => { window.watched.error = video.error.code; });
  video.addEventListener('ended', () => { window.watched.ended = true; });
</script></body></html>
`,
        );
        const page = await browser.newPage({ newWindow: true });
        try {
          await page.send('Network.emulateNetworkConditions', {
            offline: false,
            latency: 0,
            downloadThroughput: LINE_SPEED,
            uploadThroughput: -1,
          });
          await page.goto(serve.url(`/watch-${serve.port}.html`));
          const playing = await page.evaluate(
            `new Promise((resolve) => {
               const v = document.getElementById('clip');
               const check = () => (v.readyState >= 2 || v.error) && resolve(Date.now());
               v.addEventListener('loadeddata', check);
               v.addEventListener('error', check);
               check();
             })`,
            { timeoutMs: 10000 },
          );
          assert.ok(playing < turnsAt, 'the video must have started before the minute turned');
          await new Promise((resolve) => setTimeout(resolve, Math.max(0, turnsAt + 1500 - Date.now())));
          const skippedAt = Date.now();
          const beforeSkip = await page.evaluate(`(() => {
            const v = document.getElementById('clip');
            const ranges = [];
            for (let i = 0; i < v.buffered.length; i++) ranges.push([v.buffered.start(i), v.buffered.end(i)]);
            const position = v.currentTime;
            v.currentTime = ${SKIP_TO};
            return { position, ranges };
          })()`);
          const watched = await page.evaluate(
            `new Promise((resolve) => {
               const done = () => (window.watched.error !== null || window.watched.ended) && resolve(true);
               const v = document.getElementById('clip');
               v.addEventListener('ended', done);
               v.addEventListener('error', done);
               done();
               setTimeout(() => resolve(false), 15000);
             }).then(() => ({ ...window.watched, position: document.getElementById('clip').currentTime }))`,
            { timeoutMs: 20000 },
          );
          const requests = page.requestsTo((u) => u === serve.url(source));
          const askedAfterTurn = page.events.filter(
            (e) =>
              e.method === 'Network.requestWillBeSent' &&
              e.params.request.url === serve.url(source) &&
              e.at >= skippedAt,
          ).length;
          writeFileSync(join(artifacts, `playback-grace${testCase.grace}.png`), await page.screenshot());
          return { target: source, beforeSkip, watched, requests: requests.length, askedAfterTurn };
        } finally {
          await page.close();
        }
      },
    });
  });

  after(async () => {
    await browser?.close();
    site?.remove();
  });

  for (const testCase of CASES) {
    it(`${testCase.name}: ${testCase.grace ? 'playback goes on to the end' : 'playback breaks at the skip'}`, async () => {
      const result = results.find((r) => r.grace === testCase.grace);
      const { serve, beforeSkip, watched } = result;
      const records = serve.recordsFor(result.target);
      report('chromium', result, records);
      console.log(`# chromium, ${result.name}: at the skip ${JSON.stringify(beforeSkip)}, then ${JSON.stringify(watched)}`);
      assert.ok(
        beforeSkip.ranges.every(([, end]) => end < SKIP_TO),
        `the part skipped to had already arrived, so no new range was asked for: ${JSON.stringify(beforeSkip)}`,
      );
      assert.ok(result.askedAfterTurn > 0, 'the browser asked for a new range after the turn');
      checkLog(records, {
        grace: testCase.grace,
        refusal: (record) => record.filter.startsWith('FINISHED:path=') && record.filter.endsWith('KAVRO.webm'),
        what: 'chromium',
      });
      if (testCase.grace > 0) {
        assert.equal(watched.error, null, 'no media error');
        assert.ok(watched.ended, `the video played to its end after the skip: ${JSON.stringify(watched)}`);
        assert.ok(watched.position > SKIP_TO, 'playback went on past the skip');
      } else {
        assert.notEqual(watched.error, null, `the video must fail once refused: ${JSON.stringify(watched)}`);
        assert.ok(!watched.ended, 'the video must not reach its end');
      }
    });
  }
});
