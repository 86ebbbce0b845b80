#!/usr/bin/env python3
"""Prints each test that a ctest run skipped, in whole or in part, with the reason its output
gives: Python's unittest ("... skipped 'REASON'") and GoogleTest ("Skipped" and the message).
A test that ctest counted as skipped but whose output holds no reason is listed as such.

  skipped-tests.py BUILD CONSOLE_LOG   (CONSOLE_LOG: what ctest printed)
Exits 0; prints nothing when nothing was skipped."""

import os
import re
import sys

UNITTEST = re.compile(r"^(\w+) \(([\w.]+)\) \.\.\. skipped '(.*)'$", re.M)
GTEST = re.compile(r": Skipped\n(.*)\n(?:.*\n)*?\[  SKIPPED \] (\S+)")
NOT_RUN = re.compile(r"^\s*\d+ - (\S+) \(Skipped\)$", re.M)
# One test in ctest's LastTest.log: its name and its output.
TEST = re.compile(r"^\d+/\d+ Test: (\S+)$.*?^Output:\n-+\n(.*?)^<end of output>$", re.M | re.S)


def skips(build, console):
    found = []
    try:
        with open(os.path.join(build, "Testing", "Temporary", "LastTest.log"),
                  errors="replace") as log:
            text = log.read()
    except OSError:
        text = ""
    explained = set()
    for name, output in TEST.findall(text):
        for method, _, reason in UNITTEST.findall(output):
            found.append("%s %s: %s" % (name, method, reason))
            explained.add(name)
        for reason, _ in GTEST.findall(output):
            found.append("%s: %s" % (name, reason))
            explained.add(name)
    try:
        with open(console, errors="replace") as printed:
            not_run = NOT_RUN.findall(printed.read())
    except OSError:
        not_run = []
    found += ["%s: skipped, and its output gives no reason" % name
              for name in not_run if name not in explained]
    return found


def main():
    build, console = sys.argv[1:3]
    for line in skips(build, console):
        print("%s  %s" % (os.path.basename(build.rstrip("/")), line))


if __name__ == "__main__":
    main()
