"""The real daemon beside a simulator of the test's own, on a free port: tests of the clients
need no root and run beside every other test."""

from __future__ import annotations

import os
import socket
import sys
import tempfile
import time
import typing
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
sys.path.insert(0, os.path.join(TOP, "clients", "python"))

import rs232c_client  # noqa: E402
from harness import Daemon, Simulator  # noqa: E402

# Status for ctest: every case of the file skipped (a language that is not installed here).
SKIPPED = 77


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port: int = s.getsockname()[1]
        return port


def start_daemon(device: str, extra: typing.Sequence[str] = ()) -> Daemon:
    """A daemon on a free port; another program may take the port first, so try a few."""
    for _ in range(5):
        port = free_port()
        args = ["--device", device, "--port", str(port), "--listen", "127.0.0.1"] + list(extra)
        try:
            return Daemon(args=args, port=port)
        except AssertionError as error:
            failure = error
    raise failure


class Line(unittest.TestCase):
    """A simulator and a daemon per test class; each test starts with the default rules."""

    daemon_args: typing.Tuple[str, ...] = ()  # beyond the device, the port and the address
    tmp: tempfile.TemporaryDirectory[str]
    device: str
    sim: Simulator
    daemon: Daemon
    url: str

    @classmethod
    def setUpClass(cls) -> None:
        cls.tmp = tempfile.TemporaryDirectory()
        cls.device = os.path.join(cls.tmp.name, "tool-controller")
        cls.sim = Simulator(link=cls.device)
        try:
            cls.daemon = start_daemon(cls.device, cls.daemon_args)
        except Exception:
            cls.sim.close()
            cls.tmp.cleanup()
            raise
        cls.url = "http://127.0.0.1:%d/RPC2" % cls.daemon.port

    @classmethod
    def tearDownClass(cls) -> None:
        cls.daemon.finish()
        cls.sim.close()
        cls.tmp.cleanup()

    @classmethod
    def restart_simulator(cls) -> None:
        cls.sim.close()
        cls.sim = Simulator(link=cls.device)

    def assertReceived(self, expected: bytes) -> None:
        """The simulator receives `expected` (it reads the line in a thread of its own)."""
        deadline = time.monotonic() + 10
        while self.sim.received() != expected and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertEqual(self.sim.received(), expected)

    def setUp(self) -> None:
        self.sim.command("clear-rules")
        self.sim.command("defaults")
        self.sim.clear()
        rs232c_client.Controller(self.url).serial_close()


def main() -> typing.NoReturn:
    """Runs the file's tests; exits 77 when each was skipped."""
    program = unittest.main(exit=False, verbosity=2)
    result = program.result
    if result.testsRun and len(result.skipped) == result.testsRun:
        sys.exit(SKIPPED)
    sys.exit(not result.wasSuccessful())
