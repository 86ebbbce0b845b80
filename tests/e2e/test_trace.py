"""The record of the line (--trace): its events, its bounds, its files, and a recorded session
replayed by the simulator as a regression test."""

import json
import os
import queue
import re
import signal
import stat
import subprocess
import tempfile
import threading
import time
import unittest
import xmlrpc.client

from harness import (BUILD, DAEMON, DEVICE, Daemon, PORT, Simulator, port_open, post,
                     wait_until)

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURE = os.path.join(HERE, "fixtures", "all-methods.trace")
# A stop takes a few seconds at most however stuck the record's output is; this is that bound
# with generous slack.
STOP_BOUND = 12

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
        self.sim.on("WRT\r\n", 'send "WRT\\r\\nFSP\\r\\n"')  # FSP comes with the reply
        self.assertEqual(rpc.send_cmd_wrt(), 1)                 # drains the CUP first
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

    def test_a_path_that_cannot_be_opened_followed_or_waited_for_stops_the_start_at_once(self):
        target, link, fifo = (os.path.join(self.folder.name, name)
                              for name in ("target", "link", "fifo"))
        with open(target, "w") as planted:
            planted.write("kept\n")
        os.symlink(target, link)
        os.mkfifo(fifo)
        for path, problem in (("/nonexistent/line.trace", "No such file"),
                              (link, "it is a symbolic link"), (fifo, "nothing reads it")):
            done = subprocess.run([DAEMON, "--device", DEVICE, "--port", str(PORT), "--trace", path],
                                  capture_output=True, text=True, timeout=10)
            self.assertEqual(done.returncode, 2, path)
            self.assertEqual(done.stderr.count("\n"), 1, done.stderr)
            self.assertIn("cannot open the trace file %s: %s" % (path, problem), done.stderr)
        with open(target) as planted:
            self.assertEqual(planted.read(), "kept\n")

    def test_a_fifo_with_a_reader_is_served(self):
        fifo = os.path.join(self.folder.name, "fifo")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        try:
            daemon = Daemon(args=("--trace", fifo))
            self.assertEqual(daemon.proxy().get_title(), "No title set (C++)")
            daemon.finish()
            lines = os.read(reader, 1 << 20).decode().splitlines()
        finally:
            os.close(reader)
        self.assertEqual([json.loads(line)["event"] for line in lines], ["start", "call", "stop"])

    def test_drops_are_said_when_they_begin_and_when_they_end(self):
        fifo = os.path.join(self.folder.name, "fifo")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        record = b""

        def read_what_waits():
            nonlocal record
            try:
                while True:
                    chunk = os.read(reader, 1 << 20)
                    if not chunk:
                        return
                    record += chunk
            except BlockingIOError:
                pass
        try:
            daemon = Daemon(args=("--trace", fifo))
            rpc = daemon.proxy()
            for _ in range(30):  # 6 MB for a queue of 4 MiB and a pipe nobody reads
                rpc.get_message("y" * 100000)
            daemon.wait_for("drops events of its trace")
            # The reader catches up: an event fits again, and that is said too.
            while "whole again" not in daemon.output["err"].decode():
                read_what_waits()
                rpc.get_title()
                try:
                    daemon.wait_for("whole again", timeout=0.2)
                except AssertionError:
                    pass
            rpc.set_title("last")
            self.assertTrue(wait_until(lambda: read_what_waits() or b'["last"]' in record))
            _, _, err = daemon.finish()
            read_what_waits()
        finally:
            os.close(reader)
        # Each run of drops is said once as it begins and once as it ends (a loaded machine may
        # see more than one run), and the counts said are those the record holds.
        said = [line for line in err.splitlines() if "its trace" in line]
        self.assertTrue(said and len(said) % 2 == 0, err)
        self.assertTrue(all("drops events" in line for line in said[0::2]), said)
        ends = [re.search(r"whole again; (\d+) events were dropped$", line) for line in said[1::2]]
        self.assertTrue(all(ends), said)
        dropped = sum(json.loads(line)["count"] for line in record.decode().splitlines()
                      if '"dropped"' in line)
        self.assertGreater(dropped, 0)
        self.assertEqual(sum(int(end.group(1)) for end in ends), dropped)

    def test_a_stalled_reader_of_standard_error_never_stalls_the_calls(self):
        # Nobody reads the daemon's standard error, so the pipe fills and stays full.
        daemon = Daemon(args=("--trace", "-"))
        rpc = daemon.proxy()
        big = "y" * 100000
        start = time.monotonic()
        for _ in range(80):  # 16 MB of record, the name and the greeting
            self.assertEqual(rpc.get_message(big), "Hello %s, welcome to Tessaryn!" % big)
        self.assertLess(time.monotonic() - start, 60)  # for ever before
        _, _, err = daemon.finish()
        # What the pipe could not take is counted: in the record, or (on a machine so slow that
        # even the count did not get out before the bounded stop) in the stop's own line.
        dropped = [json.loads(line) for line in err.splitlines() if '"dropped"' in line]
        counted = (dropped and dropped[0]["count"] > 0) or "events of its trace" in err
        self.assertTrue(counted, err[-500:])


class StalledOutput(unittest.TestCase):
    """Nobody reads the daemon's standard error, which holds the record: the pipe fills and
    stays full, as with a hung journal or a pager left open."""

    def test_a_stop_ends_the_daemon_within_a_few_seconds(self):
        for sig, status in ((signal.SIGTERM, -signal.SIGTERM), (signal.SIGUSR1, 0)):
            with self.subTest(signal=sig.name):
                sim = Simulator()
                stalled, write_end = os.pipe()
                daemon = subprocess.Popen([DAEMON, "--device", DEVICE, "--port", str(PORT),
                                           "--trace", "-"], stdout=subprocess.PIPE,
                                          stderr=write_end)
                os.close(write_end)
                try:
                    while not port_open(PORT):
                        self.assertIsNone(daemon.poll())
                        time.sleep(0.05)
                    with xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % PORT) as rpc:
                        for _ in range(10):  # 2 MB of record for a 64 KiB pipe
                            rpc.get_message("y" * 100000)
                    start = time.monotonic()
                    daemon.send_signal(sig)
                    out, _ = daemon.communicate(timeout=STOP_BOUND)
                    took = time.monotonic() - start
                finally:
                    if daemon.poll() is None:
                        daemon.kill()
                        daemon.communicate()
                    os.close(stalled)
                    sim.close()
                self.assertEqual(daemon.returncode, status)
                self.assertLess(took, STOP_BOUND)
                if sig == signal.SIGUSR1:
                    self.assertEqual(out.splitlines()[1:], [b"RS232C Daemon stopped"])


class FullDisk(unittest.TestCase):
    """The record on a small file system that fills up, and then has room again."""

    CALLS = 80

    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        # A tmpfs of 8 MiB that only a mount namespace of its own sees, held by a sleeping shell.
        self.holder = subprocess.Popen(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c",
             'mount -t tmpfs -o size=8m rs232c-test "$1" && echo mounted && exec sleep 600',
             "sh", self.folder.name], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if self.holder.stdout.readline() != b"mounted\n":
            _, err = self.holder.communicate(timeout=10)
            self.folder.cleanup()
            self.skipTest("cannot mount a small tmpfs here: %s" % err.decode().strip())
        # The tmpfs as this process sees it.
        self.disk = "/proc/%d/root%s" % (self.holder.pid, self.folder.name)

    def tearDown(self):
        self.holder.kill()
        self.holder.communicate()
        self.folder.cleanup()

    def fill_but(self, room):
        """Fills the disk but `room` bytes; returns the filler's path."""
        filler = os.path.join(self.disk, "filler")
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o600)
        try:
            while True:
                os.write(fd, b"\0" * 65536)
        except OSError:
            pass
        finally:
            os.close(fd)
        os.truncate(filler, os.path.getsize(filler) - room)
        return filler

    def test_every_call_is_in_the_record_or_counted_and_the_failure_is_said_once(self):
        filler = self.fill_but(200 * 1024)  # two calls' worth
        sim = Simulator()
        # Entering the namespace moves to its root; --wd keeps the build's relative paths.
        daemon = Daemon(wrapper=("nsenter", "-t", str(self.holder.pid), "-m",
                                 "--wd=" + os.getcwd(), "--"),
                        args=("--trace", os.path.join(self.folder.name, "line.trace")))
        lines = queue.Queue()
        err = []

        def read_errors():
            for line in daemon.proc.stderr:
                err.append(line.decode())
                lines.put(line.decode())
        reader = threading.Thread(target=read_errors, daemon=True)
        reader.start()

        def await_line(text):
            while text not in lines.get(timeout=30):
                pass
        try:
            rpc = daemon.proxy()
            for _ in range(self.CALLS):  # 8 MB of record: more than the disk and the queue hold
                rpc.get_message("x" * 50000)
            await_line("cannot write its trace")
            os.truncate(filler, 0)
            await_line("writes its trace")
            daemon.proc.send_signal(signal.SIGUSR1)
            self.assertEqual(daemon.proc.wait(timeout=STOP_BOUND), 0)
            reader.join(timeout=10)
        finally:
            if daemon.proc.poll() is None:
                daemon.proc.kill()
                daemon.proc.wait()
            daemon.proc.stdout.close()
            sim.close()

        with open(os.path.join(self.disk, "line.trace")) as record:
            trace = [json.loads(line) for line in record]  # every line whole
        calls = sum(1 for e in trace if e["event"] == "call")
        dropped = sum(e["count"] for e in trace if e["event"] == "dropped")
        self.assertGreater(dropped, 0)
        self.assertEqual(calls + dropped, self.CALLS)
        self.assertEqual(sum("cannot write its trace" in line for line in err), 1, err)
        self.assertEqual(sum("writes its trace" in line and "again" in line for line in err), 1,
                         err)
        self.assertEqual(trace[-1]["event"], "stop")


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

    def test_the_reader_skips_what_it_cannot_use_and_escapes_what_it_prints(self):
        with open(FIXTURE) as fixture:
            good = fixture.read().splitlines()
        forged = "http://ui\x1b[2K\x1b[1A\r2026-12-08 00:00:00  all is well\u202e"
        hostile = [
            '{"mono":1.0,"event":"open","port":"p"}',  # no time
            "not JSON at all",
            '{"time":"2026-12-08T14:14:18.000001Z","mono":"1","event":"open","port":"p"}',
            '{"time":"2026-12-08T14:14:18.000002Z","mono":2,"event":"call","client":7,'
            '"method":"x","params":[],"result":1,"meaning":"m","ms":1}',
            json.dumps({"time": "2026-12-08T14:14:18.000003Z", "mono": 3.0,
                        "event": "refused-call", "client": "127.0.0.1:1",
                        "reason": "web origin " + forged}),
        ]
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "hostile.trace")
            with open(path, "w") as trace:
                trace.write("\n".join(good[:3] + hostile + good[3:]) + "\n")
            done = subprocess.run([os.path.join(BUILD, "rs232c-trace"), path],
                                  capture_output=True, timeout=10)
        out = done.stdout.decode()
        self.assertEqual(done.returncode, 0)
        self.assertNotIn("\x1b", out)
        self.assertNotIn("\u202e", out)
        self.assertIn("refused: web origin http://ui\\x1B[2K\\x1B[1A\\r2026-12-08", out)
        self.assertIn("send_cmd_fwd()  -> 1: acknowledged", out)     # what follows still prints
        self.assertIn("serial_close()  -> 0", out)
        self.assertEqual(done.stderr.decode(), "rs232c-trace: skipped 4 lines that are no event "
                         "of a trace (not JSON, or a field missing or of the wrong type)\n")


if __name__ == "__main__":
    unittest.main()
