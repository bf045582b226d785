#!/usr/bin/env bash
# Builds the Debian package from a configured, built folder (cpack -G DEB) and
# checks it with lintian: any warning or error fails, overrides carry their
# reasons (packaging/lintian-overrides). The unit's sandbox must keep
# systemd-analyze's exposure at 4.9 ("OK") or below. Prints the path of the .deb last.
#
#   scripts/deb-package.sh [build folder]      (default build/release)
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$(realpath "${1:-$repo/build/release}")"
out="$build_dir/packages"
# shellcheck source=require-tools.sh
. "$repo/scripts/require-tools.sh"
require_tools "" cpack dpkg-deb && require_tools board lintian fakeroot dpkg-shlibdeps

systemd-analyze security --offline=true --threshold=49 "$repo/packaging/kavrel.service" | tail -n1 >&2 \
  || { echo "deb-package.sh: kavrel.service is exposed above 4.9" >&2; exit 1; }
rm -rf "$out"
(cd "$build_dir" && timeout 1200 cpack -G DEB >cpack.log 2>&1) \
  || { cat "$build_dir/cpack.log" >&2; echo "deb-package.sh: cpack failed" >&2; exit 1; }
deb="$(find "$out" -maxdepth 1 -name 'kavrel_*.deb' | head -n1)"
[ -n "$deb" ] || { echo "deb-package.sh: cpack made no .deb" >&2; exit 1; }
dpkg-deb --field "$deb" Package Version Architecture Depends >&2
timeout 600 lintian --fail-on warning,error --tag-display-limit 0 "$deb" >&2 \
  || { echo "deb-package.sh: lintian found problems in $deb" >&2; exit 1; }
echo "$deb"
