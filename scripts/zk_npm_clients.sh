#!/usr/bin/env bash
# Holds the terminal simulator against the published open-source terminal
# clients: installs node-zklib and zkteco-js with npm into a temporary folder
# and runs tests/zk/npm_clients.js against a zksim on a free loopback port.
#   scripts/zk_npm_clients.sh PATH_TO_ZKSIM
# Exits 77 (skipped) only when node or npm is missing.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
ZKSIM=${1:-$ROOT/build/bin/zksim}
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "zk npm clients: SKIPPED - node or npm is not installed"
  exit 77
fi
WORK=$(mktemp -d /tmp/zknpm.XXXXXX)
SIM_PID=""
cleanup() {
  if [ -n "$SIM_PID" ]; then kill "$SIM_PID" 2>/dev/null || true; wait "$SIM_PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

(cd "$WORK" && npm init -y >/dev/null &&
  npm install --no-audit --no-fund --loglevel=error node-zklib zkteco-js >/dev/null)

USERS=30
RECORDS=3000   # 120,000 bytes of 40-byte records: two chunks of the clients' reads
# The clients take one packet per socket event, so the simulator paces its
# packets as a terminal on a network would arrive.
"$ZKSIM" --port 0 --users $USERS --records $RECORDS --templates 0 --pace-ms "${ZK_NPM_PACE_MS:-40}" >"$WORK/sim.out" 2>&1 &
SIM_PID=$!
PORT=""
for _ in $(seq 1 100); do
  PORT=$(sed -n 's/^zksim listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$WORK/sim.out")
  [ -n "$PORT" ] && break
  sleep 0.05
done
if [ -z "$PORT" ]; then echo "zk npm clients: simulator did not start"; cat "$WORK/sim.out"; exit 1; fi

rc=0
node "$ROOT/tests/zk/npm_clients.js" "$WORK" "$PORT" $USERS $RECORDS || rc=$?
kill -INT "$SIM_PID"
wait "$SIM_PID" || true
SIM_PID=""
cat "$WORK/sim.out"
exit $rc
