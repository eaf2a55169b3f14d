// The web monitor in headless Chromium against portexd and the controller
// simulator: LED colours, a live transaction, a holder name holding markup,
// the scanning button, sign-in and sign-out with a token, the metrics text,
// and a screenshot of the page.
//   node monitor.test.mjs --build DIR --source DIR [--screenshot FILE]
// Exits 77 (skipped) only when Chromium is not installed.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import { args, build, check, freePort, finish, sleep, source, start, stop, until } from '../harness.mjs';

const chromium = process.env.PX_CHROMIUM || ['/usr/bin/chromium', '/usr/bin/chromium-browser']
  .find((p) => fs.existsSync(p));
if (!chromium) {
  console.log('SKIP: Chromium is not installed (apt-get install chromium); the browser test did not run');
  process.exit(77);
}
const { chromium: pw } = await import('playwright-core');

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'pxweb-'));

// The simulator answers units 1-3; unit 4 of the seeded controllers is silent.
let polls = 0;
const sim = start(path.join(build, 'tools/ctrlsim/ctrlsim'),
  ['--pty-link', path.join(dir, 'ttySIM1'), '--baud', '38400', '--units', '1-3', '-v',
    '--auto-trans', '1500', '--cards', '000101,000102,000103,000104'],
  (line) => { if (line.includes(' rx ')) polls++; });
await until('simulator up', () => fs.existsSync(path.join(dir, 'ttySIM1')), 5000);

const portexd = path.join(build, 'bin/portexd');
const webPort = await freePort();
function writeIni(token) {
  fs.writeFileSync(path.join(dir, 'OstrPro.Ini'),
    `[Comm Setting]\nCommPort=1\nBaudRate=38400\nSleepMsec=250\nQCheckInterval=50\n` +
    `[Ports]\nCOM1=${path.join(dir, 'ttySIM1')}\n[Options]\nDebug=1\n[Server]\nClientPort=0\n` +
    `[Web]\nPort=${webPort}\nToken=${token}\n`);
}
writeIni('');
spawnSync(portexd, ['--appdir', dir, '--init-db'], { stdio: 'inherit' });
// One holder's name is markup that would run script if the page ever
// placed a text as HTML.
const markup = '<img src=x onerror="window.pxInjected=1">';
const seed = spawnSync('sqlite3', [path.join(dir, 'OstrPro.db')],
  { input: fs.readFileSync(path.join(source, 'demo/seed.sql')) +
    `\nupdate cards set name = '${markup}' where card_number = '000102';\n` });
check(seed.status === 0, 'demo data seeded');

const base = `http://127.0.0.1:${webPort}`;
async function startServer(token = '') {
  const server = start(portexd, ['--appdir', dir]);
  const headers = token ? { Authorization: 'Bearer ' + token } : {};
  await until('portexd healthy', async () => (await fetch(base + '/health', { headers })).status === 200);
  return server;
}

let server = await startServer();
const browser = await pw.launch({ executablePath: chromium, args: ['--no-sandbox'] });
try {
  const page = await browser.newPage({ viewport: { width: 1440, height: 900 } });
  await page.goto(base + '/');
  await page.waitForSelector('body[data-ready="1"]');
  await page.evaluate(() => { window.notReloaded = true; });
  const leds = () => page.$$eval('#busArea .led', (e) => e.slice(0, 16).map((x) => x.dataset.colour));

  // LEDs: green for the answering units 1-3, red for silent unit 4, grey for absent ones.
  // A LED is black while its poll is out, so each is watched over a few
  // refreshes (the slow poll pace above keeps a failed unit red for a while).
  const seenGreen = new Set();
  let led4Green = false;
  await until('LEDs 1-3 green and LED 4 red', async () => {
    const c = await leds();
    c.slice(0, 3).forEach((v, i) => v === '#00ff00' && seenGreen.add(i));
    led4Green ||= c[3] === '#00ff00';
    return seenGreen.size === 3 && c[3] === '#ff0000';
  });
  check(seenGreen.size === 3 && !led4Green, 'LEDs green for units 1-3, red and never green for silent unit 4');
  const c = await leds();
  check(c.slice(4).every((v) => v === '#808080'), 'LEDs of units without controllers stay grey');
  check(await page.$eval('#busArea .box', (e) => e.textContent) === 'COM1', 'bus 1 box shows its port');

  // The grid: headers, widths and colours of the window.
  const headers = await page.$$eval('#gridHead th', (e) => e.map((x) => x.textContent.trim()));
  check(headers.slice(0, 7).join('|') === 'Device Name|Date|Time|Staff#|Card#|Name|Transaction',
    'grid headers ' + headers.join('|'));
  const widths = await page.$$eval('#gridCols col', (e) => e.map((x) => parseInt(x.style.width, 10)));
  check(widths.join(',') === '100,80,40,80,60,200,150,64,64', 'grid column widths ' + widths.join(','));

  // A new transaction appears without a reload, in view at the bottom.
  await until('a first transaction in the grid', async () => (await page.$$('#gridBody tr')).length > 0);
  const rowsBefore = (await page.$$('#gridBody tr')).length;
  // The test stays well under the grid's 49 lines, so a new line adds a row.
  await until('a new transaction appears without reload', async () =>
    (await page.$$('#gridBody tr')).length > rowsBefore);
  check(await page.evaluate(() => window.notReloaded === true), 'the page was not reloaded');
  const colour = await page.$eval('#gridBody td', (e) => getComputedStyle(e).color);
  check(colour === 'rgb(0, 128, 0)', 'transaction text green on white: ' + colour);
  const inView = await page.$eval('#gridWrap', (w) => {
    const last = w.querySelector('#gridBody tr:last-child').getBoundingClientRect();
    const box = w.getBoundingClientRect();
    return last.bottom <= box.bottom + 1 && last.top >= box.top;
  });
  check(inView, 'newest line in view');

  // The holder whose name is markup: shown as that text, nothing run or loaded.
  // (The grid clips a name to its column, as the window draws it.)
  await until('a transaction of the holder named with markup', async () =>
    (await page.$$eval('#gridBody td', (tds) => tds.map((t) => t.textContent)))
      .some((t) => t.trim().length > 12 && markup.startsWith(t.trim())));
  check(await page.$$eval('#gridBody img, #gridBody script', (e) => e.length) === 0, 'no element made from a name');
  check(await page.evaluate(() => window.pxInjected === undefined), 'the name ran no script');
  check(!(await page.$('#signout:not([hidden])')), 'no sign-out without a token');

  // "On/Off Scanning" stops the polls the simulator sees, and starts them again.
  await page.click('#scan');
  await until('scanning shown stopped', async () => (await page.textContent('#scanState')) !== '', 3000);
  await sleep(600);  // a poll already on the wire finishes
  let n0 = polls;
  await sleep(1500);
  check(polls - n0 === 0, `no polls while scanning is stopped (${polls - n0})`);
  await page.click('#scan');
  n0 = polls;
  await until('polls resume', async () => polls - n0 >= 3, 5000);
  check(polls - n0 >= 3, 'polls resume after the second press');

  // Metrics: unit 4 down, the others up, and a text promtool accepts.
  await until('metrics show unit 4 down', async () => {
    const t = await (await fetch(base + '/metrics')).text();
    return t.includes('px_units{transport="serial",line="1",state="down"} 1') &&
      t.includes('px_units{transport="serial",line="1",state="up"} 3');
  });
  const metrics = await (await fetch(base + '/metrics')).text();
  const promtool = spawnSync('promtool', ['check', 'metrics'], { input: metrics });
  if (promtool.error) console.log('note: promtool not installed; metrics format not checked');
  else check(promtool.status === 0, 'promtool check metrics: ' + (promtool.stdout + promtool.stderr).trim());

  await page.click('#clear');
  const shot = args.screenshot || path.join(dir, 'monitor.png');
  await page.screenshot({ path: shot, fullPage: true });
  check(fs.statSync(shot).size > 1000, 'screenshot saved to ' + shot);

  // With a token: refused without it, working with it.
  check(await stop(server) === 0, 'portexd stopped cleanly');
  writeIni('s3cret-token');
  server = await startServer('s3cret-token');
  const anon = await browser.newPage();
  const refused = await anon.goto(base + '/');
  check(refused.status() === 401, 'page without the token refused: ' + refused.status());
  check((await fetch(base + '/api/state')).status === 401, 'state without the token refused');
  check((await fetch(base + '/api/state', { headers: { Authorization: 'Bearer s3cret-token' } })).status === 200,
    'state with the bearer token served');
  await anon.fill('#token', 'wrong');
  const wrong = await Promise.all([anon.waitForNavigation(), anon.click('#signin')]);
  check(wrong[0].status() === 401 && (await anon.$('#token')) !== null, 'a wrong token is refused');
  await anon.fill('#token', 's3cret-token');
  await anon.click('#signin');
  await anon.waitForSelector('body[data-ready="1"]', { timeout: 10000 });
  check(true, 'signed in with the token, the monitor works');
  const cookies = await anon.context().cookies();
  check(cookies.length === 1 && cookies[0].name === `px_session_${webPort}` && cookies[0].sameSite === 'Lax' &&
    cookies[0].httpOnly, 'session cookie named after the port, Lax, HttpOnly');
  await anon.waitForSelector('#signout:not([hidden])', { timeout: 5000 });
  await Promise.all([anon.waitForURL('**/login'), anon.click('#signout button')]);
  check((await anon.goto(base + '/')).status() === 401, 'signed out: the page asks for the token again');
} catch (e) {
  check(false, 'browser test: ' + e.message);
} finally {
  await browser.close();
  if (server) check(await stop(server) === 0, 'portexd stopped cleanly');
  await stop(sim);
  fs.rmSync(dir, { recursive: true, force: true });
}
finish();
