#!/usr/bin/env bash
# Builds, then prints the daemon's figures against the simulated tool controller (any user).
# `bench/run.sh --tls` prints only what TLS costs.
# `bench/run.sh --fuzz [SECONDS]` then also runs the request path's fuzzer (guard, second reader,
# xmlrpc-c) for that long, 600 s by default, and prints its runs and coverage; a finding fails.
set -euo pipefail
cd "$(dirname "$0")/.."
fuzz_seconds=0
only=()
if [ "${1:-}" = --fuzz ]; then fuzz_seconds=${2:-600}; fi
if [ "${1:-}" = --tls ]; then only=(--tls); fi
scripts/setup.sh wrk >/dev/null
RS232C_BUILD_DIR=build python3 bench/bench.py "${only[@]}"
if [ "$fuzz_seconds" != 0 ]; then
  echo "== FuzzRequest for $fuzz_seconds s"
  FUZZ_TARGETS=FuzzRequest scripts/fuzz.sh 0 -max_total_time="$fuzz_seconds"
fi
