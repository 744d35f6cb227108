// The WebTool in a real browser: headless Chromium against qzhost with simulated players.
// An administrator logs in, watches the Player List, kicks, bans, asks for a screenshot, changes
// a game setting and a general setting, changes the map, runs serverinfo, and a wrong key is
// refused. A player named as a script must show as text and run nothing. Each screen is saved as
// a PNG in tests/e2e/output/.
//
// Usage: node webtool.e2e.mjs [path/to/qzhost]   (default: build/native/qzhost)
import { spawn } from 'node:child_process';
import { mkdirSync, mkdtempSync, renameSync, rmSync, writeFileSync } from 'node:fs';
import { createServer as createHttpServer } from 'node:http';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = dirname(fileURLToPath(import.meta.url));
const repo = resolve(here, '..', '..');
const qzhostPath = resolve(process.argv[2] || join(repo, 'build', 'native', 'qzhost'));
const outDir = join(here, 'output');
const KEY = 'e2e-Key-7731';
const TIMEOUT = 10000;

const GUID_RED = '0A1B2C3D4E5F60718293A4B5C6D7E8F9';
const GUID_BAN = '11112222333344445555666677778888';
const GUID_SS = 'ABCDEFABCDEFABCDEFABCDEFABCDEF01';
const GUID_XSS = '99998888777766665555444433332222';
const SCRIPT_NAME = '"><script>alert(1)</script>';

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

// qzhost with its output kept line by line; waitFor resolves when a line matches.
class Host {
  constructor(home, port) {
    this.lines = [];
    this.waiters = [];
    this.proc = spawn(qzhostPath, ['+set', 'fs_homepath', home, '+set', 'fs_basepath', home], {
      stdio: ['pipe', 'pipe', 'inherit'],
    });
    let rest = '';
    this.proc.stdout.setEncoding('utf8');
    this.proc.stdout.on('data', (chunk) => {
      rest += chunk;
      let nl;
      while ((nl = rest.indexOf('\n')) >= 0) {
        const line = rest.slice(0, nl);
        rest = rest.slice(nl + 1);
        this.lines.push(line);
        if (process.env.E2E_VERBOSE) console.log(`  qzhost| ${line}`);
        this.waiters = this.waiters.filter((w) => !(w.test(line) && (w.ok(line), true)));
      }
    });
    this.exited = new Promise((ok) => this.proc.once('exit', (code) => ok(code)));
    this.port = port;
  }
  send(line) {
    this.proc.stdin.write(`${line}\n`);
  }
  // Resolves with the first line (already seen, or still to come) for which test is true.
  waitFor(test, what, timeout = TIMEOUT) {
    const seen = this.lines.find(test);
    if (seen !== undefined) return Promise.resolve(seen);
    return new Promise((ok, fail) => {
      const timer = setTimeout(() => fail(new Error(`qzhost never printed ${what}`)), timeout);
      this.waiters.push({ test, ok: (line) => { clearTimeout(timer); ok(line); } });
    });
  }
  waitText(text, timeout) {
    return this.waitFor((l) => l.includes(text), JSON.stringify(text), timeout);
  }
  // Sends a line and waits for the answer that starts with prefix among the lines it causes.
  async sendAndWait(line, text) {
    const from = this.lines.length;
    this.send(line);
    return this.waitFor((l) => this.lines.indexOf(l, from) >= from && l.includes(text),
      JSON.stringify(text));
  }
  async stop() {
    this.send('quit');
    const timer = setTimeout(() => this.proc.kill('SIGKILL'), 5000);
    const code = await this.exited;
    clearTimeout(timer);
    return code;
  }
}

function check(condition, message) {
  if (!condition) throw new Error(`check failed: ${message}`);
}

async function main() {
  mkdirSync(outDir, { recursive: true });
  const home = mkdtempSync(join(tmpdir(), 'qz-e2e-'));
  const userData = mkdtempSync(join(tmpdir(), 'qz-e2e-chromium-'));
  const port = await freePort();
  mkdirSync(join(home, 'qz'), { recursive: true });
  writeFileSync(join(home, 'qz', 'qzsvuser.cfg'),
    `qz_sv_HttpKey ${KEY}\r\nqz_sv_HttpPort ${port}\r\nqz_sv_HttpRefresh 60\r\n`);

  let host = new Host(home, port);
  let evil;
  let browser;
  let failed = false;
  const dialogs = [];
  const steps = [];
  const step = async (name, body) => {
    const started = Date.now();
    await body();
    steps.push(`${name} (${Date.now() - started} ms)`);
    console.log(`  ok  ${name}`);
  };
  try {
    await host.waitText('Listening for HTTP');

    // Players: coloured names, the script name (set by a rename: the simulator's connect line
    // cannot carry a double quote at the start of a name), and a spectator-free set to act on.
    const slotOf = async (line, name) => {
      const seen = await host.sendAndWait(line, `${name} admitted`);
      return Number(/slot (\d+):/.exec(seen)[1]);
    };
    const red = await slotOf(`sim_connect ^1Red^7Baron ${GUID_RED} 10.0.0.1:27960`, '^1Red^7Baron');
    const banned = await slotOf(`sim_connect ^4Blue^3Cheater ${GUID_BAN} 10.0.0.2:27960 L`,
      '^4Blue^3Cheater');
    const shot = await slotOf(`sim_connect Camper ${GUID_SS} 10.0.0.3:27960`, 'Camper');
    const xss = await slotOf(`sim_connect placeholder ${GUID_XSS} 10.0.0.4:27960`, 'placeholder');
    await host.sendAndWait(`sim_rename ${xss} "${SCRIPT_NAME}"`, 'Name Change');
    host.send('sim_cvar sv_hostname <b>Evil</b> & Co');

    // A fresh profile directory: launchPersistentContext is Playwright's way of passing one.
    browser = await chromium.launchPersistentContext(userData, {
      executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
      headless: true,
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync',
        // Names that resolve to the WebTool's address, as a rebinding attacker's would.
        '--host-resolver-rules=MAP evil.test 127.0.0.1, MAP admin.e2e.invalid 127.0.0.1'],
      viewport: { width: 1000, height: 1400 },
    });
    const context = browser;
    context.setDefaultTimeout(TIMEOUT);
    const page = await context.newPage();
    page.on('dialog', async (d) => {
      dialogs.push(`${d.type()}: ${d.message()}`);
      await d.dismiss().catch(() => {});
    });
    // No answer of the WebTool may be an error page (the browser's icon request included).
    const badResponses = [];
    page.on('response', (r) => {
      if (r.status() >= 400) badResponses.push(`${r.status()} ${r.url()}`);
    });
    const base = `http://127.0.0.1:${port}/qzsvweb`;
    const shoot = (name) => page.screenshot({ path: join(outDir, `${name}.png`), fullPage: true });
    const title = (text) => page.locator('i', { hasText: text }).first().waitFor();
    const message = (text) => page.locator('font', { hasText: text }).first().waitFor();
    const slotButton = (slot) => page.locator(`input[name="${slot}slot"]`);
    const chooseSlot = async (slot) => {
      await slotButton(slot).click();
      await title('Player List Screen');
      await page.waitForFunction(
        (s) => document.querySelector('input[name=slotnum]')?.value === String(s), slot);
    };

    await step('login screen with safe headers and a title', async () => {
      const response = await page.goto(base);
      await title('Login Screen');
      const h = response.headers();
      check(h['content-type'] === 'text/html; charset=iso-8859-1', `Content-Type (${h['content-type']})`);
      check(h['x-frame-options'] === 'DENY', 'X-Frame-Options: DENY');
      check(h['content-security-policy'] === "frame-ancestors 'none'", 'frame-ancestors none');
      check(h['cache-control'] === 'no-store', 'Cache-Control: no-store');
      check((await page.title()).startsWith('Login Screen'), 'the page has a title');
      check(await page.getAttribute('input[name=webkey]', 'maxlength') === '127',
        'the login field takes a whole key');
      await shoot('01-login');
    });

    await step('log in with the key and see the Player List with coloured names', async () => {
      await page.fill('input[name=webkey]', KEY);
      await page.click('input[name=plist]:visible');
      await title('Player List Screen');
      await page.getByText('4 Players').waitFor();
      const redColour = await page.locator('font', { hasText: /^Red$/ }).getAttribute('color');
      check(redColour === '#ff0000', `"Red" is drawn in red (got ${redColour})`);
      const baron = await page.locator('font', { hasText: /^Baron$/ }).getAttribute('color');
      check(baron === '#ffffff', `"Baron" is drawn in white (got ${baron})`);
      const blue = await page.locator('font', { hasText: /^Blue$/ }).getAttribute('color');
      check(blue === '#0000ff', `"Blue" is drawn in blue (got ${blue})`);
      await shoot('02-player-list');
    });

    await step('the script-named player shows as text and runs nothing', async () => {
      await page.getByText(SCRIPT_NAME, { exact: true }).waitFor();
      check(await page.locator('script').count() === 0, 'the page holds no script element');
      check(dialogs.length === 0, `no dialog opened (${dialogs.join('; ')})`);
    });

    await step('choose a slot', async () => {
      await chooseSlot(red);
      const guid = await page.inputValue('input[name=guid]');
      check(guid === GUID_RED, `the GUID field holds the player's GUID (got ${guid})`);
      // An action is being prepared: no refresh resets what is typed now.
      check(await page.locator('meta[http-equiv=refresh]').count() === 0,
        'the page does not refresh itself while a player is chosen');
      await page.getByText('Automatic refresh paused while a player is chosen').waitFor();
      await shoot('03-slot-chosen');
    });

    await step('Enter in the reason field acts on nothing: the chosen player stays chosen', async () => {
      // A player whose Slot button is not the first one on the page.
      await chooseSlot(shot);
      await page.fill('input[name=webreason]', 'Enter pressed here');
      await page.press('input[name=webreason]', 'Enter');
      await page.press('input[name=slotnum]', 'Enter');
      // Had Enter submitted the form, the first Slot button would have chosen another player.
      check(await page.inputValue('input[name=slotnum]') === String(shot), 'Slot # still names him');
      check(await page.inputValue('input[name=webreason]') === 'Enter pressed here',
        'the typed reason is still there (no page was loaded)');
      await page.fill('input[name=webreason]', 'Removed by Web Admin');
      await chooseSlot(red);
    });

    await step('kick: "* COMMAND ISSUED *" and the player is gone', async () => {
      await page.click('input[name=kickslot]:visible');
      await message('* COMMAND ISSUED *');
      await host.waitText(`[host] DropClient ${red} Kestrine kicked player '^1Red^7Baron' (for 2 minutes)`);
      check(await slotButton(red).count() === 0, 'the kicked player is no longer listed');
      await page.getByText('3 Players').waitFor();
      await shoot('04-kicked');
    });

    await step('ban: asked first, banned only when confirmed', async () => {
      await chooseSlot(banned);
      await page.click('input[name=banslot]:visible');
      await title('Confirm Ban');
      await message('* BAN THIS PLAYER FOR EVER?');
      check(!host.lines.some((l) => l.includes(`DropClient ${banned} `)), 'nobody banned yet');
      await page.click('input[name=banslot]:visible');
      await message('* COMMAND ISSUED *');
      await host.waitText(`[host] DropClient ${banned} Kestrine permanent ban issued on this Game Server for player '^4Blue^3Cheater'`);
      check(await slotButton(banned).count() === 0, 'the banned player is no longer listed');
      await shoot('05-banned');
      // He cannot come back.
      await host.sendAndWait(`sim_connect Again ${GUID_BAN} 10.0.0.2:27961`, 'Again refused');
    });

    await step('request a screenshot', async () => {
      await chooseSlot(shot);
      await page.click('input[name=getssslot]:visible');
      await title('Player List Screen');
      await message('* COMMAND ISSUED *');
      await host.waitFor((l) => /^Screenshot \d{6} Requested from \d+ *Camper$/.test(l),
        'the screenshot request line');
      await shoot('06-screenshot');
    });

    await step('change a game setting', async () => {
      await page.click('input[name=gsettings]:visible');
      await title('Game Settings Screen');
      await page.fill('input[name=timelimit]', '25');
      await shoot('07-game-settings');
      await page.click('input[name=updgset]:visible');
      await title('Command Screen');
      await message('* UPDATED *');
      await host.waitText('[host] Cvar_Set timelimit 25');
      await page.click('input[name=gsettings]:visible');
      await title('Game Settings Screen');
      check(await page.inputValue('input[name=timelimit]') === '25', 'timelimit shows 25');
    });

    await step('a refused screenshot request says so, with the reason', async () => {
      await page.click('input[name=plist]:visible');
      await title('Player List Screen');
      await chooseSlot(shot);
      await page.click('input[name=getssslot]:visible');
      await title('Player List Screen');
      await message('* COMMAND REFUSED *');
      await page.getByText('Less than 30 seconds have passed since last request.').waitFor();
    });

    await step('change a general setting', async () => {
      await page.click('input[name=qz_settings]:visible');
      await title('General QZ Settings Screen');
      await page.fill('input[name=qz_sv_KickLen]', '7');
      await shoot('08-general-settings');
      await page.click('input[name=updqz1]:visible');
      await message('* UPDATED *');
      await host.waitText('qz_sv_KickLen = 7');
      await page.click('input[name=plist]:visible');
      await title('Player List Screen');
      check(await page.inputValue('input[name=webkicklen]') === '7', 'Kick Minutes shows 7');
    });

    await step('a refused general setting is shown on the page with its reason', async () => {
      await page.click('input[name=qz_settings]:visible');
      await title('General QZ Settings Screen');
      await page.fill('input[name=qz_sv_KickLen]', '99');
      await page.click('input[name=updqz1]:visible');
      await message('* NOT ALL UPDATED');
      await page.getByText('qz_sv_KickLen: 99 is outside 0 to 60; value kept').waitFor();
      check(!(await page.content()).includes('* UPDATED *'), 'no "* UPDATED *" for a refusal');
      await shoot('08b-refused-setting');
    });

    await step('an unchanged Update keeps a 20-map list whole', async () => {
      const maps = Array.from({ length: 20 }, (_, i) => `mp_battery_number_${i}`).join(' ');
      await host.sendAndWait(`qz_sv_HttpMaps "${maps}"`, 'qz_sv_HttpMaps = ');
      const before = host.lines.filter((l) => l.startsWith('qz_sv_HttpMaps = ')).pop();
      check(before === `qz_sv_HttpMaps = ${maps}`, `the list was set (${before})`);
      await page.click('input[name=qz_settings]:visible');
      await title('General QZ Settings Screen');
      check(await page.inputValue('input[name=qz_sv_httpMaps]') === maps, 'the field shows it whole');
      await page.click('input[name=updqz1]:visible');
      await title('Command Screen');
      await message('* UPDATED *');
      const after = await host.sendAndWait('qz_sv_HttpMaps', 'qz_sv_HttpMaps = ');
      check(after === `qz_sv_HttpMaps = ${maps}`, `the list is unchanged (${after})`);
      check(await page.locator('select[name=map_names] option').count() === 21,
        'the Command Screen offers all 20 maps');
      await page.locator('option', { hasText: 'mp_battery_number_19' }).waitFor({ state: 'attached' });
      // Back to the built-in list for the steps that follow.
      await host.sendAndWait('qz_sv_HttpMaps ""', 'qz_sv_HttpMaps = ');
    });

    await step('an address the machine cannot listen on is refused, the WebTool stays', async () => {
      await page.click('input[name=qz_settings]:visible');
      await title('General QZ Settings Screen');
      await page.fill('input[name=qz_sv_httpAddr]', '192.0.2.1');
      await page.click('input[name=updqz1]:visible');
      await message('* NOT ALL UPDATED');
      await page.getByText(`cannot listen on 192.0.2.1:${port}`).first().waitFor();
      await shoot('08c-address-refused');
      await page.click('input[name=plist]:visible');
      await title('Player List Screen');
    });

    await step('Enter in the console line runs the line, not the map button', async () => {
      await page.click('input[name=cmds]:visible');
      await title('Command Screen');
      await page.selectOption('select[name=map_names]', { label: 'mp_goldrush' });
      const from = host.lines.length;
      await page.fill('input[name=exec_cmd_text]', 'qz_sv_Plist');
      await page.press('input[name=exec_cmd_text]', 'Enter');
      await title('Game Command Results');
      // The module's own command, passed on by the game console, with its answer captured.
      await page.locator('pre', { hasText: 'End of Player List' }).waitFor();
      check(!host.lines.slice(from).some((l) => l.includes('Cmd_Exec map ')), 'no map change');
      await shoot('09b-enter-console-line');
    });

    await step('change the map', async () => {
      await page.click('input[name=cmds]:visible');
      await title('Command Screen');
      await page.selectOption('select[name=map_names]', { label: 'mp_railgun' });
      await shoot('09-command-screen');
      await page.click('input[name=map]:visible');
      await title('Game Command Results');
      await page.locator('pre', { hasText: 'Loading map mp_railgun' }).waitFor();
      await host.waitText('[host] Cmd_Exec map mp_railgun');
      await shoot('10-map-changed');
    });

    await step('run serverinfo and see its output escaped', async () => {
      await page.click('input[name=cmds]:visible');
      await title('Command Screen');
      await page.click('input[name=serverinfo]:visible');
      await title('Game Command Results');
      const pre = page.locator('pre');
      await pre.filter({ hasText: 'Server info settings:' }).waitFor();
      const text = await pre.innerText();
      check(text.includes('sv_hostname <b>Evil</b> & Co'), 'the host name shows as typed text');
      check(text.includes('mapname mp_railgun'), 'the new map is in the server info');
      check(await page.locator('pre b').count() === 0, 'no markup from the output is live');
      await shoot('11-serverinfo');
    });

    await step('the console line never touches the web key', async () => {
      await page.fill('input[name=exec_cmd_text]', 'qz_sv_HttpKey stolen');
      await page.click('input[name=exec_cmd]:visible');
      await title('Game Command Results');
      await message('** Command Ignored by WebTool **');
      check(!host.lines.some((l) => l.includes('Cmd_Exec qz_sv_HttpKey')), 'the line was not run');
      await shoot('12-guard');
    });

    await step('a wrong key gets "* BAD KEY *"', async () => {
      const other = await context.newPage();
      await other.goto(base);
      await other.locator('i', { hasText: 'Login Screen' }).waitFor();
      await other.fill('input[name=webkey]', 'not-the-key');
      await other.click('input[name=plist]:visible');
      await other.locator('font', { hasText: '* BAD KEY *' }).waitFor();
      await host.waitText('Bad Web Key sent from 127.0.0.1:');
      await other.screenshot({ path: join(outDir, '13-bad-key.png'), fullPage: true });
      await other.close();
    });

    const digestOf = (p) => p.getAttribute('input[name=webkey]', 'value');
    const GUID_HOST = 'DDDDEEEEFFFF00001111222233334444';
    const GUID_FAIL = '55556666777788889999AAAABBBBCCCC';
    let victimSlot = 0;

    await step('a page of another site can neither lock the administrator out nor act', async () => {
      await page.click('input[name=plist]:visible');
      await title('Player List Screen');
      const digest = await digestOf(page);
      const victim = await slotOf(`sim_connect Victim ${GUID_HOST} 10.0.0.7:27960`, 'Victim');
      victimSlot = victim;
      // Another origin (another port): six wrong-key pictures, then a form that posts a kick
      // with the administrator's digest as text/plain, submitted by itself.
      const evilPort = await freePort();
      const evilPage = `<html><body>
${Array.from({ length: 6 }, (_, i) => `<img src="${base}/plist=1&webkey=wrong${i}">`).join('\n')}
<form id=f method=post enctype=text/plain action="${base}">
<input name="webkey" value="${digest}">
<input name="slotnum" value="${victim}"><input name="guid" value="${GUID_HOST}">
<input name="webreason" value="csrf"><input name="webkicklen" value="1">
<input name="kickslot" value="k"></form>
<script>setTimeout(() => document.getElementById('f').submit(), 300);</script>
</body></html>`;
      evil = createHttpServer((req, res) => {
        res.writeHead(200, { 'Content-Type': 'text/html' });
        res.end(evilPage);
      });
      await new Promise((ok) => evil.listen(evilPort, '127.0.0.1', ok));
      const other = await context.newPage();
      const refused = [];
      other.on('response', (r) => { if (r.url().startsWith(base)) refused.push(r.status()); });
      await other.goto(`http://127.0.0.1:${evilPort}/`);
      await other.waitForURL((u) => u.toString().startsWith(base));
      await other.locator('body', { hasText: 'another site' }).waitFor();
      // 403, or 503 for the pictures past the four connections one address may hold at once.
      check(refused.includes(403) && refused.every((st) => st === 403 || st === 503),
        `every request of the other site was refused (${refused.join(',')})`);
      await other.close();
      check(!host.lines.some((l) => l.includes('locked out')), 'nobody was locked out');
      check(!host.lines.some((l) => l.includes('DropClient') && l.includes('csrf')), 'no kick ran');
      await page.click('input[name=plist]:visible');
      await title('Player List Screen');
      check(await slotButton(victim).count() === 1, 'the administrator gets in; the victim is listed');
      evil.close();
      evil = undefined;
    });

    await step('a link with a valid digest shows nothing and acts on nothing', async () => {
      const digest = await digestOf(page);
      const victim = victimSlot;
      const link = await context.newPage();
      await link.goto(`${base}/kickslot=1&slotnum=${victim}&guid=${GUID_HOST}&webkicklen=1&webreason=link&webkey=${digest}`);
      await link.locator('font', { hasText: "NOT RUN: ONLY THE PAGE'S OWN BUTTONS ACT" }).waitFor();
      await link.close();
      check(!host.lines.some((l) => l.includes('DropClient') && l.includes('link')), 'no kick ran');
    });

    await step('an unchanged Update keeps a value that holds the rcon password', async () => {
      host.send('sim_cvar rconpassword goldrush');
      await host.sendAndWait('qz_sv_HttpMaps "mp_forest mp_goldrush"', 'qz_sv_HttpMaps = ');
      await page.click('input[name=qz_settings]:visible');
      await title('General QZ Settings Screen');
      check(await page.inputValue('input[name=qz_sv_httpMaps]') === 'mp_forest mp_goldrush',
        'the field shows the value as held');
      await page.fill('input[name=qz_sv_KickLen]', '3');
      await page.click('input[name=updqz1]:visible');
      await message('* UPDATED *');
      const after = await host.sendAndWait('qz_sv_HttpMaps', 'qz_sv_HttpMaps = ');
      check(after === 'qz_sv_HttpMaps = mp_forest mp_goldrush', `the map list is unchanged (${after})`);
      await host.sendAndWait('qz_sv_HttpMaps ""', 'qz_sv_HttpMaps = ');
      host.send('sim_cvar rconpassword ""');
    });

    await step('a ban whose file cannot be written and a failed WriteCfg are shown as failures', async () => {
      const failing = await slotOf(`sim_connect Unbannable ${GUID_FAIL} 10.0.0.8:27960`, 'Unbannable');
      renameSync(join(home, 'qz', 'qzbans.dat'), join(home, 'qz', 'qzbans.kept'));
      mkdirSync(join(home, 'qz', 'qzbans.dat'));
      await page.click('input[name=plist]:visible');
      await title('Player List Screen');
      await chooseSlot(failing);
      await page.click('input[name=banslot]:visible');
      await title('Confirm Ban');
      await page.click('input[name=banslot]:visible');
      await message('* COMMAND FAILED *');
      await page.getByText(`Ban Failed for (slot #${failing}) Unbannable`).waitFor();
      check(!(await page.content()).includes('* COMMAND ISSUED *'), 'no "* COMMAND ISSUED *"');
      await shoot('05b-ban-failed');
      rmSync(join(home, 'qz', 'qzbans.dat'), { recursive: true });
      renameSync(join(home, 'qz', 'qzbans.kept'), join(home, 'qz', 'qzbans.dat'));

      mkdirSync(join(home, 'qz', 'qzsv.cfg'), { recursive: true });
      writeFileSync(join(home, 'qz', 'qzsv.cfg', 'keep'), 'a folder where the file should be');
      await page.click('input[name=cmds]:visible');
      await title('Command Screen');
      await page.click('input[name=writeqzcfg]:visible');
      await message('* qz_sv_WriteCfg FAILED');
      check(!(await page.content()).includes('* qz_sv_WriteCfg ISSUED *'), 'no "ISSUED"');
      await shoot('08d-writecfg-failed');
      rmSync(join(home, 'qz', 'qzsv.cfg'), { recursive: true });
    });

    await step('log out ends the digest of this browser', async () => {
      await page.click('input[name=plist]:visible');
      await title('Player List Screen');
      const digest = await digestOf(page);
      await page.click('input[name=weblogout]:visible');
      await title('Login Screen');
      await message('* LOGGED OUT *');
      await page.goto(`${base}/plist=1&webkey=${digest}`);
      await title('Login Screen');
      await message('* LOGIN ENDED: TYPE THE KEY AGAIN *');
      await page.fill('input[name=webkey]', KEY);
      await page.click('input[name=plist]:visible');
      await title('Player List Screen');
    });

    await step('named administrators: the view-only one is refused a kick, shown and recorded', async () => {
      await host.sendAndWait('qz_sv_AdminAdd watcher view e2e-Watch-4411',
        'WebTool administrator watcher added');
      await host.sendAndWait('qz_sv_AdminAdd bouncer kick e2e-Bounce-5522',
        'WebTool administrator bouncer added');
      const target = await slotOf(`sim_connect Target 44445555666677778888999900001111 10.0.0.9:27960`, 'Target');
      const loginAs = async (key) => {
        await page.goto(base);
        await title('Login Screen');
        await page.fill('input[name=webkey]', key);
        await page.click('input[name=plist]:visible');
        await title('Player List Screen');
      };
      // A button the page offers only to the levels that may use it; pressed anyway (a form
      // of the page itself, so every other check passes), it is refused.
      const pressHidden = async (name, value) => {
        await page.evaluate(([n, v]) => {
          const b = document.createElement('input');
          b.type = 'submit';
          b.name = n;
          b.value = v;
          b.id = 'pressed-anyway';
          document.querySelector('form').appendChild(b);
        }, [name, value]);
        await page.click('#pressed-anyway');
      };
      await loginAs('e2e-Watch-4411');
      await chooseSlot(target);
      for (const b of ['kickslot', 'banslot', 'getssslot', 'webreason', 'webkicklen', 'cmds',
        'gsettings', 'qz_settings', 'auditlog']) {
        check(await page.locator(`input[name=${b}]`).count() === 0, `the view level is not shown ${b}`);
      }
      await pressHidden('kickslot', 'qz_sv_kick');
      await message('* REFUSED: watcher MAY NOT KICK (LEVEL view) *');
      check(await slotButton(target).count() === 1, 'the player is still listed');
      await host.sendAndWait('qz_sv_AuditShow 5 watcher', '"result":"refused","why":"level view may not KICK"');
      await shoot('13-refused-view-only');
      await pressHidden('cmds', 'Command Screen');
      await message('* REFUSED: watcher MAY NOT USE THE COMMAND SCREEN (LEVEL view) *');

      await loginAs('e2e-Bounce-5522');
      await chooseSlot(target);
      check(await page.locator('input[name=banslot]').count() === 0, 'the kick level is not shown qz_sv_ban');
      check(await page.locator('input[name=cmds]').count() === 0, 'nor the Command Screen');
      await page.click('input[name=kickslot]:visible');
      await message('* COMMAND ISSUED *');
      await host.waitText(`[host] DropClient ${target} Kestrine kicked player 'Target'`);
      const record = await host.sendAndWait('qz_sv_AuditShow 5 bouncer', '"action":"kickslot"');
      check(record.includes('"origin":{"kind":"web","name":"bouncer"') && record.includes('"result":"done"'),
        `the kick is recorded with its administrator (${record})`);
      check(!host.lines.some((l) => l.includes('e2e-Bounce-5522') && l.includes('"action"')),
        'no key in any record');
      // The later steps work with the web key again.
      await loginAs(KEY);
    });

    const loginWith = async (key) => {
      await page.goto(base);
      await title('Login Screen');
      await page.fill('input[name=webkey]', key);
      await page.click('input[name=plist]:visible');
      await title('Player List Screen');
    };

    await step('keys with letters beyond ASCII log in, whether set in UTF-8 or in Latin-1', async () => {
      check((await page.goto(base)) !== null, 'the Login Screen loads');
      check(await page.getAttribute('form', 'accept-charset') === 'utf-8',
        'the login form asks for UTF-8');
      await host.sendAndWait('qz_sv_AdminAdd zoe view Zo\u00eb\u2014\u20ac-key-1',
        'WebTool administrator zoe added');
      // A console that sends Latin-1 bytes.
      host.proc.stdin.write(Buffer.from('qz_sv_AdminAdd andre view Andr\u00e9-key-2\n', 'latin1'));
      await host.waitText('WebTool administrator andre added');
      for (const [key, name] of [['Zo\u00eb\u2014\u20ac-key-1', 'zoe'], ['Andr\u00e9-key-2', 'andre']]) {
        await loginWith(key);
        await host.sendAndWait(`qz_sv_AuditShow 3 ${name}`, '"action":"web-login"');
      }
      // The web key itself, set on a Latin-1 console.
      host.proc.stdin.write(Buffer.from('qz_sv_HttpKey Cl\u00e9-\u00e0-e2e\n', 'latin1'));
      await new Promise((ok) => setTimeout(ok, 500));
      await loginWith('Cl\u00e9-\u00e0-e2e');
      await page.click('input[name=cmds]:visible');
      await title('Command Screen');
      host.send(`qz_sv_HttpKey ${KEY}`);
      await new Promise((ok) => setTimeout(ok, 500));
      await loginWith(KEY);
    });

    await step('a page on a name rebound to the WebTool reads nothing and locks no one out', async () => {
      const other = await context.newPage();
      const rebound = `http://evil.test:${port}/qzsvweb`;
      const first = await other.goto(rebound);
      check(first.status() === 403, `the rebound name is refused (${first.status()})`);
      check((await other.content()).includes('not served as'), 'the refusal says why');
      // The rebound page is its own origin: its posts are same-origin to the browser.
      const codes = await other.evaluate(async (url) => {
        const out = [];
        for (let i = 0; i < 8; i++) {
          const r = await fetch(url, { method: 'POST', headers: { 'Content-Type': 'text/plain' },
            body: `webkey=wrong${i}\r\nplist=x\r\n` });
          out.push(r.status);
        }
        return out;
      }, rebound);
      check(codes.every((c) => c === 403), `every post of the rebound page was refused (${codes})`);
      check(!host.lines.some((l) => l.includes('locked out')), 'nobody was locked out');
      // A name listed for a proxy is served.
      await host.sendAndWait('qz_sv_HttpHosts admin.e2e.invalid', 'qz_sv_HttpHosts');
      const listed = await other.goto(`http://admin.e2e.invalid:${port}/qzsvweb`);
      check(listed.status() === 200, `a listed name is served (${listed.status()})`);
      await other.locator('i', { hasText: 'Login Screen' }).waitFor();
      await other.close();
      await host.sendAndWait('qz_sv_HttpHosts ""', 'qz_sv_HttpHosts');
      await page.click('input[name=plist]:visible');
      await title('Player List Screen');
    });

    await step("a page of another site flooding the WebTool costs the administrator nothing", async () => {
      const evilPort = await freePort();
      const evilPage = `<html><body><script>
window.sent = 0;
for (let k = 0; k < 8; k++) (async () => {
  for (;;) {
    try { await fetch('${base}', { method: 'POST', mode: 'no-cors', body: 'webkey=x\\r\\nplist=x\\r\\n' }); } catch (e) {}
    window.sent++;
  }
})();
</script></body></html>`;
      evil = createHttpServer((req, res) => {
        res.writeHead(200, { 'Content-Type': 'text/html' });
        res.end(evilPage);
      });
      await new Promise((ok) => evil.listen(evilPort, '127.0.0.1', ok));
      const other = await context.newPage();
      await other.goto(`http://127.0.0.1:${evilPort}/`);
      await other.waitForFunction(() => window.sent > 20);
      const statuses = [];
      for (let i = 0; i < 20; i++) {
        const [response] = await Promise.all([
          page.waitForResponse((r) => r.url().startsWith(base) && r.request().method() === 'POST'),
          page.click('input[name=plist]:visible'),
        ]);
        statuses.push(response.status());
        await page.waitForLoadState();
      }
      const sent = await other.evaluate(() => window.sent);
      await other.close();
      evil.close();
      evil = undefined;
      check(statuses.every((st) => st === 200), `every page load of the administrator answered (${statuses})`);
      check(sent > 40, `the other site kept sending (${sent} requests)`);
      check(!host.lines.some((l) => l.includes('opens connections faster')), 'his address was not blocked');
      check(!host.lines.some((l) => l.includes('locked out')), 'nobody was locked out');
      await title('Player List Screen');
    });

    await step('a full server: 64 players with coloured names, every button there', async () => {
      // The players still on the server, then new ones up to 64.
      await page.click('input[name=plist]:visible');
      await title('Player List Screen');
      const listed = await page.locator('input[type=submit][value^="Slot "]').count();
      host.send('sim_cvar sv_maxclients 64');
      for (let n = 0; n < 64 - listed; n++) {
        const name = Array.from({ length: 10 }, (_, k) => `^${(k + n) % 10}${'ABCDEFGHIJ'[k]}`).join('')
          + String(n).padStart(2, '0');
        const guid = (n + 1).toString(16).toUpperCase().padStart(32, 'C');
        await host.sendAndWait(`sim_connect ${name} ${guid} 10.9.${n}.1:27960`, `${name} admitted`);
      }
      await page.click('input[name=plist]:visible');
      await title('Player List Screen');
      await page.getByText('64 Players').waitFor();
      check(await page.locator('input[type=submit][value^="Slot "]').count() === 64, '64 Slot buttons');
      for (const b of ['kickslot', 'banslot', 'getssslot', 'cmds', 'gsettings', 'plist', 'qz_settings']) {
        check(await page.locator(`input[name=${b}]:visible`).count() === 1, `the ${b} button is there`);
      }
      check((await page.content()).includes('</html>'), 'the page is whole');
      await shoot('14-full-server');
    });

    await step('phone size: no page scrolls sideways at 375 px, fields at least 24 pixels high', async () => {
      await page.setViewportSize({ width: 375, height: 667 });
      // The longest names a player can have, on the full server, with the GUID column on.
      await host.sendAndWait(`sim_rename 1 "${'^1W'.repeat(12)}${'M'.repeat(8)}"`, 'Name Change');
      await host.sendAndWait('qz_sv_HttpShowGuid 1', 'qz_sv_HttpShowGuid');
      // What a phone needs of every page: nothing wider than the screen, every field and button
      // at least 24 px high, every field named for a screen reader.
      const phoneChecks = async (screen) => {
        const wide = await page.evaluate(() => document.documentElement.scrollWidth);
        const culprits = wide <= 375 ? [] : await page.evaluate(() => [...document.querySelectorAll('body *')]
          .filter((e) => e.getBoundingClientRect().right > 376 && ![...e.children].some((c) => c.getBoundingClientRect().right > 376))
          .slice(0, 6).map((e) => `${e.tagName}:${e.getAttribute('name') || ''}:${Math.round(e.getBoundingClientRect().left)}-${Math.round(e.getBoundingClientRect().right)}:${(e.textContent || '').slice(0, 30)}`));
        check(wide <= 375, `${screen} is ${wide} px wide at 375 px (${culprits.join(' | ')})`);
        const low = await page.evaluate(() => [...document.querySelectorAll('input, select')]
          .filter((e) => e.type !== 'hidden' && !e.hidden && e.getBoundingClientRect().height < 24)
          .map((e) => `${e.name || e.value}: ${e.getBoundingClientRect().height} px`));
        check(low.length === 0, `${screen}: fields under 24 px: ${low.join(', ')}`);
        const unnamed = await page.evaluate(() => [...document.querySelectorAll('input, select')]
          .filter((e) => e.type !== 'hidden' && !e.hidden && e.type !== 'submit' && !e.getAttribute('aria-label'))
          .map((e) => e.name));
        check(unnamed.length === 0, `${screen}: fields without a label: ${unnamed.join(', ')}`);
      };
      // The element's box lies wholly inside the 375x667 window as the page stands.
      const inView = async (locator, what) => {
        const box = await locator.boundingBox();
        check(box && box.y >= 0 && box.y + box.height <= 667 && box.x >= 0 && box.x + box.width <= 375,
          `${what} is in view (${box && `${Math.round(box.x)},${Math.round(box.y)} ${Math.round(box.width)}x${Math.round(box.height)}`})`);
      };
      for (const [button, screen] of [['plist', 'Player List Screen'], ['cmds', 'Command Screen'],
        ['gsettings', 'Game Settings Screen'], ['qz_settings', 'General QZ Settings Screen'],
        ['auditlog', 'Audit Log']]) {
        await page.click(`input[name=${button}]:visible`);
        await title(screen);
        await phoneChecks(screen);
        const slots = await page.locator('input[value^="Slot "]').evaluateAll(
          (bs) => bs.filter((b) => !/^Slot \d\d \S/.test(b.getAttribute('aria-label') || '')).length);
        check(slots === 0, `${screen}: ${slots} Slot buttons do not name their player`);
        await page.screenshot({ path: join(outDir, `15-phone-${button}.png`) });
      }

      // A results page with the module's player list: its columns scroll inside their own box.
      await page.click('input[name=cmds]:visible');
      await title('Command Screen');
      await page.fill('input[name=exec_cmd_text]', 'qz_sv_Plist');
      await page.click('input[name=exec_cmd]:visible');
      await title('Game Command Results');
      await page.locator('pre', { hasText: 'End of Player List' }).waitFor();
      await phoneChecks('Game Command Results');
      await page.screenshot({ path: join(outDir, '15-phone-results.png') });

      // The Player List with GUIDs: each GUID and address on one line of its own cell, no row a
      // tower of single characters.
      await page.click('input[name=plist]:visible');
      await title('Player List Screen');
      check(await page.locator('input[type=submit][value^="Slot "]').count() === 64, '64 players');
      const broken = await page.evaluate(() => [...document.querySelectorAll('td')]
        .filter((td) => /^([0-9A-F]{32}|\d+\.\d+\.\d+\.\d+:\d+)$/.test(td.textContent))
        .filter((td) => {
          const r = document.createRange();
          r.selectNodeContents(td);
          return new Set([...r.getClientRects()].map((q) => Math.round(q.top))).size > 1;
        }).map((td) => td.textContent).slice(0, 5));
      check(broken.length === 0, `GUIDs and addresses broken over lines: ${broken.join(', ')}`);
      const tallest = await page.evaluate(() => Math.max(...[...document.querySelectorAll('tr')]
        .filter((tr) => tr.querySelector('input[value^="Slot "]')).map((tr) => tr.getBoundingClientRect().height)));
      check(tallest <= 160, `no player row is taller than 160 px (tallest ${tallest})`);

      // Slot 40 of 64: the answer opens at the action fields, Reason and buttons in view.
      await chooseSlot(40);
      await inView(page.locator('input[name=webreason]'), 'the Reason field');
      await inView(page.locator('input[name=kickslot]'), 'qz_sv_kick');
      await inView(page.locator('input[name=banslot]'), 'qz_sv_ban');
      const kickBox = await page.locator('input[name=kickslot]').boundingBox();
      const banBox = await page.locator('input[name=banslot]').boundingBox();
      const gap = Math.max(banBox.x - (kickBox.x + kickBox.width), kickBox.x - (banBox.x + banBox.width),
        banBox.y - (kickBox.y + kickBox.height), kickBox.y - (banBox.y + banBox.height));
      check(gap >= 24, `qz_sv_kick and qz_sv_ban are at least 24 px apart (${gap})`);
      for (const b of ['kickslot', 'banslot', 'getssslot', 'webreason', 'webkicklen', 'slotnum']) {
        const box = await page.locator(`input[name="${b}"]:visible`).boundingBox();
        check(box && box.height >= 24, `${b} is at least 24 px high (got ${box && box.height})`);
      }
      await page.screenshot({ path: join(outDir, '16-phone-slot40.png') });

      // qz_sv_ban alone bans nobody: it asks. Cancel goes back with him still chosen.
      await page.click('input[name=banslot]:visible');
      await title('Confirm Ban');
      await phoneChecks('Confirm Ban');
      await inView(page.locator('input[value="Ban for ever"]'), '"Ban for ever"');
      await page.screenshot({ path: join(outDir, '16-phone-confirm-ban.png') });
      await page.click('input[value="Cancel"]');
      await title('Player List Screen');
      check(await page.inputValue('input[name=slotnum]') === '40', 'slot 40 is still chosen');
      await inView(page.locator('input[name=webreason]'), 'the Reason field after Cancel');
      check(!host.lines.some((l) => l.includes('DropClient 40 ')), 'nobody was banned without confirming');

      // The kick: the message stands where it was asked for.
      await page.click('input[name=kickslot]:visible');
      await message('* COMMAND ISSUED *');
      await host.waitText('[host] DropClient 40 ');
      await inView(page.getByText('* COMMAND ISSUED *', { exact: true }), '"* COMMAND ISSUED *"');
      await page.screenshot({ path: join(outDir, '16-phone-kicked.png') });

      // A restart asks too, and Cancel restarts nothing.
      await page.click('input[name=cmds]:visible');
      await title('Command Screen');
      await page.click('input[name=restartqz]:visible');
      await title('Confirm Restart');
      await phoneChecks('Confirm Restart');
      await page.click('input[value="Cancel"]');
      await title('Command Screen');
      check(!host.lines.some((l) => l.includes('Preparing to Restart')), 'no restart without confirming');
      await host.sendAndWait('qz_sv_HttpShowGuid 0', 'qz_sv_HttpShowGuid');
      await page.setViewportSize({ width: 1000, height: 1400 });
    });

    await step('a digest from before a restart of the module no longer logs in', async () => {
      await page.click('input[name=plist]:visible');
      await title('Player List Screen');
      const digest = await digestOf(page);
      const code = await host.stop();
      check(code === 0, `qzhost stopped cleanly (${code})`);
      host = new Host(home, port);
      await host.waitText('Listening for HTTP');
      await page.goto(`${base}/plist=1&webkey=${digest}`);
      await title('Login Screen');
      await message('* LOGIN ENDED: TYPE THE KEY AGAIN *');
      check(!host.lines.some((l) => l.includes('locked out')), 'no lockout');
    });

    check(badResponses.length === 0, `no error answers (${badResponses.join('; ')})`);
    check(dialogs.length === 0, `no dialog or alert fired (${dialogs.join('; ')})`);
  } catch (err) {
    failed = true;
    console.error(`FAILED: ${err.stack || err}`);
    console.error('last qzhost lines:\n' + host.lines.slice(-30).map((l) => `  ${l}`).join('\n'));
  } finally {
    if (browser) await browser.close().catch(() => {});
    if (evil) evil.close();
    const code = await host.stop();
    if (code !== 0) {
      failed = true;
      console.error(`qzhost exited with ${code}`);
    }
    rmSync(home, { recursive: true, force: true });
    rmSync(userData, { recursive: true, force: true });
  }
  console.log(failed ? 'webtool e2e: FAILED' : `webtool e2e: ${steps.length} steps passed`);
  process.exit(failed ? 1 : 0);
}

main();
