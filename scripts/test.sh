#!/usr/bin/env bash
# Builds and runs the whole test suite: unit tests against the simulated tool controller, and
# end-to-end tests of the real daemon with Python's xmlrpc.client (as root, which they need to
# link /dev/ttyUSB0).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cd build
ctest -j6 --output-on-failure
