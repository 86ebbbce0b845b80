#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a fixed number of runs (default
# 200000), starting from the seeds in fuzz/corpus. Longer: scripts/fuzz.sh 0 -max_total_time=600
# Some targets only: FUZZ_TARGETS="FuzzRequest" scripts/fuzz.sh 0 -max_total_time=600
# `scripts/fuzz.sh build` only builds them.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-200000}
shift || true
scripts/setup.sh clang libclang-rt-14-dev >/dev/null

CXX=clang++ cmake -S . -B build-fuzz -DRS232C_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)"
[ "$runs" = build ] && exit 0
[ "$runs" = 0 ] && runs=-1  # 0: no count, so that -max_total_time decides (libFuzzer's -1)
targets=${FUZZ_TARGETS:-FuzzFraming FuzzRenderings FuzzXmlSafe FuzzRequest FuzzRequestHead FuzzClientResponse FuzzTraceFile FuzzTlsHandshake}
for target in $targets; do
  work=$(mktemp -d)
  cp fuzz/corpus/$target/* "$work"/
  dict=()
  [ -f fuzz/$target.dict ] && dict=(-dict=fuzz/$target.dict)
  echo "== $target"
  log="$work.log"
  if ! build-fuzz/fuzz/$target -runs="$runs" -max_len=8192 "${dict[@]}" "$@" "$work" >"$log" 2>&1; then
    tail -n 40 "$log"  # the finding, and where its input was written
    rm -rf "$work" "$log"
    exit 1
  fi
  # Coverage (cov: edges, ft: features) and runs at the end.
  grep -E '^#[0-9]+[[:space:]]+DONE|^Done' "$log" || tail -n 1 "$log"
  rm -rf "$work" "$log"
done
