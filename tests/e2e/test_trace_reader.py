"""rs232c-trace as an operator watches a live station with it: each event printed as it arrives
(from a pipe, from the journal's output, from a file followed across rotation), filters by
method and by event, and a count of the lines it could not read. No daemon: the events are
written here as the daemon writes them."""

import json
import os
import queue
import signal
import subprocess
import tempfile
import threading
import unittest

from harness import BUILD

READER = os.path.join(BUILD, "rs232c-trace")
# A line awaited comes at once, or half a second later for bytes held for their call; the bound
# only keeps a broken reader from hanging the test.
AWAIT = 30
SKIPPED = ("rs232c-trace: skipped %d line%s no event of a trace (not JSON, or a field missing or "
           "of the wrong type)\n")
JOURNAL = "Dec 08 14:14:18 station-3 rs232c-daemon[812]: "


def event(second, name, **fields):
    line = {"time": "2026-12-08T14:14:%09.6fZ" % second, "mono": float(second), "event": name}
    line.update(fields)
    return json.dumps(line) + "\n"


def on_line(second, name, text):
    return event(second, name, port="/dev/ttyUSB0",
                 hex=" ".join("%02X" % b for b in text.encode()))


def call(second, method, result, meaning):
    return event(second, "call", client="127.0.0.1:5000", method=method, params=[],
                 result=result, meaning=meaning, ms=200.5)


# A title read while FWD waits for its reply, then an RVS that gets none.
START = event(10, "start", version="1.1.0", port="/dev/ttyUSB0", tcp=40405)
FWD = (event(11, "open", port="/dev/ttyUSB0") + on_line(11.1, "tx", "FWD\r\n")
       + call(11.15, "get_title", "Station 3", "answered") + on_line(11.2, "rx", "FWD\r\n")
       + call(11.2, "send_cmd_fwd", 1, "acknowledged"))
RVS_SENT = on_line(12.1, "tx", "RVS\r\n")
RVS_ENDS = call(13.1, "send_cmd_rvs", -2, "no reply")
STOP = event(14, "stop", reason="SIGTERM")
SESSION = START + FWD + RVS_SENT + RVS_ENDS + STOP

SHOWN = {
    "start": "2026-12-08 14:14:10.000000  daemon start 1.1.0, line /dev/ttyUSB0, TCP port 40405",
    "open": "    14:14:11.000000  opened /dev/ttyUSB0",
    "fwd>": "    14:14:11.100000  > FWD\\r\\n",
    "title": '2026-12-08 14:14:11.150000  127.0.0.1:5000  get_title()  -> "Station 3": answered'
             "  (200.5 ms)",
    "fwd<": "    14:14:11.200000  < FWD\\r\\n",
    "fwd": "2026-12-08 14:14:11.200000  127.0.0.1:5000  send_cmd_fwd()  -> 1: acknowledged  "
           "(200.5 ms)",
    "rvs>": "    14:14:12.100000  > RVS\\r\\n",
    "rvs": "2026-12-08 14:14:13.100000  127.0.0.1:5000  send_cmd_rvs()  -> -2: no reply  "
           "(200.5 ms)",
    "stop": "2026-12-08 14:14:14.000000  daemon stop (SIGTERM)",
}


def shown(*keys, indent=True):
    return [SHOWN[key] if indent else SHOWN[key].lstrip() for key in keys]


def skipped(count):
    return SKIPPED % (count, " that is" if count == 1 else "s that are") if count else ""


class LiveReader:
    """rs232c-trace running, its output read line by line as it comes."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([READER, *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = queue.Queue()
        self.printed = []
        self.reading = threading.Thread(target=self._read, daemon=True)
        self.reading.start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.decode().rstrip("\n"))

    def send(self, text):
        self.proc.stdin.write(text.encode())
        self.proc.stdin.flush()

    def await_line(self, text):
        while not self.printed or text not in self.printed[-1]:
            self.printed.append(self.lines.get(timeout=AWAIT))

    def stop(self, sig):
        """Ends it with a signal while its input is still open; its status and standard error."""
        self.proc.send_signal(sig)
        try:
            status = self.proc.wait(timeout=AWAIT)
            err = self.proc.stderr.read().decode()
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            self.proc.stdin.close()
            self.proc.stderr.close()
            self.reading.join(timeout=AWAIT)
            self.proc.stdout.close()
        while not self.lines.empty():
            self.printed.append(self.lines.get())
        return status, err


def rotate(path):
    """As the daemon rotates its trace: PATH.3 becomes PATH.4, ..., PATH becomes PATH.1, and a
    new PATH begins."""
    for k in range(4, 0, -1):
        older = path + ("." + str(k - 1) if k > 1 else "")
        if os.path.exists(older):
            os.rename(older, path + "." + str(k))
    open(path, "x").close()


class Live(unittest.TestCase):
    def test_each_event_is_printed_while_its_input_is_still_open(self):
        reader = LiveReader()
        reader.send(START)
        reader.await_line("daemon start")
        # A command goes out and its call has not come: it is shown all the same.
        fwd = FWD.splitlines(True)
        reader.send(fwd[0] + fwd[1])
        reader.await_line("> FWD")
        reader.send("RS232CDaemon::handler caught CTRL-C\n" + "".join(fwd[2:]))
        reader.await_line("send_cmd_fwd()")
        status, err = reader.stop(signal.SIGINT)
        self.assertEqual(status, 0)
        self.assertEqual(err, skipped(1))
        # Held bytes, once shown, come before their call: the call line ends them.
        self.assertEqual(reader.printed, shown("start", "open", "fwd>", "title", "fwd<", "fwd"))

    def test_a_followed_file_is_read_across_its_rotations_each_event_once_in_order(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "line.trace")
            with open(path, "w") as trace:
                trace.write(START + FWD)
            reader = LiveReader("--follow", path)
            reader.await_line("send_cmd_fwd()")
            with open(path, "a") as trace:  # the old file's last lines, just before it rotates
                trace.write(RVS_SENT + "{not an event\n")
            rotate(path)
            with open(path, "a") as trace:
                trace.write(RVS_ENDS)
            rotate(path)
            with open(path, "a") as trace:
                trace.write(STOP)
            reader.await_line("daemon stop")
            status, err = reader.stop(signal.SIGTERM)
        self.assertEqual(status, 0)
        self.assertEqual(err, skipped(1))
        # RVS's bytes may be shown before its call line, if they waited half a second for it.
        self.assertIn(reader.printed[6:8], (shown("rvs", "rvs>"), shown("rvs>", "rvs")))
        self.assertEqual(reader.printed[:6] + reader.printed[8:],
                         shown("start", "title", "fwd", "open", "fwd>", "fwd<", "stop"))


class Filters(unittest.TestCase):
    def test_what_is_printed_of_a_trace_and_of_the_journal(self):
        journal = ("Dec 08 14:14:09 station-3 systemd[1]: Starting rs232c-daemon.service...\n"
                   + "".join(JOURNAL + line for line in SESSION.splitlines(True))
                   + JOURNAL + "RS232CDaemon::handler caught CTRL-C\n"
                   + JOURNAL + SESSION[:40] + "\n")  # an event the journal cut off
        grouped = shown("start", "title", "fwd", "open", "fwd>", "fwd<", "rvs", "rvs>", "stop")
        banner = "Building rs232c-daemon ...\n[100%] Built target rs232c-daemon\n\n"
        last_two = shown("fwd", "open", "fwd>", "fwd<", "rvs", "rvs>", "stop")
        cases = [
            # (arguments, input, lines printed, standard error, exit status)
            ((), SESSION, grouped, "", 0),
            # Lines before the first event (systemd's, a script's banner) are no fault.
            ((), journal, grouped, skipped(2), 0),
            ((), banner + SESSION + banner, grouped, skipped(2), 0),
            (("--method", "send_cmd_fwd"), journal, shown("fwd", "open", "fwd>", "fwd<"),
             skipped(2), 0),
            # The last calls, each with its bytes, and what came after the first of them.
            (("-n", "2"), banner + SESSION, last_two, "", 0),
            (("-n2",), journal, last_two, skipped(2), 0),
            (("-n", "1", "--method", "send_cmd_fwd"), SESSION, shown("fwd", "open", "fwd>", "fwd<"),
             "", 0),
            (("-n", "9"), SESSION, grouped, "", 0),
            (("-n", "0"), SESSION, [], "rs232c-trace: -n takes a number of calls from 1 up", 2),
            (("-n", "1", "--follow", "f"), "", [], "--follow does not end", 2),
            (("--method=get_title", "--method", "send_cmd_rvs"), SESSION,
             shown("title", "rvs", "rvs>"), "", 0),
            (("--event", "call"), SESSION, shown("title", "fwd", "rvs"), "", 0),
            (("--event", "tx", "--event", "stop"), SESSION,
             shown("fwd>", "rvs>", "stop", indent=False), "", 0),
            (("--method", "send_cmd_fwd", "--event", "rx"), SESSION,
             shown("fwd<", indent=False), "", 0),
            (("--event", "nonsense"), SESSION, [], "rs232c-trace: no event nonsense", 2),
            (("--follow",), SESSION, [], "rs232c-trace: --follow needs a value", 2),
            (("--version",), "", ["rs232c-trace 1.2.0"], "", 0),
        ]
        for args, text, lines, err, status in cases:
            with self.subTest(args=args):
                done = subprocess.run([READER, *args], input=text.encode(), capture_output=True,
                                      timeout=AWAIT)
                self.assertEqual(done.stdout.decode().splitlines(), lines)
                if status == 0:
                    self.assertEqual(done.stderr.decode(), err)
                else:
                    self.assertIn(err, done.stderr.decode())
                self.assertEqual(done.returncode, status)


if __name__ == "__main__":
    unittest.main()
