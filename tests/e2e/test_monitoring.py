"""Watching a station: systemd's notify protocol and watchdog, /metrics for Prometheus, /health
for UI programs."""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

from harness import (DEVICE, Daemon, EndToEnd, PORT, Simulator, calls_in_flight, descriptors_on,
                     Prometheus, need_tool, port_open, require_test_host,
                     wait_until)

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
RULES = os.path.join(TOP, "packaging", "monitoring", "rs232c-daemon.rules.yml")
RULE_TESTS = os.path.join(TOP, "tests", "monitoring", "rules.test.yml")
DASHBOARD = os.path.join(TOP, "packaging", "monitoring", "rs232c-daemon.dashboard.json")


def dashboard_queries(instance):
    """Every expression of the shipped dashboard, for one station."""
    with open(DASHBOARD) as f:
        panels = json.load(f)["panels"]
    return [target["expr"].replace("$instance", instance).replace("$__rate_interval", "1m")
            for panel in panels for target in panel["targets"]]


def promtool():
    return need_tool(shutil.which("promtool"), "promtool (Debian's prometheus package)")


def get(path, origin=None, port=PORT):
    """(status, headers, body) of a GET on the daemon."""
    request = urllib.request.Request("http://127.0.0.1:%d%s" % (port, path))
    if origin:
        request.add_header("Origin", origin)
    try:
        with urllib.request.urlopen(request, timeout=10) as response:
            return response.status, response.headers, response.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read().decode()


def samples(text):
    """The samples of a Prometheus exposition: {'name{labels}': value}."""
    found = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            name, value = line.rsplit(" ", 1)
            found[name] = float(value)
    return found


class NotifySocket:
    """A socket in the place of systemd's: what the daemon tells it, message by message."""

    def __init__(self):
        self.folder = tempfile.mkdtemp()
        self.path = os.path.join(self.folder, "notify")
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.socket.bind(self.path)

    def next(self, timeout=5):
        self.socket.settimeout(timeout)
        try:
            return self.socket.recv(4096).decode()
        except socket.timeout:
            return None

    def until(self, predicate, timeout=5):
        """Messages up to the first for which predicate holds, or None at the time-out."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            message = self.next(deadline - time.monotonic())
            if message is not None and predicate(message):
                return message
        return None

    def during(self, seconds):
        messages, deadline = [], time.monotonic() + seconds
        while time.monotonic() < deadline:
            message = self.next(max(0.01, deadline - time.monotonic()))
            if message is not None:
                messages.append(message)
        return messages

    def close(self):
        self.socket.close()
        shutil.rmtree(self.folder)


class Systemd(unittest.TestCase):
    def setUp(self):
        require_test_host()
        self.notify = NotifySocket()
        self.sim = Simulator()

    def tearDown(self):
        self.sim.close()
        self.notify.close()

    def start(self, **env):
        return Daemon(wait=False, env=dict(NOTIFY_SOCKET=self.notify.path, **env))

    def test_ready_once_listening_status_in_words_and_stopping(self):
        daemon = self.start()
        try:
            ready = self.notify.next()
            self.assertTrue(ready.startswith("READY=1\n"), ready)
            self.assertTrue(port_open())  # never before the port takes connections
            self.assertIn("STATUS=%s: not used yet, no reply yet; 0 calls" % DEVICE, ready)
            self.assertEqual(daemon.proxy().send_cmd_fwd(), 1)
            self.assertIsNotNone(self.notify.until(
                lambda m: re.search(r"answering, last reply \d+ s ago; 1 calls, 0 failed", m)))
            self.sim.close()  # the adapter goes
            self.assertIsNotNone(self.notify.until(lambda m: "adapter absent" in m))
            status, _, body = get("/health")
            self.assertEqual(status, 503)
            self.assertFalse(json.loads(body)["adapter_present"])
            daemon.proc.send_signal(signal.SIGUSR1)
            self.assertIsNotNone(self.notify.until(lambda m: m.startswith("STOPPING=1")))
            daemon.proc.wait(timeout=20)  # STOPPING=1 comes first; finish() would end it early
        finally:
            self.sim = Simulator()
            status, out, err = daemon.finish()
        self.assertEqual(status, 0, err)
        self.assertNotIn("WATCHDOG=1", out + err)

    def test_watchdog_pings_only_for_this_process_and_only_while_healthy(self):
        cases = [  # environment, pings wanted in the first 1.5 s, then after 3 s
            (dict(WATCHDOG_USEC="1000000"), True, True),
            (dict(WATCHDOG_USEC="1000000", WATCHDOG_PID="1"), False, False),
            (dict(WATCHDOG_USEC="1000000", RS232C_TEST_STALL_SERVER_MS="1500"), True, False),
        ]
        for env, early, late in cases:
            daemon = self.start(**env)
            try:
                self.assertIsNotNone(self.notify.until(lambda m: m.startswith("READY=1")))
                pings = [m for m in self.notify.during(1.5) if m == "WATCHDOG=1"]
                self.assertEqual(len(pings) >= 3, early, (env, pings))
                self.notify.during(1.5)
                pings = [m for m in self.notify.during(1.5) if m == "WATCHDOG=1"]
                self.assertEqual(bool(pings), late, env)
            finally:
                status, out, err = daemon.finish(signal.SIGKILL)
            unhealthy = "RS232C Daemon is not healthy: the server did not answer" in err
            self.assertEqual(unhealthy, early and not late, err)


    def test_watchdog_pings_while_every_connection_serves_a_call(self):
        # Busy is not hung: the daemon takes the next connection when a call ends.
        self.sim.on("FWD\r\n", 'delay 1000 send "FWD\\r\\n"')
        daemon = Daemon(wait=False, wrapper=("prlimit", "--nofile=64:64", "--"),  # 16 connections
                        env=dict(NOTIFY_SOCKET=self.notify.path, WATCHDOG_USEC="1000000"))
        callers = []
        try:
            self.assertIsNotNone(self.notify.until(lambda m: m.startswith("READY=1")))
            callers = calls_in_flight(daemon, 20)
            self.assertTrue(wait_until(lambda: descriptors_on(daemon.proc.pid, "socket:") >= 17))  # and the listener
            # Six are due. A busy daemon taken for a hung one would send none; on a loaded
            # machine one check may miss its 200 ms and cost a ping, which systemd forgives.
            pings = [m for m in self.notify.during(1.5) if m == "WATCHDOG=1"]
            self.assertGreaterEqual(len(pings), 3)
        finally:
            daemon.finish(signal.SIGKILL)
            for caller in callers:
                caller.join()


class Monitoring(EndToEnd):
    daemon_args = ("--allow-origin", "http://ui.example")

    def test_metrics_count_what_happened_in_prometheus_text(self):
        before = samples(get("/metrics")[2])
        self.sim.on("WIN\r\n", "silent")
        self.assertEqual(self.rpc.send_cmd_fwd(), 1)
        self.assertEqual(self.rpc.send_cmd_win(), -2)
        with self.assertRaises(Exception):
            self.rpc.send_cmd_fwd("surplus")
        status, headers, text = get("/metrics")
        self.assertEqual((status, headers["Content-Type"]), (200, "text/plain; version=0.0.4"))
        after = samples(text)
        grown = lambda name: after[name] - before.get(name, 0)
        self.assertEqual(grown('rs232c_calls_total{method="send_cmd_fwd",outcome="acknowledged"}'), 1)
        self.assertEqual(grown('rs232c_calls_total{method="send_cmd_fwd",outcome="fault"}'), 1)
        self.assertEqual(grown('rs232c_calls_total{method="send_cmd_win",outcome="no_reply"}'), 1)
        self.assertEqual(grown('rs232c_call_duration_seconds_count{method="send_cmd_fwd"}'), 2)
        self.assertEqual(grown('rs232c_call_duration_seconds_bucket{method="send_cmd_fwd",le="0.1"}'),
                         1)  # the fault; the acknowledged call took more than 0.2 s
        self.assertEqual(grown('rs232c_line_bytes_total{direction="sent"}'), 10)
        self.assertGreaterEqual(grown('rs232c_line_bytes_total{direction="received"}'), 5)
        self.assertEqual(after["rs232c_port_held"], 1)
        self.assertEqual(after["rs232c_adapter_present"], 1)
        self.assertLess(abs(after["rs232c_last_reply_timestamp_seconds"] - time.time()), 5)
        self.assertEqual(after['rs232c_build_info{version="1.2.0"}'], 1)
        self.assertEqual(after['rs232c_device_info{device="%s",port="%d"}' % (DEVICE, PORT)], 1)
        self.assertGreaterEqual(after["rs232c_connections_limit"], 16)
        self.assertGreater(after["process_max_fds"], after["rs232c_connections_limit"])
        self.assertGreater(after["process_resident_memory_bytes"], 1 << 20)
        if shutil.which("promtool"):
            check = subprocess.run(["promtool", "check", "metrics"], input=text,
                                   capture_output=True, text=True)
            self.assertEqual((check.returncode, check.stdout + check.stderr), (0, ""))

    def test_health_and_metrics_answer_while_a_call_waits_on_a_silent_line(self):
        self.sim.on("WIN\r\n", "silent")
        caller = threading.Thread(target=lambda: self.daemon.proxy().send_cmd_win())
        caller.start()
        while b"WIN\r\n" not in self.sim.received():  # the call waits on the line now
            time.sleep(0.01)
        for path in ("/metrics", "/health"):
            status, _, body = get(path)
            self.assertEqual(status, 200)
        self.assertTrue(caller.is_alive())  # answered within the call's one-second window
        caller.join()
        health = json.loads(get("/health")[2])
        self.assertEqual(set(health), {"device", "adapter_present", "port_held",
                                       "last_reply_age_s", "line", "line_state", "calls",
                                       "failed_calls"})
        self.assertEqual((health["device"], health["adapter_present"], health["line"],
                          health["line_state"]), (DEVICE, True, "no reply", "no_reply"))

    def test_the_shipped_rules_and_dashboard_name_only_series_the_daemon_serves(self):
        served = {name.split("{")[0] for name in samples(get("/metrics")[2])}
        served |= {name[:-len(suffix)] for name in served
                   for suffix in ("_bucket", "_sum", "_count") if name.endswith(suffix)}
        with open(RULES) as rules:
            named = set(re.findall(r"\b(?:rs232c|process)_\w+", rules.read()))
        named |= {name for query in dashboard_queries("x")
                  for name in re.findall(r"\b(?:rs232c|process)_\w+", query)}
        self.assertTrue(named)
        self.assertEqual(named - served, set())

    def line_state(self):
        """The state whose rs232c_line_state is 1, and /health's line_state: they must agree
        (read while the state holds still: the watch may change it between two requests)."""
        def health():
            return json.loads(get("/health")[2])["line_state"]
        for _ in range(20):
            before = health()
            series = samples(get("/metrics")[2])
            current = [name for name, value in series.items()
                       if name.startswith("rs232c_line_state{") and value == 1]
            self.assertEqual(len(current), 1, current)
            state = current[0].split('"')[1]
            if before == state == health():
                return state
        self.fail("/metrics says %s, /health %s" % (state, before))

    def test_the_line_state_follows_the_adapter_without_a_call(self):
        self.assertEqual(self.rpc.send_cmd_fwd(), 1)  # holds the port
        self.assertEqual(self.line_state(), "ok")
        self.sim.close()  # unplugged
        try:
            self.assertTrue(wait_until(lambda: self.line_state() == "absent", 10))
            self.daemon.wait_for("finds no adapter at %s any more" % DEVICE)
        finally:
            self.replace_simulator()  # plugged in again: nothing has used it since
        self.assertTrue(wait_until(lambda: self.line_state() == "idle", 10))
        self.daemon.wait_for("finds the adapter at %s again" % DEVICE)
        self.assertEqual(self.sim.received(), b"")
        self.assertEqual(self.rpc.send_cmd_fwd(), 1)
        self.assertEqual(self.line_state(), "ok")

    def test_health_follows_the_origin_rules(self):
        for origin, allowed in (("http://ui.example", "http://ui.example"),
                                ("http://evil.example", None), (None, None)):
            status, headers, _ = get("/health", origin)
            self.assertEqual(status, 200)
            self.assertEqual(headers["Access-Control-Allow-Origin"], allowed, origin)
        self.assertEqual(self.sim.received(), b"")  # neither path touches the line

    def test_a_real_prometheus_scrapes_the_daemon(self):
        self.rpc.send_cmd_fwd()
        prometheus = Prometheus("  - job_name: rs232c\n    static_configs: [{targets: "
                                "['127.0.0.1:%d']}]\n" % PORT, rules=[RULES])
        try:
            value = prometheus.value('rs232c_calls_total{method="send_cmd_fwd",'
                                     'outcome="acknowledged"}')
            self.assertIsNotNone(value, "Prometheus stored no rs232c_calls_total")
            self.assertGreaterEqual(value, 1)
            # The shipped rules load, and every panel of the dashboard has data for the station.
            rules = prometheus.get("rules")["groups"]
            self.assertEqual({rule["name"] for group in rules for rule in group["rules"]},
                             {"RS232CDaemonDown", "RS232CAdapterAbsent", "RS232CAdapterUnusable",
                              "RS232CControllerNotReplying", "RS232CRequestsRefused",
                              "RS232CTraceDropping"})

            def answered(query):
                data = prometheus.get("query", query=query)
                return data and data["result"]
            for query in dashboard_queries("127.0.0.1:%d" % PORT):
                self.assertTrue(wait_until(lambda: answered(query), 30, 0.5), query)
        finally:
            prometheus.stop()


class AlertRules(unittest.TestCase):
    def test_promtool_finds_the_rules_clean_and_their_tests_pass(self):
        for args in (["check", "rules", RULES], ["test", "rules", RULE_TESTS]):
            done = subprocess.run([promtool()] + args, capture_output=True, text=True, timeout=60)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)


if __name__ == "__main__":
    unittest.main()
