"""rs232c-call, the command-line client, against the daemon and the simulator."""

import os
import socket
import subprocess
import threading
import time
import unittest
from xmlrpc.server import SimpleXMLRPCServer

from harness import BUILD, PORT, EndToEnd, quote

CLIENT = os.path.join(BUILD, "rs232c-call")


def call(*args, text=True):
    """rs232c-call with `args`, on this process's daemon unless they name a port."""
    port = [] if "--port" in args else ["--port", str(PORT)]
    done = subprocess.run([CLIENT, *port, *args], capture_output=True, text=text, timeout=60)
    return done.returncode, done.stdout, done.stderr


class Client(EndToEnd):
    def test_results_are_explained_in_words(self):
        self.assertEqual(call("send_cmd_fwd"), (0, "1 (acknowledged: the expected reply came)\n", ""))
        self.assertEqual(call("send_cmd_ch", "3")[1], "1 (acknowledged: the expected reply came)\n")
        self.assertEqual(call("send_cmd_cos")[1], '"COM:12,COM:34,"\n')
        self.assertEqual(call("send_cmd", "VER\\r\\n")[1], '"TC-SIM@\\xAD\\r\\nV1.00@\\x15\\r\\n"\n')
        self.assertEqual(self.sim.received()[-5:], b"VER\r\n")
        self.assertEqual(call("recv_cmd_inf")[1], "0 (no status line was waiting)\n")
        self.assertEqual(call("serial_close")[1], "0 (the held serial port is released)\n")
        self.sim.on("", 'send "CER\\r\\n"')
        self.assertEqual(call("send_cmd_rst")[1], "0 (refused: the controller answered CER)\n")
        self.assertEqual(call("send_cmd_ver")[1], '"CER\\r\\n": refused by the controller\n')
        self.sim.command("clear-rules")
        self.assertEqual(call("send_cmd_stp")[1], "-2 (no reply in time)\n")

    def test_raw_prints_only_the_value(self):
        self.assertEqual(call("--raw", "send_cmd_wrt"), (0, "1\n", ""))
        self.assertEqual(call("--raw", "set_title", "Line 2"), (0, "Line 2\n", ""))
        self.assertEqual(call("--raw", "--host", "127.0.0.1", "get_title"), (0, "Line 2 (C++)\n", ""))
        call("set_title", "")

    def test_bytes_are_shown_as_the_controller_sent_them(self):
        self.sim.on("X\r\n", 'send "A\\rB\\nC\\r\\n\\xC8"')
        self.assertEqual(call("send_cmd", "X\\r\\n")[1], '"A\\rB\\nC\\r\\n\\xC8"\n')
        self.assertEqual(call("--raw", "send_cmd", "X\\r\\n", text=False)[1],
                         "A\rB\nC\r\n\u00c8\n".encode())

    def test_usage_faults_and_unreachable_daemons_fail_clearly(self):
        status, out, err = call("send_cmd_ch")
        self.assertEqual((status, out), (2, ""))
        self.assertIn("send_cmd_ch takes one CHANNEL", err)
        self.assertEqual(call("no_such_method")[0], 2)
        self.assertEqual(call("send_cmd", "bad\\xZZ")[0], 2)
        self.assertEqual(call("--timeout", "0", "get_title")[0], 2)
        self.assertEqual(call("--host")[:2], (2, ""))
        self.assertIn("--host needs a value", call("--host")[2])
        status, out, err = call("--help")
        self.assertEqual((status, err), (0, ""))
        self.assertIn("usage: rs232c-call", out)
        self.assertRegex(call("--version")[1], r"^rs232c-call \d+\.\d+\.\d+\n$")
        status, out, err = call("--port", "1", "get_title")
        self.assertEqual((status, out), (3, ""))
        self.assertIn("cannot reach the daemon at http://localhost:1/RPC2", err)
        self.assertIn("systemctl status rs232c-daemon", err)

    def test_a_server_that_accepts_and_never_answers_is_given_up_at_the_time_limit(self):
        with socket.create_server(("127.0.0.1", 0)) as silent:
            port = silent.getsockname()[1]
            start = time.monotonic()
            status, out, err = call("--port", str(port), "--timeout", "1", "get_title")
            took = time.monotonic() - start
        self.assertEqual((status, out), (3, ""))
        self.assertEqual(err, "rs232c-call: the daemon at http://localhost:%d/RPC2 did not answer "
                              "within 1 s (--timeout)\n" % port)
        self.assertLess(took, 3)

    def test_a_fault_is_reported_with_status_1(self):
        # A server that knows none of the methods answers every call with a fault.
        with SimpleXMLRPCServer(("127.0.0.1", 0), logRequests=False) as other:
            threading.Thread(target=other.handle_request, daemon=True).start()
            status, out, err = call("--port", str(other.server_address[1]), "send_cmd_fwd")
        self.assertEqual((status, out), (1, ""))
        self.assertIn("the daemon answered with fault", err)


class LargeRendering(EndToEnd):
    """A class of its own: its daemon reads a mebibyte, and a loaded machine that makes it give
    up must not leave the rest on the line for other tests."""

    def test_a_one_mebibyte_rendering_comes_through_whole(self):
        # More than the 1 MiB kept, in lines: each line opens a window of its own, so reading
        # them may take a loaded machine up to the bound of three windows.
        chatter = ("A" * (1 << 16) + "\r\n") * 16 + "FWD\r\n"
        self.sim.on("FWD\r\n", "send " + quote(chatter))
        self.assertEqual(call("send_cmd_fwd")[1], "1 (acknowledged: the expected reply came)\n")
        status, out, err = call("--raw", "get_last_recv_data_bin_str")
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(len(out), 3 * (1 << 20))  # the newest 1 MiB, three characters a byte
        self.assertTrue(out.endswith("-41-0D-0A-46-57-44-0D-0A\n"))
        self.assertEqual(call("--raw", "get_last_recv_data_bin_str")[1], "\n")


if __name__ == "__main__":
    unittest.main()
