#!/usr/bin/env bash
# Installs a kavrel .deb into a throwaway Debian 12 root (mmdebstrap; apt
# resolves its dependencies), starts the terminal there under Xvfb with the
# example configuration and the simulated camera until its main window shows,
# then checks that remove keeps the operator's configuration and purge
# removes it.
#
#   scripts/deb-install-test.sh build/release/packages/kavrel_<version>_amd64.deb
#
# Downloaded packages are kept in $KAVREL_CACHE/debs (default /var/cache/kavrel)
# so later runs fetch only what changed. Needs root (chroot).
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
deb="$(realpath "${1:?usage: deb-install-test.sh <kavrel .deb>}")"
cache="${KAVREL_CACHE:-/var/cache/kavrel}/debs"
# shellcheck source=debian-mirror.sh
. "$repo/scripts/debian-mirror.sh"
# shellcheck source=require-tools.sh
. "$repo/scripts/require-tools.sh"
require_tools board mmdebstrap && require_tools "" unshare chroot findmnt
mirror="$(debian_mirror)"
root="$(mktemp -d "${TMPDIR:-/tmp}/kavrel-root.XXXXXX")"
cleanup() {
  umount "$root/proc" 2>/dev/null || true
  # Never delete through a mount that is still there.
  if [ -z "$(findmnt -rn -o TARGET | grep -F "$root/" || true)" ]; then rm -rf "$root"; fi
}
trap cleanup EXIT

fail() { printf 'deb-install-test: FAIL: %s\n' "$*" >&2; exit 1; }
pass() { printf 'deb-install-test: ok: %s\n' "$*"; }
# Each run in the root gets a PID namespace: daemons that package scripts start
# there end with it.
in_root() { unshare --pid --fork --kill-child chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }
# No terminal in the root: dpkg writes its progress without one.
apt_in_root() { in_root apt-get -o Dpkg::Use-Pty=0 -y -q "$@"; }

mkdir -p "$cache"
# The root gets the X server and xwininfo for the check, then the package
# through apt, so its Depends are what pulls in Qt, OpenCV and the rest.
timeout 1800 mmdebstrap --quiet --variant=apt --include=xvfb,xauth,x11-utils \
  --skip=essential/unlink --skip=cleanup/apt \
  --setup-hook='mkdir -p "$1/var/cache/apt/archives/"' \
  --setup-hook="sync-in $cache /var/cache/apt/archives/" \
  bookworm "$root" "$mirror" || fail "mmdebstrap could not make the root"
mount -t proc proc "$root/proc"
cp "$deb" "$root/tmp/kavrel.deb"
timeout 1200 unshare --pid --fork --kill-child chroot "$root" /usr/bin/env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -q --no-install-recommends /tmp/kavrel.deb >"$root/tmp/install.log" 2>&1 \
  || { cat "$root/tmp/install.log"; fail "apt-get could not install the package"; }
cp -n "$root"/var/cache/apt/archives/*.deb "$cache/" 2>/dev/null || true
pass "installed with its dependencies"

config=/etc/kavrel/def_config.json
[ -f "$root$config" ] || fail "$config is not installed"
grep -qx "$config" "$root/var/lib/dpkg/info/kavrel.conffiles" || fail "$config is not a conffile"
[ -L "$root/etc/systemd/system/multi-user.target.wants/kavrel.service" ] || fail "the unit is not enabled at boot"
pass "conffile and enabled unit"

# Start it as the unit would (HOME and working directory in its state folder),
# on an X server of its own.
# No card here: the "no TF card" question closes itself after the quit delay,
# then the main window shows and the program quits from its event loop.
mkdir -p "$root/var/lib/kavrel"
cat >"$root/tmp/start.sh" <<'SH'
#!/bin/sh
# Our own X server (xvfb-run's start-up signal does not reach it when the
# script is the first process of its PID namespace).
Xvfb :57 -screen 0 1280x800x24 -nolisten tcp >/tmp/xvfb.log 2>&1 &
xvfb=$!
export DISPLAY=:57
for _ in $(seq 1 60); do xwininfo -root >/dev/null 2>&1 && break; sleep 0.5; done
cd /var/lib/kavrel
KAVREL_QUIT_AFTER_MS=8000 HOME=/var/lib/kavrel /usr/bin/kavrel >/tmp/kavrel.log 2>&1 &
pid=$!
shown=no
for _ in $(seq 1 180); do
  if xwininfo -root -tree 2>/dev/null | grep -q '数据采集终端控制台'; then shown=yes; break; fi
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.5
done
wait "$pid"; rc=$?
kill "$xvfb"
echo "window=$shown rc=$rc"
SH
chmod +x "$root/tmp/start.sh"
result="$(timeout 300 unshare --pid --fork --kill-child chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin LANG=C.UTF-8 \
  /tmp/start.sh | tail -n1)" || true
log="$root/tmp/kavrel.log"
[ "$result" = "window=yes rc=0" ] || { cat "$log"; fail "kavrel did not show its main window and exit cleanly ($result)"; }
grep -q 'Application Exit, return code:0' "$log" || { cat "$log"; fail "no clean exit line"; }
if grep -qE 'load_json|parse config error' "$log"; then cat "$log"; fail "the example configuration did not load"; fi
pass "kavrel started under Xvfb, showed its main window and exited with 0"

# The operator's edit survives remove; purge takes it, and the state, away.
echo '{"machine_id": "EDITED-BY-OPERATOR"}' >"$root$config"
apt_in_root remove kavrel >/dev/null || fail "apt-get remove failed"
[ -x "$root/usr/bin/kavrel" ] && fail "remove left /usr/bin/kavrel"
grep -q EDITED-BY-OPERATOR "$root$config" || fail "remove lost the operator's configuration"
pass "remove keeps $config"
apt_in_root purge kavrel >/dev/null || fail "apt-get purge failed"
[ -e "$root/etc/kavrel" ] && fail "purge left /etc/kavrel"
[ -e "$root/var/lib/kavrel" ] && fail "purge left /var/lib/kavrel"
[ -e "$root/etc/systemd/system/multi-user.target.wants/kavrel.service" ] && fail "purge left the unit enabled"
pass "purge removes the configuration and the state"
