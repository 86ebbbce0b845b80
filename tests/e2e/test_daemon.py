"""The daemon process: its lines, SIGINT, a port that is already taken, and how systemd stops it."""

import os
import signal
import socket
import subprocess
import threading
import time
import unittest
import xmlrpc.client

from harness import (BUILD, DAEMON, DEVICE, Daemon, Simulator, PORT, calls_waiting, port_open,
                     private_path, reserve_port, wait_until)

STARTED = ("RS232C Daemon started: serving TCP port %d on every IPv4 interface, the tool "
           "controller on %s\n" % (PORT, DEVICE))


def signals_ignored(pid):
    with open("/proc/%d/status" % pid) as status:
        mask = next(line for line in status if line.startswith("SigIgn:")).split()[1]
    return int(mask, 16)


class Process(unittest.TestCase):
    def setUp(self):
        self.sim = Simulator()

    def tearDown(self):
        self.sim.close()

    def test_start_and_sigint_writes_its_line_and_serving_goes_on(self):
        daemon = Daemon(sigint=signal.SIG_DFL)
        rpc = daemon.proxy()
        self.assertEqual(rpc.get_title(), "No title set (C++)")
        for count in (1, 2):
            daemon.proc.send_signal(signal.SIGINT)
            daemon.wait_for("caught CTRL-C", count=count)
            self.assertEqual(rpc.send_cmd_wrt(), 1)
        status, out, err = daemon.finish(signal.SIGTERM)
        self.assertEqual(out, STARTED)
        self.assertEqual(err, "RS232CDaemon::handler caught CTRL-C\n" * 2)
        self.assertEqual(status, -signal.SIGTERM)  # killed: no stopped line, no exit hook

    def test_sighup_writes_its_line_and_serving_goes_on(self):
        daemon = Daemon()
        daemon.proc.send_signal(signal.SIGHUP)
        daemon.wait_for("ignored SIGHUP")
        self.assertEqual(daemon.proxy().send_cmd_wrt(), 1)
        status, out, err = daemon.finish(signal.SIGTERM)
        self.assertEqual(err, "RS232CDaemon::handler ignored SIGHUP\n")
        self.assertEqual(status, -signal.SIGTERM)

    def test_sigusr1_stops_the_daemon_in_order(self):
        daemon = Daemon()
        self.assertEqual(daemon.proxy().send_cmd_wrt(), 1)  # holds the port
        status, out, err = daemon.finish(signal.SIGUSR1)
        self.assertEqual(status, 0)
        self.assertEqual(out, STARTED + "RS232C Daemon stopped\n")
        self.assertEqual(err, "RS232CDaemon::shutdown\n")
        self.assertFalse(port_open())

    def test_signals_while_it_stops_touch_nothing_already_gone(self):
        # SIGUSR1 keeps coming while main takes the daemon apart (the sanitizer build catches a
        # use of what is gone already).
        daemon = Daemon()
        try:
            while daemon.proc.poll() is None:
                daemon.proc.send_signal(signal.SIGUSR1)
        except ProcessLookupError:
            pass
        status, out, err = daemon.finish()
        self.assertEqual(status, 0, err[-2000:])
        self.assertTrue(out.endswith("RS232C Daemon stopped\n"), out)

    def test_sigusr1_lets_the_exchange_on_the_line_finish_and_refuses_the_calls_waiting(self):
        # Long enough for every caller to be queued before the first is done, when slow.
        self.sim.on("FWD\r\n", 'delay 3000 send "FWD\\r\\n"')
        daemon = Daemon()
        results = []

        def forward():
            try:
                results.append(daemon.proxy().send_cmd_fwd())
            except xmlrpc.client.Fault as fault:
                results.append(fault.faultCode)
        callers = [threading.Thread(target=forward) for _ in range(5)]
        for caller in callers:
            caller.start()
        self.assertTrue(wait_until(lambda: calls_waiting() == 4))
        start = time.monotonic()
        status, out, err = daemon.finish(signal.SIGUSR1)
        taken = time.monotonic() - start
        for caller in callers:
            caller.join()
        self.assertEqual(status, 0, err)
        self.assertEqual(sorted(results), [-507] * 4 + [1])
        self.assertEqual(self.sim.received().count(b"FWD"), 1)
        self.assertLess(taken, 6)  # the one FWD on the line (3 s), never the queue behind it

    def test_under_the_journal_each_line_carries_its_priority(self):
        # systemd names the journal's stream in JOURNAL_STREAM; here, the test's pipe for
        # standard error. Standard output is another pipe: its lines stay as they are.
        journal = ("sh", "-c", 'JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec "$0" "$@"')
        absent = private_path("unplugged")
        for wrapper, warning, info in (((), "", ""), (journal, "<4>", "<6>")):
            daemon = Daemon(wrapper=wrapper, args=("--device", absent))
            daemon.wait_for("finds no adapter at")  # said at the start, before any call
            daemon.proc.send_signal(signal.SIGHUP)
            daemon.wait_for("ignored SIGHUP")
            status, out, err = daemon.finish(signal.SIGUSR1)
            self.assertEqual(err.splitlines(), [
                warning + "RS232C Daemon finds no adapter at %s: calls get -1 until it is "
                "plugged in" % absent,
                info + "RS232CDaemon::handler ignored SIGHUP",
                info + "RS232CDaemon::shutdown"], wrapper)
            self.assertEqual(out, STARTED.replace(DEVICE, absent) + "RS232C Daemon stopped\n")

    def test_sigint_ignored_at_start_stays_ignored(self):
        daemon = Daemon(sigint=signal.SIG_IGN)
        # Ignored, a SIGINT is discarded when it is sent: there is nothing to wait for.
        self.assertTrue(signals_ignored(daemon.proc.pid) & (1 << (signal.SIGINT - 1)))
        daemon.proc.send_signal(signal.SIGINT)
        self.assertEqual(daemon.proxy().get_message("Ann"), "Hello Ann, welcome to Tessaryn!")
        status, out, err = daemon.finish(signal.SIGTERM)
        self.assertEqual(err, "")

    def test_two_daemons_drive_two_controllers_on_two_ports(self):
        links = [private_path(name) for name in ("left", "right")]
        sims = [Simulator(link=link) for link in links]
        daemons = [Daemon(args=("--device", link), port=reserve_port()) for link in links]
        try:
            for n, daemon in enumerate(daemons):
                self.assertEqual(daemon.proxy().send_cmd_ch(str(n)), 1)
            self.assertEqual([sim.received() for sim in sims], [b"MOV:0\r\n", b"MOV:1\r\n"])
        finally:
            for daemon in daemons:
                daemon.finish()
            for sim in sims:
                sim.close()

    def test_listen_narrows_the_addresses_served(self):
        # 127.0.0.2 is another address of this box: the whole of 127/8 reaches the loopback.
        daemon = Daemon(args=("--listen", "127.0.0.1"))
        try:
            self.assertTrue(port_open(PORT, "127.0.0.1"))
            self.assertFalse(port_open(PORT, "127.0.0.2"))
        finally:
            daemon.finish()
        daemon = Daemon()
        try:
            self.assertTrue(port_open(PORT, "127.0.0.2"))  # by default, every interface
        finally:
            daemon.finish()

    def test_the_command_line_is_answered_before_anything_is_opened(self):
        for args, status, stream, text in [
                (["--help"], 0, "out", "usage: rs232c-daemon"),
                (["--version"], 0, "out", "rs232c-daemon "),
                (["--port", "99999"], 2, "err", "rs232c-daemon: --port takes a number from 1 to 65535"),
                (["--bogus"], 2, "err", "rs232c-daemon: unknown option --bogus")]:
            done = subprocess.run([DAEMON] + args, capture_output=True, text=True, timeout=10)
            self.assertEqual(done.returncode, status, args)
            self.assertTrue((done.stdout if stream == "out" else done.stderr).startswith(text),
                            (args, done.stdout, done.stderr))
            if status == 2:
                self.assertEqual(done.stderr.count("\n"), 1)
        self.assertFalse(port_open(PORT))

    def test_a_taken_port_is_reported_and_ends_the_process_with_status_1(self):
        with socket.socket() as blocker:
            blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            blocker.bind(("0.0.0.0", PORT))
            blocker.listen()
            daemon = Daemon(wait=False)
            status = daemon.proc.wait(timeout=20)
            out, err = (text.decode() for text in daemon.proc.communicate())
        self.assertEqual(status, 1)
        lines = err.splitlines()
        self.assertEqual(len(lines), 2, err)
        self.assertIn(str(PORT), lines[0])
        self.assertEqual(lines[1], "RS232CDaemon::shutdown")
        self.assertEqual(out, STARTED + "RS232C Daemon stopped\n")


class Units(unittest.TestCase):
    # What a stop must leave time for: the longest exchange without data flowing
    # (timing::kLongestQuietCall), an STP queued behind it, and the record written out.
    LONGEST_QUIET_CALL, STP, RECORD = 34, 4, 2

    def test_both_units_stop_the_daemon_in_order_and_wait_for_the_exchange(self):
        for unit in ("rs232c-daemon.service", "rs232c-daemon@.service"):
            with open(os.path.join(BUILD, "packaging", unit)) as text:
                keys = dict(line.strip().split("=", 1) for line in text
                            if "=" in line and not line.startswith("#"))
            self.assertEqual(keys["KillSignal"], "SIGUSR1", unit)
            self.assertGreaterEqual(int(keys["TimeoutStopSec"]),
                                    self.LONGEST_QUIET_CALL + self.STP + self.RECORD, unit)


if __name__ == "__main__":
    unittest.main()
