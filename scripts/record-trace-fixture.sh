#!/usr/bin/env bash
# Records tests/e2e/fixtures/all-methods.trace again, a session of every method against the
# simulator, with the daemon of build/ (built first), and checks that it replays. Run it when a
# method or a trace event changes what that session records, and commit the file with the change.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >/dev/null
fixture=tests/e2e/fixtures/all-methods.trace
new=$(mktemp)
trap 'rm -f "$new"' EXIT
(cd tests/e2e && RS232C_BUILD_DIR=../../build python3 -B -c \
  'import sys, test_trace; test_trace.record_session(sys.argv[1])' "$new")
cp "$new" "$fixture"
echo "recorded $(grep -c '"event":"call"' "$fixture") calls into $fixture"
(cd tests/e2e && RS232C_BUILD_DIR=../../build python3 -B -m unittest \
  test_trace.Replay.test_the_checked_in_trace_still_replays_to_its_results)
