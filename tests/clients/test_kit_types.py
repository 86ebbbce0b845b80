"""The kit's promises to a type checker and to an `if`: every exception under Error, only an
acknowledgement true, and mypy --strict content with the kit, its tests and a UI program."""

from __future__ import annotations

import os
import re
import subprocess
import tempfile
import unittest
import xmlrpc.client

import kit
import rs232c_client
from harness import BUILD, need_tool
from rs232c_client import Result, Status

DEBIAN_PYTHON = "/usr/bin/python3"
PACKAGE = os.path.join(kit.TOP, "clients", "python", "rs232c_client")

# A UI program as the guide writes one; each line after it holds a mistake mypy must find.
PROGRAM = """\
import rs232c_client
from rs232c_client import Result

tool = rs232c_client.Controller("http://127.0.0.1:40405/RPC2", timeout=20)
result: Result = tool.send_cmd_fwd(timeout=5)
data: bytes = tool.send_cmd("VER\\r\\n") + tool.send_cmd_cos()
present: bool = tool.health(timeout=0.5)["adapter_present"]
age: float = tool.health()["last_reply_age_s"] or 0.0
"""
MISTAKES = [
    ('title: str = tool.send_cmd_fwd()', 'expression has type "Result", variable has type "str"'),
    ('tool.send_cmd_ch(3)', 'incompatible type "int"; expected "Union[str, bytes]"'),
    ('tool.send_cmd_stp(5.0)', 'Too many positional arguments'),
    ('tool.health()["adapter"]', 'TypedDict "Health" has no key "adapter"'),
]


class Exceptions(unittest.TestCase):
    def test_one_except_catches_every_failure_of_the_kit(self) -> None:
        exported = [getattr(rs232c_client, name) for name in rs232c_client.__all__]
        classes = [c for c in exported if isinstance(c, type) and issubclass(c, BaseException)]
        self.assertEqual(len(classes), 16)
        for cls in classes:
            self.assertTrue(issubclass(cls, rs232c_client.Error), cls)
        # What callers caught before keeps catching what it did.
        also = [
            (rs232c_client.DaemonUnreachable, ConnectionError),
            (rs232c_client.UncertainOutcome, ConnectionError),
            (rs232c_client.Fault, xmlrpc.client.Fault),
            (rs232c_client.Cancelled, rs232c_client.Fault),
            (rs232c_client.Busy, rs232c_client.Fault),
            (rs232c_client.Stopping, rs232c_client.Busy),
            (rs232c_client.Forbidden, rs232c_client.Fault),
            (rs232c_client.CallTimedOut, rs232c_client.UncertainOutcome),
            (rs232c_client.HTTPError, rs232c_client.MalformedAnswer),
            (rs232c_client.MalformedAnswer, rs232c_client.UncertainOutcome),
        ]
        for cls, base in also:
            self.assertTrue(issubclass(cls, base), (cls, base))


class TruthValues(unittest.TestCase):
    def test_only_what_succeeded_is_true(self) -> None:
        for result in Result:
            self.assertIs(bool(result), result is Result.ACKNOWLEDGED, result)
            self.assertIs(result.ok, result is Result.ACKNOWLEDGED, result)
        for status in Status:
            self.assertIs(bool(status), status.value > 0, status)  # a status line came
        self.assertEqual((Result.NO_REPLY, Result.ACKNOWLEDGED, Status.NONE), (-2, 1, 0))


class Types(unittest.TestCase):
    def test_mypy_checks_the_kit_its_tests_and_a_program_against_it(self) -> None:
        have = subprocess.run([DEBIAN_PYTHON, "-m", "mypy", "--version"], capture_output=True)
        need_tool(have.returncode == 0, "Debian's mypy")
        tests = sorted(n for n in os.listdir(kit.HERE) if re.match(r"(test_kit_.*|kit)\.py$", n))
        with tempfile.TemporaryDirectory() as folder:
            program = os.path.join(folder, "station.py")
            with open(program, "w") as out:
                out.write(PROGRAM + "".join(line + "\n" for line, _ in MISTAKES))
            env = dict(os.environ, MYPYPATH=os.pathsep.join(
                [os.path.dirname(PACKAGE), os.path.join(kit.TOP, "tests", "e2e")]))
            run = subprocess.run(
                [DEBIAN_PYTHON, "-m", "mypy", "--config-file", "mypy.ini", "--no-error-summary",
                 "--cache-dir", os.path.join(BUILD, "mypy-cache"), PACKAGE, program] + tests,
                cwd=kit.HERE, env=env, capture_output=True, text=True)
        found = re.findall(r"^(\S+?):(\d+): error: (.*)$", run.stdout, re.M)
        first = PROGRAM.count("\n") + 1
        self.assertEqual(len(found), len(MISTAKES), run.stdout + run.stderr)
        for at, ((path, line, message), (_, expected)) in enumerate(zip(found, MISTAKES)):
            self.assertEqual((os.path.basename(path), int(line)), ("station.py", first + at))
            self.assertIn(expected, message)


if __name__ == "__main__":
    kit.main()
