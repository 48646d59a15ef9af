# Sourced by the scripts that install Debian packages (setup.sh, example.sh):
# apt-get as root, through sudo where we are not root, and only for what dpkg
# reports missing, so a machine that has everything never calls apt-get.

# Runs its arguments as root: directly when we are root, else through sudo.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null; then
    sudo "$@"
  else
    echo "error: '$*' needs root, and sudo is not installed" >&2
    return 1
  fi
}

# Prints those of the packages named that are not installed, one a line.
missing_debs() {
  local pkg
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || printf '%s\n' "$pkg"
  done
}

# Installs the packages named, after one apt-get update per run. The frontend
# goes through env: sudo would drop it from the environment.
APT_UPDATED=0
install_debs() {
  (($#)) || return 0
  if ((!APT_UPDATED)); then
    as_root apt-get update -qq || return 1
    APT_UPDATED=1
  fi
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}
