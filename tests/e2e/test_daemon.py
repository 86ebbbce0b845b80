"""The daemon process: its lines, SIGINT, and a port that is already taken."""

import signal
import socket
import time
import unittest

from harness import Daemon, Simulator, PORT, require_test_host


def setUpModule():
    require_test_host()


class Process(unittest.TestCase):
    def setUp(self):
        self.sim = Simulator()

    def tearDown(self):
        self.sim.close()

    def test_start_and_sigint_writes_its_line_and_serving_goes_on(self):
        daemon = Daemon(sigint=signal.SIG_DFL)
        rpc = daemon.proxy()
        self.assertEqual(rpc.get_title(), "No title set (C++)")
        for _ in range(2):
            daemon.proc.send_signal(signal.SIGINT)
            time.sleep(0.3)
            self.assertEqual(rpc.send_cmd_wrt(), 1)
        status, out, err = daemon.finish(signal.SIGTERM)
        self.assertEqual(out, "RS232C Daemon started\n")
        self.assertEqual(err, "RS232CDaemon::handler caught CTRL-C\n" * 2)
        self.assertEqual(status, -signal.SIGTERM)  # killed: no stopped line, no exit hook

    def test_sighup_writes_its_line_and_serving_goes_on(self):
        daemon = Daemon()
        daemon.proc.send_signal(signal.SIGHUP)
        time.sleep(0.3)
        self.assertEqual(daemon.proxy().send_cmd_wrt(), 1)
        status, out, err = daemon.finish(signal.SIGTERM)
        self.assertEqual(err, "RS232CDaemon::handler ignored SIGHUP\n")
        self.assertEqual(status, -signal.SIGTERM)

    def test_sigint_ignored_at_start_stays_ignored(self):
        daemon = Daemon(sigint=signal.SIG_IGN)
        daemon.proc.send_signal(signal.SIGINT)
        time.sleep(0.3)
        self.assertEqual(daemon.proxy().get_message("Ann"), "Hello Ann, welcome to Tessaryn!")
        status, out, err = daemon.finish(signal.SIGTERM)
        self.assertEqual(err, "")

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
        self.assertIn("40405", lines[0])
        self.assertEqual(lines[1], "RS232CDaemon::shutdown")
        self.assertEqual(out, "RS232C Daemon started\nRS232C Daemon stopped\n")


if __name__ == "__main__":
    unittest.main()
