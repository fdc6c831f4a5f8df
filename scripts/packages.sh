# Sourced by the other scripts: installs the Debian packages they need when
# missing, through sudo when not root. Each argument is "file:package": the
# package is installed when the file does not exist.
need_packages() {
  local missing=() item
  for item in "$@"; do
    [ -e "${item%%:*}" ] || missing+=("${item#*:}")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

# What every build needs: libdeflate inflates BGZF blocks.
BUILD_PACKAGES=(/usr/include/libdeflate.h:libdeflate-dev)
# What the tests need besides: GoogleTest for the engine tests, bgzip (Debian
# tabix) and samtools for the compressed-file tests.
TEST_PACKAGES=(/usr/include/gtest/gtest.h:libgtest-dev /usr/bin/bgzip:tabix /usr/bin/samtools:samtools)
