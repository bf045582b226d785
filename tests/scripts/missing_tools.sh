#!/usr/bin/env bash
# Every script stops before its first step when a tool it needs is missing,
# naming the tool and the command that installs it. The tools are stand-ins
# (empty programs) on a PATH of their own, one of them left out per case.
#   missing_tools.sh REPO
set -euo pipefail
repo="$(realpath "$1")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
for tool in bash dirname basename realpath mktemp awk cat; do ln -s "$(command -v "$tool")" "$work/bin/$tool"; done
TOOLS=(mmdebstrap dpkg-deb flock sha256sum cmake ninja ccache aarch64-linux-gnu-g++ ctest qemu-aarch64-static
  unshare cpack dpkg-shlibdeps fakeroot lintian aarch64-linux-gnu-objdump readelf nm ldd chroot findmnt)

failures=0
# check TOOL-LEFT-OUT INSTALL-COMMAND SCRIPT [ARGUMENTS...]
check() {
  local hidden="$1" install="$2" script="$3" tool out rc
  shift 3
  rm -rf "$work/stubs"
  mkdir "$work/stubs"
  for tool in "${TOOLS[@]}"; do
    [ "$tool" = "$hidden" ] && continue
    printf '#!/bin/sh\nexit 0\n' >"$work/stubs/$tool"
    chmod +x "$work/stubs/$tool"
  done
  rc=0
  out="$(KAVREL_CACHE="$work/cache" PATH="$work/stubs:$work/bin" bash "$repo/scripts/$script" "$@" 2>&1)" || rc=$?
  if [ "$rc" -eq 0 ] || ! grep -qxF "$script: $hidden not installed; install with: $install" <<<"$out"; then
    printf 'FAIL: %s %s without %s (exit %s) said:\n%s\n' "$script" "$*" "$hidden" "$rc" "$out"
    failures=$((failures + 1))
  else
    printf 'ok: %s %s names %s and "%s"\n' "$script" "$*" "$hidden" "$install"
  fi
}

check mmdebstrap "scripts/install-deps.sh board" cross-arm64.sh sysroot
check aarch64-linux-gnu-g++ "scripts/install-deps.sh board" cross-arm64.sh build
check ninja "scripts/install-deps.sh" cross-arm64.sh all
check qemu-aarch64-static "scripts/install-deps.sh board" cross-arm64.sh test
check lintian "scripts/install-deps.sh board" cross-arm64.sh package
check lintian "scripts/install-deps.sh board" deb-package.sh "$work/no-build"
check mmdebstrap "scripts/install-deps.sh board" deb-install-test.sh "$work/none.deb"
check readelf "scripts/install-deps.sh" vendor-sdk-check.sh
check ctest "scripts/install-deps.sh" mutation-check.sh no-such-fault  # stops before touching a file
exit $((failures > 0))
