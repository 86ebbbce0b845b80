"""TLS with client certificates: who may connect, who may move the tool, and the record of who
did. The certificates are made by the commands of docs/tls.md, run as the guide prints them;
the clients are real ones (Python's ssl, curl, openssl s_client, rs232c-call, Prometheus)."""

import json
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import threading
import time
import unittest
import urllib.request
import xmlrpc.client

from harness import (BUILD, PORT, SANITIZED, Daemon, EndToEnd, Prometheus, Simulator,
                     descriptors_on, private_path, read_until_closed, wait_until)
from test_monitoring import NotifySocket, samples

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
GUIDE = os.path.join(TOP, "docs", "tls.md")
CALL = os.path.join(BUILD, "rs232c-call")
CERTS = private_path("tls")
OPERATOR, OBSERVER = "operator-anna", "observer-bob"


def guide_blocks():
    """The guide's ```sh blocks, in order."""
    with open(GUIDE, encoding="utf-8") as guide:
        return re.findall(r"```sh\n(.*?)```", guide.read(), re.S)


def run_block(code, folder, env=None, **replace):
    """A block of the guide as bash runs it in `folder`, its example names replaced."""
    for old, new in replace.items():
        code = code.replace(old.replace("_", "-"), new)
    run = subprocess.run(["bash", "-euo", "pipefail", "-c", code], cwd=folder,
                         env=dict(os.environ, PLANT_CA_PASS="tested in the suite", **(env or {})),
                         capture_output=True, text=True, timeout=120)
    if run.returncode != 0:
        raise AssertionError("the guide's commands failed:\n%s\n%s" % (code, run.stderr))
    return run


def make_certificates():
    """The plant CA, the station (named localhost, 127.0.0.1), an operator and an observer,
    all by the guide; a UI of another CA and an expired one beside them."""
    if os.path.exists(os.path.join(CERTS, "done")):
        return
    ca, station, ui = guide_blocks()[:3]
    other = os.path.join(CERTS, "other")
    os.makedirs(other)
    run_block(ca, CERTS)
    run_block(station, CERTS, station_1="localhost", **{"192.0.2.10": "127.0.0.1"})
    for name in (OPERATOR, OBSERVER):
        run_block(ui, CERTS, line3_operator=name)
    run_block(ca, other)
    run_block(ui, other, line3_operator="stranger")
    # Expired yesterday: the guide's UI commands with a validity that ended before it began.
    run_block(ui.replace("-days 365", "-days -1").replace("openssl verify", ": "), CERTS,
              line3_operator="expired")
    with open(os.path.join(CERTS, "operators"), "w") as f:
        f.write("# shift leads\n  %s  \n" % OPERATOR)
    open(os.path.join(CERTS, "done"), "w").close()


def cert(name):
    return os.path.join(CERTS, name)


def tls_args(operators=True, client_ca=True):
    args = ["--tls-cert", cert("localhost.crt"), "--tls-key", cert("localhost.key")]
    args += ["--tls-client-ca", cert("plant-ca.crt")] if client_ca else []
    return args + (["--operators", cert("operators")] if operators else [])


def context(who=None, ca=None):
    """Python's ssl context of a UI: trusts the plant CA, presents `who`'s certificate."""
    ctx = ssl.create_default_context(cafile=ca or cert("plant-ca.crt"))
    if who:
        folder = cert("other") if who == "stranger" else CERTS
        ctx.load_cert_chain(os.path.join(folder, who + ".crt"), os.path.join(folder, who + ".key"))
    return ctx


def proxy(port, who):
    return xmlrpc.client.ServerProxy("https://localhost:%d/RPC2" % port, context=context(who))


def metrics(port, ca=None):
    with urllib.request.urlopen("https://localhost:%d/metrics" % port,
                                context=context(OBSERVER, ca), timeout=30) as response:
        return samples(response.read().decode())


def refused(port, reason, ca=None):
    return metrics(port, ca)['rs232c_refused_requests_total{reason="%s"}' % reason]


def client_hello():
    """The first flight of a real TLS client, as bytes."""
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = context().wrap_bio(incoming, outgoing, server_hostname="localhost")
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    return outgoing.read()


def s_client_call(command):
    """A call typed into openssl s_client; raises OSError when no answer came."""
    body = xmlrpc.client.dumps((), "send_cmd_fwd").encode()
    run = subprocess.run(command, input=b"POST /RPC2 HTTP/1.0\r\nContent-Length: %d\r\n\r\n%s"
                         % (len(body), body), capture_output=True, timeout=30)
    if b"methodResponse" not in run.stdout:
        raise OSError("no answer: " + run.stderr.decode(errors="replace")[-200:])
    return run.stdout


def short_lived(name, seconds):
    """A UI certificate of the plant CA (the guide's request) that expires `seconds` from now:
    `openssl ca` takes an end date to the second where `openssl x509 -req` takes only days."""
    folder = private_path("short-" + name)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "ca.cnf"), "w") as f:
        f.write("[ca]\ndefault_ca = plant\n[plant]\ndatabase = index.txt\nnew_certs_dir = .\n"
                "serial = serial\n"
                "default_md = sha256\npolicy = any\nunique_subject = no\n"
                "[any]\ncommonName = supplied\norganizationName = optional\n"
                "[client]\nextendedKeyUsage = clientAuth\n")
    open(os.path.join(folder, "index.txt"), "w").close()
    with open(os.path.join(folder, "serial"), "w") as f:
        f.write("01\n")
    run_block(guide_blocks()[2].split("printf")[0], folder, line3_operator=name)
    stamp = lambda t: time.strftime("%y%m%d%H%M%SZ", time.gmtime(t))
    ends = time.time() + seconds
    run_block("openssl ca -batch -config ca.cnf -cert %s -keyfile %s -passin env:PLANT_CA_PASS "
              "-notext -extensions client -startdate %s -enddate %s -in %s.csr "
              "-out %s.crt" % (cert("plant-ca.crt"), cert("plant-ca.key"), stamp(time.time() - 60),
                               stamp(ends), name, name), folder)
    return os.path.join(folder, name), int(ends)


class TlsLine(EndToEnd):
    """A simulator and a daemon with TLS; the class's calls are an operator's."""

    @classmethod
    def setUpClass(cls):
        make_certificates()
        super().setUpClass()
        cls.rpc = proxy(PORT, OPERATOR)


class Tls(TlsLine):
    """Client certificates of the plant CA and one operator."""

    trace = private_path("tls.trace")
    daemon_args = tuple(tls_args() + ["--trace", trace])

    def events(self, kind):
        def found():
            with open(self.trace) as f:
                return [e for e in map(json.loads, f) if e["event"] == kind]
        return found

    def test_a_client_without_a_valid_certificate_moves_nothing_and_is_counted(self):
        http_proxy = xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % PORT)
        curl = ["curl", "-sS", "--max-time", "20", "--cacert", cert("plant-ca.crt"), "-d",
                xmlrpc.client.dumps((), "send_cmd_fwd"), "https://localhost:%d/RPC2" % PORT]
        s_client = ["openssl", "s_client", "-connect", "127.0.0.1:%d" % PORT, "-CAfile",
                    cert("plant-ca.crt"), "-verify_return_error", "-brief"]
        attempts = [
            ("no certificate", lambda: proxy(PORT, None).send_cmd_fwd()),
            ("another CA", lambda: proxy(PORT, "stranger").send_cmd_fwd()),
            ("expired", lambda: proxy(PORT, "expired").send_cmd_fwd()),
            ("plain HTTP", lambda: http_proxy.send_cmd_fwd()),
            ("curl without a certificate", lambda: subprocess.run(curl, check=True,
                                                                  capture_output=True)),
            ("s_client of another CA", lambda: s_client_call(
                s_client + ["-cert", cert("other/stranger.crt"), "-key", cert("other/stranger.key")])),
        ]
        before = refused(PORT, "tls")
        for what, attempt in attempts:
            with self.assertRaises((OSError, xmlrpc.client.ProtocolError,
                                    subprocess.CalledProcessError), msg=what) as caught:
                attempt()
            if what == "plain HTTP":  # a line for the person who typed http://, no XML-RPC
                self.assertEqual(caught.exception.errcode, 400)
        self.assertEqual(self.sim.received(), b"")
        # xmlrpc.client sends a call again when its connection drops after the request left.
        self.assertGreaterEqual(refused(PORT, "tls") - before, len(attempts))
        reasons = [e["reason"] for e in self.events("refused-call")()]
        for reason in ("peer did not return a certificate", "unable to get local issuer",
                       "certificate has expired", "plain HTTP to the TLS port"):
            self.assertTrue(any(reason in r for r in reasons), (reason, reasons))
        self.daemon.wait_for("RS232C Daemon refused a TLS client at 127.0.0.1: ")  # once
        # A valid one is served as before, /health and /metrics included.
        self.assertEqual(self.rpc.send_cmd_fwd(), 1)
        with urllib.request.urlopen("https://localhost:%d/health" % PORT,
                                    context=context(OBSERVER), timeout=30) as health:
            self.assertTrue(json.load(health)["adapter_present"])

    def test_a_resumed_session_keeps_no_rights_past_its_certificates_validity(self):
        """A session resumed without a certificate is its first handshake's: it runs as that
        certificate's holder only while the certificate is valid."""
        s_client = ["openssl", "s_client", "-connect", "127.0.0.1:%d" % PORT, "-CAfile",
                    cert("plant-ca.crt"), "-ign_eof"]
        # Resumed by a TLS 1.3 ticket, a TLS 1.2 ticket and a TLS 1.2 session id.
        ways = {"TLSv1.3": [], "TLSv1.2": ["-tls1_2"], "id": ["-tls1_2", "-no_ticket"]}
        session = lambda who, way: private_path("%s-%s.session" % (who, way))
        short, ends = short_lived(OPERATOR, 5)  # named in --operators
        for who, pem in (("short", short), (OPERATOR, cert(OPERATOR))):
            for way, options in ways.items():
                s_client_call(s_client + options + ["-cert", pem + ".crt", "-key", pem + ".key",
                                                    "-sess_out", session(who, way)])
        self.assertEqual(self.sim.received(), b"FWD\r\n" * 6)
        time.sleep(max(0, ends + 1.5 - time.time()))  # past its last valid second
        resume = lambda who, way: s_client + ways[way] + ["-sess_in", session(who, way)]
        before = refused(PORT, "tls")
        for way in ways:
            self.assertIn(b"Reused, TLSv1.", s_client_call(resume(OPERATOR, way)), way)
            with self.assertRaises(OSError, msg=way):
                s_client_call(resume("short", way))
        self.assertEqual(refused(PORT, "tls") - before, len(ways))
        self.assertEqual(self.sim.received(), b"FWD\r\n" * 9)  # the valid sessions' alone
        expired = "client certificate of the resumed session: certificate has expired"
        self.assertTrue(wait_until(lambda: len([e for e in self.events("refused-call")()
                                                if e["reason"] == expired]) == len(ways)))

    def test_an_observer_may_watch_and_stop_but_nothing_else_reaches_the_line(self):
        observer = proxy(PORT, OBSERVER)
        allowed = [("get_title", ()), ("get_message", ("bob",)), ("recv_cmd_inf", ()),
                   ("get_last_recv_data_bin_str", ()), ("get_last_recv_data_str", ()),
                   ("send_cmd_ver", ()), ("send_cmd_ver_script", ()), ("send_cmd_stp", ())]
        refused_calls = [("set_title", ("x",)), ("send_cmd", ("FWD\n",)), ("send_cmd_com", ("a",)),
                         ("send_cmd_cos", ()), ("send_cmd_cst", ("a",)), ("send_cmd_chs", ("1",)),
                         ("send_cmd_fwd", ()), ("send_cmd_rvs", ()), ("send_cmd_ch", ("3",)),
                         ("send_cmd_rst", ()), ("send_cmd_win", ()), ("send_cmd_wot", ()),
                         ("send_cmd_wot_with_wng", ()), ("send_cmd_wrt", ()), ("serial_close", ())]
        self.assertEqual(len(allowed) + len(refused_calls), 23)
        before = refused(PORT, "forbidden")
        for method, params in refused_calls:
            fault = self.assertFault(getattr(observer, method), *params,
                                     text="forbidden: %s may watch and stop the tool, not call %s"
                                     % (OBSERVER, method))
            self.assertEqual(fault.faultCode, -507)
        # Inside a multicall too, call by call.
        multicall = xmlrpc.client.MultiCall(observer)
        multicall.get_title()
        multicall.send_cmd_fwd()
        self.assertFault(lambda: list(multicall()), text="forbidden:")
        self.assertEqual(self.sim.received(), b"")
        self.assertEqual(refused(PORT, "forbidden") - before, len(refused_calls) + 1)
        for method, params in allowed:
            getattr(observer, method)(*params)
        self.assertEqual(self.sim.received(), b"VER\r\n" * 2 + b"STP\r\n")
        # The operator may call them all.
        self.assertEqual(self.rpc.set_title("Station 3"), "Station 3")
        self.assertEqual(self.rpc.send_cmd_fwd(), 1)
        self.assertEqual(self.rpc.serial_close(), 0)

    def test_the_record_names_each_callers_certificate(self):
        self.rpc.get_message("audit")
        with self.assertRaises(xmlrpc.client.Fault):
            proxy(PORT, OBSERVER).set_title("audit")
        request = urllib.request.Request("https://localhost:%d/RPC2" % PORT,
                                         b"<?xml version='1.0'?><!DOCTYPE x><x/>",
                                         {"Content-Type": "text/xml"})
        with urllib.request.urlopen(request, context=context(OPERATOR), timeout=30) as answer:
            self.assertIn(b"faultCode", answer.read())  # refused by the guard: no call
        calls = lambda: [e for e in self.events("call")() if e["params"] == ["audit"]]
        self.assertTrue(wait_until(lambda: len(calls()) == 2))
        by_method = {e["method"]: e for e in calls()}
        self.assertEqual(by_method["get_message"]["cn"], OPERATOR)
        self.assertEqual(by_method["set_title"]["cn"], OBSERVER)
        self.assertTrue(by_method["set_title"]["fault"].startswith("forbidden: "))
        self.assertRegex(by_method["get_message"]["client"], r"^127\.0\.0\.1:\d+$")
        guard = lambda: [e for e in self.events("refused-call")() if "cn" in e]
        self.assertTrue(wait_until(guard))
        self.assertEqual(guard()[-1]["cn"], OPERATOR)
        # rs232c-trace shows the name beside the address.
        timeline = subprocess.run([os.path.join(BUILD, "rs232c-trace"), self.trace],
                                  capture_output=True, text=True).stdout
        self.assertRegex(timeline, r'127\.0\.0\.1:\d+ \[%s\]  set_title\("audit"\)  -> fault: '
                         "forbidden: " % OBSERVER)

    def test_a_call_whose_tls_client_left_never_runs_and_a_stop_cancels_what_waits(self):
        # Long enough for the handshakes of a loaded sanitizer build, well within the window.
        self.sim.on("FWD\r\n", 'delay 5000 send "FWD\\r\\n"')
        holder = threading.Thread(target=self.rpc.send_cmd_fwd)
        holder.start()
        self.assertTrue(wait_until(lambda: self.sim.received() == b"FWD\r\n"))
        body = xmlrpc.client.dumps((), "send_cmd_rvs").encode()
        raw = socket.create_connection(("127.0.0.1", PORT))
        with context(OPERATOR).wrap_socket(raw, server_hostname="localhost") as leaving:
            leaving.sendall(b"POST /RPC2 HTTP/1.0\r\nContent-Length: %d\r\n\r\n%s"
                            % (len(body), body))
            self.assertTrue(wait_until(lambda: metrics(PORT)["rs232c_calls_waiting"] == 1))
        # Gone while the FWD holds the line: its RVS is dropped. A waiting call of another is
        # cancelled by an observer's stop.
        abandoned = 'rs232c_calls_total{method="send_cmd_rvs",outcome="abandoned"}'
        self.assertTrue(wait_until(lambda: metrics(PORT)[abandoned] == 1))
        fault = []
        waiting = threading.Thread(target=lambda: fault.append(
            self.assertFault(proxy(PORT, OPERATOR).send_cmd_win, text="cancelled: ")))
        waiting.start()
        self.assertTrue(wait_until(lambda: metrics(PORT)["rs232c_calls_waiting"] == 1))
        self.assertEqual(proxy(PORT, OBSERVER).send_cmd_stp(), 1)
        waiting.join()
        holder.join()
        self.assertEqual(len(fault), 1)
        self.assertEqual(self.sim.received(), b"FWD\r\nSTP\r\n")

    def test_malformed_handshakes_get_nothing_and_change_nothing(self):
        hello = client_hello()
        record = lambda kind, body: bytes([kind, 3, 3]) + len(body).to_bytes(2, "big") + body
        attacks = [
            b"\x00" * 64,
            b"\x16\x03\x01\xff\xff" + b"\x01" * 200,           # a record longer than it is
            hello[:5] + b"\x01\x00\xff\xff" + hello[9:],        # a hello longer than its record
            b"\x80\x2e\x01\x00\x02\x00\x15\x00\x00\x00\x10" + b"\x07" * 37,  # SSLv2's hello
            record(0x15, b"\x02\x28"),                          # an alert first
            record(0x17, b"GET /health HTTP/1.0\r\n\r\n"),     # data before any handshake
            record(0x16, b"") * 200,                            # empty handshake records
            hello + b"\x16\x03\x03\x00\x01\x00" + b"\xff" * 100,  # a hello and garbage after
            hello[:-30],                                        # a hello cut short, then EOF
        ]
        before = refused(PORT, "tls")
        for attack in attacks:
            with socket.create_connection(("127.0.0.1", PORT), timeout=30) as s:
                try:
                    s.sendall(attack)
                    s.shutdown(socket.SHUT_WR)
                except OSError:
                    pass  # refused before it was all sent
                answer = read_until_closed(s)
            self.assertNotIn(b"HTTP/", answer, attack[:16])
        self.assertEqual(refused(PORT, "tls") - before, len(attacks))
        self.assertIsNone(self.daemon.proc.poll())
        self.assertEqual(self.rpc.send_cmd_fwd(), 1)

    def test_refusals_without_a_certificate_cannot_rotate_the_record_away(self):
        # At most 20 a second are recorded; the next one recorded counts those left out.
        def recorded():
            events = self.events("refused-call")()
            return len(events), sum(e.get("left_out", 0) for e in events)

        def probe():
            with socket.create_connection(("127.0.0.1", PORT), timeout=30) as s:
                s.sendall(b"GET /health HTTP/1.0\r\n\r\n")
                read_until_closed(s)
        events_before, left_out_before = recorded()
        start = time.monotonic()
        for _ in range(150):
            probe()
        elapsed = time.monotonic() - start
        events, _ = recorded()
        self.assertLessEqual(events - events_before, 20 * (elapsed + 2))
        time.sleep(1.1)  # a new second: the next refusal is recorded, with the count
        probe()
        # The trace is written behind the answers: wait until every probe is in it.
        accounted = lambda: sum(recorded()) - events_before - left_out_before
        wait_until(lambda: accounted() >= 151)
        self.assertEqual(accounted(), 151)

    def test_rs232c_call_speaks_tls_with_curls_option_names(self):
        base = [CALL, "--tls", "--host", "localhost", "--port", str(PORT), "--cacert",
                cert("plant-ca.crt")]
        who = lambda name: ["--cert", cert(name + ".crt"), "--key", cert(name + ".key")]
        cases = [  # arguments, exit status, what it prints
            (who(OPERATOR) + ["send_cmd_fwd"], 0, "1 (acknowledged"),
            (who(OBSERVER) + ["send_cmd_fwd"], 1, "fault -507: forbidden: " + OBSERVER),
            (who(OBSERVER) + ["--raw", "recv_cmd_inf"], 0, "0"),
            (["send_cmd_fwd"], 3, "cannot reach the daemon"),
        ]
        for args, status, printed in cases:
            run = subprocess.run(base + args, capture_output=True, text=True, timeout=60)
            self.assertEqual(run.returncode, status, run.stderr)
            self.assertIn(printed, run.stdout + run.stderr)
        self.assertEqual(self.sim.received(), b"FWD\r\n")
        usage = subprocess.run([CALL, "--cert", cert(OPERATOR + ".crt"), "get_title"],
                               capture_output=True, text=True)
        self.assertEqual(usage.returncode, 2, usage.stderr)


class TlsCrowded(TlsLine):
    """A table of 100 connections over TLS (a limit of 516 open files, five each), and one
    address may hold them all."""

    daemon_wrapper = ("prlimit", "--nofile=516:516", "--")
    daemon_args = tuple(tls_args() + ["--client-connections", "1000"])

    def test_half_open_handshakes_keep_neither_a_call_nor_a_stop_out(self):
        hello = client_hello()
        flood = []
        before = refused(PORT, "tls")
        try:
            # From another address: nothing, half a ClientHello, or a whole handshake and then
            # no request.
            for i in range(300):
                s = socket.socket()
                s.bind(("127.0.0.2", 0))
                s.connect(("127.0.0.1", PORT))
                if i % 3 == 2:
                    s = context(OBSERVER).wrap_socket(s, server_hostname="localhost")
                else:
                    s.sendall(hello[:len(hello) // 2] if i % 3 else b"")
                flood.append(s)
            started = time.monotonic()
            self.assertEqual(self.rpc.send_cmd_fwd(), 1)
            self.assertEqual(proxy(PORT, OBSERVER).send_cmd_stp(), 1)
            self.assertLess(time.monotonic() - started, 10)  # under a second when quiet
            # The daemon closes each one once the head's time limit has passed; a request
            # that never came inside TLS hears so, inside TLS.
            started = time.monotonic()
            answers = [read_until_closed(s) for s in flood]
            self.assertLess(time.monotonic() - started, 25)
            # Those closed for a newcomer hear nothing.
            self.assertEqual(set(answers[i] for i in range(300) if i % 3 != 2), {b""})
            timed_out = [a for a in answers[2::3] if a]
            self.assertTrue(timed_out)
            # Only the 100 half hellos can fail their handshakes (in time); those the daemon
            # closed to make room failed by no doing of their clients' (133 counted before).
            self.assertLessEqual(refused(PORT, "tls") - before, 100)
            for answer in timed_out:
                self.assertTrue(answer.startswith(b"HTTP/1.1 408 "), answer)
        finally:
            for s in flood:
                s.close()
        pid = self.daemon.proc.pid
        self.assertTrue(wait_until(lambda: descriptors_on(pid, "socket:") <= 4))
        self.assertEqual(self.sim.received(), b"FWD\r\nSTP\r\n")



class TlsWithoutOperators(TlsLine):
    """Client certificates but no --operators: every valid certificate is an operator's."""

    daemon_args = tuple(tls_args(operators=False))

    def test_every_client_with_a_valid_certificate_may_move_the_tool(self):
        self.assertEqual(proxy(PORT, OBSERVER).send_cmd_fwd(), 1)
        self.assertEqual(proxy(PORT, OBSERVER).set_title("line 3"), "line 3")
        self.assertEqual(self.sim.received(), b"FWD\r\n")


class TlsSetUp(unittest.TestCase):
    """Configurations the daemon refuses, and what runs beside it with TLS on."""

    @classmethod
    def setUpClass(cls):
        make_certificates()

    def test_a_bad_configuration_is_one_line_and_status_2_before_the_port_opens(self):
        key = cert("localhost.key")
        unreadable = private_path("unreadable.key")
        shutil.copy(key, unreadable)
        os.chmod(unreadable, 0)
        garbage = private_path("garbage.pem")
        with open(garbage, "w") as f:
            f.write("-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n")
        station = ["--tls-cert", cert("localhost.crt")]
        cases = [  # arguments, what the line says
            (station + ["--tls-key", cert(OPERATOR + ".key")], "does not match the certificate"),
            (station + ["--tls-key", private_path("absent.key")], "No such file or directory"),
            (station + ["--tls-key", key, "--tls-client-ca", garbage], "holds no CA certificate"),
            (["--tls-cert", garbage, "--tls-key", key], "holds no certificate"),
            (["--tls-key", key], "--tls-key needs --tls-cert"),
            (["--operators", cert("operators")], "--operators needs client certificates"),
            (["--tls-client-ca", cert("plant-ca.crt")], "--tls-client-ca needs TLS"),
            (tls_args(operators=False) + ["--operators", private_path("absent")],
             "cannot read"),
        ]
        if os.geteuid() != 0:  # root reads every file
            cases.append((station + ["--tls-key", unreadable], "Permission denied"))
        for args, line in cases:
            daemon = Daemon(args=args, wait=False)
            daemon.proc.wait(timeout=20)
            status, out, err = daemon.finish()
            self.assertEqual(status, 2, (args, err))
            self.assertEqual(len(err.strip().splitlines()), 1, err)
            self.assertIn(line, err)
            self.assertNotIn("started", out)
        # A key others may read is said, not refused.
        readable = private_path("readable.key")
        shutil.copy(key, readable)
        os.chmod(readable, 0o644)
        daemon = Daemon(args=station + ["--tls-key", readable])
        try:
            daemon.wait_for("the private key %s may be read by other users" % readable)
        finally:
            daemon.finish()

    def test_the_guides_station_set_up_and_drop_in_serve_the_guides_check(self):
        install, check = guide_blocks()[3:5]
        etc = private_path("etc-tls")
        run_block(install.replace("/etc/rs232c-daemon/tls", etc), CERTS,
                  station_1="localhost", line3_operator=OPERATOR)
        self.assertEqual(os.stat(os.path.join(etc, "localhost.key")).st_mode & 0o777, 0o600)
        # The drop-in's credentials name the files the guide installs; systemd copies them to
        # the folder %d stands for.
        with open(os.path.join(TOP, "packaging", "systemd", "tls.conf")) as f:
            drop_in = f.read().replace("station-1", "localhost")
        credentials = private_path("credentials")
        os.makedirs(credentials)
        for name, path in re.findall(r"^LoadCredential=([^:]+):(.*)$", drop_in, re.M):
            shutil.copy(path.replace("/etc/rs232c-daemon/tls", etc),
                        os.path.join(credentials, name))
        options = re.search(r'RS232C_TLS_OPTIONS=([^"]*)"', drop_in).group(1)
        sim = Simulator()
        daemon = Daemon(args=options.replace("%d", credentials).split())
        try:
            run = run_block(check.replace("40405", str(PORT)), CERTS, station_1="localhost",
                            line3_operator=OPERATOR)
            self.assertIn("Verification: OK", run.stdout + run.stderr)
            self.assertEqual(proxy(PORT, OPERATOR).send_cmd_fwd(), 1)
            self.assertEqual(refused(PORT, "tls"), 0)
        finally:
            daemon.finish()
            sim.close()

    def test_the_watchdog_pings_through_tls_and_refuses_nothing(self):
        # The station's certificate of the plant CA, and one of its own that no client CA
        # issued, for servers only: the daemon takes its own from itself all the same.
        own = [cert("self-signed.crt"), cert("self-signed.key")]
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-noenc", "-keyout", own[1], "-out", own[0],
                        "-days", "30", "-subj", "/CN=localhost", "-addext",
                        "extendedKeyUsage=serverAuth"], check=True, capture_output=True)
        # A handshake in a loaded sanitizer build can outlast a check's 400 ms: give it twice that.
        interval = 4.0 if SANITIZED else 2.0
        for station, ca in ((tls_args(), None),
                            (["--tls-cert", own[0], "--tls-key", own[1]] + tls_args()[4:], own[0])):
            notify = NotifySocket()
            sim = Simulator()
            daemon = Daemon(wait=False, args=station,
                            env=dict(NOTIFY_SOCKET=notify.path,
                                     WATCHDOG_USEC=str(int(interval * 1e6))))
            try:
                self.assertIsNotNone(notify.until(lambda m: m.startswith("READY=1")))
                pings = [m for m in notify.during(interval * 1.25) if m == "WATCHDOG=1"]
                self.assertGreaterEqual(len(pings), 3)  # five are due, one every quarter
                self.assertEqual(refused(PORT, "tls", ca), 0)
            finally:
                status, out, err = daemon.finish(signal.SIGKILL)
                sim.close()
                notify.close()
            self.assertNotIn("not healthy", err)

    def test_without_client_certificates_the_record_names_none(self):
        trace = private_path("server-only.trace")
        sim = Simulator()
        daemon = Daemon(args=tls_args(operators=False, client_ca=False) + ["--trace", trace])
        try:
            self.assertEqual(proxy(PORT, None).send_cmd_fwd(), 1)
        finally:
            daemon.finish()
            sim.close()
        with open(trace) as f:
            calls = [e for e in map(json.loads, f) if e["event"] == "call"]
        self.assertEqual([("cn" in e, e["method"]) for e in calls], [(False, "send_cmd_fwd")])

    def test_prometheus_scrapes_metrics_over_tls_with_a_client_certificate(self):
        sim = Simulator()
        daemon = Daemon(args=tls_args())
        prometheus = None
        try:
            prometheus = Prometheus(
                "  - job_name: station\n    scheme: https\n"
                "    tls_config: {ca_file: '%s', cert_file: '%s', key_file: '%s'}\n"
                "    static_configs: [{targets: ['localhost:%d']}]\n"
                % (cert("plant-ca.crt"), cert(OBSERVER + ".crt"), cert(OBSERVER + ".key"), PORT))
            self.assertEqual(prometheus.value("rs232c_build_info"), 1,
                             "Prometheus stored no rs232c_build_info over TLS")
            self.assertEqual(refused(PORT, "tls"), 0)
        finally:
            if prometheus:
                prometheus.stop()
            daemon.finish()
            sim.close()


if __name__ == "__main__":
    unittest.main()
