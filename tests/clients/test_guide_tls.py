"""The guide's TLS examples, one language each, run with an operator's certificate (the motion
is acknowledged) and an observer's (fault -507, forbidden, and nothing on the line)."""

import os
import subprocess
import sys
import tempfile

import guide
import kit
import test_guide_go
import test_guide_node
import test_tls  # tests/e2e: the certificates, made with the commands of docs/tls.md
import rs232c_client
from rs232c_client import wire

GUIDE_URL = "https://station-1:40405/RPC2"
FORBIDDEN = "fault -507 forbidden: %s may watch and stop the tool, not call send_cmd_fwd"


class TlsExample(kit.Line):
    """A daemon with TLS, client certificates and one operator; each example once per role."""

    heading = language = file_name = None
    daemon_args = ()
    packages = []

    @classmethod
    def setUpClass(cls):
        test_tls.make_certificates()
        cls.daemon_args = tuple(test_tls.tls_args())
        super().setUpClass()
        cls.url = "https://localhost:%d/RPC2" % cls.daemon.port

    def setUp(self):
        self.sim.command("clear-rules")
        self.sim.command("defaults")
        self.sim.clear()

    def prepare(self, folder):
        return dict(os.environ)

    def run_as(self, who):
        """What the example prints when it presents `who`'s certificate."""
        self.assertEqual(guide.install(self.packages), [])
        code = guide.example(self.heading, self.language)
        self.assertIn(GUIDE_URL, code)
        code = code.replace(GUIDE_URL, self.url).replace("plant-ca.crt", test_tls.cert("plant-ca.crt"))
        for suffix in (".crt", ".key"):
            code = code.replace("line3-operator" + suffix, test_tls.cert(who + suffix))
        with tempfile.TemporaryDirectory() as folder:
            env = self.prepare(folder)
            with open(os.path.join(folder, self.file_name), "w", encoding="utf-8") as source:
                source.write(code)
            run = subprocess.run(self.command(), cwd=folder, env=env, capture_output=True,
                                 timeout=600)
        self.assertEqual(run.returncode, 0, run.stderr.decode(errors="replace"))
        return run.stdout.decode().strip()

    def printed(self, text):
        return text

    def test_an_operator_moves_the_tool_and_an_observer_is_forbidden(self):
        self.assertEqual(self.printed(self.run_as(test_tls.OPERATOR)), "fwd 1")
        self.assertEqual(self.sim.received(), b"FWD\r\n")
        self.sim.clear()
        self.assertEqual(self.printed(self.run_as(test_tls.OBSERVER)),
                         FORBIDDEN % test_tls.OBSERVER)
        self.assertEqual(self.sim.received(), b"")


class Python(TlsExample):
    heading, language, file_name = "TLS in Python", "python", "example.py"

    def prepare(self, folder):
        return dict(os.environ, PYTHONPATH=os.path.join(kit.TOP, "clients", "python"))

    def command(self):
        return [sys.executable, self.file_name]


class Node(TlsExample):
    heading, language, file_name = "TLS in Node.js", "js", "example.js"
    prepare = test_guide_node.Node.prepare
    command = test_guide_node.Node.command


class Go(TlsExample):
    heading, language, file_name = "TLS in Go", "go", "main.go"
    packages = test_guide_go.Go.packages
    prepare = test_guide_go.Go.prepare
    command = test_guide_go.Go.command


class Curl(TlsExample):
    heading, language, file_name = "TLS with curl", "sh", "example.sh"
    packages = ["curl"]

    def command(self):
        return ["bash", self.file_name]

    def printed(self, text):
        try:
            return "fwd %d" % wire.response_value(text.encode())
        except rs232c_client.Fault as fault:
            return "fault %d %s" % (fault.faultCode, fault.faultString)


del TlsExample  # the shape, not a test of its own

if __name__ == "__main__":
    kit.main()
