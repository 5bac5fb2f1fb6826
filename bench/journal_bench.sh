#!/usr/bin/env bash
# The purchase journal's cost against a purchase's own time. Prints: the journal alone per
# purchase (vorlex_journal_bench over purse steps that answer at once, on the build's disk), its
# fsyncs per purchase (strace), and a whole `vorlex purchase` against the simulator at line
# speed (--pace), with its fsyncs. Usage: bench/journal_bench.sh [BUILD_DIR] (default
# build/release, built with vorlex_journal_bench vorlex_cli vorlex_sim vorlex_epurse).
set -euo pipefail
build=$(cd "${1:-build/release}" && pwd)
work=$(mktemp -d "$build/journal-bench.XXXXXX") # the build's disk, not a tmpfs: fsync costs
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
n=200
"$build/bench/vorlex_journal_bench" "$work" "$n"
fsyncs=$(strace -f -c -e trace=fsync,fdatasync -o "$work/strace" \
  "$build/bench/vorlex_journal_bench" "$work" "$n" >/dev/null && awk '$NF ~ /^(fsync|fdatasync)$/ { s += $4 } END { print s + 0 }' "$work/strace")
echo "journal fsyncs per purchase: $(awk -v f="$fsyncs" -v n="$n" 'BEGIN { printf "%.2f", f / n }') ($fsyncs over $n purchases)"

"$build/bin/vorlex-sim" --pace --link "$work/reader" >/dev/null 2>&1 &
sim_pid=$!
for _ in $(seq 50); do [ -e "$work/reader" ] && break; sleep 0.1; done
# The whole tool, its journal on the build's disk, then in /dev/shm (a tmpfs: fsync costs
# nothing there, so the difference is the journal's disk time).
shm=$(mktemp -d /dev/shm/vorlex-journal-bench.XXXXXX)
for journal in "$work/tool.db" "$shm/tool.db"; do
  times=()
  for _ in $(seq 10); do
    start=$(date +%s%N)
    "$build/bin/vorlex" --port "$work/reader" purchase --amount 1 --journal "$journal" >/dev/null
    times+=($((($(date +%s%N) - start) / 1000)))
  done
  median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n 5p)
  echo "vorlex purchase at line speed, whole tool, journal in $(dirname "$journal"): median $((median / 1000)).$(((median % 1000) / 100)) ms over 10"
done
rm -rf "$shm"
strace -f -c -e trace=fsync,fdatasync -o "$work/strace-tool" \
  "$build/bin/vorlex" --port "$work/reader" purchase --amount 1 --journal "$work/tool.db" >/dev/null
echo "vorlex purchase fsyncs: $(awk '$NF ~ /^(fsync|fdatasync)$/ { s += $4 } END { print s + 0 }' "$work/strace-tool")"
