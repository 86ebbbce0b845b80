"""Runs the real rs232c-daemon beside the simulated tool controller.

Each test process has an adapter path and a TCP port of its own (DEVICE and PORT), so tests
need no root and run side by side. Only test_default_path uses /dev/ttyUSB0 and port 40405.
"""

import atexit
import json
import os
import queue
import resource
import select
import selectors
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.parse
import urllib.request
import xmlrpc.client

BUILD = os.environ.get("RS232C_BUILD_DIR",
                       os.path.join(os.path.dirname(__file__), "..", "..", "build"))
DAEMON = os.path.join(BUILD, "rs232c-daemon")
SIMULATOR = os.path.join(BUILD, "rs232c-sim")
# Set by the sanitizer build, whose memory figures say nothing about the daemon's own.
SANITIZED = os.environ.get("RS232C_SANITIZED") == "1"
# What the daemon uses when it is given no option.
DEFAULT_DEVICE = "/dev/ttyUSB0"
DEFAULT_PORT = 40405

_reserved = []
atexit.register(lambda: [holder.close() for holder in _reserved])


def reserve_port():
    """A TCP port for this process alone, for as long as it runs. The socket that holds it is
    bound but never listens, so a daemon may bind the port too (both set SO_REUSEADDR), while
    the kernel picks it for no other socket (another process's port 0, a client's own port)."""
    holder = socket.socket()
    holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    holder.bind(("0.0.0.0", 0))
    _reserved.append(holder)
    return holder.getsockname()[1]


_folder = tempfile.mkdtemp(prefix="rs232c-e2e-")
atexit.register(shutil.rmtree, _folder, True)
# The adapter path of this process's tests: a link to the simulator's pseudo-terminal. A link
# keeps its name when a test replaces a simulator that hung up, as a re-plugged adapter does.
DEVICE = os.path.join(_folder, "ttyUSB0")
PORT = reserve_port()
URL = "http://127.0.0.1:%d/RPC2" % PORT


def private_path(name):
    """A path in this process's own folder, removed when the process ends."""
    return os.path.join(_folder, name)


def readme_decoder():
    """The to_bytes function exactly as docs/methods.md gives it to client writers."""
    with open(os.path.join(os.path.dirname(__file__), "..", "..", "docs", "methods.md")) as readme:
        text = readme.read()
    code = text[text.index("def to_bytes(text):"):]
    namespace = {}
    exec(code[:code.index("```")], namespace)
    return namespace["to_bytes"]


# Set by .ci/run: a test whose tool is missing fails instead of skipping, so that a run which
# could not install a tool is not green with that tool's coverage missing.
REQUIRE_TOOLS = os.environ.get("CI") == "true"


def need_tool(found, what):
    """Skips the test (or, in CI, fails it) when a tool it needs is missing; `found` is the tool's
    path or any true value when it is there."""
    if found:
        return found
    if REQUIRE_TOOLS:
        raise AssertionError("missing tool: %s (scripts/test.sh installs it)" % what)
    raise unittest.SkipTest("missing tool: %s" % what)


def require_test_host():
    """Nothing to require any more (every test has a pseudo-terminal and a port of its own);
    kept so that tests which call it run unchanged."""


def wait_until(condition, timeout=20, step=0.01):
    """Checks `condition` until it holds (True) or `timeout` seconds pass (False). For events
    that nothing announces, such as another process closing a descriptor."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(step)
    return True


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
    """The rs232c-sim program, driven through its control language on standard input. By
    default linked at DEVICE; link=None leaves the bare pseudo-terminal (`slave`)."""

    def __init__(self, defaults=True, link=DEVICE, replay=None):
        args = [SIMULATOR] + (["--link", link] if link else [])
        args += ([] if defaults else ["--no-defaults"])
        args += ["--replay", replay] if replay else []
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        self.answers = queue.Queue()
        self.log = []
        self.logged = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()
        first = self.answers.get(timeout=10)
        while first.startswith("replaying"):
            first = self.answers.get(timeout=10)
        assert first.startswith("ready"), first
        self.slave = first.split()[1]
        self.device = link or self.slave

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("latin-1").rstrip("\n")
            if line.startswith(("rx ", "tx ", "protocol error: ")):
                with self.logged:
                    self.log.append(line)
                    self.logged.notify_all()
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

    def pending(self, data):
        """Sends bytes of the controller's own accord and returns once they wait, unread, on
        the daemon's side of the line."""
        before = int(self.command("unread").split()[1])
        self.play("send " + quote(data))
        self.command("wait-unread %d" % (before + len(data)))

    def wait_received(self, count):
        """Returns once the simulator has received `count` bytes (since the last clear)."""
        self.command("wait-received %d" % count)

    def wait_line(self, head):
        """Returns once the simulator has received a line that begins with `head`."""
        self.command("wait-line " + quote(head))

    def wait_log(self, head, timeout=30):
        """Returns once the simulator has logged a line that begins with `head` ("tx flood")."""
        with self.logged:
            if not self.logged.wait_for(lambda: any(l.startswith(head) for l in self.log),
                                        timeout):
                raise AssertionError("the simulator logged no %r" % head)

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


def _current_port(port):
    """`port`, or else the port of the newest daemon that still runs, or else PORT."""
    if port is not None:
        return port
    latest = Daemon.latest
    return latest.port if latest and latest.proc.poll() is None else PORT


def post(body, content_type="text/xml", length=None, path="/RPC2", timeout=30, headers="",
         port=None, shut=False):
    """A raw HTTP POST to the daemon (on `port`, by default the running daemon's); returns
    (status, body) or (None, b"") when the server closed. The sending side stays open unless
    `shut`: a client that shuts it has withdrawn a call that waits for the line."""
    if isinstance(body, str):
        body = body.encode()
    head = ("POST %s HTTP/1.0\r\nContent-Type: %s\r\nContent-Length: %d\r\n%s\r\n"
            % (path, content_type, len(body) if length is None else length, headers)).encode()
    reply = exchange(head + body, port, timeout, shut)
    if not reply:
        return None, b""
    status = int(reply.split(b" ", 2)[1])
    return status, reply.partition(b"\r\n\r\n")[2]


def exchange(data, port=None, timeout=30, shut=True):
    """Sends `data` as it is, closes the sending side (if `shut`), and returns every byte of the
    answer."""
    with socket.create_connection(("127.0.0.1", _current_port(port)), timeout=timeout) as s:
        try:
            s.sendall(data)
            if shut:
                s.shutdown(socket.SHUT_WR)
        except OSError:
            pass  # the server answered (and closed) before it took the whole request
        return read_until_closed(s, timeout)


def read_until_closed(sock, timeout=30):
    """Every byte the other side sends until it closes (or resets) the connection."""
    sock.settimeout(timeout)
    reply = b""
    try:
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                return reply
            reply += chunk
    except ConnectionResetError:
        return reply


class Prometheus:
    """Debian's Prometheus, scraping with `scrape` (the YAML of one job, under scrape_configs)
    and evaluating `rules`, until stop()."""

    def __init__(self, scrape, rules=()):
        self.folder = tempfile.mkdtemp()
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            web = s.getsockname()[1]
        self.api = "http://127.0.0.1:%d/api/v1/" % web
        config = os.path.join(self.folder, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
                    "rule_files: [%s]\nscrape_configs:\n%s"
                    % (", ".join("'%s'" % r for r in rules), scrape))
        self.server = subprocess.Popen(
            [need_tool(shutil.which("prometheus"), "prometheus"), "--config.file=" + config,
             "--storage.tsdb.path=" + os.path.join(self.folder, "data"),
             "--web.listen-address=127.0.0.1:%d" % web],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def get(self, path, **query):
        """The data of an API answer (`path` under /api/v1/)."""
        url = self.api + path + ("?" + urllib.parse.urlencode(query) if query else "")
        with urllib.request.urlopen(url, timeout=5) as answer:
            reply = json.load(answer)
        return reply["data"] if reply["status"] == "success" else None

    def value(self, query, timeout=60):
        """The first sample's value of `query` once Prometheus has one (None if it has none in
        `timeout` seconds)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                result = self.get("query", query=query)["result"]
                if result:
                    return float(result[0]["value"][1])
            except (OSError, ValueError, KeyError, TypeError):
                pass
            time.sleep(0.5)
        return None

    def stop(self):
        self.server.terminate()
        self.server.wait(timeout=30)
        shutil.rmtree(self.folder)


def call_request(method, params=()):
    """A whole HTTP request for one call, as bytes to send on a socket of one's own."""
    body = xmlrpc.client.dumps(params, method).encode()
    return (b"POST /RPC2 HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: %d\r\n\r\n"
            % len(body) + body)


def from_address(address, port=None, receive_buffer=None):
    """A connection to the daemon from one of the loopback's many addresses (127.0.0.N)."""
    s = socket.socket()
    if receive_buffer:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    s.bind((address, 0))
    s.connect(("127.0.0.1", _current_port(port)))
    return s


class Flood:
    """`addresses` loopback addresses (127.0.0.2 on) that each keep `each` calls of `request`
    waiting, every call answered (or shed) replaced at once, from a thread of its own."""

    def __init__(self, request, addresses=20, each=60, port=None):
        resource.setrlimit(resource.RLIMIT_NOFILE,
                           (min(resource.getrlimit(resource.RLIMIT_NOFILE)[1], 4096),
                            resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
        self.request, self.port = request, _current_port(port)
        self.addresses = ["127.0.0.%d" % (n + 2) for n in range(addresses)]
        self.each = each
        self.selector = selectors.DefaultSelector()
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._run)
        self.thread.start()

    def _open(self, address):
        try:
            s = from_address(address, self.port)
            s.sendall(self.request)
            self.selector.register(s, selectors.EVENT_READ, address)
        except OSError:
            pass  # taken again at the next answer

    def _run(self):
        for address in self.addresses:
            for _ in range(self.each):
                self._open(address)
        while not self.stopped.is_set():
            for key, _ in self.selector.select(0.1):
                try:
                    more = key.fileobj.recv(65536)
                except OSError:
                    more = b""
                if not more:
                    self.selector.unregister(key.fileobj)
                    key.fileobj.close()
                    self._open(key.data)
        for key in list(self.selector.get_map().values()):
            key.fileobj.close()

    def stop(self):
        self.stopped.set()
        self.thread.join()


def peak_kib(pid):
    """The most memory the process has held so far (VmHWM)."""
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


# Request heads that xmlrpc-c's HTTP server leaks memory on, or answers with a status taken
# from uninitialized memory; the daemon answers them itself. With the status it gives.
BAD_HEADS = [
    (b"GET /health HTTP/1.1\r\nbogus\r\n\r\n", 400),
    (b"GET /health HTTP/1.1\r\nHost: x:\r\n\r\n", 400),
    (b"GET /health HTTP/1.1\r\nHost: x:99999999\r\n\r\n", 400),
    (b"GET /health HTTP/1.1\r\nHost: [::1]\r\n\r\n", 400),
    (b"POST /RPC2 HTTP/1.0\r\nX: " + b"a" * 5000 + b"\r\n\r\n", 431),
    (b"POST /RPC2 HTTP/1.0\r\nContent-Type: text/xml\r\n", None),  # the client leaves mid-head
]


def calls_waiting(port=None):
    """The calls queued for the line, as /metrics says."""
    with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % _current_port(port),
                                timeout=30) as response:
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


def port_open(port=None, host="127.0.0.1"):
    with socket.socket() as s:
        s.settimeout(0.2)
        return s.connect_ex((host, _current_port(port))) == 0


class Daemon:
    """rs232c-daemon with its standard output and error captured. It drives DEVICE and serves
    PORT unless `args` name others; default_path=True gives it neither option."""

    latest = None  # the newest daemon started: post() and port_open() call it by default
    running = []

    def __init__(self, sigint=signal.SIG_DFL, wait=True, wrapper=(), args=(), port=PORT,
                 device=DEVICE, default_path=False, env=None):
        self.port = DEFAULT_PORT if default_path else port
        self.output = {"out": b"", "err": b""}
        options = []
        if not default_path:
            if not any(a.startswith("--device") for a in args):
                options += ["--device", device]
            if not any(a.startswith("--port") for a in args):
                options += ["--port", str(port)]

        # A daemon that an earlier test left running (it failed before it finished the daemon)
        # would still serve the port and answer in this one's place.
        for earlier in Daemon.running:
            if earlier.port == self.port and earlier.proc.poll() is None:
                earlier.finish(signal.SIGKILL)

        def arrange():
            signal.signal(signal.SIGINT, sigint)
        self.proc = subprocess.Popen(list(wrapper) + [DAEMON] + options + list(args),
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     preexec_fn=arrange,
                                     env=None if env is None else dict(os.environ, **env))
        Daemon.latest = self
        Daemon.running = [d for d in Daemon.running if d.proc.poll() is None] + [self]
        if wait:
            wait_until(lambda: port_open(self.port) or self.proc.poll() is not None, 60, 0.02)
            if self.proc.poll() is not None or not port_open(self.port):
                raise AssertionError("daemon did not start: %r" % (self.finish(),))

    def proxy(self):
        return xmlrpc.client.ServerProxy("http://127.0.0.1:%d/RPC2" % self.port)

    def wait_for(self, text, stream="err", count=1, timeout=20):
        """Reads the daemon's standard error (or "out") until `text` has come `count` times;
        returns what came so far. Nothing is read from a stream until a test waits on it, so a
        stream nobody waits on fills up as it would with a reader that has stalled."""
        pipe = self.proc.stderr if stream == "err" else self.proc.stdout
        deadline = time.monotonic() + timeout
        while self.output[stream].decode("latin-1").count(text) < count:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([pipe], [], [], left)[0]:
                raise AssertionError("the daemon wrote no %r: %r" % (text, self.output[stream]))
            chunk = os.read(pipe.fileno(), 65536)
            if not chunk:
                raise AssertionError("the daemon ended without %r: %r"
                                     % (text, self.output[stream]))
            self.output[stream] += chunk
        return self.output[stream].decode("latin-1")

    def finish(self, sig=signal.SIGTERM):
        """Ends the daemon (if it still runs); returns (status, stdout, stderr)."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        out, err = self.proc.communicate(timeout=20)
        return (self.proc.returncode, (self.output["out"] + out).decode("latin-1"),
                (self.output["err"] + err).decode("latin-1"))


class EndToEnd(unittest.TestCase):
    """A simulator linked at DEVICE and a daemon on PORT per test class."""

    defaults = True
    daemon_args = ()
    daemon_wrapper = ()

    @classmethod
    def setUpClass(cls):
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

    def replace_simulator(self):
        """A fresh simulator at the same path, as an adapter plugged in again."""
        self.sim.close()
        type(self).sim = Simulator(self.defaults)

    def assertFault(self, call, *args, text=""):
        with self.assertRaises(xmlrpc.client.Fault) as caught:
            call(*args)
        self.assertIn(text, caught.exception.faultString)
        return caught.exception
