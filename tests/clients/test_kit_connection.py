"""No call is sent twice, whatever happens to the connection, and no call gives up before the
daemon does."""

import socket
import struct
import threading
import time
import unittest
import xmlrpc.client

import kit
import rs232c_client
from rs232c_client import Result


class Server:
    """Reads each request whole, counts it, then does `answer(connection)` with it."""

    def __init__(self, answer):
        self.answer = answer
        self.requests = 0
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.url = "http://127.0.0.1:%d/RPC2" % self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
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
                length = int(head.lower().split(b"content-length:")[1].split(b"\r\n")[0])
                while len(body) < length:
                    body += connection.recv(4096)
                self.requests += 1
                self.answer(connection)

    def close(self):
        self.listener.close()


def reset(connection):
    connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def half_an_answer(connection):
    connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 200\r\n\r\n<?xml")


def not_xml_rpc(connection):
    connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello")


def not_found(connection):
    connection.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")


class NoSecondRequest(unittest.TestCase):
    def test_a_dropped_connection_leaves_one_request_and_an_uncertain_outcome(self):
        cases = [  # what the server does after reading the request, what the caller gets
            (lambda c: None, rs232c_client.UncertainOutcome),
            (reset, rs232c_client.UncertainOutcome),
            (half_an_answer, rs232c_client.UncertainOutcome),
            (not_xml_rpc, rs232c_client.MalformedAnswer),
            (not_found, xmlrpc.client.ProtocolError),
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

    def test_nothing_listening_is_unreachable(self):
        with socket.socket() as closed:
            closed.bind(("127.0.0.1", 0))
            url = "http://127.0.0.1:%d/RPC2" % closed.getsockname()[1]
            for call in (rs232c_client.Controller.send_cmd_fwd, rs232c_client.Controller.health):
                with self.assertRaises(rs232c_client.DaemonUnreachable):
                    call(rs232c_client.Controller(url))

    def test_no_answer_in_time_is_an_uncertain_outcome(self):
        silent = threading.Event()
        server = Server(lambda c: silent.wait(30))
        start = time.monotonic()
        try:
            with self.assertRaises(rs232c_client.CallTimedOut):
                rs232c_client.Controller(server.url, timeout=1).send_cmd_fwd()
        finally:
            silent.set()
            server.close()
        self.assertLess(time.monotonic() - start, 5)
        self.assertEqual(server.requests, 1)


class TimeOuts(kit.Line):
    def test_a_silent_controller_gives_no_reply_not_a_client_time_out(self):
        self.sim.on("STP\r\n", "silent")
        self.assertIs(rs232c_client.Controller(self.url).send_cmd_stp(), Result.NO_REPLY)

    def test_a_dialogue_waits_as_long_as_the_daemon_unless_told_otherwise(self):
        self.sim.on("COS\r\n", 'delay 2500 frame "COM:1" expect "SOK\\r\\n" send "RST\\r\\n"')
        self.assertEqual(rs232c_client.Controller(self.url).send_cmd_cos(), b"COM:1,")
        with self.assertRaises(rs232c_client.CallTimedOut):
            rs232c_client.Controller(self.url, timeout=1).send_cmd_cos()
        unbounded = rs232c_client.Controller(self.url, timeout=float("inf"))
        self.assertIs(unbounded.send_cmd_fwd(), Result.ACKNOWLEDGED)
        for nonsense in (0, -1):
            with self.assertRaises(ValueError):
                rs232c_client.Controller(self.url, timeout=nonsense)


if __name__ == "__main__":
    kit.main()
