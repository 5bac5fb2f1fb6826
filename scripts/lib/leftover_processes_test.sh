#!/usr/bin/env bash
# scripts/lib/leftover_processes.py as scripts/test uses it, in a child subreaper: an orphan
# (started with setsid and left) and a background job are named, ended and fail the check; then
# nothing is left. Exits 1 when that is not so.
set -uo pipefail
cd "$(dirname "$0")/../.."
said=$(python3 -c 'import ctypes, os, sys
ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)
os.execv("/bin/bash", ["bash", "-c", sys.argv[1]])' '
  (setsid sleep 600 >/dev/null 2>&1 &)
  sleep 601 >/dev/null 2>&1 &
  for _ in $(seq 50); do [ "$(pgrep -c -P $$ sleep)" -ge 2 ] && break; sleep 0.1; done
  scripts/lib/leftover_processes.py --end $$; echo "status $?"
  scripts/lib/leftover_processes.py $$; echo "status $?"' 2>&1)
expected="sleep 600
sleep 601
status 1
status 0"
if [ "$(sed 's/^[0-9]* //' <<<"$said" | sort)" = "$(sort <<<"$expected")" ]; then
  echo "ok   processes left running are named, ended, and fail the check"
else
  echo "FAIL: leftover_processes.py said:"
  echo "$said"
  exit 1
fi
