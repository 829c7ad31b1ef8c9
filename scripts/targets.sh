# Sourced by the build and test scripts: the table of scripts/targets.txt and the paths
# and commands that follow from a line of it.
#
#   target_list                  "release arch" for every line
#   target_list_buildable        the same for the releases this machine can build for
#   target_load RELEASE ARCH     sets T_RELEASE T_DEBIAN T_GLIBC T_ARCH T_TRIPLET T_MACHINE
#                                T_CPYTHON T_PYPY T_CP_TAG T_PP_TAG, and T_QEMU (empty when
#                                the host runs the target's code itself)
#   target_root / target_module_dir INTERP / target_build_dir   paths under $BUILD
#
# Debian 12's armhf paths keep the names they had before there were more targets
# (build/armhf-root, build/armhf-py): CI caches and the benchmarks use them.

TARGETS_FILE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/targets.txt"

target_list() { awk '!/^#/ && NF { print $1, $4 }' "$TARGETS_FILE"; }

# A module linked here needs at least this machine's C library (and C++ runtime), so a
# release with an older one cannot load it: on Debian 12 every target is buildable, on
# Debian 13 only Debian 13's.
target_list_buildable() {
  awk -v host="$(getconf GNU_LIBC_VERSION | awk '{ print $2 }')" '
    !/^#/ && NF { split($3, t, "."); split(host, h, ".")
                  if (t[1] > h[1] || (t[1] == h[1] && t[2] >= h[2])) print $1, $4 }' "$TARGETS_FILE"
}

target_load() {
  local line
  line="$(awk -v r="$1" -v a="$2" '!/^#/ && $1 == r && $4 == a' "$TARGETS_FILE")"
  if [ -z "$line" ]; then
    echo "targets: no target '$1 $2' in $TARGETS_FILE" >&2
    return 2
  fi
  read -r T_RELEASE T_DEBIAN T_GLIBC T_ARCH T_TRIPLET T_MACHINE T_CPYTHON T_PYPY T_CP_TAG T_PP_TAG <<<"$line"
  case "$T_ARCH" in
    armhf) T_QEMU=qemu-arm ;;
    arm64) T_QEMU=qemu-aarch64 ;;
    *) T_QEMU="" ;;
  esac
}

target_root() {
  if [ "$T_RELEASE-$T_ARCH" = bookworm-armhf ]; then echo "${ARMHF_ROOT:-$BUILD/armhf-root}"
  else echo "$BUILD/roots/$T_RELEASE-$T_ARCH"; fi
}

# Where the module for interpreter $1 (T_CPYTHON or pypy3) of the loaded target lands.
target_module_dir() {
  if [ "$T_RELEASE-$T_ARCH" = bookworm-armhf ]; then echo "${ARMHF_PY_DIR:-$BUILD/armhf-py}/$1"
  else echo "$BUILD/py/$T_RELEASE-$T_ARCH/$1"; fi
}

# One CMake tree per architecture builds the core once and a module per interpreter.
target_build_dir() { echo "$BUILD/modules-$T_ARCH"; }
