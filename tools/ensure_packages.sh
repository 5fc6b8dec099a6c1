# Sourced by the set-up scripts: ensure_packages PACKAGE... installs the
# Debian packages of the list that are missing, and nothing when all are
# there. It runs apt-get as root, or through sudo; when neither is possible
# it names the command to run and fails.
#
#   . "$(dirname "$0")/ensure_packages.sh"
#   ensure_packages cmake g++ make

ensure_packages() {
  local missing=() package
  if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "== not a Debian or Ubuntu system: make sure these are installed: $*" >&2
    return 0
  fi
  for package in "$@"; do
    if [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" != "install ok installed" ]; then
      missing+=("$package")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0

  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
      sudo=(sudo)
    else
      echo "== missing packages: ${missing[*]}" >&2
      echo "   install them as root, then run this again:" >&2
      echo "   apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
      return 1
    fi
  fi
  echo "== installing: ${missing[*]}"
  if ! "${sudo[@]}" apt-get update -qq ||
     ! "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
         apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
    echo "== installing ${missing[*]} failed; run as root:" >&2
    echo "   apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
    return 1
  fi
}
