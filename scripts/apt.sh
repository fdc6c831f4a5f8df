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

# apt_need FILE:PACKAGE...: installs (as apt_install does) the packages whose file
# is missing; a FILE without a slash names a command looked for on the PATH.
apt_need() {
  local missing=() item file
  for item in "$@"; do
    file=${item%%:*}
    if [[ "$file" == */* ]]; then [ -e "$file" ] && continue; else command -v "$file" >/dev/null 2>&1 && continue; fi
    missing+=("${item#*:}")
  done
  [ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"
}

# What a build of gelvo needs (libdeflate inflates BGZF blocks), and what the
# tests need besides: GoogleTest, and bgzip (Debian tabix) and samtools for the
# compressed-file tests.
BUILD_NEEDS=(/usr/include/libdeflate.h:libdeflate-dev)
TEST_NEEDS=(/usr/include/gtest/gtest.h:libgtest-dev bgzip:tabix samtools:samtools)
