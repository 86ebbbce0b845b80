"""The Python kit against the real daemon and the simulator: what each call returns or raises,
and what its parameters put on the line."""

from __future__ import annotations

import os
import threading
import time
import typing
import xmlrpc.client

import kit
import rs232c_client
from rs232c_client import Result, Status, wire

CER = 'send "CER\\r\\n"'


class Results(kit.Line):
    def setUp(self) -> None:
        super().setUp()
        self.tool = rs232c_client.Controller(self.url)

    def test_commands_return_a_result(self) -> None:
        commands: typing.List[typing.Callable[[], Result]] = [
            lambda: self.tool.send_cmd_fwd(),
            lambda: self.tool.send_cmd_ch("3"),
            lambda: self.tool.send_cmd_com("abc"),
            lambda: self.tool.send_cmd_ver_script(),
        ]
        for expected, rule in ((Result.ACKNOWLEDGED, None), (Result.REFUSED, CER)):
            if rule:
                self.sim.on("", rule)
            for command in commands:
                result = command()
                self.assertIs(type(result), Result)
                self.assertEqual(result, expected)

    def test_status_lines_and_the_port(self) -> None:
        self.assertIs(self.tool.recv_cmd_inf(), Status.NONE)
        self.sim.play('send "CUP\\r\\n"')
        deadline = time.monotonic() + 10
        status = Status.NONE
        while status is Status.NONE and time.monotonic() < deadline:
            status = self.tool.recv_cmd_inf()
        self.assertIs(status, Status.CUP)
        self.assertEqual(self.tool.get_last_recv_data_str(), "CUP..")
        self.tool.serial_close()

    def test_byte_methods_return_bytes_and_items(self) -> None:
        self.assertEqual(self.tool.send_cmd_ver(), b"TC-SIM,V1.00,")
        items = rs232c_client.dialogue_items
        self.assertEqual(rs232c_client.version_items(self.tool.send_cmd_ver()),
                         (b"TC-SIM", b"V1.00"))
        self.assertEqual(items(self.tool.send_cmd_cos()), [b"COM:12", b"COM:34"])
        self.sim.on("CHS:", 'frame "CST:1,5" expect "SOK\\r\\n" frame "COM:" expect "SOK\\r\\n" '
                    'send "RST\\r\\n"')
        self.assertEqual(items(self.tool.send_cmd_chs("7")), [b"CST:1,5", b"COM:"])
        self.assertEqual(self.tool.send_cmd("VER\r\n"), b"TC-SIM@\xad\r\nV1.00@\x15\r\n")

    def test_refusals_and_status_words_raise_a_line_error_with_its_result(self) -> None:
        self.sim.on("", CER)
        calls: typing.List[typing.Callable[[], bytes]] = [
            self.tool.send_cmd_ver, self.tool.send_cmd_cos, lambda: self.tool.send_cmd_chs("1")]
        for call in calls:
            with self.assertRaises(rs232c_client.Refused) as refused:
                call()
            self.assertEqual(refused.exception.result, Result.REFUSED)
        self.assertEqual(self.tool.send_cmd("VER\r\n"), b"CER\r\n")  # raw bytes stay bytes

        os.rename(self.device, self.device + ".away")  # the adapter is gone
        try:
            calls = [self.tool.send_cmd_ver, self.tool.send_cmd_cos,
                     lambda: self.tool.send_cmd("VER\r\n")]
            for call in calls:
                with self.assertRaises(rs232c_client.NoAdapter) as caught:
                    call()
                self.assertEqual(caught.exception.result, Result.NO_ADAPTER)
            self.assertIs(self.tool.send_cmd_fwd(), Result.NO_ADAPTER)
            self.assertIs(self.tool.recv_cmd_inf(), Status.NO_ADAPTER)
        finally:
            os.rename(self.device + ".away", self.device)

        self.sim.on("COS\r\n", 'frame "COM:1"')
        failed: typing.List[object] = []
        dialogue = threading.Thread(target=lambda: failed.append(self.assertRaises(
            rs232c_client.LineFailed, self.tool.send_cmd_cos)))
        dialogue.start()
        while b"SOK" not in self.sim.received():
            time.sleep(0.05)
        self.sim.command("hangup")  # unplugged in the middle of the dialogue
        dialogue.join(30)
        self.assertEqual(len(failed), 1)
        self.restart_simulator()

    def test_health_reads_the_station_without_the_line_and_results_have_words(self) -> None:
        health = self.tool.health()
        self.assertEqual((health["device"], health["adapter_present"]), (self.device, True))
        os.rename(self.device, self.device + ".away")
        try:
            self.assertIs(self.tool.health()["adapter_present"], False)  # read from the 503 too
        finally:
            os.rename(self.device + ".away", self.device)
        self.assertEqual(self.sim.received(), b"")
        words = {code.meaning for code in list(Result) + list(Status)}
        self.assertEqual(len(words), len(Result) + len(Status))

    def test_faults_are_xmlrpc_faults(self) -> None:
        with self.assertRaises(rs232c_client.Fault) as caught:
            wire.call(self.tool.endpoint, "send_cmd_fwd", ("surplus",), 10)
        self.assertIsInstance(caught.exception, xmlrpc.client.Fault)
        self.assertIn("Too many parameters", caught.exception.faultString)

    def test_text_parameters_reach_the_line_exactly_or_not_at_all(self) -> None:
        texts: typing.List[typing.Union[str, bytes]] = ["a\nb<&>", b"a\nb<&>", "\u20ac\t"]
        for text in texts:
            self.sim.clear()
            self.assertIs(self.tool.send_cmd_com(text), Result.ACKNOWLEDGED)
            sent = text if isinstance(text, bytes) else text.encode()
            self.assertEqual(self.sim.received(), sent + b"@" + bytes([sum(sent) & 0xFF]) + b"\r\n")
        self.sim.clear()
        self.tool.send_cmd("A\rB\nC\r\n")  # every line end goes as CR LF
        self.assertReceived(b"A\r\nB\r\nC\r\n")
        self.sim.clear()
        mistakes: typing.List[typing.Tuple[typing.Any, typing.Type[Exception]]] = [
            (3, TypeError), (b"\xff", ValueError), ("\x01", ValueError),
            ("\U0001F600", ValueError), ("3\r", ValueError)]
        for bad, error in mistakes:
            with self.assertRaises(error):
                self.tool.send_cmd_ch(bad)
        self.assertEqual(self.sim.received(), b"")

    def test_threads_share_one_controller(self) -> None:
        answers: typing.Dict[str, typing.List[str]] = {}

        def greet(name: str) -> None:
            answers[name] = [self.tool.get_message(name) for _ in range(20)]

        threads = [threading.Thread(target=greet, args=("station %d" % n,)) for n in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
        for name, got in answers.items():
            self.assertEqual(set(got), {"Hello %s, welcome to Tessaryn!" % name})
        self.assertEqual(len(answers), 8)


if __name__ == "__main__":
    kit.main()
