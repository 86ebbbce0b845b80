#!/usr/bin/env python3
"""Prints the daemon's figures for one run against the simulated tool controller.

Needs a build in build/: run it through bench/run.sh.
"""

import os
import re
import resource
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import xmlrpc.client

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from harness import (DAEMON, DEVICE, PORT, URL, Daemon, Flood, Simulator,  # noqa: E402
                     call_request, peak_kib, port_open, reserve_port, rss_kib)

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime


HERE = os.path.dirname(os.path.abspath(__file__))
# Reserved from the start, so that none of the burst's client sockets can take it.
REFERENCE_PORT = reserve_port()


def wrk_rate(url, seconds=5):
    """Calls per second of get_title from 8 connections, driven by wrk."""
    out = subprocess.run(["wrk", "-t2", "-c8", "-d%ds" % seconds, "-s",
                          os.path.join(HERE, "post.lua"), url],
                         capture_output=True, text=True, check=True).stdout
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)|Socket errors: (.*)", out)
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    return rate, (errors.group(0) if errors else "")


def call_ms(call):
    start = time.perf_counter()
    call()
    return (time.perf_counter() - start) * 1000


def median_ms(call, count):
    return statistics.median(call_ms(call) for _ in range(count))


def burst(new_proxy, pid, count=1000):
    """A burst of silent connections; how long a real call then waits, and the memory held."""
    silent = []
    for _ in range(count):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", PORT))
        silent.append(s)
    time.sleep(1)
    taken = call_ms(lambda: new_proxy().get_title())  # a new connection, behind the silent ones
    rss = rss_kib(pid)
    for s in silent:
        s.close()
    time.sleep(1)
    return taken, rss


def scrape_ms(path, count=200):
    """Median round trip of a GET on a fresh connection, as Prometheus or a probe makes it."""
    def once():
        with socket.create_connection(("127.0.0.1", PORT)) as s:
            s.sendall(b"GET %s HTTP/1.0\r\n\r\n" % path.encode())
            while s.recv(65536):
                pass
    return median_ms(once, count)


def stop_figures(daemon, sim):
    """How long send_cmd_stp takes while six clients queue 0.7-second FWD calls, and after
    1300 idle connections from one address."""
    sim.command('on "FWD\\r\\n" delay 500 send "FWD\\r\\n"')
    done = threading.Event()

    def forward():
        rpc = daemon.proxy()
        while not done.is_set():
            try:
                rpc.send_cmd_fwd()
            except xmlrpc.client.Fault:
                pass  # cancelled by the stop
    clients = [threading.Thread(target=forward) for _ in range(6)]
    for client in clients:
        client.start()
    time.sleep(2)
    rpc = daemon.proxy()
    taken = []
    for _ in range(10):
        taken.append(call_ms(rpc.send_cmd_stp))
        time.sleep(0.3)
    done.set()
    for client in clients:
        client.join()
    sim.command("defaults")
    print("send_cmd_stp while six clients queue 0.7 s FWD calls, 10 times")
    print("  median / worst:                             %8.0f / %.0f ms"
          % (statistics.median(taken), max(taken)))
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
    idle = [socket.create_connection(("127.0.0.1", PORT)) for _ in range(1300)]
    print("send_cmd_stp after 1300 idle connections from one address:  %5.0f ms"
          % call_ms(rpc.send_cmd_stp))
    for s in idle:
        s.close()
    slow = []
    for address in range(2, 27):  # 25 addresses, 64 connections each: more than the table holds
        for _ in range(64):
            s = socket.socket()
            s.bind(("127.0.0.%d" % address, 0))
            s.connect(("127.0.0.1", PORT))
            s.sendall(b"POST /RPC2 HTTP/1.0\r\nContent-Type: text/xml\r\n"
                      b"Content-Length: 100000\r\n\r\n<?xml")
            slow.append(s)
    time.sleep(1)
    print("send_cmd_stp while 25 addresses send 1600 call bodies slowly: %5.0f ms"
          % call_ms(rpc.send_cmd_stp))
    for s in slow:
        s.close()


def bounds_figures():
    """What one request costs at most: the peak memory of a multicall of as many titles as a
    request holds, and of the largest greeting."""
    daemon = Daemon()
    try:
        rpc = daemon.proxy()
        rpc.set_title("&" * 4096)  # the largest title, and the dearest to escape
        before = peak_kib(daemon.proc.pid)
        titles = call_request("system.multicall",
                          ([{"methodName": "get_title", "params": []}] * 2400,))
        with socket.create_connection(("127.0.0.1", PORT)) as s:
            s.sendall(titles)
            answer = b""
            while True:
                chunk = s.recv(1 << 20)
                if not chunk:
                    break
                answer += chunk
        faults = answer.count(b"<name>faultCode</name>")
        rpc.get_message("<" * 120000)
        print("one request: a multicall of 2400 get_title of a 4096-byte title (%d KiB sent)"
              % (len(titles) // 1024))
        print("  answered %d calls, %d faults, in %d KiB; daemon peak memory added: %d KiB"
              % (2400 - faults, faults, len(answer) // 1024, peak_kib(daemon.proc.pid) - before))
    finally:
        daemon.finish()


def flood_figures(addresses=20, each=60, honest_calls=10):
    """An honest client's send_cmd_fwd while `addresses` loopback addresses keep `each` FWD
    calls queued, every answered or shed call replaced at once."""
    daemon = Daemon()
    flood = Flood(call_request("send_cmd_fwd"), addresses, each)
    try:
        time.sleep(15)
        taken, results = [], []
        for _ in range(honest_calls):
            start = time.monotonic()
            try:
                results.append(str(daemon.proxy().send_cmd_fwd()))
            except xmlrpc.client.Fault as fault:
                results.append(fault.faultString.split(":")[0])
            taken.append(time.monotonic() - start)
        stop_ms = call_ms(daemon.proxy().send_cmd_stp)
    finally:
        flood.stop()
        daemon.finish()
    print("send_cmd_fwd of an honest client while %d addresses keep %d FWD calls queued each"
          % (addresses, each))
    print("  results of %d calls: %s" % (honest_calls, " ".join(results)))
    print("  median / worst:                             %8.2f / %.2f s"
          % (statistics.median(taken), max(taken)))
    print("  send_cmd_stp then:                          %8.0f ms" % stop_ms)


def main():
    if sys.argv[1:] == ["--tls"]:  # bench/run.sh --tls: only the figures of TLS
        tls_figures()
        return
    sim = Simulator()
    daemon = Daemon()
    pid = daemon.proc.pid
    rpc = daemon.proxy()
    try:
        rpc.send_cmd_wrt()
        title_ms = median_ms(rpc.get_title, 200)
        wrt_ms = median_ms(rpc.send_cmd_wrt, 30)
        print("get_title round trip, median of 200:          %8.3f ms" % title_ms)
        print("acknowledged held-port command (send_cmd_wrt)")
        print("  median of 30, less the two 100 ms pauses:   %8.3f ms" % (wrt_ms - 200))

        sim.command("clear-rules")
        before = cpu_seconds(pid)
        start = time.monotonic()
        result = rpc.send_cmd_fwd()
        waited = time.monotonic() - start
        used = cpu_seconds(pid) - before
        print("silent controller, send_cmd_fwd -> %d after %.2f s" % (result, waited))
        print("  daemon CPU while it waited:                 %8.2f s" % used)

        before = cpu_seconds(pid)
        time.sleep(10)
        print("daemon CPU over 10 s idle:                    %8.2f s" % (cpu_seconds(pid) - before))
        print("daemon RSS idle:                              %8d KiB" % rss_kib(pid))

        sim.command("defaults")
        print("GET /metrics round trip, median of 200:       %8.3f ms" % scrape_ms("/metrics"))
        print("GET /health round trip, median of 200:        %8.3f ms" % scrape_ms("/health"))
        print("GET / (status page) round trip, median of 200:%8.3f ms" % scrape_ms("/"))
        stop_figures(daemon, sim)
        burst_ms, burst_rss = burst(daemon.proxy, pid)
        print("1000 connections that send nothing, then get_title 1 s later")
        print("  get_title answered in:                      %8.1f ms" % burst_ms)
        print("  daemon RSS with the 1000 connections open:  %8d KiB" % burst_rss)

        peak = [0]
        done = threading.Event()

        def watch_rss():
            while not done.wait(0.2):
                peak[0] = max(peak[0], rss_kib(pid))
        watcher = threading.Thread(target=watch_rss)
        watcher.start()
        rate, errors = wrk_rate(URL)
        done.set()
        watcher.join()
        reference = subprocess.Popen([sys.executable, os.path.join(HERE, "reference_server.py"),
                                      str(REFERENCE_PORT)])
        try:
            time.sleep(1)
            reference_rate, reference_errors = wrk_rate(
                "http://127.0.0.1:%d/RPC2" % REFERENCE_PORT)
        finally:
            reference.terminate()
            reference.wait()
        print("get_title, 8 connections driven by wrk, 5 s each")
        print("  rs232c-daemon:                              %8.0f calls/s %s" % (rate, errors))
        print("  Python xmlrpc.server (SimpleXMLRPCServer):  %8.0f calls/s %s"
              % (reference_rate, reference_errors))
        print("  ratio:                                      %8.1f x" % (rate / reference_rate))
        print("daemon RSS under that load (peak):            %8d KiB" % peak[0])
    finally:
        daemon.finish()
    try:
        bounds_figures()
        flood_figures()
    finally:
        sim.close()
    trace_figures(wrt_ms, rate)
    tls_figures()


def trace_figures(wrt_ms, rate):
    """What --trace costs: to a file, and to a standard error that nobody reads."""
    sim = Simulator()
    with tempfile.TemporaryDirectory() as folder:
        daemon = Daemon(args=("--trace", os.path.join(folder, "line.trace")))
        try:
            rpc = daemon.proxy()
            rpc.send_cmd_wrt()
            traced_ms = median_ms(rpc.send_cmd_wrt, 30)
            traced_rate, errors = wrk_rate(URL)
        finally:
            daemon.finish()
    print("with --trace FILE")
    print("  send_cmd_wrt median, added by the trace:    %8.3f ms" % (traced_ms - wrt_ms))
    print("  get_title from 8 connections:               %8.0f calls/s %s (%+.1f %% against"
          " the run without; the two figures are noisy)" % (traced_rate, errors,
                                                           100 * (traced_rate / rate - 1)))
    # Nobody reads the daemon's standard error: the pipe fills, the record drops events.
    daemon = Daemon(args=("--trace", "-"))
    try:
        rpc = daemon.proxy()
        big = "y" * 100000
        for _ in range(80):
            rpc.get_message(big)
        stalled_ms = median_ms(rpc.send_cmd_wrt, 30)
        title_ms = median_ms(rpc.get_title, 200)
    finally:
        daemon.finish()
        sim.close()
    print("with --trace - and a full pipe that nobody reads")
    print("  send_cmd_wrt median, added:                 %8.3f ms" % (stalled_ms - wrt_ms))
    print("  get_title round trip, median of 200:        %8.3f ms" % title_ms)
    for sig in (signal.SIGTERM, signal.SIGUSR1):
        print("  %-7s until the daemon has ended:         %8.2f s" % (sig.name, stop_seconds(sig)))


def one_call(port, body, context=None, session=None):
    """One call on a connection of its own, as an XML-RPC client makes it; over TLS when a
    context is given (resuming `session`, if any). Returns the TLS session, to resume."""
    raw = socket.create_connection(("127.0.0.1", port))
    sock = (context.wrap_socket(raw, server_hostname="localhost", session=session)
            if context else raw)
    with sock:
        sock.sendall(b"POST /RPC2 HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: %d\r\n\r\n%s"
                     % (len(body), body))
        answer = b""
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            answer += chunk
        if b"<fault>" in answer or b" 200 " not in answer.split(b"\r\n", 1)[0]:
            raise RuntimeError("the call failed: %r" % answer[:300])
        return sock.session if context else None


def calls_per_second(call, seconds=3):
    count, start = 0, time.monotonic()
    while time.monotonic() - start < seconds:
        call()
        count += 1
    return count / (time.monotonic() - start)


def tls_figures():
    """What TLS costs: a FWD over TLS against plain HTTP, and get_title calls per second, one
    connection each, with a full handshake and with session resumption."""
    sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
    import test_tls  # noqa: E402 - the certificates the tests make with the guide's commands
    test_tls.make_certificates()
    title = xmlrpc.client.dumps((), "get_title").encode()
    fwd = xmlrpc.client.dumps((), "send_cmd_fwd").encode()
    sim = Simulator()
    figures = {}
    try:
        for name, args in (("plain", ()), ("tls", test_tls.tls_args())):
            daemon = Daemon(args=args)
            context = test_tls.context(test_tls.OPERATOR) if args else None
            try:
                one_call(PORT, fwd, context)
                figures[name, "fwd"] = median_ms(lambda: one_call(PORT, fwd, context), 30)
                count = [0]

                def fresh():
                    one_call(PORT, title, context)
                    count[0] += 1
                cpu = cpu_seconds(daemon.proc.pid)
                figures[name, "fresh"] = calls_per_second(fresh)
                figures[name, "cpu"] = (cpu_seconds(daemon.proc.pid) - cpu) / count[0] * 1000
                if context:
                    session = [one_call(PORT, title, context)]

                    def resumed():
                        session[0] = one_call(PORT, title, context, session[0]) or session[0]
                    figures[name, "resumed"] = calls_per_second(resumed)
            finally:
                daemon.finish()
    finally:
        sim.close()
    plain = figures["plain", "fresh"]
    print("TLS with client certificates (ECDSA P-256), against plain HTTP, one call a connection")
    print("  send_cmd_fwd median of 30, plain / TLS:     %8.1f / %.1f ms (+%.1f ms)"
          % (figures["plain", "fwd"], figures["tls", "fwd"],
             figures["tls", "fwd"] - figures["plain", "fwd"]))
    print("  get_title calls/s, plain HTTP:              %8.0f" % plain)
    print("  ... TLS, a full handshake per call:         %8.0f  (%.2f of plain)"
          % (figures["tls", "fresh"], figures["tls", "fresh"] / plain))
    print("  ... TLS, session resumed:                   %8.0f  (%.2f of plain)"
          % (figures["tls", "resumed"], figures["tls", "resumed"] / plain))
    print("  daemon CPU per get_title, plain / TLS:      %8.2f / %.2f ms"
          % (figures["plain", "cpu"], figures["tls", "cpu"]))


def stop_seconds(sig):
    """How long a stop takes while the record's pipe stays full: nobody ever reads it."""
    sim = Simulator()
    stalled, write_end = os.pipe()
    daemon = subprocess.Popen([DAEMON, "--device", DEVICE, "--port", str(PORT), "--trace", "-"],
                              stdout=subprocess.DEVNULL,
                              stderr=write_end)
    os.close(write_end)
    try:
        while not port_open(PORT):
            time.sleep(0.05)
        with xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % PORT) as rpc:
            for _ in range(10):
                rpc.get_message("y" * 100000)
        start = time.monotonic()
        daemon.send_signal(sig)
        daemon.wait(timeout=60)
        return time.monotonic() - start
    finally:
        if daemon.poll() is None:
            daemon.kill()
            daemon.wait()
        os.close(stalled)
        sim.close()


if __name__ == "__main__":
    main()
