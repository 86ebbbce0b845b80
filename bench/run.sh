#!/usr/bin/env bash
# Builds, then prints the daemon's figures against the simulated tool controller (any user).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh wrk >/dev/null
RS232C_BUILD_DIR=build python3 bench/bench.py
