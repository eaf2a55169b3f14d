#!/usr/bin/env bash
# Builds the server and runs it in the foreground on its embedded default:
# SQLite databases in the demo program folder demo/run, four simulated door
# controllers on a pseudo-terminal generating card transactions. Ctrl-C stops
# everything.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
RUN=$ROOT/demo/run

scripts/setup.sh
cmake -S "$ROOT" -B "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$ROOT/build" -j"$(nproc)" --target portexd $( [ -d tools/ctrlsim ] && echo ctrlsim ) \
  $( [ -d tools/zksim ] && echo zksim )

mkdir -p "$RUN"
# The simulator's pseudo-terminal is COM1 (absolute path of its symlink).
sed "s|^COM1=.*|COM1=$RUN/ttySIM1|" demo/OstrPro.Ini > "$RUN/OstrPro.Ini"
if [ ! -f "$RUN/OstrPro.db" ]; then
  "$ROOT/build/bin/portexd" --appdir "$RUN" --init-db
  sqlite3 "$RUN/OstrPro.db" < demo/seed.sql
  echo "run: demo databases created in $RUN"
fi

SIM_PID=""
ZK_PID=""
WATCH_PID=""
cleanup() {
  for p in $WATCH_PID $SIM_PID $ZK_PID; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
}
trap cleanup EXIT

SIM=$(find "$ROOT/build" -type f -name ctrlsim -perm -u+x 2>/dev/null | head -1)
if [ -n "$SIM" ]; then
  "$SIM" --pty-link "$RUN/ttySIM1" --baud 9600 --units 1-4 --model KX4100 \
         --auto-trans 4000 --cards 000101,000102,000103,000104,000105,000106,000999 \
         > "$RUN/ctrlsim.log" 2>&1 &
  SIM_PID=$!
  for _ in $(seq 50); do [ -e "$RUN/ttySIM1" ] && break; sleep 0.1; done
  echo "run: controller simulator on $RUN/ttySIM1 (log: $RUN/ctrlsim.log)"
else
  echo "run: controller simulator not built; the server runs without controllers"
fi

# One fingerprint terminal with ten users, their holders among the cards,
# and their attendance records of this morning.
if [ -x "$ROOT/build/bin/zksim" ]; then
  sqlite3 "$RUN/OstrPro.db" "insert into rdrmain (tag_name, logical_point, spare3, controller_type, state, active,
    description) select 'FingerLobby', 5, '127000000001:14370', 'KXF7', 'UP', 'Y', 'Fingerprint terminal, lobby'
    where not exists (select 1 from rdrmain where tag_name='FingerLobby')"
  sqlite3 "$RUN/OstrPro.db" < demo/terminal_holders.sql
  "$ROOT/build/bin/zksim" --host 127.0.0.1 --port 14370 --users 10 --records 20 --record-date today \
    > "$RUN/zksim.log" 2>&1 &
  ZK_PID=$!
  echo "run: fingerprint terminal simulator on 127.0.0.1:14370 (log: $RUN/zksim.log)"
fi

# Show each stored transaction as it reaches the database.
(
  last=$(sqlite3 "$RUN/OstrPro.db" "select coalesce(max(rowid),0) from trans" 2>/dev/null || echo 0)
  while sleep 2; do
    rows=$(sqlite3 -separator ' ' "$RUN/OstrPro.db" \
      "select rowid, 'trans:', trans_date, trans_time, tag_name, card_number, trans_code, name from trans
       where rowid > $last order by rowid" 2>/dev/null) || continue
    [ -z "$rows" ] && continue
    printf '%s\n' "$rows" | cut -d' ' -f2-
    last=$(printf '%s\n' "$rows" | tail -1 | cut -d' ' -f1)
  done
) &
WATCH_PID=$!

WEB_PORT=$(sed -n '/^\[Web\]/,/^\[/s/^Port=\([0-9]*\).*/\1/p' "$RUN/OstrPro.Ini" | head -1)
if [ "${WEB_PORT:-8011}" != 0 ]; then
  echo "run: web monitor at http://127.0.0.1:${WEB_PORT:-8011}/ (metrics at /metrics, health at /health)"
fi
echo "run: starting portexd in $RUN (Ctrl-C stops it)"
"$ROOT/build/bin/portexd" --appdir "$RUN" --foreground || true
