#!/usr/bin/env bash
# Private roots of Debian's own interpreters for each target of scripts/targets.txt, the
# modules built against their headers, and the commands that run them.
#
#   target-root.sh root RELEASE ARCH        unpack the root (cached): both interpreters,
#                                           the C and C++ runtimes, their headers, pip and
#                                           pytest from that release, and no CRoaring
#   target-root.sh build ARCH               build the module for every interpreter of
#                                           every release on ARCH, with one core
#   target-root.sh command RELEASE ARCH INTERP
#                                           print the command that runs INTERP (its
#                                           CPython, e.g. python3.13 or just python3, or
#                                           pypy3) of the root
#   target-root.sh test RELEASE ARCH INTERP [pytest args...]
#                                           run tests/python against the built module
#   target-root.sh run RELEASE ARCH INTERP script [args...]
#                                           run a script with the built module
#
# A root is unpacked (not installed) from the release's packages for its architecture,
# resolved by apt with a configuration of its own under $BUILD/apt (own sources list,
# package lists and cache, Debian's archive keyring): the machine's apt sources and
# state are never read or changed. ARM programs start through qemu-arm/qemu-aarch64 -L
# ROOT (binfmt is never relied upon); x86-64 ones through the root's own loader, so a
# newer release's interpreter runs on its own C library.
set -euo pipefail

HERE="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${BUILD:-build}"
case "$BUILD" in /*) ;; *) BUILD="$HERE/$BUILD" ;; esac
JOBS="${JOBS:-2}"
CMAKE="${CMAKE:-cmake}"
MIRROR="${DEBIAN_MIRROR:-http://deb.debian.org}"
KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg
# shellcheck source=targets.sh
. "$HERE/scripts/targets.sh"

log() { echo "target-root: $*" >&2; }

# What the interpreters need at run time, their headers, pip and pytest. PyPy's
# pypy_decl.h is generated per architecture and ships in the arch's pypy3 package
# (pypy3-dev, arch all, holds the rest); a module built against another architecture's
# copy loads but truncates 64-bit integers.
root_packages() {
  local v="${T_CPYTHON#python}"
  echo pypy3 pypy3-lib pypy3-dev "$T_CPYTHON-minimal" "libpython$v" "libpython$v-minimal" \
    "libpython$v-stdlib" "libpython$v-dev" libstdc++6 libc6 python3-pip python3-pytest
}

# The private apt of a release and architecture: apt-get/apt-cache with APT_CONFIG.
apt_dir() { echo "$BUILD/apt/$T_RELEASE-$T_ARCH"; }
papt() { APT_CONFIG="$(apt_dir)/apt.conf" "$@"; }

apt_setup() {
  local dir
  dir="$(apt_dir)"
  [ -f "$dir/apt.conf" ] && return 0
  mkdir -p "$dir"/{etc/apt.conf.d,etc/preferences.d,etc/sources.list.d,etc/trusted.gpg.d,lists/partial}
  mkdir -p "$dir/cache/archives/partial"
  : >"$dir/status"
  local opts="[arch=$T_ARCH signed-by=$KEYRING]"
  cat >"$dir/etc/sources.list" <<EOF
deb $opts $MIRROR/debian $T_RELEASE main
deb $opts $MIRROR/debian $T_RELEASE-updates main
deb $opts $MIRROR/debian-security $T_RELEASE-security main
EOF
  cat >"$dir/apt.conf.tmp" <<EOF
Dir::Etc "$dir/etc";
Dir::Etc::SourceList "$dir/etc/sources.list";
Dir::Etc::SourceParts "$dir/etc/sources.list.d";
Dir::Etc::Parts "$dir/etc/apt.conf.d";
Dir::Etc::PreferencesParts "$dir/etc/preferences.d";
Dir::Etc::TrustedParts "$dir/etc/trusted.gpg.d";
Dir::State "$dir";
Dir::State::Lists "$dir/lists";
Dir::State::status "$dir/status";
Dir::Cache "$dir/cache";
APT::Architecture "$T_ARCH";
APT::Architectures { "$T_ARCH"; };
Acquire::Languages "none";
APT::Sandbox::User "root";
EOF
  mv "$dir/apt.conf.tmp" "$dir/apt.conf"
}

# A mirror caught mid-sync fails one index (seen: bookworm-security's armhf list) while
# the rest is fine: go on with what was fetched and let the download decide.
apt_update() {
  papt apt-get update -qq || log "apt-get update reported errors; going on with the lists it fetched"
}

# The requested packages with every run-time library and pure-Python module they
# depend on, resolved by apt. Tools (dpkg, perl) and the -dev packages that the headers
# drag in are of no use to a root that runs two interpreters.
resolve_packages() {
  local deps
  # shellcheck disable=SC2046 # one name per word
  deps="$(papt apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
      --no-breaks --no-replaces --no-enhances $(root_packages) | grep -v '^ ' | grep -v '^<' | sort -u)"
  {
    root_packages | tr ' ' '\n'
    # shellcheck disable=SC2086
    papt apt-cache show --no-all-versions $deps |
      awk '/^Package:/ { p = $2 } /^Architecture:/ { a = $2 }
           /^Multi-Arch: same/ { print p } /^$/ { if (a == "all" && p ~ /^python3-/) print p; a = "" }' |
      grep -v -- '-dev$' | grep -v -e '^python3-dev' -e 'roaring'
  } | sort -u
}

# Downloads and unpacks into a fresh directory, then moves it into place, so an
# interrupted run never leaves a root that looks complete. The stamp's first line is
# the request; a changed request rebuilds the root.
make_root() {
  local root stamp request want
  root="$(target_root)"
  stamp="$root/.tovik-root-complete"
  request="$T_RELEASE $T_ARCH $(root_packages)"
  if [ -f "$stamp" ] && [ "$(head -n 1 "$stamp")" = "$request" ]; then
    return 0
  fi
  apt_setup
  [ -n "$(ls "$(apt_dir)/lists" | grep _Packages || true)" ] || apt_update
  want="$(resolve_packages)"
  local tmp="$root.tmp" debs="$root.debs"
  rm -rf "$tmp" "$debs" "$root"
  mkdir -p "$tmp" "$debs"
  log "$T_RELEASE $T_ARCH: downloading $(echo "$want" | wc -w) packages"
  # shellcheck disable=SC2086
  if ! (cd "$debs" && papt apt-get download -qq $want >/dev/null); then
    log "download failed; refreshing the package lists and trying again"
    apt_update
    rm -f "$debs"/*.deb
    # shellcheck disable=SC2086
    (cd "$debs" && papt apt-get download -qq $want >/dev/null)
  fi
  # Laid out merged like the host (/lib a link to usr/lib): qemu falls back to the
  # host's file for any path missing in the root, and the loader tries /lib/<triplet>
  # first, where the host may keep libraries of the same architecture.
  local dir deb
  for dir in lib bin sbin lib64; do
    mkdir -p "$tmp/usr/$dir" && ln -s "usr/$dir" "$tmp/$dir"
  done
  for deb in "$debs"/*.deb; do
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$tmp" --keep-directory-symlink
  done
  # The root's own, empty, loader cache: its loader then finds libraries by its search
  # path alone instead of by the entries of the host's cache.
  mkdir -p "$tmp/etc" && : >"$tmp/etc/ld.so.cache"
  rm -rf "$debs"
  mv "$tmp" "$root"
  printf '%s\n' "$request" "$want" >"$stamp"
  log "root ready in $root ($(du -sh "$root" | cut -f1))"
}

# The command (a word list) that starts INTERP of the loaded target's root.
interp_command() {
  local root interp="$1"
  root="$(target_root)"
  case "$interp" in
    "$T_CPYTHON") ;;
    pypy3) interp="$(readlink "$root/usr/bin/pypy3")" ; interp="${interp##*/}" ;;
    *) log "unknown interpreter '$1' ($T_CPYTHON or pypy3)"; exit 2 ;;
  esac
  if [ -n "$T_QEMU" ]; then
    echo "$T_QEMU -L $root $root/usr/bin/$interp"
  else
    # The root's loader and libraries, whatever the host's C library is; what the root
    # lacks (CRoaring, for a module of the build tree) comes from the host's directory,
    # as qemu falls back to the host's files for the ARM roots.
    echo "$root/usr/lib64/ld-linux-x86-64.so.2 --library-path $root/usr/lib/$T_TRIPLET:/usr/lib/$T_TRIPLET" \
      "$root/usr/bin/$interp"
  fi
}

# The suffix the interpreter itself looks for, asked once and remembered in the root.
ext_suffix() {
  local cache
  cache="$(target_root)/.tovik-ext-suffix-$1"
  if [ ! -s "$cache" ]; then
    # shellcheck disable=SC2046
    $(interp_command "$1") -S -c "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))" >"$cache.tmp"
    mv "$cache.tmp" "$cache"
  fi
  cat "$cache"
}

# Every module of ARCH from one core: name|include dirs (comma-separated)|suffix|dir
# entries for CMake's TOVIK_MODULES.
build_arch() {
  local arch="$1" release modules=() root include
  for release in $(target_list_buildable | awk -v a="$arch" '$2 == a { print $1 }'); do
    target_load "$release" "$arch"
    make_root
    root="$(target_root)"
    # The CPython header set is a multiarch wrapper that includes
    # <triplet/python3.X/pyconfig.h>, hence the root's include directory too.
    include="$root/usr/include/$T_CPYTHON,$root/usr/include"
    modules+=("${release}_cpython|$include|$(ext_suffix "$T_CPYTHON")|$(target_module_dir "$T_CPYTHON")")
    modules+=("${release}_pypy|$root/usr/include/$T_PYPY|$(ext_suffix pypy3)|$(target_module_dir pypy3)")
  done
  [ "${#modules[@]}" -gt 0 ] || { log "no target on $arch"; exit 2; }
  local toolchain=()
  [ -z "$T_QEMU" ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE="$HERE/cmake/$arch-toolchain.cmake")
  local IFS=';'
  "$CMAKE" -S "$HERE" -B "$(target_build_dir)" "${toolchain[@]}" \
    -DTOVIK_BUILD_TESTS=OFF -DTOVIK_MODULES="${modules[*]}" >/dev/null
  unset IFS
  "$CMAKE" --build "$(target_build_dir)" -j "$JOBS"
}

require_root() {
  [ -f "$(target_root)/.tovik-root-complete" ] || { log "no root in $(target_root); run '$0 build $T_ARCH' first"; exit 2; }
}

# The release's CPython by its versioned name, whichever name was given.
interp_name() {
  if [ "$1" = python3 ]; then echo "$T_CPYTHON"; else echo "$1"; fi
}

run_tests() {
  local interp command
  interp="$(interp_name "$1")"
  shift
  require_root
  command="$(interp_command "$interp")"
  cd "$HERE"
  # -S keeps site directories (and their .pth hooks) out; the module's directory and
  # the root's pytest come in by path (by its real path: qemu-user 7.2 does not look
  # statx paths up in the -L root). Tests that start a child interpreter start it the
  # same way; emulated targets tell the suite so (slow paths, the emulator's limits).
  # shellcheck disable=SC2086 # the command is a word list
  env TOVIK_PYTHON_CMD="$command -S" PYTEST_DISABLE_PLUGIN_AUTOLOAD=1 ${T_QEMU:+TOVIK_TARGET=$T_ARCH} \
    PYTHONPATH="$(target_module_dir "$interp"):$(target_root)/usr/lib/python3/dist-packages" \
    $command -S -m pytest -q -p no:cacheprovider "$@" tests/python
}

run_script() {
  local interp
  interp="$(interp_name "$1")"
  shift
  require_root
  # shellcheck disable=SC2046
  PYTHONPATH="$(target_module_dir "$interp")" $(interp_command "$interp") -S "$@"
}

cmd="${1:-}"
shift || true
case "$cmd" in
  root) target_load "$1" "$2" && make_root ;;
  build) build_arch "$1" ;;
  command) target_load "$1" "$2" && require_root && interp_command "$(interp_name "$3")" ;;
  test) target_load "$1" "$2" && shift 2 && run_tests "$@" ;;
  run) target_load "$1" "$2" && shift 2 && run_script "$@" ;;
  *) echo "usage: $0 root RELEASE ARCH | build ARCH | command RELEASE ARCH INTERP" \
          "| test RELEASE ARCH INTERP [pytest args] | run RELEASE ARCH INTERP script [args]" >&2; exit 2 ;;
esac
