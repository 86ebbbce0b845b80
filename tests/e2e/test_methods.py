"""The serial methods through the daemon, as a UI program calls them."""

import threading
import time
import unittest

from harness import EndToEnd

CER_EVERYTHING = 'send "CER\\r\\n"'


class TransactionMethods(EndToEnd):
    def test_send_cmd_passes_the_clients_frame_with_its_cr_lf(self):
        self.assertEqual(self.rpc.send_cmd("VER\r\n"), "TC-SIM@\u00ad\r\nV1.00@\u2415\r\n")
        self.assertEqual(self.rpc.send_cmd("A\nB\r\n"), "")
        self.assertEqual(self.sim.received(), b"VER\r\nA\r\nB\r\n")
        self.assertEqual(self.rpc.send_cmd(""), "")
        self.assertFault(self.rpc.send_cmd, 5, "x", text="supposed to be a string")
        self.assertEqual(self.sim.received(), b"VER\r\nA\r\nB\r\n")

    def test_renderings_and_status_poll(self):
        self.assertEqual(self.rpc.recv_cmd_inf(), 0)  # holds the port
        self.sim.pending(b"CUP\r\n")
        self.assertEqual(self.rpc.send_cmd_wrt(), 1)
        self.assertEqual(self.rpc.get_last_recv_data_str(), "CUP..,WRT..")
        self.assertEqual(self.rpc.get_last_recv_data_bin_str(), "")
        self.sim.pending(b"WNG\r\nOK\r\n")
        self.assertEqual(self.rpc.recv_cmd_inf(), 1)
        self.assertEqual(self.rpc.recv_cmd_inf(), 0)
        self.assertEqual(self.rpc.get_last_recv_data_bin_str(), "57-4E-47-0D-0A-4F-4B-0D-0A")
        self.assertFault(self.rpc.recv_cmd_inf, 1, text="Too many parameters")


class MotionMethods(EndToEnd):
    NO_ARGUMENT = [("send_cmd_fwd", b"FWD\r\n"), ("send_cmd_rvs", b"RVS\r\n"),
                   ("send_cmd_stp", b"STP\r\n"), ("send_cmd_rst", b"RST\r\n"),
                   ("send_cmd_win", b"WIN\r\n"), ("send_cmd_wot", b"WOT\r\n"),
                   ("send_cmd_wrt", b"WRT\r\n")]
    ONE_ARGUMENT = [("send_cmd_com", "abc", b"abc@&\r\n"), ("send_cmd_cst", "UUV", b"UUV@\x00\r\n"),
                    ("send_cmd_ch", "3", b"MOV:3\r\n")]

    def test_each_method_sends_its_bytes_and_returns_the_code(self):
        for name, wire in self.NO_ARGUMENT:
            self.sim.clear()
            self.assertEqual(getattr(self.rpc, name)(), 1, name)
            self.assertEqual(self.sim.received(), wire, name)
        for name, text, wire in self.ONE_ARGUMENT:
            self.sim.clear()
            self.assertEqual(getattr(self.rpc, name)(text), 1, name)
            self.assertEqual(self.sim.received(), wire, name)
        self.sim.on("WOT\r\n", 'send "WOT\\r\\nWNG\\r\\n"')
        self.assertEqual(self.rpc.send_cmd_wot_with_wng(), 1)

    def test_refusals_and_faults(self):
        self.sim.on("", CER_EVERYTHING)
        for name, _ in self.NO_ARGUMENT:
            self.assertEqual(getattr(self.rpc, name)(), 0, name)
        for name, text, _ in self.ONE_ARGUMENT:
            self.assertEqual(getattr(self.rpc, name)(text), 0, name)
        self.assertEqual(self.rpc.send_cmd_wot_with_wng(), 0)
        self.sim.clear()
        for name, _ in self.NO_ARGUMENT + [("send_cmd_wot_with_wng", b"")]:
            self.assertFault(getattr(self.rpc, name), "x", text="Too many parameters")
        for name, _, _ in self.ONE_ARGUMENT:
            self.assertFault(getattr(self.rpc, name), 3, text="supposed to be a string")
            self.assertFault(getattr(self.rpc, name), 3, "x", text="supposed to be a string")
            self.assertFault(getattr(self.rpc, name), "3", "x", text="Too many parameters")
            self.assertFault(getattr(self.rpc, name))
        self.assertEqual(self.sim.received(), b"")  # nothing reached the controller

    def test_a_silent_controller_gives_minus_two_after_the_window(self):
        self.sim.command("clear-rules")
        start = time.monotonic()
        self.assertEqual(self.rpc.send_cmd_stp(), -2)
        self.assertLess(time.monotonic() - start, 2.5)


class DialogueMethods(EndToEnd):
    def test_all_four_answer(self):
        self.assertEqual(self.rpc.send_cmd_cos(), "COM:12,COM:34,")
        self.assertEqual(self.rpc.send_cmd_chs("1"), "CST:1,COM:2,")
        self.assertEqual(self.rpc.send_cmd_ver(), "TC-SIM,V1.00,")
        self.assertEqual(self.rpc.send_cmd_ver_script(), 1)
        self.sim.on("VER\r\n", CER_EVERYTHING)
        self.assertEqual(self.rpc.send_cmd_ver(), "CER\r\n")
        self.assertEqual(self.rpc.send_cmd_ver_script(), 0)
        self.sim.on("COS\r\n", 'send "RST\\r\\n"')
        self.assertEqual(self.rpc.send_cmd_cos(), "")
        self.sim.clear()
        self.assertFault(self.rpc.send_cmd_cos, 1, text="Too many parameters")
        self.assertFault(self.rpc.send_cmd_chs, 1, text="supposed to be a string")
        self.assertFault(self.rpc.send_cmd_ver, "x", text="Too many parameters")
        self.assertFault(self.rpc.send_cmd_ver_script, "x", text="Too many parameters")
        self.assertEqual(self.sim.received(), b"")

    def test_a_long_dialogue_does_not_hold_up_the_title(self):
        self.sim.on("COS\r\n", 'frame "COM:1" expect "SOK\\r\\n" delay 3000 send "RST\\r\\n"')
        result = {}
        caller = threading.Thread(target=lambda: result.update(cos=self.daemon.proxy().send_cmd_cos()))
        caller.start()
        self.sim.wait_line("SOK\r\n")  # the dialogue has begun and holds the line
        start = time.monotonic()
        self.assertEqual(self.rpc.get_title(), "No title set (C++)")
        self.assertLess(time.monotonic() - start, 1.5)  # the dialogue holds the line for 3 s
        caller.join()
        self.assertEqual(result["cos"], "COM:1,")


if __name__ == "__main__":
    unittest.main()
