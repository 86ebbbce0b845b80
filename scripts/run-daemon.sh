#!/usr/bin/env bash
# Builds and runs rs232c-daemon in the foreground. Without a /dev/ttyUSB0, and as root, a
# simulated tool controller is linked there first, so the daemon can be tried without hardware.
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

if [ ! -e /dev/ttyUSB0 ] && [ "$(id -u)" -eq 0 ]; then
  build/rs232c-sim --link /dev/ttyUSB0 </dev/null >build/simulator.log 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do [ -e /dev/ttyUSB0 ] && break; sleep 0.1; done
  echo "No /dev/ttyUSB0 here: a simulated tool controller answers on it (log: build/simulator.log)."
elif [ ! -e /dev/ttyUSB0 ]; then
  echo "No /dev/ttyUSB0 here: serial calls will answer -1 or open_error (run as root for the simulator)."
fi
echo "Serving http://localhost:40405/RPC2. The daemon ignores Ctrl-C by design: press Ctrl-C here to stop it."
build/rs232c-daemon &
pids+=($!)
wait "${pids[-1]}"
