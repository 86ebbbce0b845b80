#!/usr/bin/env bash
# Builds and runs the whole test suite as any user (root, or sudo, only to install Debian
# packages that are missing): the unit and end-to-end tests built with AddressSanitizer and
# UndefinedBehaviorSanitizer and as released, and a short fixed run of each fuzz target. The
# three run side by side (the tests mostly wait); their output follows once all have ended.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh clang libclang-rt-14-dev
# The browser tests drive Debian's Chromium, the monitoring tests a real Prometheus and its
# promtool (the alert rules' own tests); where they cannot be installed, those tests skip, except
# the rules' tests in CI, which fail.
for tool in chromium prometheus; do
  command -v "$tool" >/dev/null && continue
  echo "Installing $tool for its test ..."
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo -n"
  { $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$tool"; } \
    >/dev/null 2>&1 || echo "$tool could not be installed: its test will skip"
done

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRS232C_SANITIZE=ON >/dev/null
cmake --build build-sanitize -j"$(nproc)"
scripts/fuzz.sh build
# clang proves the locks: every field marked GUARDED_BY is touched only with its lock held.
echo "== Building with clang's thread-safety analysis"
CXX=clang++ cmake -S . -B build-clang -DRS232C_THREAD_SAFETY=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build build-clang -j"$(nproc)"

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
run() {
  local name=$1
  shift
  if "$@" >"$logs/$name" 2>&1; then echo 0 >"$logs/$name.status"; else echo 1 >"$logs/$name.status"; fi
}
echo "== Running the fuzz targets and the tests of build-sanitize and build, side by side ..."
# The fuzzers take what CPU the tests, which mostly wait, leave over.
run fuzz nice -n 19 scripts/fuzz.sh 200000 &
for build in build-sanitize build; do
  run "$build" ctest --test-dir "$build" -j8 --output-on-failure &
done
wait

status=0
for name in fuzz build-sanitize build; do
  echo "== $name"
  cat "$logs/$name"
  [ "$(cat "$logs/$name.status")" -eq 0 ] || status=1
done
# Each test skipped, whole or in part, and why: a tool that is missing, a case only root plays.
skipped=$(for build in build-sanitize build; do python3 scripts/skipped-tests.py "$build" "$logs/$build"; done)
if [ -n "$skipped" ]; then
  echo "== Skipped, with the reasons the tests give"
  echo "$skipped"
fi
exit $status
