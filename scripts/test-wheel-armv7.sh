#!/usr/bin/env bash
# Installs each armv7l wheel from build/wheels the way pip on the board would (pip checks
# the wheel's tags against the board's and its RECORD), then runs the README's code, the
# examples and the import checks with the installed package under the armhf interpreter
# in qemu-arm. Needs the root that armhf-python.sh builds.
set -euo pipefail

HERE="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${BUILD:-build}"
case "$BUILD" in /*) ;; *) BUILD="$HERE/$BUILD" ;; esac
ROOT="${ARMHF_ROOT:-$BUILD/armhf-root}"
WHEELS="$BUILD/wheels"
PYTHON="${PYTHON:-python3}"
HOST_SITE=/usr/lib/python3/dist-packages

[ -f "$ROOT/.tovik-root-complete" ] || { echo "test-wheel: no armhf root in $ROOT" >&2; exit 2; }
# A private pip: the host interpreter's own may be absent or managed by the system.
VENV="$BUILD/wheel-venv"
[ -x "$VENV/bin/pip" ] || "$PYTHON" -m venv "$VENV"

# interpreter, pip's implementation, python version, abi, wheel tag
while read -r interp impl version abi tag; do
  wheel=("$WHEELS"/tovik-*-"$tag".whl)
  target="$BUILD/wheel-install/$interp"
  rm -rf "$target"
  "$VENV/bin/pip" install --quiet --disable-pip-version-check --no-deps --no-index \
    --target "$target" --platform linux_armv7l --implementation "$impl" \
    --python-version "$version" --abi "$abi" --only-binary=:all: "${wheel[0]}"
  for f in tovik/__init__.pyi tovik/py.typed; do
    [ -f "$target/$f" ] || { echo "test-wheel: ${wheel[0]##*/} lacks $f" >&2; exit 1; }
  done
  echo "test-wheel: ${wheel[0]##*/} installed; running under qemu-arm $interp"
  where="$(PYTHONPATH="$target" qemu-arm -L "$ROOT" "$ROOT/usr/bin/$interp" -S -c \
    "import tovik; print(tovik.__file__)")"
  [ "$where" = "$target/tovik/__init__$(cd "$target/tovik" && ls __init__.*.so | sed 's/^__init__//')" ] ||
    { echo "test-wheel: imported $where, not the installed package" >&2; exit 1; }
  (cd "$HERE" &&
    TOVIK_PYTHON_CMD="qemu-arm -L $ROOT $ROOT/usr/bin/$interp -S" TOVIK_TARGET=armhf \
    PYTHONPATH="$target:$HOST_SITE" PYTEST_DISABLE_PLUGIN_AUTOLOAD=1 \
    qemu-arm -L "$ROOT" "$ROOT/usr/bin/$interp" -S -m pytest -q -p no:cacheprovider \
      tests/python/test_import.py tests/python/test_platform.py \
      tests/python/test_readme.py tests/python/test_examples.py)
done <<'LIST'
python3.11 cp 3.11 cp311 cp311-cp311-linux_armv7l
pypy3 pp 3.9 pypy39_pp73 pp39-pypy39_pp73-linux_armv7l
LIST
