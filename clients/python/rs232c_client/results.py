"""What the daemon's answers mean: result codes, status words, the controller's bytes."""

import enum
import typing


class Result(enum.IntEnum):
    """The result of a command. Only ACKNOWLEDGED is true, so `if tool.send_cmd_fwd():` means
    the tool ran; every other result is false. The numbers are the daemon's (NO_REPLY == -2)."""

    ACKNOWLEDGED = 1  # the expected reply came
    REFUSED = 0  # the controller answered with a line beginning CER
    NO_ADAPTER = -1  # the adapter could not be opened; nothing was sent
    NO_REPLY = -2  # the expected reply did not come in time (another line may have)
    LINE_FAILED = -3  # a read or write failed: the adapter was unplugged, or the line broke

    def __bool__(self) -> bool:
        return self is Result.ACKNOWLEDGED

    @property
    def ok(self) -> bool:
        """True for ACKNOWLEDGED only: the controller answered as the command expects."""
        return self is Result.ACKNOWLEDGED

    @property
    def meaning(self) -> str:
        """The result in words, for a person: "refused: the controller answered CER"."""
        return _RESULT_MEANINGS[self]


class Status(enum.IntEnum):
    """The last status line the controller sent of its own accord (recv_cmd_inf). True only
    when a status line came: NONE, NO_ADAPTER and LINE_FAILED are false."""

    NONE = 0  # no status line was waiting
    OK = 1
    WNG_OR_FNG = 2
    CUP = 3
    FSP = 5
    FSC = 6
    NO_ADAPTER = -1
    LINE_FAILED = -3

    def __bool__(self) -> bool:
        return self.value > 0

    @property
    def meaning(self) -> str:
        """The status in words, for a person: "no status line was waiting"."""
        return _STATUS_MEANINGS[self]


_RESULT_MEANINGS = {
    Result.ACKNOWLEDGED: "acknowledged: the expected reply came",
    Result.REFUSED: "refused: the controller answered CER",
    Result.NO_ADAPTER: "no adapter: it could not be opened, nothing was sent",
    Result.NO_REPLY: "no reply: the expected reply did not come in time",
    Result.LINE_FAILED: "line failed: a read or write failed (adapter unplugged?)",
}
_STATUS_MEANINGS = {
    Status.NONE: "no status line was waiting",
    Status.OK: "status OK",
    Status.WNG_OR_FNG: "status WNG or FNG: a warning",
    Status.CUP: "status CUP",
    Status.FSP: "status FSP",
    Status.FSC: "status FSC",
    Status.NO_ADAPTER: "no adapter: it could not be opened",
    Status.LINE_FAILED: "line failed: a read failed (adapter unplugged?)",
}


def to_bytes(text: str) -> bytes:
    """The controller's bytes from a string result: exact for every byte sequence."""
    out = bytearray()
    for c in text:
        n = ord(c)
        if 0x2400 <= n <= 0x241F:
            out.append(n - 0x2400)  # a control picture: the control byte
        elif n < 0x100:
            out.append(n)  # the byte with that number
        else:
            out += c.encode()  # UTF-8 the controller sent as such
    return bytes(out)


def dialogue_items(data: bytes) -> typing.List[bytes]:
    """The items of a COS or CHS answer: b"CST:1,COM:2," gives [b"CST:1", b"COM:2"].

    Each item is a data line less its checksum and line end; items are cut where a comma is
    followed by the next COM: or CST:, so an item holding a comma stays whole."""
    if not data:
        return []
    if not data.endswith(b","):
        raise ValueError("dialogue items end with a comma: %r" % (data,))
    items: typing.List[bytes] = []
    start = 0
    for at in range(len(data) - 1):
        if data[at : at + 1] == b"," and data[at + 1 : at + 5] in (b"COM:", b"CST:"):
            items.append(data[start:at])
            start = at + 1
    items.append(data[start:-1])
    return items


def version_items(data: bytes) -> typing.Tuple[bytes, bytes]:
    """The two items of send_cmd_ver: b"TC-SIM,V1.00," gives (b"TC-SIM", b"V1.00")."""
    if not data.endswith(b",") or data.count(b",") != 2:
        raise ValueError("not two version items, or an item holds a comma: %r" % (data,))
    first, second = data[:-1].split(b",")
    return first, second


class Health(typing.TypedDict):
    """The daemon's /health: is the adapter there, does the controller answer. Read without
    touching the line."""

    device: str  # the adapter's path
    adapter_present: bool  # the adapter is plugged in (not: the controller answers)
    port_held: bool  # the daemon holds the port open, hearing status lines
    last_reply_age_s: typing.Optional[float]  # seconds since the controller last answered
    line: str  # the line's state in words: "answering", "no reply", "adapter absent" ...
    # The same as a name: ok, no_reply, absent, held_elsewhere, no_permission, line_failed, idle.
    line_state: str
    calls: int  # calls since the daemon started
    failed_calls: int  # of these, the ones that failed
