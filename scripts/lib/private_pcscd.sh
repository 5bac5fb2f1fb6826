# shellcheck shell=bash
# A pcscd of our own for tests and benchmarks, never touching the machine's: pcscd always binds
# /run/pcscd/pcscd.comm, so it runs in a mount namespace (unshare -m, as root) where a folder of
# ours is bound on /run/pcscd; where the machine has no /run/pcscd, the namespace gets a tmpfs
# on /run first. Clients outside reach it with PCSCLITE_CSOCK_NAME=FOLDER/pcscd.comm.
#   start_private_pcscd CONFIG FOLDER LOG   sets pcscd_pid; waits until the socket answers
#   stop_private_pcscd
start_private_pcscd() {
  local config=$1 folder=$2 log=$3
  mkdir -p "$folder"
  # shellcheck disable=SC2016 # expanded by the inner shell
  unshare -m sh -c 'mount --make-rprivate / &&
    if [ ! -d /run/pcscd ]; then mount -t tmpfs -o mode=755 tmpfs /run && mkdir /run/pcscd; fi &&
    mount --bind "$1" /run/pcscd && exec pcscd -f -a -d -c "$2"' sh "$folder" "$config" \
    >"$log" 2>&1 &
  pcscd_pid=$!
  for _ in $(seq 100); do
    [ -S "$folder/pcscd.comm" ] &&
      PCSCLITE_CSOCK_NAME=$folder/pcscd.comm timeout 5 pcsc_scan -r >/dev/null 2>&1 && return 0
    kill -0 "$pcscd_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "pcscd did not start:" >&2
  cat "$log" >&2
  return 1
}

stop_private_pcscd() {
  [ -n "${pcscd_pid:-}" ] || return 0
  kill "$pcscd_pid" 2>/dev/null
  wait "$pcscd_pid" 2>/dev/null
  pcscd_pid=""
}
