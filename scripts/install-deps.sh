#!/usr/bin/env bash
# Installs what building and testing tovik needs on Debian 12, skipping what is there.
# Run as root (or with sudo available). Safe to run again.
set -euo pipefail

APT_PACKAGES=(
  cmake make g++ pkg-config python3-venv
  libroaring-dev libgtest-dev libbenchmark-dev
  pypy3 pypy3-dev pypy3-venv
  python3-pytest python3-exceptiongroup python3-tomli
  g++-arm-linux-gnueabihf qemu-user
  clang libclang-rt-14-dev
  libroaring-dev:armhf libgtest-dev:armhf
)

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

missing=()
for pkg in "${APT_PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    $SUDO dpkg --add-architecture armhf
  fi
  # A mirror caught mid-sync fails one index (seen: bookworm-security's armhf list) while
  # the rest is fine; carry on with what was fetched and let the install decide.
  $SUDO apt-get update -qq || echo "install-deps: apt-get update reported errors; trying the install anyway" >&2
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The interpreter that runs the CPython suite needs pytest (pyenv interpreters do not
# see Debian's python3-pytest).
PY="${PYTHON:-python3}"
for mod in pytest numpy; do
  if ! "$PY" -c "import $mod" 2>/dev/null; then
    "$PY" -m pip install --quiet "$mod"
  fi
done
echo "install-deps: all present"
