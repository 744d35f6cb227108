// The fleet panel (qzmaster --panel) in a real browser: headless Chromium against qzmaster with
// the file store. A public search finds one ban among many; hostile names, reasons, appeal texts
// and search terms run no script; an appeal is filed and accepted; an administrator bans a GUID;
// a view-level administrator is refused every action; a page on another origin can neither act,
// log in as someone nor lock anyone out; every page fits a 375-px phone without sideways
// scrolling. Screens are saved as PNG files in tests/e2e/output/panel-*.png.
//
// Usage: node panel.e2e.mjs [path/to/qzmaster]   (default: build/native/qzmaster)
import { spawn, spawnSync } from 'node:child_process';
import { appendFileSync, existsSync, mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { createServer as createHttpServer } from 'node:http';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = dirname(fileURLToPath(import.meta.url));
const repo = resolve(here, '..', '..');
const qzmaster = resolve(process.argv[2] || join(repo, 'build', 'native', 'qzmaster'));
const outDir = join(here, 'output');
const TIMEOUT = 30000;
const HOSTILE = '"><script>alert(1)</script><img src=x onerror=alert(2)>';

function freePort() {
  return new Promise((ok, fail) => {
    const srv = createServer();
    srv.once('error', fail);
    srv.listen(0, '127.0.0.1', () => {
      const { port } = srv.address();
      srv.close(() => ok(port));
    });
  });
}

function check(cond, what) {
  if (!cond) throw new Error(`failed: ${what}`);
  console.log(`ok - ${what}`);
}

function guid(i) {
  return (i * 2654435761 % 4294967296).toString(16).toUpperCase().padStart(8, '0') +
    String(i).padStart(24, '0');
}

function addAdmin(fleetDir, name, level) {
  const r = spawnSync(qzmaster, ['panel-admin', '--fleet-dir', fleetDir, 'set', name, level],
    { input: `pw-${name}-long\n` });
  if (r.status !== 0) throw new Error(`panel-admin ${name}: ${r.stderr}`);
}

async function main() {
  mkdirSync(outDir, { recursive: true });
  const dir = mkdtempSync(join(tmpdir(), 'qzpanel-e2e-'));
  // The fleet's own folder (fleet.log and panel.log), never served.
  const fleetDir = join(dir, 'fleet');
  mkdirSync(fleetDir, { mode: 0o700 });
  const now = Math.floor(Date.now() / 1000);
  let log = '';
  for (let i = 1; i <= 2000; ++i) {
    const name = i === 1234 ? '^1Needle^7Player' : i === 77 ? HOSTILE.replace(/[\t"]/g, "'") : `filler${i}`;
    log += `B\t${i}\talpha\t5eed:${i.toString(16)}\t${guid(i)}\t${now - 5000 + i}\t0\t?\tconsole\t${now}\t${name}\n`;
  }
  appendFileSync(join(fleetDir, 'fleet.log'), log);
  addAdmin(fleetDir, 'alice', 'ban');
  addAdmin(fleetDir, 'victor', 'view');
  const port = await freePort();
  const proc = spawn(qzmaster, ['--dir', dir, '--fleet-dir', fleetDir, '--fleet-port', '0', '--panel', `127.0.0.1:${port}`],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  const base = `http://127.0.0.1:${port}`;
  await new Promise((ok, fail) => {
    const timer = setTimeout(() => fail(new Error('qzmaster did not start its panel')), TIMEOUT);
    let text = '';
    proc.stdout.on('data', (c) => {
      text += c;
      if (text.includes('fleet panel on')) { clearTimeout(timer); ok(); }
    });
  });
  // The other origin: a page that tries to act on the panel from the visitor's browser.
  const evilPort = await freePort();
  const evil = createHttpServer((req, res) => {
    const form = (action, fields) => `<form id=f method=post action="${base}${action}">` +
      Object.entries(fields).map(([k, v]) => `<input name=${k} value="${v}">`).join('') +
      '</form><script>document.getElementById("f").submit()</script>';
    const pages = {
      '/ban': form('/admin/ban', { guid: 'EEEE0000EEEE0000EEEE0000EEEE0000', length: '0', reason: 'csrf', csrf: 'x' }),
      '/login': form('/admin/login', { name: 'alice', password: 'pw-alice-long', token: 'x' }),
      '/guess': form('/admin/login', { name: 'alice', password: 'wrong', token: 'x' }),
    };
    res.writeHead(200, { 'content-type': 'text/html' });
    res.end(pages[req.url] || 'nothing');
  });
  await new Promise((ok) => evil.listen(evilPort, '127.0.0.1', ok));

  const browser = await chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox'] });
  let dialogs = 0;
  try {
    const context = await browser.newContext({ viewport: { width: 375, height: 700 } });
    context.on('page', (p) => p.on('dialog', (d) => { ++dialogs; d.dismiss(); }));
    const page = await context.newPage();
    page.on('dialog', (d) => { ++dialogs; d.dismiss(); });
    page.setDefaultTimeout(TIMEOUT);
    const fits = async (what) => {
      const wide = await page.evaluate(() => document.documentElement.scrollWidth);
      check(wide <= 375, `${what} fits a 375-px phone (${wide}px)`);
    };

    // A public search finds a ban among many.
    await page.goto(`${base}/bans`);
    await fits('the ban list');
    await page.fill('input[name=name]', 'needleplayer');
    await page.click('button[type=submit]');
    const rows = await page.locator('table.bans tbody tr').count();
    check(rows === 1 && (await page.textContent('table.bans')).includes(guid(1234)),
      'a name search finds the one ban among 2000');
    await page.screenshot({ path: join(outDir, 'panel-search.png'), fullPage: true });
    await page.goto(`${base}/bans?guid=${guid(1234).slice(0, 10).toLowerCase()}`);
    check((await page.textContent('table.bans')).includes(guid(1234)), 'a GUID prefix in lower case finds it');
    await page.goto(`${base}/bans?name=${encodeURIComponent(HOSTILE)}`);
    await page.goto(`${base}/bans/77`);
    await fits('a ban page');
    await page.screenshot({ path: join(outDir, 'panel-ban.png'), fullPage: true });

    // An appeal with a hostile text is filed from the ban's page.
    await page.goto(`${base}/bans/1234`);
    await page.fill('input[name=guid]', guid(1234).toLowerCase());
    await page.fill('textarea[name=text]', HOSTILE);
    await page.click('text=File the appeal');
    const filed = await page.textContent('main');
    check(filed.includes('open'), `the appeal is filed and shown open (${filed.slice(0, 200)})`);

    // A page on another origin can neither act nor log in nor lock anyone out.
    const other = `http://127.0.0.1:${evilPort}`;
    for (let i = 0; i < 8; ++i) await page.goto(`${other}/guess`).then(() => page.waitForLoadState());
    await page.goto(`${other}/login`);
    await page.waitForLoadState();
    check(!(await context.cookies(base)).some((c) => c.name === 'qzp_session'),
      'a log-in form on another origin logs nobody in');

    // The view-level administrator is refused every action.
    const login = async (name) => {
      await page.goto(`${base}/admin/login`);
      await page.fill('input[name=name]', name);
      await page.fill('input[name=password]', `pw-${name}-long`);
      await page.click('button[type=submit]');
    };
    await login('victor');
    check(page.url().endsWith('/admin'), 'alice\'s guessing page locked nobody out: victor logs in');
    await fits('the panel');
    const csrf = await page.getAttribute('input[name=csrf]', 'value');
    for (const [action, body] of [['/admin/ban', 'guid=ABCD&length=0&reason=x'], ['/admin/lift', 'id=5'],
      ['/admin/appeal', 'id=1&decision=accept'], ['/admin/servers/add', 'id=x'],
      ['/admin/servers/cut', 'id=alpha'], ['/admin/import', 'file=x&step=apply']]) {
      const r = await page.request.post(`${base}${action}`, {
        headers: { 'content-type': 'application/x-www-form-urlencoded', origin: base },
        data: `${body}&csrf=${csrf}`, maxRedirects: 0 });
      check(r.status() === 403, `view level refused ${action}`);
    }
    for (const p of ['/servers', '/appeals', '/admin/audit']) {
      await page.goto(`${base}${p}`);
      await fits(p);
      await page.screenshot({ path: join(outDir, `panel-${p.replace(/\//g, '') || 'root'}.png`), fullPage: true });
    }
    await page.click('text=Log out');
    await context.clearCookies();

    // alice (never locked out by the other origin) accepts the appeal and bans a GUID.
    await login('alice');
    check(page.url().endsWith('/admin'), 'alice logs in after the other origin\'s guesses');
    await page.goto(`${base}/bans/1`);
    await page.goto(`${other}/ban`);
    await page.waitForLoadState();
    await page.goto(`${base}/bans?guid=EEEE0000`);
    check((await page.locator('table.bans tbody tr').count()) === 0, 'a form on another origin bans nobody');
    await page.goto(`${base}/appeals?state=open`);
    await page.click('text=Accept and lift');
    await page.goto(`${base}/bans/1234`);
    check((await page.textContent('main')).includes('lifted by panel:alice'), 'the accepted appeal lifted the ban');
    await page.goto(`${base}/admin`);
    await page.fill('input[name=guid]', 'CAFE0000CAFE0000CAFE0000CAFE0000');
    await page.fill('input[name=name]', HOSTILE.slice(0, 60));
    await page.fill('input[name=reason]', HOSTILE);
    await page.click('form[action="/admin/ban"] button');
    check(/\/bans\/\d+$/.test(page.url()), 'alice bans a GUID fleet-wide');
    await page.screenshot({ path: join(outDir, 'panel-banned.png'), fullPage: true });
    await page.goto(`${base}/bans`);
    await fits('the list with hostile names');
    check(dialogs === 0, 'no script ran from hostile names, reasons, appeal texts or search terms');
    check(existsSync(join(fleetDir, 'panel.log')) && !existsSync(join(dir, 'panel.log')),
      "the panel's log lies in the fleet's folder, not in the served one");
  } finally {
    await browser.close();
    evil.close();
    proc.kill('SIGTERM');
    rmSync(dir, { recursive: true, force: true });
  }
}

main().then(() => console.log('panel browser test passed'), (e) => {
  console.error(e);
  process.exit(1);
});
