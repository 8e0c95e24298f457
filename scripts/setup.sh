#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Usage: scripts/setup.sh [extra packages...]
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  python3-dev python3-pytest python3-exceptiongroup python3-tomli python3-cffi
  pypy3 pypy3-dev
  libroaring-dev libboost1.81-dev libgtest-dev
  mypy
  libpython3.11-testsuite pypy3-lib-testsuite  # test.test_dbm, run against vantre.dbm
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # shellcheck source=apt-update.sh
  source "$(dirname "${BASH_SOURCE[0]}")/apt-update.sh"
  apt_update_retrying
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
