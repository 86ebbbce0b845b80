#!/usr/bin/env python3
"""Prints the daemon's figures for one run against the simulated tool controller.

Needs root (it links /dev/ttyUSB0) and a build in build/: run it through bench/run.sh.
"""

import os
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from harness import Daemon, Simulator, require_test_host  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def median_ms(call, count):
    times = []
    for _ in range(count):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1000


def main():
    require_test_host()
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
        stop = time.monotonic() + 5
        calls = [0]

        def load():
            client = daemon.proxy()
            while time.monotonic() < stop:
                client.get_title()
                calls[0] += 1
        threads = [threading.Thread(target=load) for _ in range(8)]
        for thread in threads:
            thread.start()
        time.sleep(2.5)
        loaded_rss = rss_kib(pid)
        for thread in threads:
            thread.join()
        print("get_title from 8 Python clients:              %8.0f calls/s" % (calls[0] / 5))
        print("daemon RSS under that load:                   %8d KiB" % loaded_rss)
    finally:
        daemon.finish()
        sim.close()


if __name__ == "__main__":
    main()
