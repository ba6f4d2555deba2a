// The update over each virtual bridge in the page under the bus-timing model
// (KDSIM_TIMING=fullspeed): prints "BRIDGE SECONDS" per bridge, the elapsed_s
// of the run's end object. Usage: node bench.mjs OUT_WEB_DIR IMAGE
import puppeteer from 'puppeteer-core';
import { spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import { createServer } from 'node:net';
import { resolve } from 'node:path';

const [webDir, image] = process.argv.slice(2).map((p) => resolve(p));
const chromium = ['/usr/lib/chromium/chromium', '/usr/bin/chromium'].find(existsSync);
const port = await new Promise((ok) => {
  const s = createServer().listen(0, '127.0.0.1', () => { const { port: p } = s.address(); s.close(() => ok(p)); });
});
const server = spawn('python3', ['-m', 'http.server', String(port), '--bind', '127.0.0.1', '--directory', webDir],
                     { stdio: 'ignore' });
const base = `http://127.0.0.1:${port}/`;
for (let i = 0; i < 50; ++i) {
  try { if ((await fetch(base)).ok) break; } catch (e) { /* not up yet */ }
  await new Promise((r) => setTimeout(r, 100));
}
const browser = await puppeteer.launch({ executablePath: chromium, headless: true, args: ['--no-sandbox'],
                                         protocolTimeout: 600000 });
try {
  for (const kind of ['custom', 'cp2112']) {
    const page = await browser.newPage();
    await page.goto(base);
    await page.waitForFunction(() => window.kdReady === true);
    await page.evaluate((k) => {
      window.kdVirtualEnv = { KDSIM_TIMING: 'fullspeed' };
      document.getElementById('virtual-custom').checked = k === 'custom';
      document.getElementById('virtual-cp2112').checked = k === 'cp2112';
    }, kind);
    await (await page.$('#image-file')).uploadFile(image);
    await page.waitForFunction(() => !/^No image/.test(document.getElementById('image-info').textContent));
    await page.click('#flash');
    await page.waitForFunction(() => window.kdLastResults != null, { timeout: 600000 });
    const end = await page.evaluate(() => {
      const r = window.kdLastResults[0];
      return r.ok ? r.run.objects.filter((o) => o.type === 'end').pop() : { reason: r.reason };
    });
    if (end.elapsed_s === undefined) throw new Error(`${kind}: ${end.reason}`);
    console.log(`${kind} ${end.elapsed_s}`);
    await page.close();
  }
} finally {
  await browser.close();
  server.kill();
}
