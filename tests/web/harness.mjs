// What the end-to-end scripts of the web server share: their options,
// checks that print as they go and are counted, waiting for a condition,
// free loopback ports, and child processes read line by line.
import { spawn } from 'node:child_process';
import net from 'node:net';
import path from 'node:path';

// --build DIR --source DIR and the script's own --name value options.
export const args = Object.fromEntries(process.argv.slice(2).reduce((a, v, i, all) =>
  (v.startsWith('--') ? a.concat([[v.slice(2), all[i + 1]]]) : a), []));
export const build = path.resolve(args.build || 'build');
export const source = path.resolve(args.source || '.');

const t0 = Date.now();
let failures = 0;
export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

export function check(ok, what) {
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what} [${((Date.now() - t0) / 1000).toFixed(1)}s]`);
  if (!ok) failures++;
  return ok;
}

// True once fn() is; false (a failed check) when `ms` pass first.
export async function until(what, fn, ms = 20000) {
  const end = Date.now() + ms;
  for (;;) {
    try { if (await fn()) return true; } catch (e) { /* not yet */ }
    if (Date.now() > end) return check(false, what + ' (timed out)');
    await sleep(150);
  }
}

export function freePort() {
  return new Promise((resolve) => {
    const s = net.createServer().listen(0, '127.0.0.1', () => { const p = s.address().port; s.close(() => resolve(p)); });
  });
}

export function start(cmd, argv, onLine) {
  const child = spawn(cmd, argv, { stdio: ['ignore', 'pipe', 'pipe'] });
  let rest = '';
  child.stdout.on('data', (d) => {
    const parts = (rest + d).split('\n');
    rest = parts.pop();
    parts.forEach((l) => onLine && onLine(l));
  });
  child.stderr.on('data', (d) => process.stderr.write(d));
  return child;
}

// SIGTERM, then the exit code.
export function stop(child) {
  return new Promise((resolve) => {
    if (child.exitCode !== null) return resolve(child.exitCode);
    child.once('exit', (code) => resolve(code));
    child.kill('SIGTERM');
  });
}

export function finish() {
  console.log(failures ? `${failures} check(s) failed` : 'all checks passed');
  process.exit(failures ? 1 : 0);
}
