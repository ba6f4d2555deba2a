// The page's browser tests: the system's Chromium, headless, driven by
// puppeteer-core, against out/web/ served by a local static server that this
// script starts and stops. Usage: node run.mjs OUT_WEB_DIR ARTIFACT_DIR
import puppeteer from 'puppeteer-core';
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, writeFileSync, mkdirSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const [webDir, artifacts] = process.argv.slice(2).map((p) => resolve(p));
mkdirSync(artifacts, { recursive: true });
const chromium = ['/usr/lib/chromium/chromium', '/usr/bin/chromium'].find(existsSync);

const freePort = () => new Promise((ok) => {
  const s = createServer().listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => ok(port)); });
});
const port = await freePort();
const server = spawn('python3', ['-m', 'http.server', String(port), '--bind', '127.0.0.1', '--directory', webDir],
                     { stdio: 'ignore' });
const base = `http://127.0.0.1:${port}/`;
for (let i = 0; i < 50; ++i) {
  try { if ((await fetch(base)).ok) break; } catch (e) { /* not up yet */ }
  await new Promise((r) => setTimeout(r, 100));
}

const work = mkdtempSync(join(tmpdir(), 'fw-web-'));
const image = new Uint8Array(0x1c000);
let seed = 12345;
for (let i = 0; i < image.length; ++i) { seed = (seed * 1103515245 + 12345) >>> 0; image[i] = seed >>> 24; }
writeFileSync(join(work, 'fw.bin'), image);
// A HEX record whose checksum is wrong.
writeFileSync(join(work, 'bad.hex'), ':10400000000102030405060708090A0B0C0D0E0F00\n:00000001FF\n');

let passed = 0;
let failed = 0;
const browser = await puppeteer.launch({ executablePath: chromium, headless: true, args: ['--no-sandbox'],
                                         protocolTimeout: 300000 });

const fakeHid = readFileSync(join(dirname(fileURLToPath(import.meta.url)), 'fake-hid.js'), 'utf8');

// FW_WEB_TESTS=REGEX runs only the tests whose names match.
const only = process.env.FW_WEB_TESTS ? new RegExp(process.env.FW_WEB_TESTS) : null;

async function test(name, body, { fake = false } = {}) {
  if (only && !only.test(name)) return;
  const page = await browser.newPage();
  if (fake) await page.evaluateOnNewDocument(fakeHid);
  await page.setViewport({ width: 1100, height: 1400 });
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  page.on('dialog', (d) => { errors.push(`dialog: ${d.message()}`); d.dismiss(); });
  const started = Date.now();
  try {
    await page.goto(base, { waitUntil: 'load' });
    await page.waitForFunction(() => window.kdReady === true, { timeout: 20000 });
    const loadMs = await page.evaluate(() => Math.round(performance.now()));
    await body(page);
    if (errors.length) throw new Error(`page errors: ${errors.join('; ')}`);
    console.log(`ok   ${name} (${((Date.now() - started) / 1000).toFixed(1)} s; page and engine ready in ${loadMs} ms)`);
    ++passed;
  } catch (error) {
    console.log(`FAIL ${name}: ${error.message}`);
    ++failed;
  } finally {
    await page.close();
  }
}

function check(condition, message) { if (!condition) throw new Error(message); }

async function chooseImage(page, file) {
  const input = await page.$('#image-file');
  await input.uploadFile(join(work, file));
  await page.waitForFunction(() => !/^No image/.test(document.getElementById('image-info').textContent),
                             { timeout: 20000 });
  return page.$eval('#image-info', (e) => e.textContent);
}

async function runAndWait(page, button) {
  await page.evaluate(() => { window.kdLastResults = null; });
  await page.click(button);
  await page.waitForFunction(() => window.kdLastResults != null, { timeout: 240000 });
  return page.evaluate(() => ({
    verdict: document.getElementById('verdict').className,
    text: document.getElementById('verdict').textContent,
    results: window.kdLastResults.map((r) => ({
      label: r.target.label, ok: r.ok, reason: r.reason,
      progress: r.run ? r.run.objects.filter((o) => o.type === 'progress').length : 0,
      flash: r.flash ? Array.from(r.flash) : null,
    })),
  }));
}

function flashHolds(flash, at) {
  if (!flash || flash.length < at + image.length) return false;
  for (let i = 0; i < image.length; ++i) if (flash[at + i] !== image[i]) return false;
  return true;
}

// 1 and 4: the virtual mode updates both bridges at once, each in its own
// engine instance; the page is photographed after the run.
await test('virtual update on each bridge, flash equals the image, green verdict', async (page) => {
  const info = await chooseImage(page, 'fw.bin');
  check(/114688 bytes, SHA-256 [0-9a-f]{64}/.test(info), `image line: ${info}`);
  const r = await runAndWait(page, '#flash');
  check(r.verdict.includes('ok'), `verdict: ${r.text}`);
  check(r.results.length === 2, `rows: ${r.results.length}`);
  for (const row of r.results) {
    check(row.ok, `${row.label}: ${row.reason}`);
    check(row.progress >= 2, `${row.label}: ${row.progress} progress objects`);
    check(flashHolds(row.flash, 0x4000), `${row.label}: the flash does not hold the image`);
  }
  await page.screenshot({ path: join(artifacts, 'web-page.png'), fullPage: true });
  // The virtual flash carries over: Verify after Flash passes.
  const v = await runAndWait(page, '#verify');
  check(v.verdict.includes('ok') && v.results.every((row) => row.ok), `verify after flash: ${v.text}`);
});

// 3: a bad HEX file is refused by the engine's own check, with no device.
await test('a bad HEX file is refused before any device is touched', async (page) => {
  const info = await chooseImage(page, 'bad.hex');
  check(/^Refused: .*bad\.hex/.test(info), `image line: ${info}`);
  check(await page.$eval('#flash', (b) => b.disabled), 'Flash is enabled after a refused image');
  check(await page.$eval('#verdict', (v) => v.className.includes('bad')), 'no red verdict');
});

// 3: a controller that stops answering mid-run ends red with its reason.
await test('a controller that vanishes mid-run: red verdict with the reason', async (page) => {
  await page.evaluate(() => { window.kdVirtualEnv = { KDSIM_VANISH_AFTER: '400' }; });
  await page.click('#virtual-cp2112');
  await chooseImage(page, 'fw.bin');
  const r = await runAndWait(page, '#flash');
  check(r.verdict.includes('bad'), `verdict: ${r.text}`);
  check(r.results.length === 1 && !r.results[0].ok, 'the run did not fail');
  check(/answer|controller/i.test(r.text), `verdict names no reason: ${r.text}`);
});

async function useFakeBridges(page) {
  await page.evaluate(() => window.kdFake.ready);
  await page.click('#mode-webhid');
  await page.waitForFunction(() => document.querySelectorAll('#rows tbody tr progress').length === 2, { timeout: 20000 });
}

// 2: every report through hid_webhid to the virtual boards: an update on
// both bridges at once, each flash exactly the image.
await test('WebHID: information, then an update over each bridge gives the exact flash', async (page) => {
  await useFakeBridges(page);
  await chooseImage(page, 'fw.bin');
  // Flash right after: the information run's instances are still closing
  // the devices when the update's open them.
  const info = await runAndWait(page, '#info');
  check(info.verdict.includes('ok'), `information: ${info.text}`);
  check(/"protocol": "TCIP"/.test(await page.$eval('#details', (e) => e.textContent)), 'no information shown');
  const r = await runAndWait(page, '#flash');
  check(r.verdict.includes('ok'), `verdict: ${r.text}`);
  for (const row of r.results) check(row.ok && row.progress >= 2, `${row.label}: ${row.reason}`);
  for (const i of [0, 1]) {
    const flash = await page.evaluate(async (n) => Array.from(await window.kdFake.flash(n)), i);
    check(flashHolds(flash, 0x4000), `board ${i}: the flash does not hold the image`);
  }
}, { fake: true });

// 3: a bridge unplugged mid-run (the browser's disconnect event) fails its
// own row with the reason; the other bridge finishes.
await test('WebHID: a disconnect mid-run fails that bridge alone, red verdict', async (page) => {
  await useFakeBridges(page);
  await chooseImage(page, 'fw.bin');
  await page.evaluate(() => { window.kdLastResults = null; });
  await page.click('#flash');
  await page.waitForFunction(() => document.querySelector('#rows tbody tr progress').value > 8192, { timeout: 60000 });
  await page.evaluate(() => window.kdFake.disconnect(0));
  await page.waitForFunction(() => window.kdLastResults != null, { timeout: 240000 });
  const r = await page.evaluate(() => ({
    verdict: document.getElementById('verdict').className,
    text: document.getElementById('verdict').textContent,
    results: window.kdLastResults.map((x) => ({ ok: x.ok, reason: x.reason })),
  }));
  check(r.verdict.includes('bad'), `verdict: ${r.text}`);
  check(!r.results[0].ok && /unplugged|lost|gone/i.test(r.results[0].reason), `first bridge: ${JSON.stringify(r.results[0])}`);
  check(r.results[1].ok, `second bridge: ${r.results[1].reason}`);
}, { fake: true });

await browser.close();
server.kill();
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
