#!/usr/bin/env bash
# The PC/SC figures of BENCHMARKS.md: two simulators (one behind a private pcscd and the driver,
# one opened by the library directly) and bench/pcsc_bench.cpp between them. As root (the
# private pcscd needs a mount namespace). Arguments go to the program (--iterations N,
# --idle-seconds S).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/private_pcscd.sh
build=$PWD/build/release
work=$(mktemp -d)
pids=()
cleanup() {
  stop_private_pcscd
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
for name in pcsc direct; do
  "$build/bin/vorlex-sim" --link "$work/$name" >"$work/$name.log" 2>&1 &
  pids+=($!)
done
for name in pcsc direct; do
  for _ in $(seq 50); do [ -L "$work/$name" ] && break; sleep 0.1; done
done
cat >"$work/reader.conf" <<CONF
FRIENDLYNAME "VORLEX reader"
DEVICENAME $work/pcsc
LIBPATH $build/pcsc/libifdvorlex.so
CONF
start_private_pcscd "$work/reader.conf" "$work/run" "$work/pcscd.log"
export PCSCLITE_CSOCK_NAME=$work/run/pcscd.comm
"$build/bench/vorlex_pcsc_bench" "VORLEX reader 00 00" "$(readlink "$work/direct")" \
  "$build/bin/vorlex-sim" "$work/pcsc" "$@"
