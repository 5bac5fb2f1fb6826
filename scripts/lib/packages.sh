# Installs the Debian packages named, where they are missing (apt, as root).
# Usage: ensure_packages NAME...
ensure_packages() {
  local missing=()
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  # One index that fails to update (a mirror caught mid-sync) leaves the others updated and the
  # old lists in place: go on, and fail only when the packages cannot be installed.
  if ! "${sudo[@]}" apt-get update -qq; then
    echo "ensure_packages: apt-get update failed for some index; installing from the lists there are" >&2
  fi
  if ! DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null; then
    echo "ensure_packages: cannot install ${missing[*]}" >&2
    return 1
  fi
}

# What every build of the library and its tests needs.
# clang-14 and the MinGW compilers: the public headers are compiled with each of them.
VORLEX_BUILD_PACKAGES=(cmake ninja-build g++ make pkg-config python3 libgtest-dev libgmock-dev
  libbenchmark-dev clang-format clang-14 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  libcli11-dev nlohmann-json3-dev libpcsclite-dev libboost-dev libsqlite3-dev libpq-dev)

# The agent's stage: a WebSocket client nobody here wrote.
VORLEX_AGENT_PACKAGES=(python3-websockets)

# The PC/SC stage: the daemon and the clients that drive the driver (pcsc_scan and scriptor,
# opensc-tool, pyscard), and unshare/mount for the daemon's private /run/pcscd.
VORLEX_PCSC_PACKAGES=(pcscd libpcsclite-dev pcsc-tools opensc python3-pyscard util-linux)
