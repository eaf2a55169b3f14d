#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Safe to run repeatedly: apt-get is only called when something is missing.
#   scripts/setup.sh [EXTRA_PACKAGE...]   also the packages a script needs beyond these
set -euo pipefail

PKGS=(build-essential cmake pkg-config libasio-dev libsqlite3-dev sqlite3 libpq-dev
      postgresql libgtest-dev libgmock-dev clang ccache libcpp-httplib-dev nlohmann-json3-dev lld
      libmosquitto-dev mosquitto mosquitto-clients "$@")

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

