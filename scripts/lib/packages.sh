# Installs the Debian packages named, where they are missing (apt, as root).
# Usage: ensure_packages NAME...
# Another apt or dpkg holding its lock (unattended-upgrades on a machine that just booted, say) is
# waited for, up to 10 minutes: apt's own DPkg::Lock::Timeout, and a retry of a command that
# still could not get a lock (apt-get update does not wait for the lists' lock by itself).
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
  if ! _apt_waiting_for_lock "${sudo[@]}" apt-get update -qq; then
    echo "ensure_packages: apt-get update failed for some index; installing from the lists there are" >&2
  fi
  if ! DEBIAN_FRONTEND=noninteractive _apt_waiting_for_lock "${sudo[@]}" apt-get install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null; then
    echo "ensure_packages: cannot install ${missing[*]}" >&2
    return 1
  fi
}

# Runs an apt-get command with DPkg::Lock::Timeout=600; while it fails because another process
# holds an apt or dpkg lock, says so and runs it again, for up to 10 minutes in all.
_apt_waiting_for_lock() {
  local command=() word errors status waited=0 pause=${VORLEX_APT_LOCK_PAUSE:-5}
  for word in "$@"; do
    command+=("$word")
    [ "$word" = apt-get ] && command+=(-o DPkg::Lock::Timeout=600)
  done
  errors=$(mktemp)
  while :; do
    status=0
    "${command[@]}" 2>"$errors" || status=$?
    if [ "$status" -ne 0 ] && grep -qE "Could not get lock|Unable to (acquire|lock)" "$errors" &&
      [ "$waited" -lt 600 ]; then
      [ "$waited" -eq 0 ] && echo "ensure_packages: another apt holds its lock; waiting (up to 10 minutes)" >&2
      sleep "$pause"
      waited=$((waited + 5))
      continue
    fi
    cat "$errors" >&2
    rm -f "$errors"
    return "$status"
  done
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
