#!/usr/bin/env bash
# Builds everything and runs every test, on SQLite and on a throwaway
# PostgreSQL server: the packaged programs in the normal build (and, on CI,
# the Debian package's install test), the whole suite under AddressSanitizer
# + UndefinedBehaviorSanitizer, then the threaded tests under ThreadSanitizer.
#   PX_QUICK=1 scripts/test.sh   the normal build and the whole suite on it only
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=$(nproc)

# Chromium and playwright-core drive the browser test of the web monitor;
# promtool (package prometheus) checks its metrics text.
scripts/setup.sh chromium prometheus
if ! command -v npm >/dev/null 2>&1; then scripts/setup.sh nodejs npm; fi
if [ ! -d tests/web/browser/node_modules/playwright-core ]; then
  echo "test: installing playwright-core for the browser test"
  (cd tests/web/browser && npm ci --no-audit --no-fund --loglevel=error)
fi
# A published OpenAPI validator and a JSON Schema validator for the REST API.
if [ ! -d tests/web/api/node_modules/@seriousme/openapi-schema-validator ]; then
  echo "test: installing the OpenAPI validators for the API test"
  (cd tests/web/api && npm ci --no-audit --no-fund --loglevel=error)
fi

PGDIR=""
cleanup() {
  if [ -n "$PGDIR" ]; then scripts/pg_server.sh stop "$PGDIR" >/dev/null 2>&1 || true; fi
}
trap cleanup EXIT

# One PostgreSQL server for the whole run; every database test also runs on it.
if [ -z "${PX_PG_URI:-}" ] && [ "${PX_NO_PG:-0}" != 1 ]; then
  PGDIR=$(mktemp -d /tmp/pxpg.XXXXXX)
  if URI=$(scripts/pg_server.sh start "$PGDIR" | tail -1); then
    export PX_PG_URI="$URI"
    echo "test: PostgreSQL at $PX_PG_URI"
  else
    PGDIR=""
    # On CI a missing PostgreSQL run must not pass unnoticed.
    if [ "${CI:-}" = true ]; then echo "test: could not start PostgreSQL" >&2; exit 1; fi
    echo "test: could not start PostgreSQL; database tests run on SQLite only" >&2
  fi
fi

build_and_test() {  # dir, ctest args..., -- cmake args...
  local dir=$1; shift
  local cargs=() targs=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do targs+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  cargs=("$@")
  cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cargs[@]}" >/dev/null
  if [ -n "${BUILD_TARGETS:-}" ]; then
    # shellcheck disable=SC2086
    cmake --build "$dir" -j"$JOBS" --target $BUILD_TARGETS
  else
    cmake --build "$dir" -j"$JOBS"
  fi
  ctest --test-dir "$dir" --output-on-failure -j"$JOBS" "${targs[@]}"
}

echo "== example alerting rules (promtool)"
promtool check rules packaging/portex-alerts.yml
promtool test rules tests/web/portex-alerts.test.yml
echo "== REST API document (OpenAPI 3.1)"
tests/web/api/node_modules/.bin/validate-api docs/openapi.json
if [ "${PX_QUICK:-0}" = 1 ]; then
  echo "== normal build"
  build_and_test build --
  echo "== Debian package (installed, run and purged on CI)"
  scripts/package_test.sh build
else
  # Every test runs once, under AddressSanitizer + UndefinedBehaviorSanitizer,
  # which finds all a plain run would and more; the plain optimised build
  # makes only the programs the package ships (and its test runs them).
  echo "== normal build of the packaged programs"
  cmake -S "$ROOT" -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"$JOBS" --target package_payload
  echo "== Debian package (installed, run and purged on CI)"
  scripts/package_test.sh build
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  # The checking builds compile each folder in batches of 16 sources (about
  # half the compile time); the shipped programs are built file by file.
  UNITY=(-DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=16)
  build_and_test build-asan -- -DPX_SANITIZE=ON -DPX_BENCH=OFF "${UNITY[@]}"
  echo "== ThreadSanitizer (bus threads, serial event threads, event loop)"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$ROOT/tests/tsan.supp"
  # Only the programs of the threaded tests (and what they start) are built.
  BUILD_TARGETS="test_common test_engine test_engine_ip test_serial test_service test_clientserver test_e2e test_zk test_web test_events portexd pxclient" \
    build_and_test build-tsan -L threads -- -DPX_TSAN=ON -DPX_BENCH=OFF "${UNITY[@]}"
fi
echo "test: all passed"
