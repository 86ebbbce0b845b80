"""Calls that a web browser sends: refused unless their origin is allowed, so that no web page an
engineer opens can move the tool; a trusted web UI is let in on purpose."""

import http.client
import http.server
import shutil
import subprocess
import tempfile
import threading
import unittest
import xmlrpc.client

from harness import Daemon, EndToEnd, PORT, need_tool, post, reserve_port

PAGE_PORT = reserve_port()
PAGE_ORIGIN = "http://127.0.0.1:%d" % PAGE_PORT
RPC = "http://127.0.0.1:%d/RPC2" % PORT
FWD = '<?xml version="1.0"?><methodCall><methodName>send_cmd_fwd</methodName></methodCall>'
TITLE = '<?xml version="1.0"?><methodCall><methodName>get_title</methodName></methodCall>'

# What a hostile page can do without asking the server first: a no-cors fetch with a text/plain
# body, one with a typeless Blob, and a form whose text/plain encoding spells an XML-RPC call.
ATTACK_PAGE = """<!DOCTYPE html><html><body><pre id="log"></pre>
<form id="form" method="POST" action="%(rpc)s" enctype="text/plain" target="sink">
<input type="hidden" name='<?xml version' value='"1.0"?><methodCall><methodName>send_cmd_fwd</methodName></methodCall>'>
</form><iframe name="sink" id="sink"></iframe>
<script>
const log = (text) => { document.getElementById("log").textContent += text + ";"; };
async function attack() {
  try { await fetch("%(rpc)s", {method: "POST", mode: "no-cors",
                                headers: {"Content-Type": "text/plain;charset=UTF-8"},
                                body: '%(fwd)s'}); log("text sent"); }
  catch (e) { log("text failed"); }
  try { await fetch("%(rpc)s", {method: "POST", mode: "no-cors", body: new Blob(['%(fwd)s'])});
        log("blob sent"); }
  catch (e) { log("blob failed"); }
  document.getElementById("sink").onload = () => log("form sent");
  document.getElementById("form").submit();
}
attack();
</script></body></html>""" % {"rpc": RPC, "fwd": FWD}

# A trusted web UI reads an answer with an ordinary CORS call.
UI_PAGE = """<!DOCTYPE html><html><body><pre id="log"></pre><script>
fetch("%(rpc)s", {method: "POST", headers: {"Content-Type": "text/xml"}, body: '%(title)s'})
  .then((r) => r.text()).then((t) => { document.getElementById("log").textContent = t; })
  .catch((e) => { document.getElementById("log").textContent = "failed " + e; });
</script></body></html>""" % {"rpc": RPC, "title": TITLE}


class Pages(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        page = {"/attack.html": ATTACK_PAGE, "/ui.html": UI_PAGE}.get(self.path)
        self.send_response(200 if page else 404)
        self.send_header("Content-Type", "text/html")
        self.end_headers()
        self.wfile.write((page or "").encode())

    def log_message(self, *args):
        pass


def chromium():
    return shutil.which("chromium") or shutil.which("chromium-browser")


def rendered(url, budget=("--virtual-time-budget=10000",)):
    """The page's DOM once its scripts have run, from Debian's Chromium, headless. A page that
    reloads itself needs budget=(): its DOM is taken once it has loaded."""
    with tempfile.TemporaryDirectory() as profile:
        done = subprocess.run(
            [chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--user-data-dir=" + profile, *budget, "--dump-dom", url],
            capture_output=True, text=True, timeout=120)
    return done.stdout


class RawRequests(EndToEnd):
    def call_with_origin(self, body, origin):
        status, reply = post(body, content_type="text/plain;charset=UTF-8",
                             headers="Origin: %s\r\n" % origin if origin else "")
        self.assertEqual(status, 200)
        return reply

    def test_a_call_that_carries_an_origin_is_refused_and_reaches_nothing(self):
        multicall = xmlrpc.client.dumps(([{"methodName": "send_cmd_stp", "params": []}],),
                                        "system.multicall")
        for body in (FWD, multicall):
            for origin in ("http://evil.example", "null", PAGE_ORIGIN):
                reply = self.call_with_origin(body, origin)
                with self.assertRaises(xmlrpc.client.Fault) as caught:
                    xmlrpc.client.loads(reply)
                self.assertEqual(caught.exception.faultCode, -507)
                self.assertIn("--allow-origin", caught.exception.faultString)
        self.assertEqual(self.sim.received(), b"")
        # Without an Origin header, as XML-RPC client libraries send it, the same call works.
        self.assertEqual(xmlrpc.client.loads(self.call_with_origin(FWD, None))[0], (1,))
        self.assertEqual(xmlrpc.client.loads(self.call_with_origin(multicall, None))[0], ([[1]],))
        self.assertEqual(self.sim.received(), b"FWD\r\nSTP\r\n")


class AllowedOrigin(EndToEnd):
    daemon_args = ("--allow-origin", "HTTP://127.0.0.1:%d" % PAGE_PORT,
                   "--allow-origin", "https://ui.example")

    def test_each_allowed_origin_is_answered_with_its_own(self):
        for origin, expected in ((PAGE_ORIGIN, PAGE_ORIGIN), ("https://ui.example", "https://ui.example"),
                                 ("http://127.0.0.1:1", None)):
            connection = http.client.HTTPConnection("127.0.0.1", PORT, timeout=30)
            connection.request("OPTIONS", "/RPC2", headers={
                "Origin": origin, "Access-Control-Request-Method": "POST",
                "Access-Control-Request-Headers": "content-type"})
            response = connection.getresponse()
            response.read()
            self.assertEqual(response.status, 204 if expected else 403, origin)
            self.assertEqual(response.getheader("Access-Control-Allow-Origin"), expected)
            connection.close()
        reply = post(FWD, headers="Origin: %s\r\n" % PAGE_ORIGIN)[1]
        self.assertEqual(xmlrpc.client.loads(reply)[0], (1,))


class Browser(EndToEnd):
    @classmethod
    def setUpClass(cls):
        need_tool(chromium(), "Debian's chromium")
        super().setUpClass()
        cls.pages = http.server.ThreadingHTTPServer(("127.0.0.1", PAGE_PORT), Pages)
        threading.Thread(target=cls.pages.serve_forever, daemon=True).start()

    @classmethod
    def tearDownClass(cls):
        cls.pages.shutdown()
        cls.pages.server_close()
        super().tearDownClass()

    def test_a_hostile_page_cannot_move_the_tool_and_a_trusted_ui_reads_answers(self):
        dom = rendered(PAGE_ORIGIN + "/attack.html")
        for attempt in ("text sent", "blob sent", "form sent"):
            self.assertIn(attempt, dom)  # each request left the browser
        self.assertEqual(self.sim.received(), b"")
        _, _, err = self.daemon.finish()
        self.assertEqual(err.count("refused calls from web origin " + PAGE_ORIGIN), 1)

        type(self).daemon = Daemon(args=("--allow-origin", PAGE_ORIGIN))
        dom = rendered(PAGE_ORIGIN + "/ui.html")
        self.assertIn("No title set (C++)", dom)
        self.assertEqual(self.sim.received(), b"")


if __name__ == "__main__":
    unittest.main()
