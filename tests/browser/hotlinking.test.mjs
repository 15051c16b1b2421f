// Hotlink protection as a real browser meets it: headless Chromium loads
// pages from the guarded site (qelmor-serve with the filter) and from a
// foreign site (a plain server on another port), with the referers and user
// agent it picks itself. What the server answered is read from its access
// log; what the browser sent, from its own network events.
//
//   node hotlinking.test.mjs --serve PATH --filter PATH --artifacts DIR
import assert from 'node:assert/strict';
import { mkdirSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, it } from 'node:test';

import { Browser } from './cdp.mjs';
import {
  LOOPBACK,
  kavroIni,
  makePng,
  md5Hex,
  readOptions,
  recordWebm,
  startGuardedSite,
  startPlainSite,
  stopGuardedSite,
  tempFolder,
} from './harness.mjs';

const options = readOptions();

const PUB_KEY = 'browser-key';
// Issued to this browser (the server sees it as 127.0.0.1), and to another
// visitor whose link a hotlinker copied.
const TOKEN = md5Hex(PUB_KEY + LOOPBACK);
const OTHER_VISITOR_TOKEN = md5Hex(PUB_KEY + '127.0.0.2');
const TITLE = 'Hotlinking refused by the guarded site';
const ALERT_TEXT = 'Files of this site are served only to its own pages.';
const PAUSE_SECONDS = 3;
const PLAYER_AGENTS = ['RMA', 'NSPlayer', 'Windows-Media-Player', 'Flash'];

// No name here begins like the URLs the test stub filter acts on (/page,
// /vars, /close, ...), so that stub can stand in for a filter that lets
// everything through.
const IMAGE = '/img/pic.png';
const IMAGE_SIZE = 16;
const CLIP = '/media/clip.webm';
const CLIP_WIDTH = 64;
const TOKENED_CLIP = `${CLIP}?kavro=${TOKEN}`;
const STYLE = '/style.css';

function siteConfig(port, playOnline) {
  return kavroIni({
    DomainName: '',
    FriendDomain: '',
    PubFile: '',
    OpenSecurity: 0,
    PubKey: PUB_KEY,
    PassMode: 1,
    EncryptMode: 0,
    CommonExt: '.png.css',
    CommonAction: 1,
    AdvancedExt: '.zip',
    AdvancedAction: 1,
    MediaExt: '.webm.mp4',
    Mediaaction: 1,
    PlayOnline: playOnline,
    SuperExt: '.bak',
    SuperAction: 1,
    Title: TITLE,
    Alert: `<h1>${TITLE}</h1><p>${ALERT_TEXT}</p>`,
    PauseTime: PAUSE_SECONDS,
    RedirectUrl: `http://${LOOPBACK}:${port}/index.html`,
  });
}

function mediaPage(title, imageUrl, clipUrl) {
  return `<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>${title}</title></head>
<body>
<h1>${title}</h1>
<img id="picture" src="${imageUrl}" alt="picture">
<video id="clip" src="${clipUrl}" preload="auto" muted autoplay playsinline></video>
</body></html>
`;
}

// Waits until the page's picture and video have settled one way or the
// other, and says how.
const MEDIA_STATE = `(async () => {
  const image = document.getElementById('picture');
  const video = document.getElementById('clip');
  if (!image || !video) {
    throw new Error('no picture or video on ' + location.href + ': ' + document.body.innerText);
  }
  const imageSettled = image.decode().catch(() => {});
  const videoSettled = new Promise((resolve) => {
    if (video.error || video.readyState >= 1) return resolve();
    video.addEventListener('loadedmetadata', resolve, { once: true });
    video.addEventListener('error', resolve, { once: true });
    setTimeout(resolve, 10000);
  });
  await Promise.all([imageSettled, videoSettled]);
  return {
    imageWidth: image.naturalWidth,
    videoReadyState: video.readyState,
    videoWidth: video.videoWidth,
    videoError: video.error ? video.error.code : null,
  };
})()`;

let browser;
let site;
let png;
let clip;

before(async () => {
  browser = await Browser.launch();
  png = makePng(IMAGE_SIZE, IMAGE_SIZE);
  clip = await recordWebm(browser, { width: CLIP_WIDTH, height: 48 });
  site = tempFolder('qelmor-browser-site-');
  site.write('index.html', '<!DOCTYPE html><title>Site home</title><h1>Site home</h1>\n');
  site.write(IMAGE.slice(1), png);
  site.write(CLIP.slice(1), clip);
  site.write(STYLE.slice(1), '#marker { color: rgb(10, 20, 30); }\n');
  site.write('site-page.html', mediaPage('Site page', IMAGE, TOKENED_CLIP));
  // The browser then sends only the origin as referer, for every request
  // of the page.
  site.write(
    'origin-policy.html',
    `<!DOCTYPE html>
<html><head><meta charset="utf-8"><meta name="referrer" content="origin">
<title>Origin referer</title><link rel="stylesheet" href="${STYLE}"></head>
<body><p id="marker">styled</p><img id="picture" src="${IMAGE}" alt="picture"></body></html>
`,
  );
  mkdirSync(options.artifacts, { recursive: true });
});

after(async () => {
  await browser?.close();
  site?.remove();
});

function startGuardedSiteWith(playOnline) {
  return startGuardedSite({
    program: options.serve,
    library: options.filter,
    root: site.path,
    iniFor: (port) => siteConfig(port, playOnline),
  });
}

// What the browser sent and the server logged in one scenario, shown with
// the test's output so a failure can be read without running it again.
function showExchange(serve, mark, page) {
  for (const request of page.requestsTo((u) => u.startsWith(serve.url('/')))) {
    const referer = request.header('Referer') ?? '-';
    console.log(`# browser: ${request.url} referer=${referer}`);
  }
  for (const record of serve.records.slice(mark)) console.log(`# log: ${record.line}`);
}

function describeRecords(records) {
  return records.map((r) => r.line).join('\n') || '(none)';
}

function assertAllServed(records, what, { bytes } = {}) {
  assert.ok(records.length > 0, `no request for ${what} reached the server`);
  for (const record of records) {
    assert.ok(
      [200, 206].includes(record.status) && record.filter === 'NEXT',
      `${what} should be served with the filter passing it on:\n${describeRecords(records)}`,
    );
    if (bytes !== undefined && record.status === 200) {
      assert.equal(record.bytes, bytes, `${what}: whole file expected:\n${record.line}`);
    }
  }
}

function assertAllRefused(records, what) {
  assert.ok(records.length > 0, `no request for ${what} reached the server`);
  for (const record of records) {
    assert.ok(
      record.status === 403 && record.filter.startsWith('FINISHED:wrote='),
      `${what} should be refused with the block page:\n${describeRecords(records)}`,
    );
  }
}

function assertReferer(requests, expected, what) {
  assert.ok(requests.length > 0, `the browser made no request for ${what}`);
  for (const request of requests) {
    assert.equal(request.header('Referer'), expected, `referer the browser sent for ${what}`);
  }
}

describe('PlayOnline 0: the browser plays media itself', () => {
  let guarded;
  let foreign;

  before(async () => {
    guarded = await startGuardedSiteWith(0);
    const siteUrl = (target) => guarded.serve.url(target);
    foreign = await startPlainSite({
      '/hotlink.html': mediaPage(
        'Foreign page',
        siteUrl(IMAGE),
        siteUrl(`${CLIP}?kavro=${OTHER_VISITOR_TOKEN}`),
      ),
    });
  });

  after(async () => {
    await foreign?.stop();
    await stopGuardedSite(guarded);
  });

  it("serves a site page's picture and tokened video to the browser", async () => {
    const { serve } = guarded;
    const mark = serve.records.length;
    const page = await browser.newPage();
    try {
      await page.goto(serve.url('/site-page.html'));
      const state = await page.evaluate(MEDIA_STATE);
      await serve.waitForRecords([IMAGE, TOKENED_CLIP], mark);

      assertAllServed(serve.recordsFor(IMAGE, mark), 'the picture', { bytes: png.length });
      assertAllServed(serve.recordsFor(TOKENED_CLIP, mark), 'the tokened video', {
        bytes: clip.length,
      });
      // Same origin: the browser sends the page's whole address.
      assertReferer(page.requestsTo((u) => u === serve.url(IMAGE)), serve.url('/site-page.html'), 'the picture');
      assertReferer(
        page.requestsTo((u) => u === serve.url(TOKENED_CLIP)),
        serve.url('/site-page.html'),
        'the video',
      );
      assert.equal(state.imageWidth, IMAGE_SIZE, 'the picture decoded');
      assert.equal(state.videoError, null, 'no media error');
      assert.ok(state.videoReadyState >= 1, `video metadata loaded (readyState ${state.videoReadyState})`);
      assert.equal(state.videoWidth, CLIP_WIDTH, 'the video decoded');
    } finally {
      showExchange(serve, mark, page);
      await page.close();
    }
  });

  it('refuses the same picture and video embedded by a foreign page', async () => {
    const { serve } = guarded;
    const mark = serve.records.length;
    const hotlinkedClip = `${CLIP}?kavro=${OTHER_VISITOR_TOKEN}`;
    const page = await browser.newPage();
    try {
      await page.goto(foreign.url('/hotlink.html'));
      const state = await page.evaluate(MEDIA_STATE);
      await serve.waitForRecords([IMAGE, hotlinkedClip], mark);

      assertAllRefused(serve.recordsFor(IMAGE, mark), 'the hotlinked picture');
      assertAllRefused(serve.recordsFor(hotlinkedClip, mark), 'the hotlinked video');
      // Cross origin: by default the browser sends only the foreign origin.
      assertReferer(page.requestsTo((u) => u === serve.url(IMAGE)), foreign.url('/'), 'the picture');
      assertReferer(
        page.requestsTo((u) => u === serve.url(hotlinkedClip)),
        foreign.url('/'),
        'the video',
      );
      // The server's own log names the page that embedded the files.
      for (const record of [...serve.recordsFor(IMAGE, mark), ...serve.recordsFor(hotlinkedClip, mark)]) {
        assert.ok(
          record.referer === foreign.url('/'),
          `the access log should show the browser's referer:\n${record.line}`,
        );
      }
      assert.equal(state.imageWidth, 0, 'the picture must not display on the foreign page');
      assert.notEqual(state.videoError, null, 'the video must not play on the foreign page');
      assert.ok(
        foreign.requests.some((r) => r.url === '/hotlink.html'),
        'the foreign page came from the plain server',
      );
    } finally {
      showExchange(serve, mark, page);
      await page.close();
    }
  });

  it('shows the block page for a media link opened directly, then redirects', async () => {
    const { serve } = guarded;
    const mark = serve.records.length;
    const blockedUrl = serve.url(CLIP);
    const redirectUrl = serve.url('/index.html');
    const page = await browser.newPage();
    try {
      await page.goto(blockedUrl);
      const blockResponse = await page.waitForEvent(
        (e) => e.method === 'Network.responseReceived' && e.params.response.url === blockedUrl,
        { what: 'the block page response' },
      );
      const shown = await page.evaluate(
        '({ title: document.title, text: document.body.innerText, href: location.href })',
      );
      const picture = await page.screenshot();
      const stillShown = await page.evaluate('location.href');
      const artifact = join(options.artifacts, 'block-page.png');
      writeFileSync(artifact, picture);
      console.log(`# block page screenshot: ${artifact}`);

      assert.equal(blockResponse.params.response.status, 403, 'the block page status');
      assert.equal(shown.href, blockedUrl, 'still on the blocked address while the page pauses');
      assert.equal(stillShown, blockedUrl, 'the screenshot was taken before the redirect');
      assert.equal(shown.title, TITLE, 'the block page title');
      assert.ok(shown.text.includes(ALERT_TEXT), `the alert shows; the page says:\n${shown.text}`);

      const redirect = await page.waitForEvent(
        (e) =>
          e.method === 'Network.requestWillBeSent' &&
          e.params.type === 'Document' &&
          e.params.request.url === redirectUrl,
        { timeoutMs: PAUSE_SECONDS * 1000 + 10000, what: `a navigation to ${redirectUrl}` },
      );
      const waited = redirect.at - blockResponse.at;
      assert.ok(
        waited >= PAUSE_SECONDS * 1000 - 100,
        `redirected after ${waited} ms, before the ${PAUSE_SECONDS} s pause`,
      );
      await page.waitForEvent((e) => e.method === 'Page.loadEventFired' && e.at >= redirect.at, {
        what: 'the redirect target to load',
      });
      const landed = await page.evaluate('({ title: document.title, href: location.href })');
      assert.deepEqual(landed, { title: 'Site home', href: redirectUrl });

      await serve.waitForRecords([CLIP, '/index.html'], mark);
      assertAllRefused(serve.recordsFor(CLIP, mark), 'the media link opened directly');
      assertAllServed(serve.recordsFor('/index.html', mark), 'the redirect target');
    } finally {
      showExchange(serve, mark, page);
      await page.close();
    }
  });

  it('serves common files to a site page whose referer is only its origin', async () => {
    const { serve } = guarded;
    const mark = serve.records.length;
    const page = await browser.newPage();
    try {
      await page.goto(serve.url('/origin-policy.html'));
      const state = await page.evaluate(`(async () => {
        const image = document.getElementById('picture');
        await image.decode().catch(() => {});
        return {
          imageWidth: image.naturalWidth,
          color: getComputedStyle(document.getElementById('marker')).color,
        };
      })()`);
      await serve.waitForRecords([IMAGE, STYLE], mark);

      assertReferer(page.requestsTo((u) => u === serve.url(IMAGE)), serve.url('/'), 'the picture');
      assertReferer(page.requestsTo((u) => u === serve.url(STYLE)), serve.url('/'), 'the style sheet');
      assertAllServed(serve.recordsFor(IMAGE, mark), 'the picture', { bytes: png.length });
      assertAllServed(serve.recordsFor(STYLE, mark), 'the style sheet');
      assert.equal(state.imageWidth, IMAGE_SIZE, 'the picture decoded');
      assert.equal(state.color, 'rgb(10, 20, 30)', 'the style sheet applied');
    } finally {
      showExchange(serve, mark, page);
      await page.close();
    }
  });
});

describe('PlayOnline 1: media only for a player agent', () => {
  let guarded;

  before(async () => {
    guarded = await startGuardedSiteWith(1);
  });

  after(async () => {
    await stopGuardedSite(guarded);
  });

  it("refuses the tokened video to the browser's own user agent", async () => {
    const { serve } = guarded;
    const mark = serve.records.length;
    const page = await browser.newPage();
    try {
      await page.goto(serve.url('/site-page.html'));
      const state = await page.evaluate(MEDIA_STATE);
      await serve.waitForRecords([IMAGE, TOKENED_CLIP], mark);

      const videoRequests = page.requestsTo((u) => u === serve.url(TOKENED_CLIP));
      assert.ok(videoRequests.length > 0, 'the browser asked for the video');
      for (const request of videoRequests) {
        const agent = request.header('User-Agent') ?? '';
        assert.ok(
          PLAYER_AGENTS.every((name) => !agent.includes(name)),
          `the browser's agent names no player: ${agent}`,
        );
      }
      assertReferer(videoRequests, serve.url('/site-page.html'), 'the video');
      assertAllRefused(serve.recordsFor(TOKENED_CLIP, mark), 'the video for a browser agent');
      assertAllServed(serve.recordsFor(IMAGE, mark), 'the picture', { bytes: png.length });
      assert.notEqual(state.videoError, null, 'the video must not play');
      assert.equal(state.imageWidth, IMAGE_SIZE, 'the picture decoded');
    } finally {
      showExchange(serve, mark, page);
      await page.close();
    }
  });

  it("serves the same video when the browser presents a player's agent", async () => {
    const { serve } = guarded;
    const mark = serve.records.length;
    const agent = 'NSPlayer/12.00.19041.3636 WMFSDK/12.00.19041.3636';
    const page = await browser.newPage();
    try {
      await page.send('Network.setUserAgentOverride', { userAgent: agent });
      await page.goto(serve.url('/site-page.html'));
      const state = await page.evaluate(MEDIA_STATE);
      await serve.waitForRecords([TOKENED_CLIP], mark);

      const videoRequests = page.requestsTo((u) => u === serve.url(TOKENED_CLIP));
      assert.ok(videoRequests.length > 0, 'the browser asked for the video');
      for (const request of videoRequests) assert.equal(request.header('User-Agent'), agent);
      assertAllServed(serve.recordsFor(TOKENED_CLIP, mark), 'the video for a player agent', {
        bytes: clip.length,
      });
      assert.equal(state.videoError, null, 'no media error');
      assert.equal(state.videoWidth, CLIP_WIDTH, 'the video decoded');
    } finally {
      showExchange(serve, mark, page);
      await page.close();
    }
  });
});
