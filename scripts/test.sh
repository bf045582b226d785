#!/usr/bin/env bash
# Builds and runs the whole test suite: ./scripts/test.sh [release|asan|tsan]
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
preset="${1:-release}"
"$repo/scripts/build.sh" "$preset"
cd "$repo"
ctest --preset "$preset" -j2
