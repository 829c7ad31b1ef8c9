#!/usr/bin/env bash
# Runs the Python suite on the real target: armhf PyPy and armhf CPython 3.11 under
# qemu-arm, against a module cross-built for each of them.
#
#   armhf-python.sh root              unpack the armhf interpreters into $ARMHF_ROOT (cached)
#   armhf-python.sh bare-root         the interpreters and the C and C++ runtimes only, no
#                                     CRoaring and no headers, into $ARMHF_BARE_ROOT (cached):
#                                     a board where nothing but Python was installed
#   armhf-python.sh build             cross-build the module for both into $ARMHF_PY_DIR
#   armhf-python.sh test pypy3|python3.11 [pytest args...]
#                                     run tests/python under that interpreter
#   armhf-python.sh run pypy3|python3.11 script [args...]
#                                     run a script under that interpreter with the module
#
# The interpreters come from Debian's armhf packages, unpacked (not installed) into a
# private root; qemu-arm -L looks every absolute path up in that root before the host's.
# binfmt is never relied upon: every armhf program is started through qemu-arm.
set -euo pipefail

HERE="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${BUILD:-build}"
case "$BUILD" in /*) ;; *) BUILD="$HERE/$BUILD" ;; esac
ROOT="${ARMHF_ROOT:-$BUILD/armhf-root}"
PY_DIR="${ARMHF_PY_DIR:-$BUILD/armhf-py}"
JOBS="${JOBS:-2}"
CMAKE="${CMAKE:-cmake}"
# The host's pure-Python pytest (Debian's python3-pytest) serves both interpreters.
HOST_SITE=/usr/lib/python3/dist-packages

# What the two interpreters and the module need at run time, plus the headers to build
# against. PyPy's pypy_decl.h is generated per architecture and ships in the armhf
# pypy3 package itself (pypy3-dev, arch all, holds the rest); a module built against
# the host's copy loads fine on armhf but truncates 64-bit integers.
ARMHF_PACKAGES=(
  pypy3 pypy3-lib
  python3.11-minimal libpython3.11 libpython3.11-minimal libpython3.11-stdlib libpython3.11-dev
  libstdc++6 libc6 libroaring0
)
ALL_PACKAGES=(pypy3-dev)
STAMP="$ROOT/.tovik-root-complete"

log() { echo "armhf-python: $*" >&2; }

# The armhf package list with every run-time library it depends on, resolved by apt.
# A shared library package is "Multi-Arch: same"; tools (dpkg, tar, perl) and the -dev
# packages that the headers package drags in are of no use to a root that only runs
# two interpreters.
resolve_packages() {
  local deps
  deps="$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
      --no-breaks --no-replaces --no-enhances "${ARMHF_PACKAGES[@]/%/:armhf}" |
    sed -n 's/^\([^ <]*:armhf\)$/\1/p' | sort -u)"
  {
    printf '%s\n' "${ARMHF_PACKAGES[@]}"
    # shellcheck disable=SC2086 # one name per word
    apt-cache show --no-all-versions $deps |
      awk '/^Package:/ { p = $2 } /^Multi-Arch: same/ { print p }' | grep -v -- '-dev$'
  } | sort -u
}

ensure_apt_lists() {
  if ! apt-cache show pypy3:armhf >/dev/null 2>&1; then
    log "no armhf package lists; running apt-get update"
    if ! dpkg --print-foreign-architectures | grep -qx armhf; then
      dpkg --add-architecture armhf
    fi
    apt-get update -qq || log "apt-get update reported errors; going on with the lists it fetched"
  fi
}

download() {
  local dir="$1"
  shift
  (cd "$dir" && apt-get download -qq -o APT::Sandbox::User=root "$@" >/dev/null)
}

# Downloads and unpacks into a fresh directory, then moves it into place, so an
# interrupted run never leaves a root that looks complete.
make_root() {
  # The stamp's first line is the request; a changed request rebuilds the root.
  local request="${ARMHF_PACKAGES[*]} ${ALL_PACKAGES[*]}" want
  if [ -f "$STAMP" ] && [ "$(head -n 1 "$STAMP")" = "$request" ]; then
    return 0
  fi
  ensure_apt_lists
  want="$(resolve_packages; printf '%s\n' "${ALL_PACKAGES[@]}")"
  local tmp="$ROOT.tmp" debs="$ROOT.debs"
  rm -rf "$tmp" "$debs" "$ROOT"
  mkdir -p "$tmp" "$debs"
  local names=()
  local pkg
  for pkg in $want; do
    case " ${ALL_PACKAGES[*]} " in
      *" $pkg "*) names+=("$pkg") ;;
      *) names+=("$pkg:armhf") ;;
    esac
  done
  log "downloading ${#names[@]} packages"
  # Stale package lists name versions the archive may have dropped: refresh once.
  if ! download "$debs" "${names[@]}"; then
    log "download failed; refreshing the package lists and trying again"
    apt-get update -qq || log "apt-get update reported errors; going on with the lists it fetched"
    rm -f "$debs"/*.deb
    download "$debs" "${names[@]}"
  fi
  # Laid out merged like the host (/lib a link to usr/lib): qemu-arm falls back to the
  # host's file for any path missing in the root, and the loader tries
  # /lib/arm-linux-gnueabihf first, where the host keeps its own armhf libraries.
  local dir deb
  for dir in lib bin sbin; do
    mkdir -p "$tmp/usr/$dir" && ln -s "usr/$dir" "$tmp/$dir"
  done
  for deb in "$debs"/*.deb; do
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$tmp" --keep-directory-symlink
  done
  # The root's own, empty, loader cache: the armhf loader then finds libraries by its
  # search path alone instead of by the entries of the host's cache.
  mkdir -p "$tmp/etc" && : >"$tmp/etc/ld.so.cache"
  rm -rf "$debs"
  mv "$tmp" "$ROOT"
  printf '%s\n' "$request" "$want" >"$STAMP"
  log "root ready in $ROOT ($(du -sh "$ROOT" | cut -f1))"
}

# Runs an armhf program of the root under qemu.
in_root() {
  local prog="$1"
  shift
  qemu-arm -L "$ROOT" "$ROOT$prog" "$@"
}

# The suffix the interpreter itself looks for, asked once and remembered in the root.
ext_suffix() {
  local interp="$1" cache="$ROOT/.tovik-ext-suffix-${1##*/}"
  if [ ! -s "$cache" ]; then
    in_root "$interp" -S -c "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))" >"$cache.tmp"
    mv "$cache.tmp" "$cache"
  fi
  cat "$cache"
}

build_modules() {
  make_root
  local cpy_suffix pypy_suffix
  cpy_suffix="$(ext_suffix /usr/bin/python3.11)"
  pypy_suffix="$(ext_suffix /usr/bin/pypy3)"
  # The CPython header set is a multiarch wrapper that includes
  # <arm-linux-gnueabihf/python3.11/pyconfig.h>, hence the root's include directory too.
  "$CMAKE" -S "$HERE" -B "$PY_DIR" -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
    -DCMAKE_TOOLCHAIN_FILE="$HERE/cmake/armhf-toolchain.cmake" \
    -DTOVIK_BUILD_TESTS=OFF \
    -DTOVIK_PYTHON_INCLUDE="$ROOT/usr/include/python3.11;$ROOT/usr/include" \
    -DTOVIK_EXT_SUFFIX="$cpy_suffix" \
    -DTOVIK_MODULE_DIR="$PY_DIR/python3.11" \
    -DTOVIK_PYPY_INCLUDE="$ROOT/usr/include/pypy3.9" \
    -DTOVIK_PYPY_EXT_SUFFIX="$pypy_suffix" \
    -DTOVIK_PYPY_MODULE_DIR="$PY_DIR/pypy3" >/dev/null
  "$CMAKE" --build "$PY_DIR" -j "$JOBS"
}

# Stops with a message unless $1 names an interpreter of the root and the root exists.
require_interpreter() {
  case "$1" in
    pypy3 | python3.11) ;;
    *) log "unknown interpreter '$1' (pypy3 or python3.11)"; exit 2 ;;
  esac
  [ -f "$STAMP" ] || { log "no root in $ROOT; run '$0 build' first"; exit 2; }
}

run_tests() {
  local name="$1"
  shift
  require_interpreter "$name"
  # -S keeps the host's site directories (and their .pth hooks and compiled
  # extensions) out; the module's directory and the host's pytest come in by path.
  # Plugins installed on the host are not loaded.
  cd "$HERE"
  # Tests that start a child interpreter go through the emulator the same way.
  TOVIK_PYTHON_CMD="qemu-arm -L $ROOT $ROOT/usr/bin/$name -S" \
  TOVIK_TARGET=armhf PYTHONPATH="$PY_DIR/$name:$HOST_SITE" PYTEST_DISABLE_PLUGIN_AUTOLOAD=1 \
    in_root "/usr/bin/$name" -S -m pytest -q -p no:cacheprovider "$@" tests/python
}

run_script() {
  local name="$1"
  shift
  require_interpreter "$name"
  PYTHONPATH="$PY_DIR/$name" in_root "/usr/bin/$name" -S "$@"
}

cmd="${1:-}"
shift || true
case "$cmd" in
  root) make_root ;;
  bare-root)
    ROOT="${ARMHF_BARE_ROOT:-$BUILD/armhf-bare-root}"
    STAMP="$ROOT/.tovik-root-complete"
    ARMHF_PACKAGES=(pypy3 pypy3-lib python3.11-minimal libpython3.11-minimal libpython3.11-stdlib
                    libstdc++6 libc6)
    ALL_PACKAGES=()
    make_root
    ;;
  build) build_modules ;;
  test) run_tests "$@" ;;
  run) run_script "$@" ;;
  *) echo "usage: $0 root | bare-root | build | test pypy3|python3.11 [pytest args...] | run pypy3|python3.11 script [args...]" >&2; exit 2 ;;
esac
