"""rs232c-call, the command-line client, against the daemon and the simulator."""

import os
import subprocess
import threading
import unittest
from xmlrpc.server import SimpleXMLRPCServer

from harness import BUILD, EndToEnd

CLIENT = os.path.join(BUILD, "rs232c-call")


def call(*args):
    done = subprocess.run([CLIENT, *args], capture_output=True, text=True, timeout=60)
    return done.returncode, done.stdout, done.stderr


class Client(EndToEnd):
    def test_results_are_explained_in_words(self):
        self.assertEqual(call("send_cmd_fwd"), (0, "1 (acknowledged: the expected reply came)\n", ""))
        self.assertEqual(call("send_cmd_ch", "3")[1], "1 (acknowledged: the expected reply came)\n")
        self.assertEqual(call("send_cmd_cos")[1], '"COM:12,COM:34,"\n')
        self.assertEqual(call("send_cmd", "VER\\r\\n")[1], '"TC-SIM@\u00ad\\r\\nV1.00@\u2415\\r\\n"\n')
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

    def test_usage_faults_and_unreachable_daemons_fail_clearly(self):
        status, out, err = call("send_cmd_ch")
        self.assertEqual((status, out), (2, ""))
        self.assertIn("send_cmd_ch takes one CHANNEL", err)
        self.assertEqual(call("no_such_method")[0], 2)
        self.assertEqual(call("send_cmd", "bad\\xZZ")[0], 2)
        status, out, err = call("--port", "1", "get_title")
        self.assertEqual((status, out), (3, ""))
        self.assertIn("cannot call http://localhost:1/RPC2", err)

    def test_a_fault_is_reported_with_status_1(self):
        # A server that knows none of the methods answers every call with a fault.
        with SimpleXMLRPCServer(("127.0.0.1", 0), logRequests=False) as other:
            threading.Thread(target=other.handle_request, daemon=True).start()
            status, out, err = call("--port", str(other.server_address[1]), "send_cmd_fwd")
        self.assertEqual((status, out), (1, ""))
        self.assertIn("the daemon answered with fault", err)


if __name__ == "__main__":
    unittest.main()
