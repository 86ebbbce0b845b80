#!/usr/bin/env bash
# Builds and runs rs232c-daemon in the foreground, passing on its arguments
# (bash scripts/run-daemon.sh --trace -). Without a /dev/ttyUSB0, and unless --device is given,
# a simulated tool controller answers on a pseudo-terminal of its own, so the daemon can be tried
# without hardware and without root.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "Building rs232c-daemon (the first time installs packages and takes a minute) ..."
scripts/setup.sh >/dev/null

pids=()
cleanup() {
  trap - INT TERM EXIT
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'echo; echo "Stopping the daemon."; exit 0' INT TERM

args=("$@")
device_given=no
for arg in "$@"; do
  case "$arg" in --device|--device=*) device_given=yes ;; esac
done
if [ ! -e /dev/ttyUSB0 ] && [ "$device_given" = no ]; then
  build/rs232c-sim </dev/null >build/simulator.log 2>&1 &
  pids+=($!)
  pty=""
  for _ in $(seq 50); do
    pty=$(sed -n 's/^ready \(.*\)$/\1/p' build/simulator.log)
    [ -n "$pty" ] && break
    sleep 0.1
  done
  [ -n "$pty" ] || { echo "The simulator did not start (build/simulator.log)."; exit 1; }
  args=(--device "$pty" "${args[@]}")
  echo "No /dev/ttyUSB0 here: a simulated tool controller answers on $pty (log: build/simulator.log)."
fi
echo "Serving http://localhost:40405/RPC2 (unless --port says otherwise). The daemon ignores" \
     "Ctrl-C by design: press Ctrl-C here to stop it."
build/rs232c-daemon "${args[@]}" &
pids+=($!)
wait "${pids[-1]}"
