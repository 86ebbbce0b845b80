"""Every byte the controller sends reaches the Python kit as it was sent."""

from __future__ import annotations

import kit
import rs232c_client
from harness import quote

# What XML carries as itself, as a control picture, as a character of the same number, and
# UTF-8 that arrives as one character or as its bytes; also broken UTF-8.
SEQUENCES = [
    bytes(range(1, 100)),
    bytes(range(100, 200)),
    bytes(range(200, 256)),
    "È€␁😀\uffff".encode() + b"\xef\xbf\xbe\xed\xa0\x80\xc0\x80\xe2\x82",
    b"\r\n\r\r\n\n\t \x7f\xc2\xa0\xe2\x90\x9f\xe2\x90\xa0",
]


class Bytes(kit.Line):
    def test_send_cmd_returns_the_bytes_as_sent(self) -> None:
        tool = rs232c_client.Controller(self.url)
        for sequence in SEQUENCES:
            self.sim.on("Q\r\n", "send " + quote(sequence))
            self.assertEqual(tool.send_cmd("Q\r\n"), sequence)

    def test_dialogue_and_version_items_are_exact(self) -> None:
        tool = rs232c_client.Controller(self.url)
        item = "COM:\x01È€␁😀".encode() + b"\xff\x80"
        self.sim.on("COS\r\n", "frame %s expect \"SOK\\r\\n\" send \"RST\\r\\n\"" % quote(item))
        self.assertEqual(rs232c_client.dialogue_items(tool.send_cmd_cos()), [item])
        self.sim.on("VER\r\n", "frame %s frame %s" % (quote(item[4:]), quote(b"\x1f\xfe")))
        self.assertEqual(rs232c_client.version_items(tool.send_cmd_ver()), (item[4:], b"\x1f\xfe"))


if __name__ == "__main__":
    kit.main()
