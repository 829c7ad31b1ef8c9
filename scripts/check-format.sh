#!/usr/bin/env bash
# Formatting of our C++ against .clang-format, with one pinned clang-format (14.0.6,
# the version Debian 12 ships) from PyPI in its own venv, so that Debian 12 and 13
# machines (whose packaged versions format differently) give the same verdict.
#   check-format.sh          fail, listing the files that differ
#   check-format.sh --fix    rewrite them in place
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${BUILD:-build}"
PYTHON="${PYTHON:-python3}"
VERSION=14.0.6
VENV="$BUILD/format-venv"
TOOL="$VENV/bin/clang-format"

if ! "$TOOL" --version 2>/dev/null | grep -q "version $VERSION"; then
  rm -rf "$VENV"
  "$PYTHON" -m venv "$VENV"
  "$VENV/bin/pip" install --quiet "clang-format==$VERSION"
fi

mapfile -t files < <(git ls-files -- 'src/*.cpp' 'src/*.hpp' 'src/**/*.cpp' 'src/**/*.hpp' \
  'tests/cpp/*.cpp' 'tests/cpp/*.hpp' 'bench/*.cpp' 'bench/*.hpp' 'fuzz/*.cpp' | sort -u)

if [ "${1:-}" = --fix ]; then
  "$TOOL" -i "${files[@]}"
  echo "check-format: reformatted ${#files[@]} files"
  exit 0
fi

bad=()
for f in "${files[@]}"; do
  "$TOOL" --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ "${#bad[@]}" -gt 0 ]; then
  echo "check-format: ${#bad[@]} of ${#files[@]} files differ from .clang-format (fix: bash scripts/check-format.sh --fix):"
  printf '  %s\n' "${bad[@]}"
  exit 1
fi
echo "check-format: ${#files[@]} files formatted ($("$TOOL" --version))"
