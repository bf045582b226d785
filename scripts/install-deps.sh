#!/usr/bin/env bash
# Installs every Debian package the terminal and its tests need. Idempotent:
# packages already present are left alone, so running it twice costs a second.
#
#   scripts/install-deps.sh            build, libraries, tests (the default)
#   scripts/install-deps.sh board      also the arm64 cross build, emulation
#                                      and Debian packaging tools
#   scripts/install-deps.sh fuzz       also clang and libFuzzer (scripts/fuzz.sh)
#   scripts/install-deps.sh --print-libraries
#                                      lists the -dev packages (for the sysroot)
set -euo pipefail

# The libraries the program links; the arm64 sysroot takes the same list.
LIBRARIES=(
  qtbase5-dev libqt5svg5-dev libqt5opengl5-dev
  libopencv-dev libyaml-cpp-dev nlohmann-json3-dev libconcurrentqueue-dev
  libspdlog-dev libturbojpeg0-dev
  # kavrel-export: zstd compresses the MCAP chunks; libdeflate gives their
  # CRC-32 and reads and writes the depth PNGs
  libzstd-dev libdeflate-dev
  # uploads: libcurl signs S3 requests, OpenSSL hashes the payloads
  libcurl4-openssl-dev libssl-dev
)
TEST_LIBRARIES=(libgtest-dev libgmock-dev)

PACKAGES=(
  # build
  cmake ninja-build g++ pkg-config ccache
  "${LIBRARIES[@]}"
  # tests and benchmarks
  "${TEST_LIBRARIES[@]}" libbenchmark-dev
  xvfb xauth libgl1-mesa-dri libegl-mesa0
  # upload tests and benchmarks: a local S3 server (Ceph's object gateway) with a
  # certificate of its own for https, and two reference clients
  radosgw ceph-mon ceph-osd s3cmd rclone openssl
  # run time: USB camera discovery
  v4l-utils
)

BOARD_PACKAGES=(
  # arm64 cross build against a Debian sysroot, tests under user-mode emulation
  g++-aarch64-linux-gnu mmdebstrap qemu-user-static
  # the .deb: shared-library dependencies, checks, throwaway install roots, the
  # unit's sandbox rating (systemd-analyze)
  dpkg-dev fakeroot file lintian systemd
)

FUZZ_PACKAGES=(
  # libFuzzer targets built with clang and AddressSanitizer
  clang-14 libfuzzer-14-dev
)

for group in "$@"; do
  case "$group" in
    --print-libraries) printf '%s\n' "${LIBRARIES[@]}" "${TEST_LIBRARIES[@]}"; exit 0 ;;
    board) PACKAGES+=("${BOARD_PACKAGES[@]}") ;;
    fuzz) PACKAGES+=("${FUZZ_PACKAGES[@]}") ;;
    *) echo "install-deps.sh: unknown group '$group' (known: board, fuzz)" >&2; exit 2 ;;
  esac
done

# The export tests' independent MCAP reader comes from npm (node 20 is on the
# machines); npm ci runs only when the lock file changed since the last install.
install_mcap_reader() {
  local reader
  reader="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tests/export/reader"
  local stamp="$reader/node_modules/.kavrel-lock.sha256"
  if ! command -v npm >/dev/null 2>&1; then
    echo "install-deps.sh: npm not found; the export tests' MCAP reader is not installed" >&2
    return 0
  fi
  if [ -f "$stamp" ] && (cd "$reader" && sha256sum --status -c "$stamp" 2>/dev/null); then
    return 0
  fi
  (cd "$reader" && npm ci --no-audit --no-fund --ignore-scripts --loglevel=error)
  (cd "$reader" && sha256sum package-lock.json > node_modules/.kavrel-lock.sha256)
}

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  install_mcap_reader
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
install_mcap_reader
