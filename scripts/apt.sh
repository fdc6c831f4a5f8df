# Sourced by the scripts that need Debian packages. apt_install PACKAGE... installs
# them with apt-get, through sudo when not root; where that cannot work it says in
# one line what to install by hand, and fails.
apt_install() {
  local sudo=()
  if ! command -v apt-get >/dev/null 2>&1; then
    echo "no apt-get here: install by hand the equivalents of the Debian packages: $*" >&2
    return 1
  fi
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "not root and no sudo: as root, run: apt-get install $*" >&2
      return 1
    fi
    sudo=(sudo)
  fi
  "${sudo[@]}" apt-get update -qq && "${sudo[@]}" apt-get install -y -qq "$@" >/dev/null
}
