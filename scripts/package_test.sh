#!/usr/bin/env bash
# Builds the Debian package, checks it with lintian, installs it on this
# machine, runs the installed server inside its unit's sandbox against the
# controller simulator until a transaction is stored, then removes and purges
# it (the data and the user that owns it stay), installs it again over the
# kept data, and purges it once more without data: then nothing is left.
# It changes the machine, so it runs only as root on CI (CI=true) or when
# asked with PX_PACKAGE_TEST=1.
#   scripts/package_test.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
APPDIR=/var/lib/portex
UNIT=VANTPortexService.service

if [ "${CI:-}" != true ] && [ "${PX_PACKAGE_TEST:-0}" != 1 ]; then
  echo "package test: skipped (installs a package: runs on CI or with PX_PACKAGE_TEST=1)"
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "package test: skipped (needs root to install the package)"
  exit 0
fi
# Never touch a real installation or its data.
if dpkg-query -W -f='${Status}' portex 2>/dev/null | grep -q "installed\|config-files"; then
  echo "package test: the portex package is already on this machine; not touching it" >&2; exit 1
fi
if [ -e "$APPDIR" ] || getent passwd portex >/dev/null; then
  echo "package test: $APPDIR or the user portex exists; not touching them" >&2; exit 1
fi

start=$(date +%s)
step() { echo "package test: $* ($(( $(date +%s) - start )) s)"; }
fail() { echo "package test: FAILED: $*" >&2; exit 1; }
SIM_PID="" SRV_PID="" TMP=$(mktemp -d /tmp/pxdeb.XXXXXX)
cleanup() {
  for p in $SRV_PID $SIM_PID; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  if dpkg-query -W -f='${Status}' portex 2>/dev/null | grep -q "installed\|config-files"; then
    dpkg -P portex >/dev/null 2>&1 || true
  fi
  rm -rf "$APPDIR" "$TMP"
  if getent passwd portex >/dev/null; then deluser --system --quiet portex >/dev/null 2>&1 || true; fi
  if getent group portex >/dev/null; then delgroup --system --quiet portex >/dev/null 2>&1 || true; fi
}
trap cleanup EXIT

scripts/setup.sh dpkg-dev file lintian man-db >&2
DEB=$(scripts/package.sh "${1:-build}" | tail -1)
echo "package test: built $DEB"
dpkg-deb -f "$DEB" Package Version Depends

step "lintian"
# Errors fail the test; warnings are shown.
if ! lintian --fail-on error --tag-display-limit 0 "$DEB" > "$TMP/lintian.txt" 2>&1; then
  cat "$TMP/lintian.txt" >&2; fail "lintian reports an error"
fi
cat "$TMP/lintian.txt"

step "install"
# setpriv executes the program in place, so $! is the program itself.
AS_PORTEX=(setpriv --reuid=portex --regid=portex --init-groups --)
dpkg -i "$DEB" >/dev/null
for f in /usr/sbin/portexd /usr/bin/pxclient /usr/bin/ctrlsim; do [ -x "$f" ] || fail "$f missing"; done
for f in OstrPro.Ini sqlite.sql postgresql.sql; do [ -f "/usr/share/portex/$f" ] || fail "/usr/share/portex/$f missing"; done
UNITFILE=$(dpkg -L portex | grep "/$UNIT\$") || fail "unit not shipped"
id -nG portex | grep -qw dialout || fail "user portex is not in dialout"
[ "$(stat -c %U:%G:%a "$APPDIR")" = portex:portex:750 ] || fail "$APPDIR: $(stat -c %U:%G:%a "$APPDIR")"
cmp -s "$APPDIR/OstrPro.Ini" /usr/share/portex/OstrPro.Ini || fail "no configuration in $APPDIR"
[ -L "/etc/systemd/system/multi-user.target.wants/$UNIT" ] || fail "the service is not enabled"
# Where systemd runs, the package started the service (in its sandbox);
# it is stopped for the run below, which uses the same folder.
if [ -d /run/systemd/system ]; then
  for _ in $(seq 20); do systemctl -q is-active "$UNIT" && break; sleep 0.5; done
  systemctl -q is-active "$UNIT" || { journalctl -u "$UNIT" -n 20 --no-pager; fail "the service is not running"; }
  systemctl stop "$UNIT"
fi

# As portex: the manual-page check would otherwise leave a page in the cache
# of man as root.
"${AS_PORTEX[@]}" systemd-analyze verify "$UNITFILE" || fail "systemd-analyze verify $UNITFILE"
/usr/sbin/portexd --version
runuser -u portex -- /usr/sbin/portexd --appdir "$APPDIR" --init-db

# An upgrade keeps the operator's configuration.
echo "; kept by upgrades" >> "$APPDIR/OstrPro.Ini"
dpkg -i "$DEB" >/dev/null
grep -q "^; kept by upgrades" "$APPDIR/OstrPro.Ini" || fail "the upgrade replaced the configuration"
if [ -d /run/systemd/system ]; then systemctl stop "$UNIT"; fi

step "portexd against the controller simulator, in the unit's sandbox"
# --install must not put an unhardened unit before the package's.
if /usr/sbin/portexd --appdir "$APPDIR" --install > "$TMP/install.txt" 2>&1; then
  fail "portexd --install wrote a unit over the package's"
fi
grep -q "systemctl enable --now ${UNIT%.service}" "$TMP/install.txt" || { cat "$TMP/install.txt"; fail "--install does not say what to do"; }
[ ! -e "/etc/systemd/system/$UNIT" ] || fail "--install left /etc/systemd/system/$UNIT"

# The demo installation, with the simulator's pseudo-terminal as COM1, a
# client port of the system's choosing, no fingerprint terminal and no web
# monitor, so that nothing else on this machine is in the way.
{ sed -e "s|^COM1=.*|COM1=$APPDIR/ttySIM1|" -e "s|^ClientPort=.*|ClientPort=0|" \
      -e "s|^Enable=1|Enable=0|" demo/OstrPro.Ini
  printf '[Web]\nPort=0\n'; } > "$APPDIR/OstrPro.Ini"
"${AS_PORTEX[@]}" sqlite3 "$APPDIR/OstrPro.db" < demo/seed.sql
"${AS_PORTEX[@]}" /usr/bin/ctrlsim --pty-link "$APPDIR/ttySIM1" --baud 9600 --units 1-4 --model KX4100 \
  --auto-trans 500 --cards 000101,000102 > "$TMP/ctrlsim.log" 2>&1 &
SIM_PID=$!
for _ in $(seq 300); do [ -e "$APPDIR/ttySIM1" ] && break; sleep 0.1; done

# The unit's own settings, as its file says them.
unit_value() { sed -n "s/^$1=//p" "$UNITFILE" | tail -1; }
# Where systemd is not running: the unit's ExecStart= confined by its own
# settings as far as this machine allows: its user, groups, umask and
# working folder, no new privileges and no capabilities, every file system
# read-only but its StateDirectory= (and /dev, /proc, /sys), a private /tmp
# and no /home or /root. The system-call filter and the kernel protections
# need systemd itself. Each step execs the next, so $! is the server.
run_confined() {
  local user group gids wd state
  user=$(unit_value User); group=$(unit_value Group)
  wd=$(unit_value WorkingDirectory); state=/var/lib/$(unit_value StateDirectory)
  [ "$(unit_value ProtectSystem)" = strict ] && [ "$(unit_value NoNewPrivileges)" = yes ] &&
    [ "$(unit_value ProtectHome)" = yes ] && [ "$(unit_value PrivateTmp)" = yes ] || return 1
  gids=$(id -G "$user" | tr ' ' ',')
  for g in $(unit_value SupplementaryGroups); do gids+=",$(getent group "$g" | cut -d: -f3)"; done
  {
    echo 'set -e'
    echo 'mount --make-rprivate /'
    echo "mount --bind '$state' '$state'"
    echo "for m in \$(awk '{print \$5}' /proc/self/mountinfo | sort -u); do"
    echo "  case \"\$m\" in /dev|/dev/*|/proc|/proc/*|/sys|/sys/*|'$state') ;;"
    echo "    *) mount -o remount,bind,ro \"\$m\" 2>/dev/null || true ;; esac"
    echo 'done'
    echo 'mount -t tmpfs -o mode=1777 tmpfs /tmp'
    # shellcheck disable=SC2016  # expanded by the confined shell
    echo 'for h in /home /root; do if [ -d "$h" ]; then mount -t tmpfs -o mode=0700 tmpfs "$h"; fi; done'
    echo "cd '$wd'"
    echo "umask $(unit_value UMask)"
    echo "exec setpriv --reuid=$user --regid=$group --groups=$gids --no-new-privs --bounding-set=-all \\"
    echo "  --inh-caps=-all -- $(unit_value ExecStart) --foreground"
  } > "$TMP/confined.sh"
  unshare --mount -- sh "$TMP/confined.sh" &
  SRV_PID=$!
}

rows=0 sandbox=""
if [ -d /run/systemd/system ]; then
  sandbox="the unit, under systemd"
  systemctl start "$UNIT"
elif unshare --mount -- true 2>/dev/null && run_confined > "$TMP/portexd.log" 2>&1; then
  sandbox="the unit's settings without systemd (unshare, setpriv)"
else
  echo "package test: SKIPPED the unit's sandbox: no systemd and no mount namespace here; run as portex only"
  "${AS_PORTEX[@]}" /usr/sbin/portexd --appdir "$APPDIR" --foreground > "$TMP/portexd.log" 2>&1 &
  SRV_PID=$!
fi
for _ in $(seq 60); do
  rows=$(sqlite3 "$APPDIR/OstrPro.db" "select count(*) from trans" 2>/dev/null || echo 0)
  [ "$rows" -gt 0 ] && break
  if [ -n "$SRV_PID" ]; then kill -0 "$SRV_PID" 2>/dev/null || break; fi
  sleep 0.5
done
# The server as it ran: its user, no way to new privileges or capabilities,
# the system read-only and its folder writable.
pid=${SRV_PID:-$(systemctl show -p MainPID --value "$UNIT" 2>/dev/null || echo 0)}
if [ -n "$sandbox" ] && [ "$pid" -gt 0 ] && [ -d "/proc/$pid" ]; then
  [ "$(stat -c %U "/proc/$pid")" = portex ] || fail "the server does not run as portex"
  grep -q '^NoNewPrivs:[[:space:]]*1$' "/proc/$pid/status" || fail "the server may gain privileges"
  grep -q '^CapBnd:[[:space:]]*0*$' "/proc/$pid/status" || fail "the server keeps capabilities"
  mounts=$(awk '{print $5, substr($6, 1, 2)}' "/proc/$pid/mountinfo")
  grep -qx "/ ro" <<< "$mounts" || fail "the system is writable for the server"
  grep -qx "$APPDIR rw" <<< "$mounts" || fail "$APPDIR is not writable for the server"
fi
if [ -d /run/systemd/system ]; then
  systemctl stop "$UNIT"
  journalctl -u "$UNIT" -n 100 --no-pager > "$TMP/portexd.log" 2>&1 || true
else
  kill "$SRV_PID"; wait "$SRV_PID" || true; SRV_PID=""
fi
kill "$SIM_PID"; wait "$SIM_PID" || true; SIM_PID=""
if [ "$rows" -eq 0 ]; then cat "$TMP/portexd.log" "$TMP/ctrlsim.log" >&2; fail "no transaction stored"; fi
echo "package test: $rows transaction(s) stored, run in ${sandbox:-no sandbox}"
grep -q -- "--- SExec.Ended ---" "$APPDIR"/TRS_*.log || { tail -n 5 "$TMP/portexd.log" "$APPDIR"/TRS_*.log; fail "the server did not stop cleanly"; }

step "remove and purge: the data and the user that owns it stay"
if [ -d /run/systemd/system ]; then systemctl start "$UNIT"; fi
dpkg -r portex >/dev/null
if [ -d /run/systemd/system ]; then ! systemctl -q is-active "$UNIT" || fail "the service runs after removal"; fi
[ ! -e /usr/sbin/portexd ] || fail "portexd left after removal"
for f in OstrPro.db OstrPro.Ini; do [ -f "$APPDIR/$f" ] || fail "removal took $APPDIR/$f"; done
dpkg -P portex > "$TMP/purge.txt"
grep -q "user portex" "$TMP/purge.txt" || { cat "$TMP/purge.txt"; fail "purge does not say the user stays"; }
getent passwd portex >/dev/null || fail "purge deleted the user portex that owns the kept data"
[ -f "$APPDIR/OstrPro.db" ] || fail "purge removed the stored transactions"
[ ! -e "$APPDIR/OstrPro.Ini" ] || fail "purge kept the configuration"
[ "$(stat -c %U "$APPDIR/OstrPro.db")" = portex ] || fail "the kept databases lost their owner"

step "install again over the kept data"
dpkg -i "$DEB" >/dev/null
if [ -d /run/systemd/system ]; then systemctl stop "$UNIT"; fi
[ "$(stat -c %U:%G:%a "$APPDIR")" = portex:portex:750 ] || fail "$APPDIR: $(stat -c %U:%G:%a "$APPDIR")"
cmp -s "$APPDIR/OstrPro.Ini" /usr/share/portex/OstrPro.Ini || fail "no configuration after the reinstall"
runuser -u portex -- /usr/sbin/portexd --appdir "$APPDIR" --init-db >/dev/null || fail "the reinstall cannot open its databases"
[ "$(runuser -u portex -- sqlite3 "$APPDIR/OstrPro.db" "select count(*) from trans")" -ge "$rows" ] ||
  fail "the kept transactions cannot be read"
runuser -u portex -- sqlite3 "$APPDIR/OstrPro.db" "insert into trcode values ('Z', 'after the reinstall')" ||
  fail "the reinstall cannot write its database"

step "purge without data: nothing is left"
dpkg -r portex >/dev/null
find "$APPDIR" -mindepth 1 -delete
dpkg -P portex >/dev/null
! getent passwd portex >/dev/null || fail "user portex left after a purge without data"
! getent group portex >/dev/null || fail "group portex left after a purge without data"
[ ! -e "$APPDIR" ] || fail "$APPDIR left after a purge without data"
# Every file of the package is gone, and nothing named after it remains
# (dpkg's records, unit links, the service helper's state).
left=$(dpkg-deb -c "$DEB" | awk '$1 !~ /^d/ {print substr($6, 2)}' | while read -r f; do
         if [ -e "$f" ]; then echo "$f"; fi; done)
left+=$(find /etc /lib/systemd /var /run \( -name 'portex' -o -name 'portex[._-]*' -o -name 'portexd*' \
          -o -name '*VANTPortex*' \) -print 2>/dev/null || true)
[ -z "$left" ] || fail "left after purge: $left"

echo "package test: passed in $(( $(date +%s) - start )) s"
