"""Many clients at once, memory over many calls, and leaks."""

import http.client
import os
import random
import shutil
import signal
import socket
import tempfile
import threading
import time
import unittest
import xmlrpc.client

from harness import (BAD_HEADS, Daemon, EndToEnd, PORT, SANITIZED, Simulator, calls_waiting,
                     exchange, need_tool, rss_kib, wait_until)

RAW_VERSION = "TC-SIM@\u00ad\r\nV1.00@\u2415\r\n"

# name, arguments, acceptable results (None: any string)
MIX = [
    ("send_cmd_fwd", (), {1}), ("send_cmd_rvs", (), {1}), ("send_cmd_stp", (), {1}),
    ("send_cmd_rst", (), {1}), ("send_cmd_win", (), {1}), ("send_cmd_wot", (), {1}),
    ("send_cmd_wot_with_wng", (), {1}), ("send_cmd_wrt", (), {1}),
    ("send_cmd_ch", ("3",), {1}), ("send_cmd_cst", ("abc",), {1}), ("send_cmd_com", ("UUV",), {1}),
    ("send_cmd_cos", (), {"COM:12,COM:34,"}), ("send_cmd_chs", ("1",), {"CST:1,COM:2,"}),
    ("send_cmd_ver", (), {"TC-SIM,V1.00,"}), ("send_cmd_ver_script", (), {1}),
    ("recv_cmd_inf", (), {0, 2}),  # 2: the WNG a plain WOT leaves waiting
    ("serial_close", (), {0}), ("send_cmd", ("VER\r\n",), {RAW_VERSION}),
    ("get_last_recv_data_str", (), None), ("get_last_recv_data_bin_str", (), None),
]


class Concurrency(EndToEnd):
    def test_eight_clients_for_twenty_seconds(self):
        self.sim.command("strict")
        self.sim.on("WOT\r\n", 'send "WOT\\r\\nWNG\\r\\n"')
        # A COS dialogue that holds the line for two seconds at a time.
        self.sim.on("COS\r\n", 'frame "COM:12" expect "SOK\\r\\n" delay 2000 frame "COM:34" '
                    'expect "SOK\\r\\n" send "RST\\r\\n" expect "SOK\\r\\n"')
        stop = time.monotonic() + 20
        wrong, counts, title_times = [], [0], []

        def client(seed):
            rng = random.Random(seed)
            rpc = self.daemon.proxy()
            while time.monotonic() < stop:
                name, args, accepted = rng.choice(MIX)
                try:
                    value = getattr(rpc, name)(*args)
                except xmlrpc.client.Fault as fault:
                    # Another client's STP cancels the calls that wait for the line.
                    if not fault.faultString.startswith("cancelled: "):
                        wrong.append((name, fault.faultString))
                    continue
                counts[0] += 1
                if accepted is not None and value not in accepted:
                    wrong.append((name, value))

        def title_watch():
            rpc = self.daemon.proxy()
            while time.monotonic() < stop:
                start = time.monotonic()
                rpc.get_title()
                title_times.append(time.monotonic() - start)
                time.sleep(0.05)

        threads = [threading.Thread(target=client, args=(n,)) for n in range(8)]
        threads.append(threading.Thread(target=title_watch))
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(wrong, [])
        self.assertGreater(counts[0], 40)
        self.assertLess(max(title_times), 1.5)  # behind the lock: 2 s and more
        self.assertEqual(self.sim.command("errors"), "errors 0",
                         [line for line in self.sim.log if line.startswith("protocol error")])

    def test_stop_is_served_at_once_while_clients_keep_calls_queued(self):
        self.sim.on("FWD\r\n", 'delay 500 send "FWD\\r\\n"')  # 0.7 s a call
        stop = threading.Event()

        def forward():
            with self.daemon.proxy() as rpc:
                while not stop.is_set():
                    try:
                        rpc.send_cmd_fwd()
                    except xmlrpc.client.Fault:
                        pass  # cancelled by the stop: asked again, as a UI would after one
        clients = [threading.Thread(target=forward) for _ in range(6)]
        for client in clients:
            client.start()
        try:
            taken = []
            for _ in range(3):
                self.assertTrue(wait_until(lambda: calls_waiting() >= 5))  # one on the line
                start = time.monotonic()
                self.assertEqual(self.rpc.send_cmd_stp(), 1)
                taken.append(time.monotonic() - start)
        finally:
            stop.set()
            for client in clients:
                client.join()
        # The exchange in progress (at most 0.7 s), then its own: never behind the queue.
        self.assertLess(max(taken), 2.5, taken)  # test_fairness checks what reaches the wire


@unittest.skipIf(SANITIZED, "memory figures of a sanitizer build say nothing")
class Memory(EndToEnd):
    def test_resident_memory_stays_flat_over_100000_calls(self):
        # The requests are made once and sent over kept-alive connections, so that the client
        # costs less than the daemon: the calls take seconds, not half a minute.
        requests = [(xmlrpc.client.dumps(("title %d" % i,), "set_title").encode(),
                     xmlrpc.client.dumps(("x" * (i % 200),), "get_message").encode())
                    for i in range(1000)]

        def calls(count):
            def run(share):
                connection = http.client.HTTPConnection("127.0.0.1", self.daemon.port, timeout=30)
                for i in range(share):
                    for body in requests[i % len(requests)]:
                        connection.request("POST", "/RPC2", body, {"Content-Type": "text/xml"})
                        response = connection.getresponse()
                        if response.status != 200 or b"<fault>" in response.read():
                            failed.append(body)
                connection.close()
            threads = [threading.Thread(target=run, args=(count // 8,)) for _ in range(4)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()

        failed = []
        pid = self.daemon.proc.pid
        calls(1000)
        after_1000 = rss_kib(pid)
        calls(100000)
        self.assertLess(rss_kib(pid) - after_1000, 1024)
        self.assertEqual(failed, [])
        self.rpc.set_title("")

    def test_query_strings_cost_no_memory(self):
        request = b"GET /health?" + b"q" * 3000 + b" HTTP/1.0\r\n\r\n"

        def send(count):
            for _ in range(count):
                with socket.create_connection(("127.0.0.1", PORT), timeout=30) as s:
                    s.sendall(request)
                    while s.recv(65536):
                        pass
        send(100)
        before = rss_kib(self.daemon.proc.pid)
        send(3000)
        self.assertLess(rss_kib(self.daemon.proc.pid) - before, 2048)  # a copy kept each: 9 MB


@unittest.skipIf(SANITIZED, "valgrind runs the plain build")
class Leaks(unittest.TestCase):
    def test_no_leak_over_every_method(self):
        need_tool(shutil.which("valgrind"), "valgrind")
        log = tempfile.NamedTemporaryFile(suffix=".valgrind", delete=False).name
        sim = Simulator()
        daemon = Daemon(wrapper=["valgrind", "--leak-check=full", "--log-file=" + log])
        try:
            rpc = daemon.proxy()
            for name, args, _ in MIX:
                getattr(rpc, name)(*args)
            rpc.set_title("x")
            rpc.get_message("y")
            rpc.get_title()
            for head, _ in BAD_HEADS:
                exchange(head, port=daemon.port)
            sim.command("hangup")
            rpc.send_cmd_fwd()  # fails on the held port: -3
        finally:
            # SIGUSR1 stops the daemon in order: main returns and every destructor runs, so
            # whatever is not freed by then is lost, not merely still in use.
            status, out, err = daemon.finish(signal.SIGUSR1)
            sim.close()
        self.assertEqual(status, 0)
        self.assertTrue(out.endswith("RS232C Daemon stopped\n"), out)
        self.assertTrue(err.endswith("RS232CDaemon::shutdown\n"), err)
        with open(log) as f:
            report = f.read()
        os.unlink(log)
        if "All heap blocks were freed" not in report:
            self.assertRegex(report, r"definitely lost: 0 bytes", report[-3000:])
            self.assertRegex(report, r"indirectly lost: 0 bytes", report[-3000:])
        self.assertRegex(report, r"ERROR SUMMARY: 0 errors", report[-3000:])


if __name__ == "__main__":
    unittest.main()
