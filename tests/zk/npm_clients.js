// Drives a running zksim with the published terminal clients from npm.
// usage: node npm_clients.js MODULES_DIR PORT USERS RECORDS
'use strict';
const path = require('path');
const [modules, portText, usersText, recordsText] = process.argv.slice(2);
const port = Number(portText), wantUsers = Number(usersText), wantRecords = Number(recordsText);
const load = (name, sub = '') => require(path.join(modules, 'node_modules', name, sub));

let failures = 0;
function check(ok, what) {
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}`);
  if (!ok) failures++;
}

// The terminals' clock encoding, written out here so the check does not
// lean on either client's own parser.
function decodeTime(v) {
  const sec = v % 60; v = Math.floor(v / 60);
  const min = v % 60; v = Math.floor(v / 60);
  const hour = v % 24; v = Math.floor(v / 24);
  const day = v % 31 + 1; v = Math.floor(v / 31);
  const month = v % 12; v = Math.floor(v / 12);
  return new Date(v + 2000, month, day, hour, min, sec);
}
function encodeTime(d) {
  return ((d.getFullYear() % 100) * 12 * 31 + d.getMonth() * 31 + d.getDate() - 1) * 86400 +
    (d.getHours() * 60 + d.getMinutes()) * 60 + d.getSeconds();
}

function checkUsers(name, users) {
  check(users.length === wantUsers, `${name}: ${users.length} users read, ${wantUsers} expected`);
  const u4 = users.find((u) => String(u.userId) === '4');
  check(!!u4 && u4.name === 'User 4' && Number(u4.cardno) === 100004, `${name}: user 4 with name and card`);
}

function checkRecords(name, records) {
  check(records.length === wantRecords, `${name}: ${records.length} records read, ${wantRecords} expected`);
  if (records.length === 0) return;
  // The two clients name the fields differently.
  const first = records[0];
  const t = new Date(first.recordTime || first.record_time);
  check(String(first.deviceUserId || first.user_id) === '1', `${name}: first record is user 1`);
  check(t.getFullYear() === 2026 && t.getMonth() === 0 && t.getDate() === 5 && t.getHours() === 8,
        `${name}: first record at 2026-01-05 08:00 (${t.toString()})`);
}

async function nodeZklib() {
  const ZKLib = load('node-zklib');
  const { COMMANDS } = load('node-zklib', 'constants');
  const zk = new ZKLib('127.0.0.1', port, 10000, 5200);
  await zk.createSocket();
  checkUsers('node-zklib', (await zk.getUsers()).data);
  checkRecords('node-zklib', (await zk.getAttendances()).data);
  // This client has no clock calls of its own: its command call does it.
  const want = new Date(2030, 0, 2, 3, 4, 5);
  const buf = Buffer.alloc(4);
  buf.writeUInt32LE(encodeTime(want), 0);
  await zk.executeCmd(COMMANDS.CMD_SET_TIME, buf);
  const reply = await zk.executeCmd(COMMANDS.CMD_GET_TIME, '');
  const got = decodeTime(reply.readUInt32LE(8));
  check(Math.abs(got - want) < 5000, `node-zklib: time set and read back (${got.toString()})`);
  await zk.disconnect();
}

async function zktecoJs() {
  const Zkteco = load('zkteco-js');
  const zk = new Zkteco('127.0.0.1', port, 10000, 5200);
  await zk.createSocket();
  checkUsers('zkteco-js', (await zk.getUsers()).data);
  checkRecords('zkteco-js', (await zk.getAttendances()).data);
  const want = new Date(2031, 5, 7, 8, 9, 10);
  await zk.setTime(want);
  const got = await zk.getTime();
  check(Math.abs(new Date(got) - want) < 5000, `zkteco-js: time set and read back (${new Date(got).toString()})`);
  await zk.disconnect();
}

(async () => {
  for (const [name, run] of [['node-zklib', nodeZklib], ['zkteco-js', zktecoJs]]) {
    try {
      await run();
    } catch (err) {
      check(false, `${name}: ${err && (err.message || JSON.stringify(err))}`);
    }
  }
  console.log(failures ? `npm clients: ${failures} checks failed` : 'npm clients: all checks passed');
  process.exit(failures ? 1 : 0);
})();
