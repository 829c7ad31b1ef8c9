#!/usr/bin/env bash
# Installs each wheel of $BUILD/wheels the way a user would and runs the README's code,
# the examples and the import checks with the installed package, where no CRoaring but
# the wheel's own copy can be loaded:
#
# - x86-64: the pip of a fresh venv of each interpreter installs the wheel;
# - armv7l: pip itself runs on the armhf interpreter under qemu-arm, so the board's own
#   tag rules (its glibc, its hard-float ABI) accept or refuse the wheel, in a root that
#   holds the interpreters and the C and C++ runtimes only (armhf-python.sh bare-root).
#
# Everything runs in a private mount namespace in which the system's CRoaring files read
# as empty: qemu-arm falls back to the host's file for a path missing in the root, and
# the host has CRoaring for both architectures. A module built without its copy must
# fail to load there (checked first), and the loader's own trace (LD_DEBUG=libs) must
# show the installed package's copy as the one CRoaring it initialises.
set -euo pipefail

HERE="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${BUILD:-build}"
case "$BUILD" in /*) ;; *) BUILD="$HERE/$BUILD" ;; esac
PYTHON="${PYTHON:-python3}"
PYPY="${PYPY:-pypy3}"
WHEELS="$BUILD/wheels"
PLAIN="$BUILD/wheels-plain"
TOOLS="$BUILD/wheel-tools"
ROOT="${ARMHF_BARE_ROOT:-$BUILD/armhf-bare-root}"
WORK="$BUILD/wheel-test"
HOST_SITE=/usr/lib/python3/dist-packages
TESTS=(tests/python/test_import.py tests/python/test_platform.py
       tests/python/test_readme.py tests/python/test_examples.py)

log() { echo "test-wheels: $*" >&2; }
fail() { log "$*"; exit 1; }

if [ -z "${TOVIK_ROARING_HIDDEN:-}" ]; then
  [ -f "$ROOT/.tovik-root-complete" ] || fail "no bare armhf root in $ROOT (armhf-python.sh bare-root)"
  # The files the wheels are built from, checked before anything is installed.
  "$TOOLS/bin/python" -m pytest -q -p no:cacheprovider "$HERE/tests/wheels"
  export TOVIK_ROARING_HIDDEN=1
  if unshare --mount true 2>/dev/null; then
    exec unshare --mount --propagation private bash "$0" "$@"
  fi
  exec unshare --user --map-root-user --mount --propagation private bash "$0" "$@"
fi

shopt -s nullglob
for lib in /usr/lib/*/libroaring.so*; do
  [ -L "$lib" ] || mount --bind /dev/null "$lib"
done
for lib in /usr/lib/*/libroaring.so*; do
  [ ! -s "$lib" ] || fail "$lib is still readable"
done
in_root=("$ROOT"/usr/lib/*/libroaring*)
[ "${#in_root[@]}" = 0 ] || fail "the bare root has CRoaring: ${in_root[*]}"

rm -rf "$WORK"
mkdir -p "$WORK"

# wheel tag (python-abi-platform) -> the command that runs its interpreter
interpreter() {
  case "$1" in
    cp311-cp311-*x86_64) echo "$WORK/$1/bin/python" ;;
    pp39-pypy39_pp73-*x86_64) echo "$WORK/$1/bin/python" ;;
    cp311-cp311-*armv7l) echo "qemu-arm -L $ROOT $ROOT/usr/bin/python3.11 -S" ;;
    pp39-pypy39_pp73-*armv7l) echo "qemu-arm -L $ROOT $ROOT/usr/bin/pypy3 -S" ;;
    *) fail "no interpreter for a wheel tagged $1" ;;
  esac
}

# A module without its copy of CRoaring (the wheel before repair) must not load here,
# or the runs below would prove nothing.
for plain in "$PLAIN"/tovik-*-cp311-cp311-linux_x86_64.whl "$PLAIN"/tovik-*-cp311-cp311-linux_armv7l.whl; do
  dir="$WORK/plain-${plain##*_}"
  "$PYTHON" -m zipfile -e "$plain" "$dir"
  case "$plain" in
    *x86_64.whl) run=("$PYTHON") ;;
    *) run=(qemu-arm -L "$ROOT" "$ROOT/usr/bin/python3.11" -S) ;;
  esac
  if out="$(PYTHONPATH="$dir" "${run[@]}" -c "import tovik" 2>&1)"; then
    fail "${plain##*/} loaded without its CRoaring: it is not hidden"
  fi
  case "$out" in
    *libroaring.so.0*) log "${plain##*/} (unrepaired) refused as expected: ${out##*ImportError: }" ;;
    *) fail "${plain##*/} failed for another reason: $out" ;;
  esac
done

wheels=("$WHEELS"/tovik-*.whl)
[ "${#wheels[@]}" = 4 ] || fail "expected four wheels in $WHEELS, found ${#wheels[@]}"
for wheel in "${wheels[@]}"; do
  name="${wheel##*/}"
  tag="${name#tovik-*-}"
  tag="${tag%.whl}"
  target="$WORK/$tag"
  command="$(interpreter "$tag")"
  read -r -a run <<<"$command"
  case "$tag" in
    *x86_64)
      case "$tag" in cp*) py="$PYTHON" ;; *) py="$PYPY" ;; esac
      "$py" -m venv --system-site-packages "$target"
      "$target/bin/pip" install --quiet --disable-pip-version-check --no-index --no-deps "$wheel"
      site="$("$target/bin/python" -c "import sysconfig; print(sysconfig.get_paths()['platlib'])")"
      env=(env)
      ;;
    *)
      # pip and its vendored packaging are pure Python: the tools' copy serves both.
      site="$target"
      PYTHONPATH="$("$TOOLS/bin/python" -c "import pip, os; print(os.path.dirname(os.path.dirname(pip.__file__)))")" \
        "${run[@]}" -m pip install --quiet --disable-pip-version-check --no-cache-dir --no-compile \
        --no-index --no-deps --target "$site" "$wheel"
      env=(env "PYTHONPATH=$site:$HOST_SITE" TOVIK_TARGET=armhf "TOVIK_PYTHON_CMD=${run[*]}")
      ;;
  esac
  log "$name installed into $site"
  for f in tovik/__init__.pyi tovik/py.typed; do
    [ -f "$site/$f" ] || fail "$name lacks $f"
  done

  # The loader's trace of the import: the one CRoaring initialised is the package's own.
  trace="$WORK/$tag.ld-trace"
  case "$tag" in
    *x86_64) LD_DEBUG=libs LD_DEBUG_OUTPUT="$trace" "${run[@]}" -c "import tovik" ;;
    *) PYTHONPATH="$site" "${run[0]}" -E LD_DEBUG=libs "${run[@]:1}" -c "import tovik" 2>"$trace" ;;
  esac
  inits="$(cat "$trace"* | grep -E 'calling init: .*roaring' || true)"
  [ "$(printf '%s\n' "$inits" | grep -c roaring)" = 1 ] || fail "$name: CRoaring initialised $(printf '%s\n' "$inits" | grep -c roaring) times: $inits"
  loaded="${inits##*calling init: }"
  case "$(realpath "$loaded")" in
    "$(realpath "$site")/tovik.libs/libroaring-"*) log "$name: the loader took $loaded" ;;
    *) fail "$name: CRoaring came from elsewhere: $inits" ;;
  esac

  (cd "$HERE" &&
    "${env[@]}" PYTEST_DISABLE_PLUGIN_AUTOLOAD=1 "${run[@]}" -m pytest -q -p no:cacheprovider "${TESTS[@]}")
done
