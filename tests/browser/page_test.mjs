// Drives the monitor's web page in headless Chromium: channel list, track, cover, title changes,
// the art switch (button and API), a channel choice held against polls, the overview of every
// channel (a click or Enter on a row switches), "Recently played", and the shut-down page.
// Environment: MONITOR_URL (http://127.0.0.1:port), SIM_URL (the station simulator),
// NP_PATHS (JSON list of the now-playing paths per channel), SHOT_DIR (screenshots).
import { chromium } from 'playwright-core';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';

const base = process.env.MONITOR_URL;
const sim = process.env.SIM_URL;
const npPaths = JSON.parse(process.env.NP_PATHS);
const shotDir = process.env.SHOT_DIR;
fs.mkdirSync(shotDir, { recursive: true });

async function getJson(route) {
  const r = await fetch(base + route, { signal: AbortSignal.timeout(5000) });
  assert.equal(r.status, 200, route);
  return r.json();
}

async function setTitle(channel, text) {
  const r = await fetch(sim + '/_sim/set', {
    method: 'POST',
    body: JSON.stringify({ path: npPaths[channel], body: text }),
  });
  assert.equal(await r.text(), 'ok');
}

async function waitUntil(what, fn, ms) {
  const end = Date.now() + ms;
  let last;
  while (Date.now() < end) {
    try {
      last = await fn();
      if (last) return last;
    } catch (e) {
      last = e;
    }
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error(`timed out waiting for ${what} (last: ${last})`);
}

const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
const results = [];
async function step(name, fn) {
  const started = Date.now();
  await fn();
  results.push(`ok   ${name} (${Date.now() - started} ms)`);
  console.log(results.at(-1));
}

try {
  const page = await browser.newPage({ viewport: { width: 600, height: 900 } });
  const channels = await getJson('/api/channels');

  await step('the page lists the channels', async () => {
    await page.goto(base + '/', { waitUntil: 'load' });
    await waitUntil('options', async () =>
      (await page.locator('#channel-select option').count()) === channels.length, 5000);
    const names = await page.locator('#channel-select option').allTextContents();
    assert.deepEqual(names, channels.map((c) => c.name));
  });

  await step('the page shows the track and the cover', async () => {
    const info = await waitUntil('a title and a picture', async () => {
      const i = await getJson('/api/info');
      return i.has_image && i.track !== 'Connecting...' ? i : null;
    }, 20000);
    await waitUntil('track text', async () =>
      (await page.locator('#track').textContent()) === info.track, 7000);
    await waitUntil('cover loaded', async () => page.evaluate(() => {
      const img = document.getElementById('cover');
      return img.complete && img.naturalWidth > 0 && img.src.includes('/image?t=') &&
        img.style.opacity === '1';
    }), 7000);
    assert.equal(await page.title(), info.track + ' - Radio Tovrel');
    await page.screenshot({ path: path.join(shotDir, 'page.png') });
  });

  await step('a title change reaches the page within one poll', async () => {
    const info = await getJson('/api/info');
    const title = 'Browser Artist - Fresh Song ' + Date.now();
    await setTitle(info.channel_index, title);
    // One refresh period of the program (5 s) plus its fetch bound, plus one poll of the page.
    await waitUntil('new title on the page', async () =>
      (await page.locator('#track').textContent()) === title, 5000 + 7000 + 5500);
  });

  await step('a title change reaches the page through the event stream, without a poll', async () => {
    // A second page whose 5-second poll is stretched to an hour before its script runs, so that
    // only the pushed event can explain a new title; its requests for /api/info are counted.
    const streamPage = await browser.newPage();
    await streamPage.addInitScript(() => {
      const original = window.setInterval;
      window.setInterval = (fn, ms, ...rest) => original(fn, ms === 5000 ? 3600000 : ms, ...rest);
    });
    let polls = 0;
    let streams = 0;
    streamPage.on('request', (r) => {
      if (r.url().endsWith('/api/info')) polls++;
      if (r.url().endsWith('/api/events')) streams++;
    });
    await streamPage.goto(base + '/', { waitUntil: 'load' });
    const info = await getJson('/api/info');
    await waitUntil('the first poll and the stream', async () => polls === 1 && streams === 1 &&
      (await streamPage.locator('#track').textContent()) === info.track, 5000);
    const title = 'Stream Artist - Pushed Song ' + Date.now();
    await setTitle(info.channel_index, title);
    // The moment the program knows the title (its own refresh takes up to one period)...
    await waitUntil('the program has the title', async () =>
      (await getJson('/api/info')).track === title, 5000 + 7000);
    const known = Date.now();
    // ...and the page shows it without having polled again: only the push can bring it. It takes
    // milliseconds (printed below); the bound leaves room for a loaded machine.
    await waitUntil('pushed title on the page', async () =>
      (await streamPage.locator('#track').textContent()) === title, 3000);
    console.log(`     pushed title shown ${Date.now() - known} ms after the program had it`);
    assert.equal(polls, 1);
    await streamPage.close();
  });

  await step('the button hides and shows the art', async () => {
    await page.click('#art-toggle-btn');
    await waitUntil('hidden', async () =>
      (await page.locator('#cover-box').evaluate((e) => e.style.display)) === 'none', 6000);
    assert.equal(await page.locator('#art-toggle-text').textContent(), '\u25BC Show Art');
    assert.equal((await getJson('/api/info')).images_enabled, false);
    await page.screenshot({ path: path.join(shotDir, 'page-art-hidden.png') });
    await page.click('#art-toggle-btn');
    await waitUntil('shown', async () =>
      (await page.locator('#cover-box').evaluate((e) => e.style.display)) === 'block', 6000);
    assert.equal(await page.locator('#art-toggle-text').textContent(), '\u25B2 Hide Art');
  });

  await step('a switch made through the API reaches the page within one poll', async () => {
    const r = await getJson('/api/images_toggle');
    assert.equal(r.images_enabled, false);
    await waitUntil('hidden after API switch', async () =>
      (await page.locator('#cover-box').evaluate((e) => e.style.display)) === 'none', 6000);
    await getJson('/api/images_toggle');
    await waitUntil('shown after API switch', async () =>
      (await page.locator('#cover-box').evaluate((e) => e.style.display)) === 'block', 6000);
  });

  await step('a channel chosen in the page is kept against polls', async () => {
    const before = (await getJson('/api/info')).channel_index;
    const target = String((before + 1) % channels.length);
    await page.selectOption('#channel-select', target);
    const until = Date.now() + 2000;
    while (Date.now() < until) {
      assert.equal(await page.locator('#channel-select').inputValue(), target);
      await new Promise((r) => setTimeout(r, 100));
    }
    await waitUntil('channel switched', async () =>
      (await getJson('/api/info')).channel_index === Number(target), 7000);
  });

  await step('the overview lists every channel, the one on show marked with its title', async () => {
    await waitUntil('a row per channel', async () =>
      (await page.locator('#overview .ch-row').count()) === channels.length, 7000);
    const names = await page.locator('#overview .ch-name').allTextContents();
    assert.deepEqual(names, channels.map((c) => c.name));
    const info = await waitUntil('the window\'s title', async () => {
      const i = await getJson('/api/info');
      return i.track !== 'Loading...' && i.track !== 'Connecting...' ? i : null;
    }, 12000);
    await waitUntil('the channel on show marked with its title', async () => {
      const marked = page.locator('#overview .ch-row.on-show');
      return (await marked.count()) === 1 &&
        (await marked.getAttribute('data-index')) === String(info.channel_index) &&
        (await marked.locator('.ch-title').textContent()) === (await getJson('/api/info')).track;
    }, 5000 + 7000 + 5500);
    // What the page shows of each row is what /api/nowplaying says (a dash for no title yet).
    const np = await getJson('/api/nowplaying');
    assert.equal(np.channels.length, channels.length);
    await waitUntil('the rows as the server has them', async () => {
      const now = await getJson('/api/nowplaying');
      const titles = await page.locator('#overview .ch-title').allTextContents();
      return JSON.stringify(titles) === JSON.stringify(now.channels.map((c) => c.title === null ? '\u2013' : c.title));
    }, 5500 * 2);
    await page.setViewportSize({ width: 380, height: 800 });
    await page.screenshot({ path: path.join(shotDir, 'page-overview-phone.png'), fullPage: true });
    const wide = await page.evaluate(() => document.documentElement.scrollWidth);
    assert.ok(wide <= 380, `the page fits a phone's width (${wide} px)`);
    await page.setViewportSize({ width: 600, height: 900 });
  });

  await step('"Recently played" lists the last titles of the channel on show', async () => {
    assert.equal(await page.locator('.recent-wrap .section-title').textContent(), 'Recently played');
    const info = await getJson('/api/info');
    const id = channels[info.channel_index].id;
    await waitUntil('the page\'s list as the history has it', async () => {
      const plays = await getJson('/api/history?channel=' + encodeURIComponent(id) + '&limit=10');
      const shown = await page.locator('#recent .recent-title').allTextContents();
      const none = await page.locator('#recent-none').evaluate((e) => e.style.display !== 'none');
      return plays.length <= 10 && JSON.stringify(shown) === JSON.stringify(plays.map((p) => p.title)) &&
        none === (plays.length === 0);
    }, 5000 + 7000 + 5500);
  });

  await step('a click on a row, and Enter on a focused row, switch the channel', async () => {
    const before = (await getJson('/api/info')).channel_index;
    const clicked = (before + 1) % channels.length;
    await page.click(`#overview .ch-row[data-index="${clicked}"]`);
    assert.equal(await page.locator('#channel-select').inputValue(), String(clicked));
    await waitUntil('switched by a click', async () =>
      (await getJson('/api/info')).channel_index === clicked, 7000);
    await waitUntil('the row marked', async () =>
      (await page.locator('#overview .ch-row.on-show').getAttribute('data-index')) === String(clicked), 7000);
    const keyed = (clicked + 1) % channels.length;
    await page.focus(`#overview .ch-row[data-index="${keyed}"]`);
    await page.keyboard.press('Enter');
    await waitUntil('switched by Enter', async () =>
      (await getJson('/api/info')).channel_index === keyed, 7000);
  });

  await step('the page shows the shut-down page after /stop', async () => {
    await page.goto(base + '/stop', { waitUntil: 'load' });
    assert.equal(await page.locator('h2').textContent(), 'Radio Tovrel Monitor is shutting down...');
    await page.screenshot({ path: path.join(shotDir, 'page-stopped.png') });
  });
} finally {
  await browser.close();
}
console.log(`${results.length} browser checks passed`);
