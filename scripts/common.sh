# Shared by the scripts: install missing Debian packages and build a folder.
# Source it; it expects the repository root in $ROOT.

# Packages every build and test needs. npm is preinstalled on the machines
# and must never come from apt (it conflicts with the installed Node.js).
BUILD_PACKAGES=(cmake make g++ pkg-config libbz2-dev bzip2 libgtest-dev libdivsufsort-dev libgtk-3-dev libsodium-dev)
TEST_PACKAGES=(clang libclang-rt-14-dev xvfb xdotool imagemagick tesseract-ocr python3-xlib strace minisign)

# Installs whichever of the named packages are missing (as root, with apt-get).
ensure_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  # Empty package lists on a fresh machine: fetch them first.
  if [ -z "$(ls -A /var/lib/apt/lists 2>/dev/null | grep -v -e '^lock$' -e '^partial$' -e '^auxfiles$')" ]; then
    "${sudo[@]}" apt-get update -qq
  fi
  if ! DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# build_dir DIR [cmake options...]: configures (once) and builds DIR.
build_dir() {
  local dir=$1
  shift
  cmake -S "$ROOT" -B "$ROOT/$dir" "$@" >/dev/null
  cmake --build "$ROOT/$dir" -j "$(nproc)"
}
