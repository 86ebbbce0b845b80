"""No call is sent twice, whatever happens to the connection; no call waits beyond its
time-out, none gives up before the daemon does, and the daemon's refusals come as their
classes."""

from __future__ import annotations

import math
import socket
import struct
import threading
import time
import typing
import unittest
import xmlrpc.client

import kit
import rs232c_client
from harness import calls_waiting, wait_until
from rs232c_client import Result

Answer = typing.Callable[[socket.socket], None]


class Server:
    """Reads each request whole, counts it, then does `answer(connection)` with it."""

    def __init__(self, answer: Answer) -> None:
        self.answer = answer
        self.requests = 0
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.url = "http://127.0.0.1:%d/RPC2" % self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self) -> None:
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return  # closed
            with connection:
                data = b""
                while b"\r\n\r\n" not in data:
                    data += connection.recv(4096)
                head, _, body = data.partition(b"\r\n\r\n")
                _, _, length = head.lower().partition(b"content-length:")
                while len(body) < int(length.split(b"\r\n")[0] or 0):
                    body += connection.recv(4096)
                self.requests += 1
                self.answer(connection)

    def close(self) -> None:
        self.listener.close()


def reset(connection: socket.socket) -> None:
    connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def half_an_answer(connection: socket.socket) -> None:
    connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 200\r\n\r\n<?xml")


def not_xml_rpc(connection: socket.socket) -> None:
    connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello")


def not_found(connection: socket.socket) -> None:
    connection.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")


def trickle(connection: socket.socket) -> None:
    """An answer that never ends: a byte now and then, until the client leaves."""
    try:
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n")
        for _ in range(100):
            connection.sendall(b" ")
            time.sleep(0.1)
    except OSError:
        pass


def fault(code: int, text: str) -> Answer:
    body = xmlrpc.client.dumps(xmlrpc.client.Fault(code, text), methodresponse=True).encode()

    def answer(connection: socket.socket) -> None:
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)

    return answer


class NoSecondRequest(unittest.TestCase):
    def test_a_dropped_connection_leaves_one_request_and_an_uncertain_outcome(self) -> None:
        cases: typing.List[typing.Tuple[Answer, typing.Type[Exception]]] = [
            # what the server does after reading the request, what the caller gets
            (lambda c: None, rs232c_client.UncertainOutcome),
            (reset, rs232c_client.UncertainOutcome),
            (half_an_answer, rs232c_client.UncertainOutcome),
            (not_xml_rpc, rs232c_client.MalformedAnswer),
            (not_found, rs232c_client.HTTPError),
        ]
        for answer, expected in cases:
            server = Server(answer)
            try:
                with self.assertRaises(expected):
                    rs232c_client.Controller(server.url).send_cmd_fwd()
                self.assertEqual(server.requests, 1, answer)
            finally:
                server.close()
        # The same server makes Python's own client send the motion a second time.
        server = Server(lambda c: None)
        with self.assertRaises(ConnectionError):
            xmlrpc.client.ServerProxy(server.url).send_cmd_fwd()
        server.close()
        self.assertEqual(server.requests, 2)

    def test_nothing_listening_is_unreachable(self) -> None:
        with socket.socket() as closed:
            closed.bind(("127.0.0.1", 0))
            url = "http://127.0.0.1:%d/RPC2" % closed.getsockname()[1]
            tool = rs232c_client.Controller(url)
            for call in (tool.send_cmd_fwd, tool.health):
                with self.assertRaises(rs232c_client.DaemonUnreachable):
                    call()

    def test_no_call_waits_beyond_its_time_out(self) -> None:
        done = threading.Event()

        def silent(connection: socket.socket) -> None:
            done.wait(30)

        calls: typing.List[typing.Tuple[str, typing.Callable[[str], object], float, type]] = [
            ("a Controller's", lambda url: rs232c_client.Controller(url, 1).send_cmd_fwd(), 1,
             rs232c_client.CallTimedOut),
            ("a call's", lambda url: rs232c_client.Controller(url).send_cmd_fwd(timeout=1), 1,
             rs232c_client.CallTimedOut),
            ("health's own", lambda url: rs232c_client.Controller(url, 60).health(), 1,
             rs232c_client.DaemonUnreachable),
            ("health's given", lambda url: rs232c_client.Controller(url).health(timeout=0.3),
             0.3, rs232c_client.DaemonUnreachable),
        ]
        for answer in (silent, trickle):
            for name, call, timeout, expected in calls:
                server = Server(answer)
                start = time.monotonic()
                try:
                    with self.assertRaises(expected, msg=name):
                        call(server.url)
                finally:
                    server.close()
                self.assertLess(time.monotonic() - start, timeout + 2, (answer, name))
                self.assertEqual(server.requests, 1)
        done.set()
        for nonsense in (0, -1, math.nan):
            with self.assertRaises(ValueError):
                rs232c_client.Controller(server.url).send_cmd_fwd(timeout=nonsense)
            with self.assertRaises(ValueError):
                rs232c_client.Controller(server.url, timeout=nonsense)


class Refusals(unittest.TestCase):
    def test_fault_507_comes_as_the_class_its_first_word_names(self) -> None:
        cases = [
            (-507, "cancelled: a stop came while this call waited", rs232c_client.Cancelled),
            (-507, "busy: more calls wait for the line than ...", rs232c_client.Busy),
            (-507, "stopping: the daemon is stopping", rs232c_client.Stopping),
            (-507, "forbidden: observer may watch and stop the tool", rs232c_client.Forbidden),
            (-507, "origin: calls from web pages are refused", rs232c_client.Fault),
            (-507, "cancelled", rs232c_client.Fault),
            (-501, "cancelled: but not a refusal", rs232c_client.Fault),
        ]
        for code, text, expected in cases:
            server = Server(fault(code, text))
            try:
                with self.assertRaises(rs232c_client.Fault) as caught:
                    rs232c_client.Controller(server.url).send_cmd_fwd()
            finally:
                server.close()
            self.assertIs(type(caught.exception), expected)
            self.assertEqual((caught.exception.faultCode, caught.exception.faultString),
                             (code, text))


class TimeOuts(kit.Line):
    def test_a_silent_controller_gives_no_reply_not_a_client_time_out(self) -> None:
        self.sim.on("STP\r\n", "silent")
        self.assertIs(rs232c_client.Controller(self.url).send_cmd_stp(), Result.NO_REPLY)

    def test_a_dialogue_waits_as_long_as_the_daemon_unless_told_otherwise(self) -> None:
        self.sim.on("COS\r\n", 'delay 2500 frame "COM:1" expect "SOK\\r\\n" send "RST\\r\\n"')
        self.assertEqual(rs232c_client.Controller(self.url).send_cmd_cos(), b"COM:1,")
        for tool, timeout in ((rs232c_client.Controller(self.url, timeout=1), None),
                              (rs232c_client.Controller(self.url), 1.0)):
            with self.assertRaises(rs232c_client.CallTimedOut):
                tool.send_cmd_cos(timeout=timeout)
        hasty = rs232c_client.Controller(self.url, timeout=1)
        self.assertIs(hasty.send_cmd_fwd(timeout=float("inf")), Result.ACKNOWLEDGED)

    def test_Slow_a_stop_waits_behind_a_silent_motion_and_cancels_what_waited(self) -> None:
        self.sim.on("FWD\r\n", "silent")
        tool = rs232c_client.Controller(self.url)
        outcomes: typing.Dict[str, object] = {}

        def call(name: str, method: typing.Callable[[], Result]) -> None:
            try:
                outcomes[name] = method()
            except rs232c_client.Error as error:
                outcomes[name] = type(error)

        threads = [threading.Thread(target=call, args=("fwd", tool.send_cmd_fwd)),
                   threading.Thread(target=call, args=("rvs", tool.send_cmd_rvs))]
        threads[0].start()
        self.sim.wait_line("FWD")  # the FWD holds the line until its window closes (10 s)
        threads[1].start()
        wait_until(lambda: calls_waiting(self.daemon.port) == 1)  # the RVS waits for the line
        outcomes["stp"] = tool.send_cmd_stp()  # within its default time-out, not CallTimedOut
        for thread in threads:
            thread.join(60)
        self.assertEqual(outcomes, {"fwd": Result.NO_REPLY, "rvs": rs232c_client.Cancelled,
                                    "stp": Result.ACKNOWLEDGED})
        self.assertReceived(b"FWD\r\nSTP\r\n")  # the RVS never reached the controller

if __name__ == "__main__":
    kit.main()
