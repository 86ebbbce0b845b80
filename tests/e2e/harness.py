"""Runs the real rs232c-daemon beside the simulated tool controller linked at /dev/ttyUSB0."""

import os
import queue
import signal
import socket
import subprocess
import threading
import time
import unittest
import urllib.request
import xmlrpc.client

BUILD = os.environ.get("RS232C_BUILD_DIR",
                       os.path.join(os.path.dirname(__file__), "..", "..", "build"))
DAEMON = os.path.join(BUILD, "rs232c-daemon")
SIMULATOR = os.path.join(BUILD, "rs232c-sim")
DEVICE = "/dev/ttyUSB0"
# Set by the sanitizer build, whose memory figures say nothing about the daemon's own.
SANITIZED = os.environ.get("RS232C_SANITIZED") == "1"
PORT = 40405
URL = "http://127.0.0.1:%d/RPC2" % PORT


def readme_decoder():
    """The to_bytes function exactly as the README gives it to client writers."""
    with open(os.path.join(os.path.dirname(__file__), "..", "..", "README.md")) as readme:
        text = readme.read()
    code = text[text.index("def to_bytes(text):"):]
    namespace = {}
    exec(code[:code.index("```")], namespace)
    return namespace["to_bytes"]


def require_test_host():
    """These tests link /dev/ttyUSB0 and bind port 40405: only as root, never over a real adapter."""
    if os.geteuid() != 0:
        raise unittest.SkipTest("end-to-end tests need root to link %s" % DEVICE)
    if os.path.exists(DEVICE) and not os.path.islink(DEVICE):
        raise unittest.SkipTest("a real %s exists; not replacing it" % DEVICE)


def quote(data):
    """Bytes as a string of the simulator's control language."""
    if isinstance(data, str):
        data = data.encode("latin-1")
    out = []
    for b in data:
        if b in (0x22, 0x5C):
            out.append("\\" + chr(b))
        elif 0x20 <= b < 0x7F:
            out.append(chr(b))
        else:
            out.append("\\x%02X" % b)
    return '"' + "".join(out) + '"'


class Simulator:
    """The rs232c-sim program, driven through its control language on standard input."""

    def __init__(self, defaults=True, link=DEVICE, replay=None):
        args = [SIMULATOR, "--link", link] + ([] if defaults else ["--no-defaults"])
        args += ["--replay", replay] if replay else []
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        self.answers = queue.Queue()
        self.log = []
        threading.Thread(target=self._read, daemon=True).start()
        first = self.answers.get(timeout=10)
        while first.startswith("replaying"):
            first = self.answers.get(timeout=10)
        assert first.startswith("ready"), first
        self.slave = first.split()[1]

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("latin-1").rstrip("\n")
            if line.startswith(("rx ", "tx ", "protocol error: ")):
                self.log.append(line)
            else:
                self.answers.put(line)

    def command(self, line, timeout=30):
        self.proc.stdin.write((line + "\n").encode("latin-1"))
        self.proc.stdin.flush()
        answer = self.answers.get(timeout=timeout)
        if answer.startswith("error:"):
            raise AssertionError("simulator: %s (%s)" % (answer, line))
        return answer

    def on(self, prefix, steps):
        self.command("on %s %s" % (quote(prefix), steps))

    def play(self, steps, timeout=30):
        """Runs steps now; returns once they have run."""
        self.command("play " + steps, timeout)

    def received(self):
        return bytes.fromhex(self.command("received")[len("received "):])

    def clear(self):
        self.command("clear-received")

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.flush()
            except BrokenPipeError:
                pass
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdin.close()
        self.proc.stdout.close()


def descriptors_on(pid, path):
    """How many descriptors the process has open on `path`."""
    count = 0
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            count += os.readlink("/proc/%d/fd/%s" % (pid, fd)).startswith(path)
        except OSError:
            pass
    return count


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def post(body, content_type="text/xml", length=None, path="/RPC2", timeout=30, headers=""):
    """A raw HTTP POST; returns (status, body) or (None, b"") when the server closed."""
    if isinstance(body, str):
        body = body.encode()
    head = ("POST %s HTTP/1.0\r\nContent-Type: %s\r\nContent-Length: %d\r\n%s\r\n"
            % (path, content_type, len(body) if length is None else length, headers)).encode()
    with socket.create_connection(("127.0.0.1", PORT), timeout=timeout) as s:
        try:
            s.sendall(head + body)
            s.shutdown(socket.SHUT_WR)
        except OSError:
            pass  # the server answered (and closed) before it took the whole request
        reply = b""
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                reply += chunk
        except ConnectionResetError:
            pass
    if not reply:
        return None, b""
    status = int(reply.split(b" ", 2)[1])
    return status, reply.partition(b"\r\n\r\n")[2]


def wait_until(condition, timeout=30):
    """Polls `condition` until it holds; fails the test after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("still not so after %d s" % timeout)
        time.sleep(0.05)


def calls_waiting(port=PORT):
    """The calls queued for the line, as /metrics says."""
    with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=30) as response:
        text = response.read().decode()
    return int(text.split("\nrs232c_calls_waiting ", 1)[1].split("\n", 1)[0])


def calls_in_flight(daemon, count, call=lambda rpc: rpc.send_cmd_fwd()):
    """Starts `count` clients that make one call each; returns their threads to join."""
    def one():
        try:
            with daemon.proxy() as rpc:
                call(rpc)
        except (OSError, xmlrpc.client.Error):
            pass  # the daemon was stopped under it: the test looks at what it wants
    threads = [threading.Thread(target=one) for _ in range(count)]
    for thread in threads:
        thread.start()
    return threads


def port_open(port=PORT, host="127.0.0.1"):
    with socket.socket() as s:
        s.settimeout(0.2)
        return s.connect_ex((host, port)) == 0


class Daemon:
    """rs232c-daemon with its standard output and error captured."""

    def __init__(self, sigint=signal.SIG_DFL, wait=True, wrapper=(), args=(), port=PORT, env=None):
        self.port = port

        def arrange():
            signal.signal(signal.SIGINT, sigint)
        self.proc = subprocess.Popen(list(wrapper) + [DAEMON] + list(args), stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, preexec_fn=arrange,
                                     env=None if env is None else dict(os.environ, **env))
        if wait:
            deadline = time.monotonic() + 60
            while not port_open(port):
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    raise AssertionError("daemon did not start: %r" % (self.finish(),))
                time.sleep(0.05)

    def proxy(self):
        return xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % self.port)

    def finish(self, sig=signal.SIGTERM):
        """Ends the daemon (if it still runs); returns (status, stdout, stderr)."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        out, err = self.proc.communicate(timeout=20)
        return self.proc.returncode, out.decode("latin-1"), err.decode("latin-1")


class EndToEnd(unittest.TestCase):
    """A simulator linked at /dev/ttyUSB0 and a daemon per test class."""

    defaults = True
    daemon_args = ()
    daemon_wrapper = ()

    @classmethod
    def setUpClass(cls):
        require_test_host()
        cls.sim = Simulator(cls.defaults)
        try:
            cls.daemon = Daemon(args=cls.daemon_args, wrapper=cls.daemon_wrapper)
        except Exception:
            cls.sim.close()
            raise
        cls.rpc = cls.daemon.proxy()

    @classmethod
    def tearDownClass(cls):
        cls.daemon.finish()
        cls.sim.close()

    def setUp(self):
        self.sim.command("clear-rules")
        if self.defaults:
            self.sim.command("defaults")
        self.sim.clear()
        self.rpc.serial_close()

    def assertFault(self, call, *args, text=""):
        with self.assertRaises(xmlrpc.client.Fault) as caught:
            call(*args)
        self.assertIn(text, caught.exception.faultString)
        return caught.exception
