#!/usr/bin/env bash
# The terminal for the arm64 board, built on this machine and tested under
# user-mode emulation:
#
#   scripts/cross-arm64.sh [sysroot|build|test|package|all]   (default: all)
#
# sysroot  a Debian 12 arm64 tree with the project's -dev packages, cached in
#          $KAVREL_CACHE (default /var/cache/kavrel) and reused while its
#          package list is unchanged
# build    cross-compiles everything with ccache into build/arm64
# test     runs the suite with qemu-aarch64-static (tests that need an X
#          server or OpenGL, or start child programs, are listed as skipped)
# package  the arm64 .deb into build/arm64/packages
#
# Every step is bounded by a time-out, so a stuck download or a hung test
# fails the run instead of stalling it.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="${KAVREL_CACHE:-/var/cache/kavrel}"
build_dir="$repo/build/arm64"
jobs="${KAVREL_BUILD_JOBS:-2}"
step="${1:-all}"
# shellcheck source=debian-mirror.sh
. "$repo/scripts/debian-mirror.sh"
# shellcheck source=require-tools.sh
. "$repo/scripts/require-tools.sh"

# What the cross build links and the tests load: the native build's libraries,
# plus the C library and OpenCV's BLAS/LAPACK, whose links we make ourselves.
mapfile -t SYSROOT_PACKAGES < <("$repo/scripts/install-deps.sh" --print-libraries)
SYSROOT_PACKAGES=(libc6-dev libstdc++-12-dev "${SYSROOT_PACKAGES[@]}" libblas3 liblapack3)
SUITE=bookworm

log() { printf '== %s\n' "$*" >&2; }
die() { printf 'cross-arm64.sh: %s\n' "$*" >&2; exit 1; }

sysroot_path() {
  local key
  key="$(printf '%s\n' "$SUITE" "${SYSROOT_PACKAGES[@]}" | sha256sum | cut -c1-12)"
  echo "$cache/sysroot-arm64-$key"
}

# Extract mode runs no maintainer scripts and leaves absolute symbolic links:
# make them relative so nothing inside the tree points at the host's files,
# and add the BLAS/LAPACK links that update-alternatives would have made.
finish_sysroot() {
  local root="$1" link target
  while IFS= read -r -d '' link; do
    target="$(readlink "$link")"
    ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$root$target")" "$link"
  done < <(find "$root" -type l -lname '/*' -print0)
  local libdir="$root/usr/lib/aarch64-linux-gnu" lib found
  for lib in libblas.so.3 liblapack.so.3; do
    [ -e "$libdir/$lib" ] && continue
    found="$(cd "$libdir" && find . -mindepth 2 -name "$lib" | sort | head -n1)"
    [ -n "$found" ] || die "$lib is not in the sysroot"
    ln -sfn "${found#./}" "$libdir/$lib"
  done
}

# dpkg-shlibdeps learns which package ships a library, and that package's
# shlibs and symbols files, from a dpkg database, which extract mode does not
# write. Build one from the downloaded packages, with every path as the host
# sees it (the tree's prefix in front), for the arm64 package's Depends.
make_shlibs_db() {
  local root="$1" final_root="$2" db="$1/var/lib/kavrel-dpkg" deb name control
  rm -rf "$db"
  mkdir -p "$db/info" "$db/updates"
  : >"$db/status"
  echo 1 >"$db/info/format"  # info files named <package>:<arch>
  control="$(mktemp -d)"
  for deb in "$root"/var/cache/apt/archives/*.deb; do
    name="$(dpkg-deb --field "$deb" Package)"
    [ "$(dpkg-deb --field "$deb" Multi-Arch)" = same ] && name="$name:arm64"
    { dpkg-deb --field "$deb"; echo "Status: install ok installed"; echo; } >>"$db/status"
    dpkg-deb --fsys-tarfile "$deb" | tar -t \
      | sed -e 's|^\.||' -e 's|/$||' -e '/^$/d' -e "s|^|$final_root|" >"$db/info/$name.list"
    rm -rf "${control:?}"/*
    dpkg-deb --control "$deb" "$control"
    for f in shlibs symbols; do
      if [ -f "$control/$f" ]; then cp "$control/$f" "$db/info/$name.$f"; fi
    done
  done
  rm -rf "$control"
  rm -f "$root"/var/cache/apt/archives/*.deb
}

make_sysroot() {
  local root
  root="$(sysroot_path)"
  mkdir -p "$cache"
  exec 9>"$cache/sysroot-arm64.lock"
  flock 9  # two runs at once share one download
  if [ -f "$root/.complete" ] && [ -s "$root/var/lib/kavrel-dpkg/status" ]; then
    log "sysroot: reusing $root"
    return
  fi
  local tmp="$root.partial" mirror
  mirror="$(debian_mirror)"
  rm -rf "$tmp" "$root"
  log "sysroot: mmdebstrap arm64 $SUITE from $mirror into $root"
  timeout 1800 mmdebstrap --quiet --variant=extract --architectures=arm64 --skip=cleanup/apt/cache \
    --include="$(IFS=,; echo "${SYSROOT_PACKAGES[*]}")" "$SUITE" "$tmp" "$mirror" \
    || die "mmdebstrap failed (network, archive or disk); nothing was cached"
  finish_sysroot "$tmp"
  make_shlibs_db "$tmp" "$root"
  printf '%s\n' "${SYSROOT_PACKAGES[@]}" >"$tmp/.complete"
  mv "$tmp" "$root"
  # Older trees (another package list) are dead weight of 1.3 GB each.
  find "$cache" -maxdepth 1 -name 'sysroot-arm64-*' ! -path "$root" -exec rm -rf {} +
}

cross_build() {
  export KAVREL_ARM64_SYSROOT
  KAVREL_ARM64_SYSROOT="$(sysroot_path)"
  [ -f "$KAVREL_ARM64_SYSROOT/.complete" ] || make_sysroot
  export CCACHE_BASEDIR="$repo"
  log "build: arm64 into $build_dir"
  # A configured tree remembers the old sysroot's paths, which a new package
  # list deletes: configure it afresh (ccache keeps the rebuild quick).
  local stamp="$build_dir/kavrel-sysroot"
  if [ -f "$build_dir/CMakeCache.txt" ] && [ "$(cat "$stamp" 2>/dev/null)" != "$KAVREL_ARM64_SYSROOT" ]; then
    log "build: the sysroot changed, configuring $build_dir afresh"
    rm -rf "$build_dir/CMakeCache.txt" "$build_dir/CMakeFiles"
  fi
  cmake -S "$repo" -B "$build_dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/aarch64-linux-gnu.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
    -DKAVREL_BUILD_BENCH=ON -DCMAKE_INSTALL_PREFIX=/usr -DKAVREL_WERROR="${KAVREL_WERROR:-OFF}" >/dev/null
  echo "$KAVREL_ARM64_SYSROOT" >"$stamp"
  timeout 3600 cmake --build "$build_dir" -j "$jobs" || die "arm64 build failed or took over an hour"
}

cross_test() {
  export KAVREL_ARM64_SYSROOT
  KAVREL_ARM64_SYSROOT="$(sysroot_path)"
  # Qt loads its platform plugin (offscreen) from the tree, under emulation.
  export QT_PLUGIN_PATH="$KAVREL_ARM64_SYSROOT/usr/lib/aarch64-linux-gnu/qt5/plugins"
  export QT_QPA_PLATFORM=offscreen
  # Emulation is several times slower than the board: longer per-test limits.
  log "test: arm64 suite under qemu-aarch64-static"
  local start=$SECONDS
  # In a PID namespace of its own: a child process that the emulator gets wrong
  # (a garbage pid given to kill) can reach nothing outside the test run.
  unshare --pid --fork --kill-child --mount-proc \
    ctest --test-dir "$build_dir" -j "$jobs" --output-on-failure --timeout 900 --stop-time \
    "$(date -d '+50 min' +%H:%M:%S)" "$@"
  log "test: arm64 suite took $((SECONDS - start)) s"
}

cross_package() {
  local root tools="$build_dir/package-tools"
  root="$(sysroot_path)"
  # CPack calls dpkg-shlibdeps by name: this one reads the tree's database
  # and arm64 objects (aarch64-linux-gnu-objdump).
  mkdir -p "$tools"
  cat >"$tools/dpkg-shlibdeps" <<SH
#!/bin/sh
exec env DEB_HOST_ARCH=arm64 /usr/bin/dpkg-shlibdeps --admindir="$root/var/lib/kavrel-dpkg" \\
  -l"$root/usr/lib/aarch64-linux-gnu" -l"$root/lib/aarch64-linux-gnu" "\$@"
SH
  chmod +x "$tools/dpkg-shlibdeps"
  log "package: arm64 .deb"
  PATH="$tools:$PATH" "$repo/scripts/deb-package.sh" "$build_dir"
}

# Each step's tools, checked before anything starts: a missing one is named
# with its install command instead of surfacing as a failed download or build.
need_sysroot() { require_tools board mmdebstrap dpkg-deb flock sha256sum; }
need_build() { require_tools "" cmake ninja ccache && require_tools board aarch64-linux-gnu-g++; }
need_test() { require_tools "" ctest && require_tools board qemu-aarch64-static unshare; }
need_package() { require_tools "" cpack && require_tools board dpkg-shlibdeps fakeroot lintian aarch64-linux-gnu-objdump; }
case "$step" in
  sysroot) need_sysroot ;;
  build) need_sysroot; need_build ;;
  test) need_test ;;
  package) need_package ;;
  all) need_sysroot; need_build; need_test; need_package ;;
esac

case "$step" in
  sysroot) make_sysroot ;;
  build) cross_build ;;
  test) shift; cross_test "$@" ;;
  package) cross_package ;;
  all) make_sysroot; cross_build; cross_test; cross_package ;;
  *) die "unknown step '$step'" ;;
esac
