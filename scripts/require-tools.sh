# Sourced by the scripts: `require_tools GROUP TOOL...` stops the script when a
# tool is not on PATH, naming every missing one and the command that installs
# them, before any step starts. GROUP is the scripts/install-deps.sh group the
# tools come with: "" for the default set, "board" for the arm64 cross build,
# emulation and packaging tools.
require_tools() {
  local group="$1" tool missing=()
  shift
  for tool in "$@"; do
    command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  printf '%s: %s not installed; install with: scripts/install-deps.sh%s\n' \
    "$(basename "$0")" "${missing[*]}" "${group:+ $group}" >&2
  exit 1
}
