"""What the daemon's answers mean: result codes, status words, the controller's bytes."""

import enum
import xmlrpc.client


class Result(enum.IntEnum):
    """The result of a command."""

    ACKNOWLEDGED = 1  # the expected reply came
    REFUSED = 0  # the controller answered with a line beginning CER
    NO_ADAPTER = -1  # the adapter could not be opened; nothing was sent
    NO_REPLY = -2  # the expected reply did not come in time (another line may have)
    LINE_FAILED = -3  # a read or write failed: the adapter was unplugged, or the line broke

    @property
    def meaning(self):
        """The result in words, for a person: "refused: the controller answered CER"."""
        return _RESULT_MEANINGS[self]


class Status(enum.IntEnum):
    """The last status line the controller sent of its own accord (recv_cmd_inf)."""

    NONE = 0  # no status line was waiting
    OK = 1
    WNG_OR_FNG = 2
    CUP = 3
    FSP = 5
    FSC = 6
    NO_ADAPTER = -1
    LINE_FAILED = -3

    @property
    def meaning(self):
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


class LineError(Exception):
    """A byte-carrying call brought no data: the status word or refusal it got instead."""

    result = None


class Refused(LineError):
    result = Result.REFUSED


class NoAdapter(LineError):
    result = Result.NO_ADAPTER


class NoReply(LineError):
    result = Result.NO_REPLY


class LineFailed(LineError):
    result = Result.LINE_FAILED


class Fault(xmlrpc.client.Fault):
    """The daemon refused the call itself (a parameter missing or of the wrong type, a web
    origin it does not allow ...); nothing reached the controller."""


class DaemonUnreachable(ConnectionError):
    """The request could not be sent: the daemon cannot have acted on it. Safe to try again."""


class UncertainOutcome(ConnectionError):
    """The request was sent, but no answer came: the command may have reached the tool.
    Never send a motion again on this; ask the controller what it did."""


class CallTimedOut(UncertainOutcome):
    """The answer did not come within the call's time-out; the daemon may still carry it out."""


# Text in place of the controller's bytes: what went wrong on the line.
_STATUS_WORDS = {
    "open_error": NoAdapter,
    "recv_timeout": NoReply,
    "recv_error": LineFailed,
    "CER\r\n": Refused,
}
_MEANINGS = {
    NoAdapter: "the adapter could not be opened",
    NoReply: "no reply in time",
    LineFailed: "the line failed",
    Refused: "the controller refused (CER)",
}


def to_bytes(text):
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


def controller_bytes(text, refusal=True):
    """The bytes of a result, or the LineError its status word (or CER) stands for."""
    error = _STATUS_WORDS.get(text)
    if error is not None and (refusal or error is not Refused):
        raise error(_MEANINGS[error])
    return to_bytes(text)


def dialogue_items(data):
    """The items of a COS or CHS answer: b"CST:1,COM:2," gives [b"CST:1", b"COM:2"].

    Each item is a data line less its checksum and line end; items are cut where a comma is
    followed by the next COM: or CST:, so an item holding a comma stays whole."""
    if not data:
        return []
    if not data.endswith(b","):
        raise ValueError("dialogue items end with a comma: %r" % (data,))
    items, start = [], 0
    for at in range(len(data) - 1):
        if data[at : at + 1] == b"," and data[at + 1 : at + 5] in (b"COM:", b"CST:"):
            items.append(data[start:at])
            start = at + 1
    items.append(data[start:-1])
    return items


def version_items(data):
    """The two items of send_cmd_ver: b"TC-SIM,V1.00," gives (b"TC-SIM", b"V1.00")."""
    if not data.endswith(b",") or data.count(b",") != 2:
        raise ValueError("not two version items, or an item holds a comma: %r" % (data,))
    first, second = data[:-1].split(b",")
    return first, second
