#!/usr/bin/env bash
# Installs the dependencies, then configures and builds one preset
# (release by default; asan and tsan for the sanitizer builds).
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
preset="${1:-release}"
"$repo/scripts/install-deps.sh"
cd "$repo"
export CCACHE_BASEDIR="$repo"  # cache hits across checkouts of the repo
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# CI sets KAVREL_WERROR=ON: a warning fails its build.
cmake --preset "$preset" "${launcher[@]}" -DKAVREL_WERROR="${KAVREL_WERROR:-OFF}" >/dev/null
# Two compile jobs: the machines have two cores.
cmake --build --preset "$preset" -j "${KAVREL_BUILD_JOBS:-2}"
