#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (clang, AddressSanitizer, UBSan) and
# runs each for a bounded time, default 60 s:
#
#   scripts/fuzz.sh [seconds per target] [target...]
#
# Seeds and the corpus kept so far are in fuzz/corpus/<target>/ (read only
# here; new inputs go to build/fuzz/corpus/<target>/). Reproducers of crashes
# found before are in fuzz/crashes/<target>/ and are replayed first, so a fixed
# crash stays fixed. A crash, a time-out (10 s an input) or more than 1 GB of
# memory fails the run and leaves its reproducer in fuzz/crashes/<target>/.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_meta_yaml fuzz_manifest fuzz_imu_lines fuzz_image_header fuzz_session)
"$repo/scripts/install-deps.sh" fuzz
cd "$repo"
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S fuzz -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "${launcher[@]}" >/dev/null
cmake --build build/fuzz -j "${KAVREL_BUILD_JOBS:-2}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0:allocator_may_return_null=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
failed=0
for target in "${targets[@]}"; do
  corpus="fuzz/corpus/$target" crashes="fuzz/crashes/$target" work="build/fuzz/corpus/$target"
  mkdir -p "$work" "$crashes"
  log="build/fuzz/$target.log"
  reproducers=("$crashes"/*)
  if [ -e "${reproducers[0]}" ] && ! "build/fuzz/$target" -timeout=10 -rss_limit_mb=1024 "${reproducers[@]}" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz: $target: a kept reproducer fails again" >&2
    failed=1
    continue
  fi
  start=$SECONDS
  if "build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -malloc_limit_mb=512 -max_len=16384 \
      -print_final_stats=1 -artifact_prefix="$crashes/" "$work" "$corpus" >"$log" 2>&1; then
    verdict="no crash"
  else
    verdict="FAILED (reproducer in $crashes/)"
    tail -n 60 "$log"
    failed=1
  fi
  runs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')"
  coverage="$(grep -o 'cov: [0-9]*' "$log" | tail -n1 | grep -o '[0-9]*' || echo '?')"
  echo "fuzz: $target: $((SECONDS - start)) s, $runs inputs, coverage $coverage edges, $(ls "$work" | wc -l) new corpus inputs: $verdict"
done
exit "$failed"
