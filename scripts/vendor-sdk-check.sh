#!/usr/bin/env bash
# The road a board with the camera vendor's SDK takes, proven here: our
# simulated camera is installed in the vendor's layout (include/libobsensor,
# lib/libOrbbecSDK.so.2, lib/cmake/OrbbecSDK), the terminal is configured with
# -DKAVREL_USE_VENDOR_OBSDK=ON against it, and the capture tests run on it.
# Needs the release build (scripts/build.sh release) for the stand-in library.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
native="$repo/build/release"
sdk_root="$repo/build/vendor-sdk-root"
build_dir="$repo/build/vendor-sdk"
jobs="${KAVREL_BUILD_JOBS:-2}"
export CCACHE_BASEDIR="$repo"

die() { printf 'vendor-sdk-check.sh: %s\n' "$*" >&2; exit 1; }
# shellcheck source=require-tools.sh
. "$repo/scripts/require-tools.sh"
require_tools "" cmake ninja readelf nm ldd

[ -f "$native/build.ninja" ] || die "no release build in $native (run scripts/build.sh release)"
cmake --build "$native" --target kavrel_obsdk_standin
rm -rf "$sdk_root"
cmake --install "$native" --component obsdk_standin --prefix "$sdk_root" >/dev/null
for f in include/libobsensor/ObSensor.hpp lib/libOrbbecSDK.so.2 lib/cmake/OrbbecSDK/OrbbecSDKConfig.cmake; do
  [ -e "$sdk_root/$f" ] || die "the SDK layout lacks $f"
done

launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$repo" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVREL_BUILD_BENCH=OFF \
  -DKAVREL_USE_VENDOR_OBSDK=ON -DOrbbecSDK_ROOT="$sdk_root" -DKAVREL_WERROR="${KAVREL_WERROR:-OFF}" \
  "${launcher[@]}" >/dev/null
tests=(camera_manager_tests sdk_sim_tests capture_page_tests)
timeout 2400 cmake --build "$build_dir" -j "$jobs" --target kavrel "${tests[@]}"

# The program must load the SDK by the vendor's file name, from the SDK root.
# (Output is captured first: grep -q would end the pipe early under pipefail.)
dynamic="$(readelf -d "$build_dir/app/kavrel")"
grep -q 'NEEDED.*\[libOrbbecSDK\.so\.2\]' <<<"$dynamic" || die "kavrel does not link libOrbbecSDK.so.2"
symbols="$(nm "$build_dir/app/kavrel")"
grep -qE ' T ob_create_pipeline$' <<<"$symbols" && die "kavrel carries its own copy of the SDK"

export QT_QPA_PLATFORM=offscreen
for t in "${tests[@]}"; do
  binary="$(find "$build_dir/tests" -type f -name "$t" -perm -u+x | head -n1)"
  [ -n "$binary" ] || die "$t was not built"
  libraries="$(ldd "$binary")"
  grep -q "libOrbbecSDK.so.2 => $sdk_root/lib/" <<<"$libraries" || die "$t does not load the installed SDK"
  echo "== $t against $sdk_root"
  timeout 900 "$binary" --gtest_brief=1 || die "$t failed against the installed SDK"
done
echo "vendor SDK path: configured, linked and tested"
