#!/usr/bin/env bash
# Builds and runs rs232c-daemon in the foreground, passing on its arguments
# (bash scripts/run-daemon.sh --trace -). Without a /dev/ttyUSB0, and unless --device is given,
# a simulated tool controller answers on a pseudo-terminal of its own, so the daemon can be tried
# without hardware and without root.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "Building rs232c-daemon and the simulator into build/ (the first time installs packages) ..."
RS232C_TARGETS="rs232c-daemon rs232c-sim" scripts/setup.sh

# Where the daemon will serve and what it drives, as its options say.
port=40405
listen=""
device=/dev/ttyUSB0
device_given=no
previous=""
for arg in "$@"; do
  case "$previous" in
    --port) port=$arg ;;
    --listen) listen=$arg ;;
    --device) device=$arg device_given=yes ;;
  esac
  case "$arg" in
    --port=*) port=${arg#--port=} ;;
    --listen=*) listen=${arg#--listen=} ;;
    --device=*) device=${arg#--device=} device_given=yes ;;
  esac
  previous=$arg
done

pids=()
daemon=""
cleanup() {
  trap - INT TERM EXIT
  # In order, as systemd stops it: a call on the line finishes first.
  if [ -n "$daemon" ]; then
    kill -USR1 "$daemon" 2>/dev/null || true
    wait "$daemon" 2>/dev/null || true
  fi
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'echo; echo "Stopping the daemon."; exit 0' INT TERM

args=("$@")
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
  device=$pty
  echo "No /dev/ttyUSB0 here: a simulated tool controller answers on $pty (log: build/simulator.log)."
fi
host=${listen:-localhost}
case "$host" in *:*) host="[$host]" ;; esac  # an IPv6 address in a URL
echo "Starting rs232c-daemon: http://$host:$port/RPC2 (status page http://$host:$port/), the" \
     "tool controller on $device. The daemon ignores Ctrl-C by design: press Ctrl-C here to stop it."
build/rs232c-daemon "${args[@]}" &
daemon=$!
wait "$daemon"
