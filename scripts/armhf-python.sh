#!/usr/bin/env bash
# Debian 12's armhf CPython 3.11 and PyPy under qemu-arm: scripts/target-root.sh for
# that one target, under the names the Makefile, CI and the benchmarks use.
#
#   armhf-python.sh root              unpack the interpreters into $ARMHF_ROOT (cached)
#   armhf-python.sh build             cross-build the armhf modules (every release's)
#   armhf-python.sh test pypy3|python3.11 [pytest args...]
#                                     run tests/python under that interpreter
#   armhf-python.sh run pypy3|python3.11 script [args...]
#                                     run a script under that interpreter with the module
set -euo pipefail
ROOTS="$(cd "$(dirname "$0")" && pwd)/target-root.sh"
cmd="${1:-}"
shift || true
case "$cmd" in
  root) exec bash "$ROOTS" root bookworm armhf ;;
  build) exec bash "$ROOTS" build armhf ;;
  test | run) exec bash "$ROOTS" "$cmd" bookworm armhf "$@" ;;
  *) echo "usage: $0 root | build | test pypy3|python3.11 [pytest args...] | run pypy3|python3.11 script [args...]" >&2; exit 2 ;;
esac
