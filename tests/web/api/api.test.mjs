// The REST API end to end: portexd with the controller simulator on a serial
// bus and a TCP address. The OpenAPI document is checked with a published
// validator, and every answer the test gets is validated against it: its
// status documented for the operation, its content type and its body.
//   node api.test.mjs --build DIR --source DIR
// Exits 77 (skipped) only when its packages are not installed (npm ci here).
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import { build, check, finish, freePort, sleep, source, start, stop, until } from '../harness.mjs';

let Validator, Ajv2020, addFormats;
try {
  ({ Validator } = await import('@seriousme/openapi-schema-validator'));
  Ajv2020 = (await import('ajv/dist/2020.js')).default;
  addFormats = (await import('ajv-formats')).default;
} catch (e) {
  console.log('SKIP: run npm ci in tests/web/api first; the API test did not run');
  process.exit(77);
}

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'pxapi-'));
const sql = (text) => spawnSync('sqlite3', [path.join(dir, 'OstrPro.db')], { input: text, encoding: 'utf8' });

// ---------------------------------------------------------------- the document
const docFile = path.join(source, 'docs/openapi.json');
const validator = new Validator();
const verdict = await validator.validate(docFile);
check(verdict.valid && validator.version === '3.1', 'docs/openapi.json is a valid OpenAPI 3.1 document' +
  (verdict.valid ? '' : ': ' + JSON.stringify(verdict.errors).slice(0, 500)));
const doc = JSON.parse(fs.readFileSync(docFile, 'utf8'));
const ajv = new Ajv2020({ strict: false, allErrors: true });
addFormats(ajv);
ajv.addSchema(doc, 'openapi.json');
const pointer = (...parts) => parts.map((p) => encodeURIComponent(String(p).replace(/~/g, '~0').replace(/\//g, '~1')))
  .join('/');
const compiled = new Map();
let validated = 0;

// Checks one answer against the operation it answers.
function validate(method, template, res, body) {
  const where = `${method} ${template} ${res.status}`;
  const op = doc.paths[template]?.[method.toLowerCase()];
  if (!op) return check(false, `${where}: no such operation in the document`);
  let at = ['paths', template, method.toLowerCase(), 'responses', String(res.status)];
  let response = op.responses[String(res.status)];
  if (!response) return check(false, `${where}: status not documented`);
  if (response.$ref) {
    at = response.$ref.slice(2).split('/');
    response = at.reduce((o, k) => o[k], doc);
  }
  const type = (res.headers.get('content-type') || '').split(';')[0].trim();
  if (!response.content?.[type]) return check(false, `${where}: content type ${type} not documented`);
  const ref = 'openapi.json#/' + pointer(...at, 'content', type, 'schema');
  if (!compiled.has(ref)) compiled.set(ref, ajv.compile({ $ref: ref }));
  const valid = compiled.get(ref);
  let json;
  try { json = JSON.parse(body); } catch (e) { return check(false, `${where}: body is not JSON: ${body.slice(0, 200)}`); }
  if (!valid(json)) return check(false, `${where}: ${ajv.errorsText(valid.errors)} in ${body.slice(0, 300)}`);
  for (const name of Object.keys(response.headers || {}))
    if (!res.headers.get(name)) return check(false, `${where}: header ${name} missing`);
  validated++;
  return true;
}

let base = '';
// Every call of the test goes through here and is validated.
async function call(method, template, { path: p, token, body, raw } = {}) {
  const headers = {};
  if (token) headers.Authorization = 'Bearer ' + token;
  if (body !== undefined) headers['Content-Type'] = 'application/json';
  const res = await fetch(base + '/api/v1' + (p || template), {
    method, headers, body: body === undefined ? undefined : (raw ? body : JSON.stringify(body)),
  });
  const text = await res.text();
  validate(method, template, res, text);
  let json = null;
  try { json = JSON.parse(text); } catch (e) { /* reported by validate */ }
  return { status: res.status, headers: res.headers, json };
}

// ---------------------------------------------------------------- the installation
const reader = 'hr-0123456789abcdef0123';
const writer = 'door-0123456789abcdef012';
const burst = 'burst-0123456789abcdef01';
const monitor = 'monitor-0123456789abcdef';
const webPort = await freePort();
const ipPort = await freePort();
const rx = { serial: [], tcp: [] };
const sim = start(path.join(build, 'tools/ctrlsim/ctrlsim'),
  ['--pty-link', path.join(dir, 'ttySIM1'), '--baud', '38400', '--units', '1-3', '-v', '--auto-trans', '150',
    '--cards', '000101,000102,000103', '--tcp', `127.0.0.2:${ipPort}:6`],
  (line) => { if (line.includes(' rx ')) (line.includes('tcp') ? rx.tcp : rx.serial).push(line); });
await until('simulator up', () => fs.existsSync(path.join(dir, 'ttySIM1')), 5000);
fs.writeFileSync(path.join(dir, 'OstrPro.Ini'),
  `[Comm Setting]\nCommPort=1\nBaudRate=38400\nSleepMsec=20\nQCheckInterval=50\nIPPort=${ipPort}\n` +
  `[Ports]\nCOM1=${path.join(dir, 'ttySIM1')}\n[Options]\nDebug=1\n[Server]\nClientPort=0\n` +
  `[Web]\nPort=${webPort}\nToken=${monitor}\nApiCallsPerMinute=1200\n` +
  `[Api]\nhr=${reader}:read\ndoor=${writer}:read,command\nburst=${burst}:read\n`);
const portexd = path.join(build, 'bin/portexd');
spawnSync(portexd, ['--appdir', dir, '--init-db'], { stdio: 'inherit' });
check(sql(fs.readFileSync(path.join(source, 'demo/seed.sql'), 'utf8') +
  `\ninsert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active) values ` +
  `('Gate', 6, '127000000002', 'KX6000', 'UP', 'Y');\n`).status === 0, 'demo data and an IP controller seeded');
base = `http://127.0.0.1:${webPort}`;
const server = start(portexd, ['--appdir', dir]);

try {
  await until('the API answers', async () => (await call('GET', '/units', { token: reader })).status === 200);

  // ------------------------------------------------------------ tokens
  check((await call('GET', '/units')).status === 401, 'no token: 401');
  check((await call('GET', '/units', { token: 'wrong-0123456789abcdef' })).status === 401, 'a wrong token: 401');
  check((await call('GET', '/units', { token: monitor })).status === 200, "the monitor's token reads");
  check((await call('POST', '/units/{tag}/commands', { path: '/units/MainEntrance/commands', token: monitor,
    body: { code: 'PR' } })).status === 403, "the monitor's token never commands: 403");
  check((await call('POST', '/units/{tag}/commands', { path: '/units/MainEntrance/commands', token: reader,
    body: { code: 'PR' } })).status === 403, 'a read token commands: 403');
  const served = await call('GET', '/openapi.json', { token: reader });
  check(JSON.stringify(served.json) === JSON.stringify(doc), 'the served document is docs/openapi.json');

  // ------------------------------------------------------------ units
  let units = [];
  await until('units polled: three up, the silent one down', async () => {
    units = (await call('GET', '/units', { token: reader })).json.items;
    const by = Object.fromEntries(units.map((u) => [u.tag, u]));
    return ['MainEntrance', 'StaffExit', 'ServerRoom', 'Gate'].every((t) => by[t].state === 'UP' && by[t].last_poll) &&
      by.Warehouse.state === 'DOWN';
  });
  const by = Object.fromEntries(units.map((u) => [u.tag, u]));
  check(units.length === 6, `six units listed (${units.length})`);
  check(by.MainEntrance.transport === 'serial' && by.MainEntrance.bus === 1 && by.MainEntrance.unit === 1 &&
    by.MainEntrance.active && /^[0-9A-F]{6}$/.test(by.MainEntrance.door_status || ''), 'a serial unit with its door status');
  check(by.Gate.transport === 'ip' && by.Gate.address === '127.0.0.2' && by.Gate.unit === 6, 'an IP unit');
  check(by.FingerLobby.transport === 'terminal' && !by.FingerLobby.active && by.FingerLobby.address === '127.0.0.1',
    'a terminal (terminals off here)');
  check(Date.now() - Date.parse(by.MainEntrance.last_poll) < 60000, 'last poll is recent: ' + by.MainEntrance.last_poll);

  // ------------------------------------------------------------ transactions
  // Paging forward while the simulator's cards keep arriving: every row
  // once, in storage order, whatever the page size.
  const ids = [];
  let next = '0';
  const end = Date.now() + 6000;
  for (let page = 0; Date.now() < end || page < 5; page++) {
    const r = await call('GET', '/transactions', { path: `/transactions?after=${next}&limit=${[7, 1, 50][page % 3]}`,
      token: reader });
    if (r.status !== 200) { check(false, 'page refused: ' + r.status); break; }
    r.json.items.forEach((i) => ids.push(Number(i.id)));
    const expected = r.json.items.length ? r.json.items.at(-1).id : next;
    if (r.json.next !== expected) check(false, `page ${page}: next ${r.json.next}, not ${expected}`);
    next = r.json.next;
    if (!r.json.items.length) await sleep(100);
  }
  const stored = sql(`select id from trans_event where id <= ${next} order by id;`).stdout.trim().split('\n').map(Number);
  check(ids.length > 20 && JSON.stringify(ids) === JSON.stringify(stored),
    `${ids.length} rows paged while stored, each once in storage order`);
  const one = (await call('GET', '/transactions', { path: '/transactions?tag=StaffExit&card=000102&limit=1000',
    token: reader })).json.items;
  check(one.length > 0 && one.every((i) => i.tag === 'StaffExit' && i.card === '000102' && i.holder && i.description),
    `filtered by tag and card with holder and description (${one.length})`);

  // ------------------------------------------------------------ commands
  async function command(tag, code, params, expect) {
    const r = await call('POST', '/units/{tag}/commands', { path: `/units/${encodeURIComponent(tag)}/commands`,
      token: writer, body: { code, params } });
    if (!check(r.status === 202 && r.headers.get('location') === `/api/v1/commands/${r.json.id}`,
      `${code} ${params} to ${tag} accepted`)) return null;
    let s;
    await until(`${code} to ${tag} answered`, async () => {
      s = (await call('GET', '/commands/{id}', { path: `/commands/${r.json.id}`, token: writer })).json;
      return s.status !== 'pending';
    }, 30000);
    check(s.status === expect, `${code} to ${tag}: ${s.status} "${s.reply}"`);
    check((await call('GET', '/commands/{id}', { path: `/commands/${r.json.id}`, token: reader })).status === 404,
      "another token does not see the command");
    return s;
  }
  const n0 = rx.serial.length;
  const pulse = await command('MainEntrance', 'PR', '05', 'done');
  check(pulse?.reply.startsWith('OK'), 'the serial reply as a workstation fetches it');
  check(rx.serial.slice(n0).some((l) => l.includes('PR05')), 'the serial controller got PR05');
  const ipPulse = await command('Gate', 'PR', '03', 'done');
  check(ipPulse?.reply.startsWith('OK') && rx.tcp.some((l) => l.includes('PR03')), 'the IP controller got PR03');
  await command('Warehouse', 'PR', '01', 'failed');
  const audit = sql("select detail from Audit_Trail where action = 'Api Command' order by detail;").stdout.trim();
  check(audit.includes('door: PR 05 to MainEntrance') && audit.includes('door: PR 03 to Gate'),
    'audit rows name the token: ' + audit.replace(/\n/g, ' | '));

  // ------------------------------------------------------------ errors
  const post = (p, body, raw) => call('POST', '/units/{tag}/commands', { path: p, token: writer, body, raw });
  check((await post('/units/Nobody/commands', { code: 'PR' })).status === 404, 'unknown tag: 404');
  check((await post('/units/MainEntrance/commands', '{"code":', true)).status === 400, 'bad JSON: 400');
  check((await post('/units/MainEntrance/commands', { code: 'PR', params: '0'.repeat(5000) })).status === 413,
    'body over 4 KiB: 413');
  check((await post('/units/MainEntrance/commands', { code: 'ZZ' })).status === 422, 'code outside the table: 422');
  check((await post('/units/MainEntrance/commands', { code: 'PR', params: '0\r5' })).status === 422,
    'params with a CR: 422');
  check((await post('/units/MainEntrance/commands', { code: 'AC', params: '000101\u00d3' })).status === 422,
    'params with a unit address byte: 422');
  // One after the other: many at once would meet the connection limit first.
  const answers = [];
  for (let i = 0; i < 150; i++) answers.push(await call('GET', '/units', { token: burst }));
  const limited = answers.filter((a) => a.status === 429);
  check(limited.length > 0 && limited.every((a) => Number(a.headers.get('retry-after')) >= 1),
    `too many calls with one token: ${limited.length} of 150 answered 429 with Retry-After`);
  check((await call('GET', '/units', { token: reader })).status === 200, 'other tokens go on meanwhile');
  check(validated > 60, `${validated} answers validated against the document`);
} catch (e) {
  check(false, 'API test: ' + (e.stack || e.message));
} finally {
  check(await stop(server) === 0, 'portexd stopped cleanly');
  await stop(sim);
  fs.rmSync(dir, { recursive: true, force: true });
}
finish();
