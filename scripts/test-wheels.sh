#!/usr/bin/env bash
# Installs the wheels of $BUILD/wheels the way a user of each target of
# scripts/targets.txt would, and runs the README's code, the examples and the import
# checks with the installed package, where no CRoaring but the wheel's own copy can be
# loaded; the golden scenario runs under every pair and its outputs must be identical.
#
# Every interpreter runs from its release's own root (scripts/target-root.sh): the ARM
# ones under qemu-arm/qemu-aarch64, the x86-64 ones through the root's own loader and C
# library. Its own pip (Debian's python3-pip of that release) picks the wheel among all
# of them, so the board's own tag rules (its Python version, glibc, ABI) accept or
# refuse each; the one it picks must be the one built for it.
#
# TOVIK_FULL_SUITE lists "release-arch" targets whose two interpreters run all of
# tests/python against the installed wheel instead of the import checks alone.
#
# Everything runs in a private mount namespace in which the system's CRoaring files read
# as empty: qemu falls back to the host's file for a path missing in the root, and the
# host has CRoaring for several architectures. A module built without its copy must
# fail to load there (checked first), and the loader's own trace (LD_DEBUG=libs) must
# show the installed package's copy as the one CRoaring it initialises.
set -euo pipefail

HERE="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${BUILD:-build}"
case "$BUILD" in /*) ;; *) BUILD="$HERE/$BUILD" ;; esac
export BUILD
WHEELS="$BUILD/wheels"
PLAIN="$BUILD/wheels-plain"
TOOLS="$BUILD/wheel-tools"
WORK="$BUILD/wheel-test"
FULL_SUITE="${TOVIK_FULL_SUITE:-trixie-amd64 trixie-armhf}"
TESTS=(tests/python/test_import.py tests/python/test_platform.py
       tests/python/test_readme.py tests/python/test_examples.py)
ROOTS=(bash "$HERE/scripts/target-root.sh")
# shellcheck source=targets.sh
. "$HERE/scripts/targets.sh"

log() { echo "test-wheels: $*" >&2; }
fail() { log "$*"; exit 1; }

if [ -z "${TOVIK_ROARING_HIDDEN:-}" ]; then
  target_list_buildable | while read -r release arch; do "${ROOTS[@]}" root "$release" "$arch"; done
  # The files the wheels are built from, checked before anything is installed.
  "$TOOLS/bin/python" -m pytest -q -p no:cacheprovider "$HERE/tests/wheels"
  export TOVIK_ROARING_HIDDEN=1
  if unshare --mount true 2>/dev/null; then
    exec unshare --mount --propagation private bash "$0" "$@"
  fi
  exec unshare --user --map-root-user --mount --propagation private bash "$0" "$@"
fi

shopt -s nullglob
# One target in a process of its own (see the end of this file): the mounts and the
# work directory are the caller's.
if [ "${1:-}" = --target ]; then
  target_load "$2" "$3"
  ONE_TARGET=1
else
  ONE_TARGET=""
  for lib in /usr/lib/*/libroaring.so*; do
    [ -L "$lib" ] || mount --bind /dev/null "$lib"
  done
  for lib in /usr/lib/*/libroaring.so*; do
    [ ! -s "$lib" ] || fail "$lib is still readable"
  done
  rm -rf "$WORK"
  mkdir -p "$WORK"
fi

# The command that runs INTERP of RELEASE ARCH, as a word list in the array `run`.
load_run() {
  local command
  command="$("${ROOTS[@]}" command "$1" "$2" "$3")"
  read -r -a run <<<"$command -S"
}

# A module without its copy of CRoaring (the wheel before repair) must not load here,
# or the runs below would prove nothing.
check_unrepaired() {
  local plain dir out
  plain=("$PLAIN"/tovik-*-"$T_CP_TAG-linux_$T_MACHINE.whl")
  [ -f "${plain[0]}" ] || fail "no unrepaired wheel for $T_RELEASE $T_ARCH"
  dir="$WORK/plain-$T_RELEASE-$T_ARCH"
  python3 -m zipfile -e "${plain[0]}" "$dir"
  if out="$(PYTHONPATH="$dir" "${run[@]}" -c "import tovik" 2>&1)"; then
    fail "${plain[0]##*/} loaded without its CRoaring on $T_RELEASE $T_ARCH: it is not hidden"
  fi
  case "$out" in
    *libroaring.so.0*) log "$T_RELEASE $T_ARCH: ${plain[0]##*/} (unrepaired) refused as expected" ;;
    *) fail "${plain[0]##*/} failed for another reason: $out" ;;
  esac
}

# One interpreter of the loaded target: its pip installs the package from the whole
# wheel directory, then the checks and the golden scenario run with what it installed.
test_pair() {
  local interp="$1" tag="$2" root name site trace inits loaded
  root="$(target_root)"
  name="$T_RELEASE-$T_ARCH-$interp"
  site="$WORK/$name"
  load_run "$T_RELEASE" "$T_ARCH" "$interp"
  [ "$interp" != "$T_CPYTHON" ] || check_unrepaired
  # --target keeps the root untouched; Debian's pip would otherwise refuse to install
  # into the system's interpreter.
  PYTHONPATH="$root/usr/lib/python3/dist-packages" "${run[@]}" -m pip install --quiet \
    --disable-pip-version-check --root-user-action=ignore --no-cache-dir --no-compile --no-index --no-deps \
    --find-links "$WHEELS" --target "$site" tovik
  local wheel_tag
  wheel_tag="$(sed -n 's/^Tag: //p' "$site"/tovik-*.dist-info/WHEEL)"
  case "$wheel_tag" in
    "$tag-manylinux_"*"_$T_MACHINE") log "$name: pip chose the $wheel_tag wheel" ;;
    *) fail "$name: pip chose a wheel tagged '$wheel_tag', not the $tag one for $T_MACHINE" ;;
  esac
  local f
  for f in tovik/__init__.pyi tovik/py.typed; do
    [ -f "$site/$f" ] || fail "$name: the installed package lacks $f"
  done

  # The loader's trace of the import: the one CRoaring initialised is the package's own.
  trace="$WORK/$name.ld-trace"
  if [ -n "$T_QEMU" ]; then
    PYTHONPATH="$site" "${run[0]}" -E LD_DEBUG=libs "${run[@]:1}" -c "import tovik" 2>"$trace"
  else
    PYTHONPATH="$site" LD_DEBUG=libs "${run[@]}" -c "import tovik" 2>"$trace"
  fi
  inits="$(grep -E 'calling init: .*roaring' "$trace" || true)"
  [ "$(printf '%s\n' "$inits" | grep -c roaring)" = 1 ] || fail "$name: CRoaring initialised $(printf '%s\n' "$inits" | grep -c roaring) times: $inits"
  loaded="${inits##*calling init: }"
  case "$(realpath "$loaded")" in
    "$(realpath "$site")/tovik.libs/libroaring-"*) log "$name: the loader took $loaded" ;;
    *) fail "$name: CRoaring came from elsewhere: $inits" ;;
  esac

  local tests=("${TESTS[@]}")
  case " $FULL_SUITE " in *" $T_RELEASE-$T_ARCH "*) tests=(tests/python) ;; esac
  local env=(env "PYTHONPATH=$site:$root/usr/lib/python3/dist-packages" "TOVIK_PYTHON_CMD=${run[*]}"
             PYTEST_DISABLE_PLUGIN_AUTOLOAD=1)
  [ -z "$T_QEMU" ] || env+=("TOVIK_TARGET=$T_ARCH")
  log "$name: pytest ${tests[*]}"
  (cd "$HERE" && "${env[@]}" "${run[@]}" -m pytest -q -p no:cacheprovider "${tests[@]}")
  printf '%s\tenv PYTHONPATH=%s %s\n' "$name" "$site" "${run[*]}" >"$WORK/$name.runner"
}

if [ -n "$ONE_TARGET" ]; then
  in_root=("$(target_root)"/usr/lib/*/libroaring*)
  [ "${#in_root[@]}" = 0 ] || fail "the $T_RELEASE $T_ARCH root has CRoaring: ${in_root[*]}"
  test_pair "$T_CPYTHON" "$T_CP_TAG"
  test_pair pypy3 "$T_PP_TAG"
  exit 0
fi

wheels=("$WHEELS"/tovik-*.whl)
expected=$(($(target_list_buildable | wc -l) * 2))
[ "${#wheels[@]}" = "$expected" ] || fail "expected $expected wheels in $WHEELS, found ${#wheels[@]}"
# The targets two at a time (most of the time is one emulated interpreter's), each
# logging to its own file, shown in table order once all have finished.
LANES="${JOBS:-2}"
targets=()
while read -r release arch; do
  targets+=("$release-$arch")
  {
    rc=0
    bash "$0" --target "$release" "$arch" >"$WORK/$release-$arch.log" 2>&1 || rc=$?
    echo "$rc" >"$WORK/$release-$arch.rc"
  } &
  while [ "$(jobs -rp | wc -l)" -ge "$LANES" ]; do wait -n || true; done
done < <(target_list_buildable)
wait
failed=()
for target in "${targets[@]}"; do
  echo "==== $target"
  cat "$WORK/$target.log"
  [ "$(cat "$WORK/$target.rc")" = 0 ] || failed+=("$target")
done
[ "${#failed[@]}" = 0 ] || fail "failed: ${failed[*]}"
for target in "${targets[@]}"; do cat "$WORK/$target"-*.runner; done >"$WORK/golden-runners"

# The golden scenario under every pair, with the installed packages, in table order.
cd "$HERE"
GOLDEN_RUNNERS="$WORK/golden-runners" bash tests/golden/run.sh "$WORK/golden"
