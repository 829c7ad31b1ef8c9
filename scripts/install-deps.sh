#!/usr/bin/env bash
# Installs what building and testing tovik needs on Debian 12 or Debian 13, skipping
# what is there. Run as root (or with sudo available). Safe to run again.
set -euo pipefail

# Names that exist on both releases; the clang runtime follows below, once the
# installed clang says its version.
APT_PACKAGES=(
  cmake make g++ pkg-config python3-dev python3-venv
  libroaring-dev libgtest-dev libbenchmark-dev
  pypy3 pypy3-dev pypy3-venv
  python3-pytest python3-exceptiongroup python3-tomli python3-numpy
  g++-arm-linux-gnueabihf g++-aarch64-linux-gnu qemu-user
  clang
  libroaring-dev:armhf libgtest-dev:armhf libroaring-dev:arm64 libgtest-dev:arm64
)
FOREIGN_ARCHES=(armhf arm64)

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

missing_of() {
  local pkg
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      echo "$pkg"
    fi
  done
}

updated=""
install() {
  local missing
  mapfile -t missing < <(missing_of "$@")
  [ "${#missing[@]}" -gt 0 ] || return 0
  echo "install-deps: installing ${missing[*]}"
  local arch
  for arch in "${FOREIGN_ARCHES[@]}"; do
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      $SUDO dpkg --add-architecture "$arch"
      updated=""
    fi
  done
  if [ -z "$updated" ]; then
    # A mirror caught mid-sync fails one index (seen: bookworm-security's armhf list)
    # while the rest is fine; carry on with what was fetched and let the install decide.
    $SUDO apt-get update -qq || echo "install-deps: apt-get update reported errors; trying the install anyway" >&2
    updated=1
  fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

install "${APT_PACKAGES[@]}"
# The sanitizer runtimes of the clang just installed: libclang-rt-14-dev on Debian 12,
# libclang-rt-19-dev on Debian 13.
install "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"

# The interpreter that runs the CPython suite needs pytest and numpy (pyenv interpreters
# do not see Debian's python3-pytest).
PY="${PYTHON:-python3}"
for mod in pytest numpy; do
  if ! "$PY" -c "import $mod" 2>/dev/null; then
    "$PY" -m pip install --quiet "$mod"
  fi
done
echo "install-deps: all present"
