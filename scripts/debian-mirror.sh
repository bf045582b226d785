# Sourced by the scripts that fetch from the Debian archive: debian_mirror
# prints the archive this machine's apt sources name (KAVREL_DEBIAN_MIRROR
# overrides it; deb.debian.org when nothing is found).
debian_mirror() {
  if [ -n "${KAVREL_DEBIAN_MIRROR:-}" ]; then echo "$KAVREL_DEBIAN_MIRROR"; return; fi
  local uri
  uri="$(grep -hE '^(URIs:|deb )' /etc/apt/sources.list /etc/apt/sources.list.d/*.sources 2>/dev/null \
    | grep -oE 'https?://[^ ]*/debian/?( |$)' | head -n1 | tr -d ' ')" || true
  echo "${uri:-http://deb.debian.org/debian}"
}
