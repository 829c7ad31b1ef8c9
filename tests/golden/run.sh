#!/usr/bin/env bash
# Runs tests/golden/scenario.py under several interpreters and architectures and
# requires the result files, and the standard outputs, to be byte for byte the same.
#
#   run.sh OUTDIR    (from the repository root)
#
# The runs: by default x86-64 CPython and PyPy with the build trees' modules and armhf
# CPython and PyPy under qemu-arm (scripts/armhf-python.sh). GOLDEN_RUNNERS names a file
# of "name<TAB>command" lines instead (scripts/test-wheels.sh: every target's interpreters
# with their installed wheels).
#
# Environment: PYTHON, PYPY, HOST_DIR, PYPY_DIR (module directories), ARMHF_PYTHON
# (the command that runs scripts/armhf-python.sh), GOLDEN_RUNNERS.
set -uo pipefail

OUT="${1:?usage: run.sh OUTDIR}"
PYTHON="${PYTHON:-python3}"
PYPY="${PYPY:-pypy3}"
HOST_DIR="${HOST_DIR:-build/host}"
PYPY_DIR="${PYPY_DIR:-build/pypy}"
ARMHF_PYTHON="${ARMHF_PYTHON:-bash scripts/armhf-python.sh}"
SCENARIO="$PWD/tests/golden/scenario.py"
# What the database itself prints: the quantization line, once.
EXPECTED_STDOUT="Activating quantization at 5000 vectors..."

declare -A COMMANDS
if [ -n "${GOLDEN_RUNNERS:-}" ]; then
  NAMES=()
  while IFS=$'\t' read -r name command; do
    NAMES+=("$name")
    COMMANDS[$name]="$command"
  done <"$GOLDEN_RUNNERS"
else
  NAMES=(x86-64-cpython x86-64-pypy armhf-cpython armhf-pypy)
  COMMANDS=([x86-64-cpython]="env PYTHONPATH=$PWD/$HOST_DIR $PYTHON -S"
            [x86-64-pypy]="env PYTHONPATH=$PWD/$PYPY_DIR $PYPY -S"
            [armhf-cpython]="env $ARMHF_PYTHON run python3"
            [armhf-pypy]="env $ARMHF_PYTHON run pypy3")
fi
[ "${#NAMES[@]}" -gt 1 ] || { echo "golden: fewer than two runs to compare" >&2; exit 2; }

rm -rf "$OUT" && mkdir -p "$OUT"

# One run: results in NAME.txt, standard output in NAME.stdout, seconds in NAME.time.
run_one() {
  local name="$1" start end
  start=$(date +%s)
  # shellcheck disable=SC2086 # the command is a word list
  ${COMMANDS[$name]} "$SCENARIO" "$OUT/$name.txt" "$OUT/$name.db" >"$OUT/$name.stdout" 2>"$OUT/$name.stderr"
  local rc=$?
  end=$(date +%s)
  echo "$((end - start))" >"$OUT/$name.time"
  return $rc
}

# The emulated runs take longest: all run at once.
pids=()
for name in "${NAMES[@]}"; do
  run_one "$name" &
  pids+=($!)
done
failed=0
for i in "${!NAMES[@]}"; do
  if ! wait "${pids[$i]}"; then
    echo "golden: ${NAMES[$i]} failed; its standard error:" >&2
    tail -n 20 "$OUT/${NAMES[$i]}.stderr" >&2
    failed=1
  fi
done
[ "$failed" = 0 ] || exit 1

for name in "${NAMES[@]}"; do
  echo "golden: $name $(cat "$OUT/$name.time") s, $(wc -l <"$OUT/$name.txt") lines"
  if [ "$(tail -n 1 "$OUT/$name.txt")" != "# END" ]; then
    echo "golden: $name stopped before the end of the scenario" >&2
    exit 1
  fi
  if [ "$(cat "$OUT/$name.stdout")" != "$EXPECTED_STDOUT" ]; then
    echo "golden: $name printed, instead of the one quantization line:" >&2
    head -c 2000 "$OUT/$name.stdout" >&2
    exit 1
  fi
done

# Every file against the first; on a difference, the first differing line of both.
reference="${NAMES[0]}"
for name in "${NAMES[@]:1}"; do
  if ! cmp -s "$OUT/$reference.txt" "$OUT/$name.txt"; then
    line=$(cmp "$OUT/$reference.txt" "$OUT/$name.txt" 2>&1 | sed -n 's/.* line \([0-9]*\).*/\1/p')
    line="${line:-$(($(wc -l <"$OUT/$reference.txt") + 1))}"  # one file is a prefix of the other
    echo "golden: FAILED: $name differs from $reference at line $line" >&2
    echo "  section:    $(head -n "$line" "$OUT/$reference.txt" | grep '^#' | tail -n 1)" >&2
    echo "  $reference: $(sed -n "${line}p" "$OUT/$reference.txt")" >&2
    echo "  $name: $(sed -n "${line}p" "$OUT/$name.txt")" >&2
    exit 1
  fi
done
echo "golden: all ${#NAMES[@]} result files are identical ($(wc -c <"$OUT/$reference.txt") bytes)"
