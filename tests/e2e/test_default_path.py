"""The daemon started with no option, as the service starts it: /dev/ttyUSB0 and port 40405.

The only test that uses those fixed names. It needs root (to link the simulator at
/dev/ttyUSB0) and skips, saying why, for anyone else, where a real adapter is plugged in, or
where port 40405 is taken. Every other test has a pseudo-terminal and a port of its own.
"""

import fcntl
import os
import unittest

from harness import (DEFAULT_DEVICE, DEFAULT_PORT, Daemon, Simulator, descriptors_on,
                     port_open)

# Other runs that use the fixed names (this test in another build, people's own tries) take the
# same lock.
LOCK = "/tmp/rs232c-e2e.lock"


class DefaultPath(unittest.TestCase):
    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("runs only as root, which may link %s; every other test runs as any "
                          "user" % DEFAULT_DEVICE)
        self.lock = open(LOCK, "a")
        self.addCleanup(self.lock.close)
        fcntl.flock(self.lock, fcntl.LOCK_EX)
        if os.path.exists(DEFAULT_DEVICE) and not os.path.islink(DEFAULT_DEVICE):
            self.skipTest("a real %s exists; not replacing it" % DEFAULT_DEVICE)
        if port_open(DEFAULT_PORT):
            self.skipTest("port %d is taken by another program" % DEFAULT_PORT)

    def test_without_options_the_daemon_drives_ttyusb0_and_serves_port_40405(self):
        sim = Simulator(link=DEFAULT_DEVICE)
        try:
            daemon = Daemon(default_path=True)
            try:
                rpc = daemon.proxy()
                self.assertEqual(rpc.send_cmd_fwd(), 1)  # holds the port
                self.assertEqual(descriptors_on(daemon.proc.pid, sim.slave), 1)
                self.assertEqual(rpc.send_cmd_ver(), "TC-SIM,V1.00,")
                self.assertEqual(sim.received(), b"FWD\r\nVER\r\n")
            finally:
                _, out, _ = daemon.finish()
            self.assertEqual(out, "RS232C Daemon started: serving TCP port 40405 on every IPv4 "
                                  "interface, the tool controller on /dev/ttyUSB0\n")
            self.assertFalse(port_open(DEFAULT_PORT))
        finally:
            sim.close()
        self.assertFalse(os.path.lexists(DEFAULT_DEVICE))  # the simulator's link is gone


if __name__ == "__main__":
    unittest.main()
