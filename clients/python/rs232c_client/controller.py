"""The daemon's 23 methods, each with the daemon's name and parameters and a typed result."""

import math

from . import wire
from .results import Result, Status, controller_bytes
from .wire import MalformedAnswer

# Default time-outs follow the daemon's own bound for each method, so that a silent controller
# gives NO_REPLY (or NoReply) rather than a client that gave up first. Once it has the line, a
# call drains stale input (at most ten 100 ms passes) and pauses 100 ms after writing.
_SET_UP = 1.1
# Added to every bound: the answer's way back, a busy machine.
_MARGIN = 5.0
# A command gives up once this many of its windows have passed without its reply.
_WINDOWS = 3


def _bound(waiting):
    return _SET_UP + waiting + _MARGIN


_AT_ONCE = _bound(0)  # no window: titles, polls, renderings, send_cmd's 100 ms read
_TEN_SECOND_WINDOW = _bound(_WINDOWS * 10)
_ONE_SECOND_WINDOW = _bound(_WINDOWS * 1)
# Two lines of a window each, a pause after each, and a closing drain.
_VERSION = _bound(2 * (1 + 0.1) + 1.0)
_VERSION_SCRIPT = _bound(2 * (10 + 0.1) + 1.0)
# A dialogue has no overall bound while data flows: wait as long as the daemon does.
_DIALOGUE = None


class Controller:
    """The tool controller behind an rs232c-daemon.

    `timeout`: seconds to wait for each answer, instead of each method's default (which is
    longer than the daemon's own bound for that method); float("inf") waits without limit. A
    Controller holds no connection between calls and may be shared by threads. No call is ever
    sent twice.
    """

    def __init__(self, url="http://127.0.0.1:40405/RPC2", timeout=None):
        if timeout is not None and not timeout > 0:
            raise ValueError("timeout is a number of seconds above 0, or None")
        self.endpoint = wire.Endpoint(url)
        self.timeout = timeout
        # float("inf"): no limit at all, as for a dialogue.
        self.wait_forever = timeout == math.inf

    def __repr__(self):
        return "Controller(%r)" % self.endpoint.url

    def _timeout(self, default_timeout):
        if self.wait_forever:
            return None
        return self.timeout if self.timeout is not None else default_timeout

    def _call(self, method, params, default_timeout):
        return wire.call(self.endpoint, method, params, self._timeout(default_timeout))

    def _typed(self, kind, method, params, timeout):
        value = self._call(method, params, timeout)
        try:
            return kind(value)
        except ValueError:
            raise MalformedAnswer("%s answered %r: no %s" % (method, value, kind.__name__))

    def _result(self, method, params=(), timeout=_TEN_SECOND_WINDOW):
        return self._typed(Result, method, params, timeout)

    def _bytes(self, method, params=(), timeout=_AT_ONCE, refusal=True):
        value = self._call(method, params, timeout)
        if not isinstance(value, str):
            raise MalformedAnswer("%s answered %r, not a string" % (method, value))
        return controller_bytes(value, refusal)

    def _text(self, method, params=()):
        value = self._call(method, params, _AT_ONCE)
        if not isinstance(value, str):
            raise MalformedAnswer("%s answered %r, not a string" % (method, value))
        return value

    # Not a method: the daemon's health page, which never touches the line.
    def health(self):
        """The daemon's /health as a dict: device, adapter_present, port_held, last_reply_age_s
        (None before any reply), line (the line's state in words), calls, failed_calls. A
        "controller connected" light is health()["adapter_present"]. Cheap: poll it as often as
        a UI needs. Raises DaemonUnreachable when the daemon does not answer."""
        return wire.get_json(self.endpoint, "/health", self._timeout(_AT_ONCE))

    # The daemon's own texts.
    def get_title(self):
        """The title and " (C++)", or "No title set (C++)"."""
        return self._text("get_title")

    def set_title(self, title):
        """Sets the title; returns it as the daemon received it."""
        return self._text("set_title", (title,))

    def get_message(self, name):
        """A greeting for `name`, or "No name set"."""
        return self._text("get_message", (name,))

    # Bytes to and from the controller.
    def send_cmd(self, text):
        """Sends `text`, each line end (CR, LF or CR LF) as CR LF; returns the bytes that came
        within 100 ms. Raises NoAdapter or LineFailed; a CER reply comes back as its bytes."""
        return self._bytes("send_cmd", (text,), refusal=False)

    def send_cmd_com(self, text):
        """Sends `text` in the checksummed frame; SOK acknowledges it."""
        return self._result("send_cmd_com", (text,))

    def send_cmd_cst(self, text):
        """Sends `text` in the checksummed frame; SOK acknowledges it."""
        return self._result("send_cmd_cst", (text,))

    def send_cmd_cos(self):
        """The COS dialogue: its COM: items as bytes (see dialogue_items). Raises LineError."""
        return self._bytes("send_cmd_cos", timeout=_DIALOGUE)

    def send_cmd_chs(self, channel):
        """The CHS dialogue for `channel`: its CST:/COM: items as bytes. Raises LineError."""
        return self._bytes("send_cmd_chs", (channel,), timeout=_DIALOGUE)

    # Motion and work commands: never send one again after UncertainOutcome.
    def send_cmd_fwd(self):
        """Runs the tool forward (held port)."""
        return self._result("send_cmd_fwd")

    def send_cmd_rvs(self):
        """Runs the tool in reverse (held port)."""
        return self._result("send_cmd_rvs")

    def send_cmd_stp(self):
        """Stops the tool (held port)."""
        return self._result("send_cmd_stp", timeout=_ONE_SECOND_WINDOW)

    def send_cmd_ch(self, channel):
        """Moves to `channel`, a string such as "3" (held port)."""
        return self._result("send_cmd_ch", (channel,))

    def send_cmd_rst(self):
        """Resets the controller; SOK acknowledges it."""
        return self._result("send_cmd_rst")

    def send_cmd_win(self):
        """WIN (held port)."""
        return self._result("send_cmd_win", timeout=_ONE_SECOND_WINDOW)

    def send_cmd_wot(self):
        """WOT, acknowledged by its echo (held port)."""
        return self._result("send_cmd_wot", timeout=_ONE_SECOND_WINDOW)

    def send_cmd_wot_with_wng(self):
        """WOT, acknowledged by its echo and then WNG (held port)."""
        return self._result("send_cmd_wot_with_wng", timeout=_ONE_SECOND_WINDOW)

    def send_cmd_wrt(self):
        """WRT (held port)."""
        return self._result("send_cmd_wrt", timeout=_ONE_SECOND_WINDOW)

    # Status lines, the received data, the port.
    def recv_cmd_inf(self):
        """The last status line waiting on the line, as a Status (held port)."""
        return self._typed(Status, "recv_cmd_inf", (), _AT_ONCE)

    def serial_close(self):
        """Releases the held port."""
        value = self._call("serial_close", (), _AT_ONCE)
        if value != 0:
            raise MalformedAnswer("serial_close answered %r" % (value,))

    def get_last_recv_data_bin_str(self):
        """The received bytes in hexadecimal ("." between batches), then forgotten."""
        return self._text("get_last_recv_data_bin_str")

    def get_last_recv_data_str(self):
        """The received bytes printable (CR, LF as "."), then forgotten."""
        return self._text("get_last_recv_data_str")

    def send_cmd_ver(self):
        """The version's two items as bytes (see version_items). Raises LineError."""
        return self._bytes("send_cmd_ver", timeout=_VERSION)

    def send_cmd_ver_script(self):
        """The version query with 10-second windows (held port): a Result."""
        return self._result("send_cmd_ver_script", timeout=_VERSION_SCRIPT)
