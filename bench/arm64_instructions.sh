#!/usr/bin/env bash
# Executed aarch64 instructions per distance table, per encode and per 12-wide subspace
# of centroid lanes (bench/centroid_lanes_bench.cpp), for a revision before (BEFORE,
# default main) and this tree after, counted under qemu-aarch64 by the armcount plugin;
# prints a Markdown table. Wall time under the emulator says little, counts repeat.
#
#   BEFORE=main BUILD=build bash bench/arm64_instructions.sh > bench/results/arm64_instructions.md
#
# The plugin knows the write system call's number on arm and x86-64 only; a copy is
# built here with aarch64's (64) added.
set -euo pipefail

HERE="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${BUILD:-build}"
case "$BUILD" in /*) ;; *) BUILD="$HERE/$BUILD" ;; esac
BEFORE="${BEFORE:-main}"
JOBS="${JOBS:-2}"
ARMCOUNT="${ARMCOUNT:-$HERE/../shared/tools/armcount}"
SYSROOT=/usr/aarch64-linux-gnu
WORK="$BUILD/arm64-instructions"
mkdir -p "$WORK/plugin"

cp "$ARMCOUNT/armcount.c" "$ARMCOUNT/qemu-plugin.h" "$WORK/plugin/"
sed -i 's|        if (strcmp(info->target_name, "x86_64") == 0) {|        if (strcmp(info->target_name, "aarch64") == 0) {\n            nr_write = 64;\n            nr_getpid = 172;\n        } else if (strcmp(info->target_name, "x86_64") == 0) {|' \
  "$WORK/plugin/armcount.c"
grep -q '"aarch64"' "$WORK/plugin/armcount.c" || { echo "arm64_instructions: could not add aarch64 to the plugin" >&2; exit 1; }
"${CC:-cc}" -O2 -fPIC -shared -I"$WORK/plugin" -o "$WORK/plugin/libarmcount.so" "$WORK/plugin/armcount.c"

# The revision before, with this tree's benchmark program (it uses only interfaces both
# have), in directories named by its commit: archived files keep the commit's time, so
# a build tree must never see another revision's sources.
before_sha="$(git -C "$HERE" rev-parse --short "$BEFORE")"
before_src="$WORK/before-$before_sha-src"
rm -rf "$before_src" && mkdir -p "$before_src"
git -C "$HERE" archive "$before_sha" | tar -x -C "$before_src"
cp "$HERE/bench/centroid_lanes_bench.cpp" "$before_src/bench/"

count() {  # side source-dir: builds in $WORK/side, counts into $WORK/side.marks
  local side="$1" src="$2"
  cmake -S "$src" -B "$WORK/$side" -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/arm64-toolchain.cmake" -DTOVIK_BUILD_MODULE=OFF \
    -DTOVIK_BUILD_TESTS=OFF -DTOVIK_BUILD_BENCH=ON >/dev/null
  cmake --build "$WORK/$side" -j "$JOBS" --target centroid_lanes_bench >/dev/null
  rm -f "$WORK/$side.marks"
  qemu-aarch64 -L "$SYSROOT" -E LD_LIBRARY_PATH="$SYSROOT/lib" \
    -plugin "$WORK/plugin/libarmcount.so,fd=1019,out=$WORK/$side.marks" "$WORK/$side/centroid_lanes_bench" >&2
}
count "before-$before_sha" "$before_src"
count after "$HERE"

python3 - "$WORK/before-$before_sha.marks" "$WORK/after.marks" "$BEFORE" "$before_sha" \
  "$(git -C "$HERE" rev-parse --short HEAD)" <<'EOF'
import re, sys
CALLS = 200  # centroid_lanes_bench's calls per section
SECTIONS = [(3, "distance table, 384 floats (32 subspaces x 256 centroids)"), (5, "encode, 384 floats"),
            (7, "l2sq_lanes_f32, one 12-wide subspace (256 centroids)"),
            (9, "l2sq_lanes_f32_portable, the same")]

def per_call(path):
    total = {}
    for line in open(path):
        m = re.match(r"armcount mark tag=(\d+) .* total=(\d+)", line)
        if m:
            total[int(m.group(1))] = int(m.group(2))
    marker = total[2] - total[1]
    return {tag: (total[tag + 1] - total[tag] - marker) / CALLS for tag, _ in SECTIONS}

before, after = per_call(sys.argv[1]), per_call(sys.argv[2])
print("# aarch64 instructions per call\n")
before_name, before_sha, after_sha = sys.argv[3:6]
print("Executed guest instructions per call under qemu-aarch64 (armcount plugin), %d calls a section,"
      " the marker pair's own cost subtracted; before = %s (%s), after = %s; default build (-O2)."
      % (CALLS, before_name, before_sha, after_sha))
print("\n```sh\nBEFORE=%s bash bench/arm64_instructions.sh > bench/results/arm64_instructions.md\n```\n"
      % before_name)
print("| call | before | after | after / before |\n|---|---|---|---|")
for tag, name in SECTIONS:
    print("| %s | %s | %s | %.2f |" % (name, format(round(before[tag]), ","), format(round(after[tag]), ","),
                                     after[tag] / before[tag]))
EOF
