#!/usr/bin/env bash
# Installs a kavrel .deb into a throwaway Debian 12 root (mmdebstrap; apt
# resolves its dependencies), checks the system user it makes, starts the
# terminal there as that user under Xvfb with the example configuration and
# the simulated camera until its main window shows and its ledger is written,
# records a session with `kavrel --self-test` as that user and runs the
# package's tools on it, then checks that remove keeps the operator's
# configuration and purge removes it.
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
# Credentials an administrator left readable: the package hands them to the terminal's user.
mkdir -p "$root/etc/kavrel"
printf 'access_key_id = TEST\nsecret_access_key = TEST\n' >"$root/etc/kavrel/credentials"
chmod 0644 "$root/etc/kavrel/credentials"
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

in_root getent passwd kavrel >/dev/null || fail "no system user kavrel"
groups="$(in_root id -nG kavrel)"
# input and render come with udev, which this root lacks; those there must be taken.
for group in video input render tty plugdev; do
  in_root getent group "$group" >/dev/null || continue
  case " $groups " in *" $group "*) ;; *) fail "kavrel is not in group $group ($groups)" ;; esac
done
# Owners by the root's own user names (the host may give the same ids other names).
owner() { in_root stat -c "$1" "$2" 2>/dev/null; }
[ "$(owner '%U %a' /etc/kavrel/credentials)" = "kavrel 600" ] \
  || fail "credentials are $(owner '%U %a' /etc/kavrel/credentials), want kavrel 600"
[ "$(owner %U /var/lib/kavrel)" = kavrel ] || fail "/var/lib/kavrel does not belong to kavrel"
grep -qx 'User=kavrel' "$root/lib/systemd/system/kavrel.service" || fail "the unit does not run as kavrel"
pass "system user kavrel ($groups) owns the state folder and the credentials (0600)"

# Start it as the unit would (as kavrel, HOME and working directory in its
# state folder), on an X server of its own.
# No card here: the "no TF card" question closes itself after the quit delay,
# then the main window shows and the program quits from its event loop.
cat >"$root/tmp/start.sh" <<'SH'
#!/bin/sh
# Our own X server (xvfb-run's start-up signal does not reach it when the
# script is the first process of its PID namespace).
Xvfb :57 -screen 0 1280x800x24 -nolisten tcp >/tmp/xvfb.log 2>&1 &
xvfb=$!
export DISPLAY=:57
for _ in $(seq 1 60); do xwininfo -root >/dev/null 2>&1 && break; sleep 0.5; done
cd /var/lib/kavrel
setpriv --reuid=kavrel --regid=kavrel --init-groups \
  env KAVREL_QUIT_AFTER_MS=8000 HOME=/var/lib/kavrel /usr/bin/kavrel >/tmp/kavrel.log 2>&1 &
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
[ "$(owner %U /var/lib/kavrel/file_manager.csv)" = kavrel ] \
  || { cat "$log"; fail "the terminal did not write its ledger as kavrel"; }
pass "kavrel started as its user under Xvfb, showed its main window, wrote its ledger and exited with 0"

# The self-test as the terminal's user: a two-second session with the
# simulated camera (no card here: below the state folder), then the tools of
# the package on what it wrote.
as_kavrel() { in_root setpriv --reuid=kavrel --regid=kavrel --init-groups env HOME=/var/lib/kavrel "$@"; }
as_kavrel sh -c 'cd /var/lib/kavrel && exec kavrel --self-test' >"$root/tmp/self-test.log" 2>&1 \
  || { cat "$root/tmp/self-test.log"; fail "kavrel --self-test failed"; }
session="$(cd "$root" && find var/lib/kavrel -name meta.yaml -path '*self-test*' -printf '/%h\n' | head -n1)"
[ -n "$session" ] || { cat "$root/tmp/self-test.log"; fail "the self-test wrote no session"; }
others="$(in_root find "$session" ! -user kavrel | head -n3)"
[ -z "$others" ] || fail "files of the session not owned by kavrel: $others"
as_kavrel kavrel-check "$session" >"$root/tmp/check.log" 2>&1 \
  || { cat "$root/tmp/check.log"; fail "kavrel-check does not pass the self-test's session"; }
as_kavrel kavrel-export --out /tmp "$session" >"$root/tmp/export.log" 2>&1 \
  || { cat "$root/tmp/export.log"; fail "kavrel-export could not export the self-test's session"; }
ls "$root"/tmp/*.mcap >/dev/null 2>&1 || fail "kavrel-export wrote no .mcap"
as_kavrel kavrel-fleet --help >/dev/null || fail "kavrel-fleet --help failed"
pass "kavrel --self-test wrote $session as kavrel; kavrel-check passes it, kavrel-export exports it, kavrel-fleet runs"

# The operator's edit survives remove; purge takes it, and the state, away.
echo '{"machine_id": "EDITED-BY-OPERATOR"}' >"$root$config"
apt_in_root remove kavrel >/dev/null || fail "apt-get remove failed"
[ -x "$root/usr/bin/kavrel" ] && fail "remove left /usr/bin/kavrel"
grep -q EDITED-BY-OPERATOR "$root$config" || fail "remove lost the operator's configuration"
pass "remove keeps $config"
# The credentials are the administrator's file, not the package's: purge leaves them.
apt_in_root purge kavrel >/dev/null || fail "apt-get purge failed"
[ -f "$root/etc/kavrel/credentials" ] || fail "purge removed the administrator's credentials"
rm "$root/etc/kavrel/credentials"
rmdir "$root/etc/kavrel" 2>/dev/null || true
[ -e "$root/etc/kavrel" ] && fail "purge left /etc/kavrel"
[ -e "$root/var/lib/kavrel" ] && fail "purge left /var/lib/kavrel"
[ -e "$root/etc/systemd/system/multi-user.target.wants/kavrel.service" ] && fail "purge left the unit enabled"
pass "purge removes the configuration and the state"
