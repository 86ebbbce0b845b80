"""The status page at GET /, as a technician's browser shows it: read only, self-contained, every
text escaped, and nothing sent to the controller by loading it."""

import html
import unittest
import urllib.request

from harness import DEVICE, EndToEnd, PORT, need_tool
from test_web_origins import chromium, rendered

PAGE = "http://127.0.0.1:%d/" % PORT


class StatusPage(EndToEnd):
    @classmethod
    def setUpClass(cls):
        need_tool(chromium(), "Debian's chromium")
        super().setUpClass()

    def test_the_page_shows_the_line_and_the_last_calls_and_touches_nothing(self):
        title = "<script>document.title='pwned'</script><b id=\"bold\">Station 3</b> & co"
        self.rpc.set_title(title)
        self.sim.on("WIN\r\n", "silent")
        self.assertEqual(self.rpc.send_cmd_fwd(), 1)
        self.assertEqual(self.rpc.send_cmd_win(), -2)
        self.sim.clear()
        with urllib.request.urlopen(PAGE, timeout=10) as response:
            headers = response.headers
        self.assertEqual(headers["Content-Type"], "text/html; charset=utf-8")
        self.assertIn("default-src 'none'", headers["Content-Security-Policy"])
        self.assertNotIn("script-src", headers["Content-Security-Policy"])

        dom = rendered(PAGE, budget=())  # it reloads itself: taken once loaded
        # The title is text, never markup: the script did not run, no element came of it.
        self.assertIn("<h1 id=\"title\">%s</h1>" % html.escape(title, quote=False), dom)
        self.assertNotIn("<title>pwned</title>", dom)
        self.assertNotIn('<b id="bold">', dom)
        for text in ('<td id="device">%s</td>' % DEVICE, '<td id="line">no reply</td>',
                     '<td id="adapter">present</td>', '<td id="calls">4, 1 failed</td>',
                     "The controller did not reply to the last call.",
                     "<td>send_cmd_win</td><td class=\"failed\">no reply</td>",
                     "<td>send_cmd_fwd</td><td>acknowledged</td>"):
            self.assertIn(text, dom)
        self.assertLess(dom.index("send_cmd_win"), dom.index("send_cmd_fwd"))  # newest first
        self.assertNotIn("<form", dom)
        self.assertNotIn("<script", dom)
        # Loading it sent nothing to the controller and made no call.
        self.assertEqual(self.sim.received(), b"")
        self.assertIn('<td id="calls">4, 1 failed</td>', rendered(PAGE, budget=()))


if __name__ == "__main__":
    unittest.main()
