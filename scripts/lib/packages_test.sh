#!/usr/bin/env bash
# ensure_packages against a stand-in apt-get and dpkg-query on PATH: an index that fails to update
# does not stop an install that can go on; an install that fails does; another apt holding the
# lock is waited for. Prints the plain closing
# line; exits 1 when a case fails.
set -uo pipefail
cd "$(dirname "$0")/../.."
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
# dpkg-query: nothing is installed. apt-get: "update" ends as one failed index ends (exit 100,
# after updating the rest) when FAKE_UPDATE=fail; "install" exits FAKE_INSTALL (default 0). The
# first FAKE_LOCKED calls (default 0) find the lock held, as apt does while another apt runs.
cat >"$fake/dpkg-query" <<'STUB'
#!/bin/sh
exit 1
STUB
cat >"$fake/apt-get" <<'STUB'
#!/bin/sh
echo "apt-get $*" >>"$FAKE_LOG"
if [ "$(wc -l <"$FAKE_LOG")" -le "${FAKE_LOCKED:-0}" ]; then
  echo "E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4242 (apt-get)" >&2
  exit 100
fi
case " $* " in
  *" update "*)
    if [ "${FAKE_UPDATE:-ok}" = fail ]; then
      echo "E: Failed to fetch http://deb.example/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size" >&2
      exit 100
    fi ;;
  *" install "*) exit "${FAKE_INSTALL:-0}" ;;
esac
STUB
chmod +x "$fake/dpkg-query" "$fake/apt-get"

passed=0 failed=0
check() {  # NAME UPDATE INSTALL EXPECTED_STATUS [LOCKED_CALLS]
  local log="$fake/$1.log" status=0
  : >"$log"
  (PATH="$fake:$PATH" FAKE_LOG="$log" FAKE_UPDATE=$2 FAKE_INSTALL=$3 FAKE_LOCKED=${5:-0}
   VORLEX_APT_LOCK_PAUSE=0
   export FAKE_LOG FAKE_UPDATE FAKE_INSTALL FAKE_LOCKED VORLEX_APT_LOCK_PAUSE
   set -e
   source scripts/lib/packages.sh
   ensure_packages cmake ninja-build) >"$fake/$1.out" 2>&1 || status=$?
  if [ "$status" -eq "$4" ] && grep -q "install .*cmake ninja-build" "$log"; then
    passed=$((passed + 1))
    echo "ok   $1"
  else
    failed=$((failed + 1))
    echo "FAIL $1: exit $status (wanted $4)"
    cat "$log" "$fake/$1.out"
  fi
}
check "updated, installed" ok 0 0
check "one index failed, installed from the others" fail 0 0
check "one index failed, the packages cannot be had" fail 100 1
check "lock held by another apt through update and the first install" ok 0 0 3
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
