#!/usr/bin/env bash
# Builds the terminal and starts it.
#
# With no /etc/kavrel/def_config.json and no catalogue of the user's, it runs
# on a demo home of ours (.demo-home/ in the repository): the simulated depth
# camera's device configuration as the overlay file and a demo catalogue.
# The user's own $HOME is never touched then. Data goes below the working
# directory when no SD card is mounted.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$repo/scripts/build.sh" release
binary="$repo/build/release/app/kavrel"

user_dir="${HOME:-}/.config/kavrel"
has_user_catalogue() {
  [ -n "${HOME:-}" ] || return 1
  [ -d "$user_dir/scenario" ] && return 0
  compgen -G "$user_dir/scenario*.yaml" >/dev/null
}

if [ ! -f /etc/kavrel/def_config.json ] && ! has_user_catalogue; then
  demo_home="$repo/.demo-home"
  mkdir -p "$demo_home/data"
  # Refresh the demo's configuration and catalogue; captured data stays.
  cp -r "$repo/demo/home/." "$demo_home/"
  export HOME="$demo_home"
  cd "$demo_home/data"
  echo "No installed configuration: running on the demo home $demo_home"
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ "${QT_QPA_PLATFORM:-}" = "" ]; then
  # shellcheck source=require-tools.sh
  . "$repo/scripts/require-tools.sh"
  require_tools "" xvfb-run
  exec xvfb-run -a -s "-screen 0 1280x800x24" "$binary" "$@"
fi
exec "$binary" "$@"
