"""The XML-RPC face: the link-object methods, parameter faults, introspection, string safety."""

import socket
import unittest
import xmlrpc.client

from harness import EndToEnd, PORT, post, quote, readme_decoder

METHODS = [
    ("get_title", "s:"), ("set_title", "s:s"), ("get_message", "s:s"), ("send_cmd", "s:s"),
    ("send_cmd_com", "i:s"), ("send_cmd_cos", "s:"), ("send_cmd_cst", "i:s"),
    ("send_cmd_chs", "s:s"), ("send_cmd_fwd", "i:"), ("send_cmd_rvs", "i:"),
    ("send_cmd_stp", "i:"), ("send_cmd_ch", "i:s"), ("send_cmd_rst", "i:"),
    ("send_cmd_win", "i:"), ("send_cmd_wot", "i:"), ("send_cmd_wot_with_wng", "i:"),
    ("send_cmd_wrt", "i:"), ("recv_cmd_inf", "i:"), ("serial_close", "i:"),
    ("get_last_recv_data_bin_str", "s:"), ("get_last_recv_data_str", "s:"),
    ("send_cmd_ver", "s:"), ("send_cmd_ver_script", "i:"),
]


class LinkObjectMethods(EndToEnd):
    def test_title_and_greeting(self):
        self.assertEqual(self.rpc.get_title(), "No title set (C++)")
        self.assertEqual(self.rpc.set_title("Line 2"), "Line 2")
        self.assertEqual(self.rpc.get_title(), "Line 2 (C++)")
        self.assertEqual(self.rpc.set_title(""), "")
        self.assertEqual(self.rpc.get_title(), "No title set (C++)")
        self.assertEqual(self.rpc.get_message(""), "No name set")
        self.assertEqual(self.rpc.get_message("Ann"), "Hello Ann, welcome to Tessaryn!")
        self.assertEqual(self.rpc.serial_close(), 0)
        self.assertEqual(self.rpc.serial_close(), 0)

    def test_parameter_errors_are_the_librarys_faults_and_change_nothing(self):
        self.rpc.set_title("kept")
        self.assertFault(self.rpc.get_title, 1, text="Too many parameters")
        self.assertFault(self.rpc.set_title, 5, text="supposed to be a string")
        self.assertFault(self.rpc.set_title)
        self.assertFault(self.rpc.set_title, "a", "b", text="Too many parameters")
        self.assertFault(self.rpc.get_message, 1, "b", text="supposed to be a string")
        self.assertFault(self.rpc.serial_close, "x", text="Too many parameters")
        self.assertFault(self.rpc.no_such_method, text="not defined")
        self.assertFault(self.rpc.system.shutdown, "bye")
        self.assertEqual(self.rpc.get_title(), "kept (C++)")
        self.rpc.set_title("")

    def test_a_malformed_multicall_runs_none_of_its_calls(self):
        # The library would run the calls before the bad element, then fault the whole request.
        fwd, rvs = ({"methodName": name, "params": []} for name in ("send_cmd_fwd", "send_cmd_rvs"))
        cases = [([fwd, 5], -501), ([rvs, {"methodName": "send_cmd_fwd"}], -501),
                 ([rvs, {"methodName": "system.multicall", "params": [[]]}], -507)]
        for calls, code in cases:
            fault = self.assertFault(self.rpc.system.multicall, calls, text="none of its calls ran")
            self.assertEqual(fault.faultCode, code)
        spelt = xmlrpc.client.dumps(([fwd, 5],), "system&#46;multicall")  # sent as it stands
        self.assertIn(b"none of its calls ran", post(spelt)[1])
        self.assertEqual(self.sim.received(), b"")
        self.assertEqual(self.rpc.system.multicall([fwd]), [[1]])

    def test_a_text_too_long_to_send_within_a_second_never_reaches_the_line(self):
        # A stop waits for the exchange in progress: no text may hold the line for minutes.
        methods = ("send_cmd", "send_cmd_com", "send_cmd_cst", "send_cmd_chs", "send_cmd_ch")
        for name in methods:
            fault = self.assertFault(getattr(self.rpc, name), "A" * 4097, text="at most 4096")
            self.assertEqual(fault.faultCode, -509)
        self.assertEqual(self.sim.received(), b"")
        self.rpc.send_cmd_com("A" * 4096)
        self.assertEqual(len(self.sim.received()), 4096 + 4)

    def test_introspection_lists_the_23_methods_with_their_signatures(self):
        names = [n for n in self.rpc.system.listMethods() if not n.startswith("system.")]
        self.assertEqual(names, [name for name, _ in METHODS])
        for name, signature in METHODS:
            result, _, params = signature.partition(":")
            kinds = {"i": "int", "s": "string"}
            expected = [kinds[result]] + [kinds[p] for p in params]
            self.assertEqual(self.rpc.system.methodSignature(name), [expected], name)


class StringResults(EndToEnd):
    def test_every_received_byte_reaches_the_client_through_the_readmes_decoder(self):
        to_bytes = readme_decoder()
        # (a zero byte ends the text form's result, so none can reach a client)
        raw = (bytes([0x01, 0x0D, 0x7F, 0xC8, 0xFF]) + "é€\r\n".encode() + "😀".encode()
               + "\u2401".encode() + bytes([0x00, 0x41]))
        self.sim.on("RAW\r\n", "send " + quote(raw))
        result = self.rpc.send_cmd("RAW\r\n")
        self.assertEqual(result, "\u2401\r\x7f\u00c8\u00ff\u00c3\u00a9€\r\n\u00f0\u009f\u0098\u0080"
                                 "\u00e2\u0090\u0081")
        self.assertEqual(to_bytes(result), raw[:raw.index(0)])
        # Dialogue and version items carry their bytes the same way.
        self.sim.on("VER\r\n", "frame %s frame %s" % (quote("V😀".encode()), quote(b"\xC8")))
        self.assertEqual(to_bytes(self.rpc.send_cmd_ver()), b"V\xF0\x9F\x98\x80,\xC8,")

    def test_titles_keep_their_text(self):
        self.assertEqual(self.rpc.set_title("Stazione 3 – è"), "Stazione 3 – è")
        self.assertEqual(self.rpc.get_title(), "Stazione 3 – è (C++)")
        self.rpc.set_title("")


class Connections(EndToEnd):
    def test_a_client_that_leaves_before_its_response_does_not_hurt_the_daemon(self):
        body = xmlrpc.client.dumps((), "send_cmd_fwd").encode()
        for _ in range(5):
            with socket.create_connection(("127.0.0.1", PORT)) as s:
                s.sendall(b"POST /RPC2 HTTP/1.0\r\nContent-Type: text/xml\r\n"
                          b"Content-Length: %d\r\n\r\n" % len(body) + body)
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        self.assertEqual(self.rpc.get_title(), "No title set (C++)")
        self.assertEqual(self.rpc.send_cmd_fwd(), 1)
        self.assertIsNone(self.daemon.proc.poll())


if __name__ == "__main__":
    unittest.main()
