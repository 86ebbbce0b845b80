#!/usr/bin/env bash
# Builds and runs the whole test suite twice: built with AddressSanitizer and
# UndefinedBehaviorSanitizer, and as released; runs the fuzz targets briefly. Unit tests run against the simulated tool controller; end-to-end
# tests run the real daemon with Python's xmlrpc.client (as root, which they need to link
# /dev/ttyUSB0).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# The browser test drives Debian's Chromium; where it cannot be installed, that test skips.
if ! command -v chromium >/dev/null; then
  echo "Installing chromium for the browser test ..."
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium; } \
    >/dev/null 2>&1 || echo "chromium could not be installed: the browser test will skip"
fi

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRS232C_SANITIZE=ON >/dev/null
cmake --build build-sanitize -j"$(nproc)"

status=0
echo "== Fuzz targets, a short fixed run each"
scripts/fuzz.sh 200000 || status=1
for build in build-sanitize build; do
  echo "== Tests of $build"
  (cd "$build" && ctest -j6 --output-on-failure) || status=1
done
exit $status
