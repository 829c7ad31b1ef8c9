#!/usr/bin/env bash
# armhf CPython and PyPy under qemu-arm: scripts/target-root.sh for one armhf target,
# under the names the Makefile, CI and the benchmarks use. The target is Debian 12's
# (build/armhf-root, build/armhf-py) on a machine that can build for it, else the oldest
# armhf release this machine builds for (Debian 13's on Debian 13); ARMHF_RELEASE
# chooses another.
#
#   armhf-python.sh root              unpack the interpreters (cached)
#   armhf-python.sh build             cross-build the armhf modules (every release's)
#   armhf-python.sh test pypy3|python3|python3.X [pytest args...]
#                                     run tests/python under that interpreter
#   armhf-python.sh run pypy3|python3|python3.X script [args...]
#                                     run a script under that interpreter with the module
set -euo pipefail
HERE="$(cd "$(dirname "$0")" && pwd)"
ROOTS="$HERE/target-root.sh"
# shellcheck source=targets.sh
. "$HERE/targets.sh"
RELEASE="${ARMHF_RELEASE:-$(target_list_buildable | awk '$2 == "armhf" { print $1; exit }')}"
cmd="${1:-}"
shift || true
case "$cmd" in
  root) exec bash "$ROOTS" root "$RELEASE" armhf ;;
  build) exec bash "$ROOTS" build armhf ;;
  test | run) exec bash "$ROOTS" "$cmd" "$RELEASE" armhf "$@" ;;
  *) echo "usage: $0 root | build | test pypy3|python3 [pytest args...] | run pypy3|python3 script [args...]" >&2; exit 2 ;;
esac
