"""The record of the line (--trace): its events, its bounds, its files, and a recorded session
replayed by the simulator as a regression test."""

import json
import os
import stat
import subprocess
import tempfile
import time
import unittest
import xmlrpc.client

from harness import BUILD, DAEMON, Daemon, Simulator, post, wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURE = os.path.join(HERE, "fixtures", "all-methods.trace")

# Every method once, as a UI program might call them: (method, arguments).
SESSION = [
    ("get_title", ()), ("set_title", ("Station 3",)), ("get_message", ("Ann",)),
    ("send_cmd", ("VER\r\n",)), ("send_cmd_com", ("abc",)), ("send_cmd_cos", ()),
    ("send_cmd_cst", ("UUV",)), ("send_cmd_chs", ("1",)), ("send_cmd_fwd", ()),
    ("send_cmd_rvs", ()), ("send_cmd_stp", ()), ("send_cmd_ch", ("3",)), ("send_cmd_rst", ()),
    ("send_cmd_win", ()), ("send_cmd_wot", ()), ("send_cmd_wot_with_wng", ()),
    ("send_cmd_wrt", ()), ("recv_cmd_inf", ()), ("get_last_recv_data_bin_str", ()),
    ("get_last_recv_data_str", ()), ("send_cmd_ver", ()), ("send_cmd_ver_script", ()),
    ("serial_close", ()),
]


def has_event(path, kind):
    with open(path) as trace:
        return '"event":"%s"' % kind in trace.read()


def events(path):
    with open(path) as trace:
        return [json.loads(line) for line in trace]


def record_session(path):
    """Records SESSION into the trace file `path`: every method, each acknowledged or answered
    (scripts/record-trace-fixture.sh makes FIXTURE with it)."""
    sim = Simulator()
    daemon = Daemon(args=("--trace", path))
    try:
        rpc = daemon.proxy()
        sim.on("WOT\r\n", 'send "WOT\\r\\nWNG\\r\\n"')
        for method, args in SESSION:
            if method == "recv_cmd_inf":
                sim.pending(b"CUP\r\n")  # so that the status poll has a line to report
            getattr(rpc, method)(*args)
    finally:
        daemon.finish()
        sim.close()


def replay_calls(trace_path, calls):
    """Replays a recorded session: the simulator plays the controller at its recorded pace, and
    the calls are made again, each once the simulator has sent all it sent before that call;
    returns their results."""
    sim = Simulator(defaults=False, replay=trace_path)
    daemon = Daemon()
    try:
        rpc = daemon.proxy()
        results = []
        for method, args in calls:
            sim.command("wait-idle")
            results.append(getattr(rpc, method)(*args))
        return results, sim.command("errors")
    finally:
        daemon.finish()
        sim.close()


def recorded_calls(trace):
    """(method, arguments, result) of every call in a trace, in order."""
    return [(c["method"], tuple(c["params"]), c["result"]) for c in trace if c["event"] == "call"]


class Record(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.folder.name, "line.trace")
        self.sim = Simulator()

    def tearDown(self):
        self.sim.close()
        self.folder.cleanup()

    def test_every_kind_of_event_with_its_fields(self):
        daemon = Daemon(args=("--trace", self.path))
        rpc = daemon.proxy()
        self.assertEqual(rpc.send_cmd_wrt(), 1)                 # opens and holds the port
        self.sim.pending(b"CUP\r\n")
        self.assertEqual(rpc.send_cmd_wrt(), 1)                 # drains the CUP first
        self.sim.pending(b"FSP\r\n")
        self.assertEqual(rpc.send_cmd_rst(), 1)                 # the set-up flush discards FSP
        with self.assertRaises(xmlrpc.client.Fault):
            rpc.send_cmd_ch(5)                                  # a fault
        post('<?xml version="1.0"?><methodCall><methodName>send_cmd_fwd</methodName>'
             '</methodCall>', headers="Origin: http://evil.example\r\n")
        self.sim.command("hangup")
        # The daemon's watch closes the held port and records that (the writer is prompt).
        self.assertTrue(wait_until(lambda: has_event(self.path, "hangup")))
        status, _, _ = daemon.finish()
        self.assertEqual(status, -15)  # SIGTERM still ends it, after the record says so

        trace = events(self.path)
        kinds = [e["event"] for e in trace]
        for kind in ("start", "open", "tx", "rx", "drain", "discard", "call", "refused-call",
                     "hangup", "stop"):
            self.assertIn(kind, kinds)
        for e in trace:
            self.assertRegex(e["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z$")
            self.assertIsInstance(e["mono"], float)
        byte_events = {e["event"]: e for e in trace if "hex" in e}
        self.assertEqual(byte_events["drain"]["text"], "CUP\r\n")
        self.assertEqual(byte_events["drain"]["hex"], "43 55 50 0D 0A")
        self.assertEqual(byte_events["discard"]["text"], "FSP\r\n")
        calls = [e for e in trace if e["event"] == "call"]
        self.assertEqual([c["method"] for c in calls], ["send_cmd_wrt"] * 2 + ["send_cmd_rst", "send_cmd_ch"])
        self.assertRegex(calls[0]["client"], r"^127\.0\.0\.1:\d+$")
        self.assertEqual((calls[0]["result"], calls[0]["meaning"]), (1, "acknowledged"))
        self.assertGreater(calls[0]["ms"], 150)
        self.assertIn("string", calls[3]["fault"])
        self.assertIn("evil.example", [e for e in trace if e["event"] == "refused-call"][0]["reason"])
        self.assertEqual(trace[-1], dict(trace[-1], event="stop", reason="SIGTERM"))
        self.assertEqual(stat.S_IMODE(os.stat(self.path).st_mode), 0o640)

    def test_the_file_rotates_at_its_size(self):
        daemon = Daemon(args=("--trace", self.path, "--trace-size", "8k"))
        rpc = daemon.proxy()
        for _ in range(60):
            rpc.set_title("x" * 200)
        daemon.finish()
        files = sorted(os.listdir(self.folder.name))
        self.assertEqual(files[:3], ["line.trace", "line.trace.1", "line.trace.2"])
        self.assertLessEqual(len(files), 5)  # the newest and four older ones
        for name in files:
            self.assertLessEqual(os.path.getsize(os.path.join(self.folder.name, name)), 8192)

    def test_a_file_that_cannot_be_opened_stops_the_start(self):
        done = subprocess.run([DAEMON, "--trace", "/nonexistent/line.trace"], capture_output=True,
                              text=True, timeout=10)
        self.assertEqual(done.returncode, 2)
        self.assertEqual(done.stderr.count("\n"), 1)
        self.assertIn("cannot open the trace file /nonexistent/line.trace", done.stderr)

    def test_a_stalled_reader_of_standard_error_never_stalls_the_calls(self):
        # Nobody reads the daemon's standard error, so the pipe fills and stays full.
        daemon = Daemon(args=("--trace", "-"))
        rpc = daemon.proxy()
        big = "y" * 100000
        start = time.monotonic()
        for _ in range(80):  # 16 MB of record
            self.assertEqual(rpc.set_title(big), big)
        self.assertLess(time.monotonic() - start, 30)
        _, _, err = daemon.finish()
        dropped = [json.loads(line) for line in err.splitlines() if '"dropped"' in line]
        self.assertTrue(dropped and dropped[0]["count"] > 0, err[-500:])


class Replay(unittest.TestCase):
    def test_a_recorded_session_of_every_method_replays_to_the_same_results(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "session.trace")
            record_session(path)
            calls = recorded_calls(events(path))
            results, errors = replay_calls(path, [c[:2] for c in calls])
            self.assertEqual(results, [c[2] for c in calls])
            self.assertEqual(errors, "errors 0")

    def test_the_checked_in_trace_still_replays_to_its_results(self):
        calls = recorded_calls(events(FIXTURE))
        self.assertEqual(sorted({c[0] for c in calls}), sorted(name for name, _ in SESSION))
        results, errors = replay_calls(FIXTURE, [c[:2] for c in calls])
        self.assertEqual(results, [c[2] for c in calls])
        self.assertEqual(errors, "errors 0")

    def test_the_reader_prints_a_timeline(self):
        out = subprocess.run([os.path.join(BUILD, "rs232c-trace"), FIXTURE], capture_output=True,
                             text=True, timeout=10, check=True).stdout
        self.assertRegex(out, r"\d\d:\d\d:\d\d\.\d{6}  127\.0\.0\.1:\d+  send_cmd_fwd\(\)  -> 1: "
                              r"acknowledged")
        self.assertIn("    ", out)
        self.assertIn("> FWD\\r\\n", out)
        self.assertIn("< FWD\\r\\n", out)


if __name__ == "__main__":
    unittest.main()
