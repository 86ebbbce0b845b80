"""The daemon's 23 methods, each with the daemon's name and parameters and a typed result."""

import math
import ssl
import typing

from . import wire
from .errors import LineError, LineFailed, MalformedAnswer, NoAdapter, NoReply, Refused
from .results import Health, Result, Status, to_bytes

DEFAULT_URL = "http://127.0.0.1:40405/RPC2"

# Default time-outs follow the daemon's own bound for each method, so that a silent controller
# gives NO_REPLY (or NoReply) rather than a client that gave up first. Once it has the line, a
# call drains stale input (at most ten 100 ms passes) and pauses 100 ms after writing.
_SET_UP = 1.1
# Added to every bound: the answer's way back, a busy machine.
_MARGIN = 5.0
# A command gives up once this many of its windows have passed without its reply.
_WINDOWS = 3


def _bound(waiting: float) -> float:
    return _SET_UP + waiting + _MARGIN


_AT_ONCE = _bound(0)  # no window: titles, polls, renderings, send_cmd's 100 ms read
_TEN_SECOND_WINDOW = _bound(_WINDOWS * 10)
_ONE_SECOND_WINDOW = _bound(_WINDOWS * 1)
# A stop waits for the exchange in progress, which it cannot cut short, and then runs: the
# daemon's longest quiet exchange (a drain, the write's grace, three 10-second windows and
# their pauses, rounded up), then STP's own three 1-second windows. 43.1 s.
_LONGEST_QUIET_EXCHANGE = 34.0
_STOP = _bound(_LONGEST_QUIET_EXCHANGE + _WINDOWS * 1)
# Two lines of a window each, a pause after each, and a closing drain.
_VERSION = _bound(2 * (1 + 0.1) + 1.0)
_VERSION_SCRIPT = _bound(2 * (10 + 0.1) + 1.0)
# A dialogue has no overall bound while data flows: wait as long as the daemon does.
_DIALOGUE = math.inf
# The daemon answers /health at once, however busy the line: a "connected" light that waits
# longer than this shows a daemon that is not there.
HEALTH_TIMEOUT = 1.0

# Text in place of the controller's bytes: what went wrong on the line.
_STATUS_WORDS: typing.Dict[str, typing.Type[LineError]] = {
    "open_error": NoAdapter,
    "recv_timeout": NoReply,
    "recv_error": LineFailed,
    "CER\r\n": Refused,
}
_MEANINGS: typing.Dict[typing.Type[LineError], str] = {
    NoAdapter: "the adapter could not be opened",
    NoReply: "no reply in time",
    LineFailed: "the line failed",
    Refused: "the controller refused (CER)",
}

# The fields of /health and their types; a field the daemon adds later passes through.
_HEALTH_FIELDS: typing.Dict[str, typing.Tuple[type, ...]] = {
    "device": (str,),
    "adapter_present": (bool,),
    "port_held": (bool,),
    "last_reply_age_s": (float, int, type(None)),
    "line": (str,),
    "line_state": (str,),
    "calls": (int,),
    "failed_calls": (int,),
}

Text = typing.Union[str, bytes]


def _seconds(timeout: float) -> typing.Optional[float]:
    """A time-out as the wire takes it: None for float("inf")."""
    if not timeout > 0:
        raise ValueError("a time-out is a number of seconds above 0 (or float('inf'))")
    return None if timeout == math.inf else timeout


def _health(value: typing.Dict[str, typing.Any]) -> Health:
    for name, kinds in _HEALTH_FIELDS.items():
        field = value.get(name)
        if not isinstance(field, kinds) or (isinstance(field, bool) and bool not in kinds):
            raise MalformedAnswer("/health answered %s=%r" % (name, field))
    if value["last_reply_age_s"] is not None:
        value["last_reply_age_s"] = float(value["last_reply_age_s"])
    return typing.cast(Health, value)


class Controller:
    """The tool controller behind an rs232c-daemon at `url`.

    Every method has the daemon's name and parameters. Commands return a Result (true only
    when acknowledged); the methods that return the controller's bytes raise a LineError
    instead of a result. Every method may also raise (all under rs232c_client.Error):

    - Fault: the daemon refused the call; nothing reached the controller. Its subclasses:
      Cancelled (a stop came while the call waited: do not resend), Busy and Stopping (the
      call did not run: try again later), Forbidden (this client may not make the call).
    - DaemonUnreachable: not sent; the daemon cannot have acted on it. Safe to call again.
    - UncertainOutcome (CallTimedOut, MalformedAnswer, HTTPError): sent, but no answer: the
      call may have reached the tool. Never send a motion again on this.

    and, before anything is sent, TypeError or ValueError for a parameter that cannot be sent
    (text parameters are str or UTF-8 bytes: a channel is "3", not 3).

    Time-outs: each method waits a little longer than the daemon's own bound for it, so a
    silent controller gives NO_REPLY rather than a client that gave up first. `timeout` here
    sets one time-out for every call; `timeout=` on a call sets it for that call only. A
    time-out bounds the whole call, in seconds; float("inf") waits without limit.

    A Controller holds no connection between calls and may be shared by threads. No call is
    ever sent twice.

    TLS: a daemon started with --tls-cert is called at an https:// URL. `cafile` names the CA
    certificates (PEM) that the station's certificate must chain to (default: the system's);
    `certfile` and `keyfile` this UI's own certificate and key, for a daemon that asks for one
    (--tls-client-ca). A certificate the daemon does not take (none, another CA, expired) is
    DaemonUnreachable: the call did not run. An observer's certificate gets Forbidden for a
    method that may move the tool. `context`, an ssl.SSLContext, instead of the three files.
    """

    def __init__(
        self,
        url: str = DEFAULT_URL,
        timeout: typing.Optional[float] = None,
        *,
        cafile: typing.Optional[str] = None,
        certfile: typing.Optional[str] = None,
        keyfile: typing.Optional[str] = None,
        context: typing.Optional[ssl.SSLContext] = None,
    ) -> None:
        if timeout is not None:
            _seconds(timeout)
        files = cafile is not None or certfile is not None or keyfile is not None
        if context is not None and files:
            raise ValueError("give a context, or cafile/certfile/keyfile: not both")
        if keyfile is not None and certfile is None:
            raise ValueError("keyfile goes with certfile")
        if context is None and url.startswith("https:"):
            context = ssl.create_default_context(cafile=cafile)
            if certfile is not None:
                context.load_cert_chain(certfile, keyfile)
        elif files:
            raise ValueError("cafile, certfile and keyfile are for an https:// URL")
        self.endpoint = wire.Endpoint(url, context)
        self.timeout = timeout

    def __repr__(self) -> str:
        return "Controller(%r)" % self.endpoint.url

    def _call(
        self,
        method: str,
        params: typing.Sequence[Text],
        default: float,
        timeout: typing.Optional[float],
    ) -> wire.Value:
        chosen = timeout if timeout is not None else self.timeout
        limit = _seconds(chosen if chosen is not None else default)
        return wire.call(self.endpoint, method, params, limit)

    def _result(
        self,
        method: str,
        params: typing.Sequence[Text] = (),
        default: float = _TEN_SECOND_WINDOW,
        timeout: typing.Optional[float] = None,
    ) -> Result:
        value = self._call(method, params, default, timeout)
        if not isinstance(value, int) or value not in Result.__members__.values():
            raise MalformedAnswer("%s answered %r: no Result" % (method, value))
        return Result(value)

    def _text(
        self,
        method: str,
        params: typing.Sequence[Text] = (),
        default: float = _AT_ONCE,
        timeout: typing.Optional[float] = None,
    ) -> str:
        value = self._call(method, params, default, timeout)
        if not isinstance(value, str):
            raise MalformedAnswer("%s answered %r, not a string" % (method, value))
        return value

    def _bytes(
        self,
        method: str,
        params: typing.Sequence[Text] = (),
        default: float = _AT_ONCE,
        timeout: typing.Optional[float] = None,
        refusal: bool = True,
    ) -> bytes:
        """The controller's bytes, or the LineError its status word (or CER) stands for."""
        text = self._text(method, params, default, timeout)
        error = _STATUS_WORDS.get(text)
        if error is not None and (refusal or error is not Refused):
            raise error(_MEANINGS[error])
        return to_bytes(text)

    # Not a method: the daemon's health page, which never touches the line.
    def health(self, timeout: float = HEALTH_TIMEOUT) -> Health:
        """The daemon's /health: device, adapter_present, port_held, last_reply_age_s (None
        before any reply), line and line_state (the line's state in words and as a name),
        calls, failed_calls. A
        "controller connected" light is health()["adapter_present"]; whether the controller
        answers, "line" and "last_reply_age_s" say. Waits at most `timeout` seconds (1 s
        unless given; the Controller's time-out is for calls), so poll it as often as a UI
        needs. Raises DaemonUnreachable when no answer comes in that time, MalformedAnswer
        when something else answers."""
        value = wire.get_json(self.endpoint, "/health", _seconds(timeout))
        return _health(value)

    # The daemon's own texts.
    def get_title(self, *, timeout: typing.Optional[float] = None) -> str:
        """The title and " (C++)", or "No title set (C++)"."""
        return self._text("get_title", timeout=timeout)

    def set_title(self, title: Text, *, timeout: typing.Optional[float] = None) -> str:
        """Sets the title; returns it as the daemon received it."""
        return self._text("set_title", (title,), timeout=timeout)

    def get_message(self, name: Text, *, timeout: typing.Optional[float] = None) -> str:
        """A greeting for `name`, or "No name set"."""
        return self._text("get_message", (name,), timeout=timeout)

    # Bytes to and from the controller.
    def send_cmd(self, text: Text, *, timeout: typing.Optional[float] = None) -> bytes:
        """Sends `text`, each line end (CR, LF or CR LF) as CR LF; returns the bytes that came
        within 100 ms, possibly none (a CER reply too, as its bytes). Raises NoAdapter or
        LineFailed."""
        return self._bytes("send_cmd", (text,), timeout=timeout, refusal=False)

    def send_cmd_com(self, text: Text, *, timeout: typing.Optional[float] = None) -> Result:
        """Sends `text` in the checksummed frame; ACKNOWLEDGED when the controller answers SOK."""
        return self._result("send_cmd_com", (text,), timeout=timeout)

    def send_cmd_cst(self, text: Text, *, timeout: typing.Optional[float] = None) -> Result:
        """Sends `text` in the checksummed frame; ACKNOWLEDGED when the controller answers SOK."""
        return self._result("send_cmd_cst", (text,), timeout=timeout)

    def send_cmd_cos(self, *, timeout: typing.Optional[float] = None) -> bytes:
        """The COS dialogue: the controller's COM: data lines as bytes (dialogue_items splits
        them). Waits as long as data comes. Raises Refused, NoReply, NoAdapter, LineFailed."""
        return self._bytes("send_cmd_cos", default=_DIALOGUE, timeout=timeout)

    def send_cmd_chs(self, channel: Text, *, timeout: typing.Optional[float] = None) -> bytes:
        """The CHS dialogue for `channel` ("3"): its CST: and COM: data lines as bytes
        (dialogue_items). Raises Refused, NoReply, NoAdapter, LineFailed."""
        return self._bytes("send_cmd_chs", (channel,), default=_DIALOGUE, timeout=timeout)

    # Motion and work commands: each keeps the port open afterwards, so that status lines the
    # controller sends are heard (recv_cmd_inf). Never send one again after UncertainOutcome.
    def send_cmd_fwd(self, *, timeout: typing.Optional[float] = None) -> Result:
        """Runs the tool forward: ACKNOWLEDGED when the controller echoes FWD."""
        return self._result("send_cmd_fwd", timeout=timeout)

    def send_cmd_rvs(self, *, timeout: typing.Optional[float] = None) -> Result:
        """Runs the tool in reverse: ACKNOWLEDGED when the controller echoes RVS."""
        return self._result("send_cmd_rvs", timeout=timeout)

    def send_cmd_stp(self, *, timeout: typing.Optional[float] = None) -> Result:
        """Stops the tool: ACKNOWLEDGED when the controller echoes STP. It runs right after
        the exchange in progress, and the calls waiting for the line are cancelled (they get
        Cancelled). By default it waits for the longest exchange it may stand behind (43.1 s)."""
        return self._result("send_cmd_stp", default=_STOP, timeout=timeout)

    def send_cmd_ch(self, channel: Text, *, timeout: typing.Optional[float] = None) -> Result:
        """Moves to `channel`, text such as "3": ACKNOWLEDGED when the controller answers
        "CH :3"."""
        return self._result("send_cmd_ch", (channel,), timeout=timeout)

    def send_cmd_rst(self, *, timeout: typing.Optional[float] = None) -> Result:
        """Resets the controller: ACKNOWLEDGED when it answers SOK."""
        return self._result("send_cmd_rst", timeout=timeout)

    def send_cmd_win(self, *, timeout: typing.Optional[float] = None) -> Result:
        """The work command WIN: ACKNOWLEDGED on its echo."""
        return self._result("send_cmd_win", default=_ONE_SECOND_WINDOW, timeout=timeout)

    def send_cmd_wot(self, *, timeout: typing.Optional[float] = None) -> Result:
        """The work command WOT: ACKNOWLEDGED on its echo."""
        return self._result("send_cmd_wot", default=_ONE_SECOND_WINDOW, timeout=timeout)

    def send_cmd_wot_with_wng(self, *, timeout: typing.Optional[float] = None) -> Result:
        """WOT answered by its echo and then the warning line WNG: ACKNOWLEDGED on both; a WOT
        without the warning gives NO_REPLY."""
        return self._result("send_cmd_wot_with_wng", default=_ONE_SECOND_WINDOW, timeout=timeout)

    def send_cmd_wrt(self, *, timeout: typing.Optional[float] = None) -> Result:
        """The work command WRT: ACKNOWLEDGED on its echo."""
        return self._result("send_cmd_wrt", default=_ONE_SECOND_WINDOW, timeout=timeout)

    # Status lines, the received data, the port.
    def recv_cmd_inf(self, *, timeout: typing.Optional[float] = None) -> Status:
        """The last status line the controller sent of its own accord, as a Status (NONE when
        none was waiting); keeps the port open, so later status lines are heard."""
        value = self._call("recv_cmd_inf", (), _AT_ONCE, timeout)
        if not isinstance(value, int) or value not in Status.__members__.values():
            raise MalformedAnswer("recv_cmd_inf answered %r: no Status" % (value,))
        return Status(value)

    def serial_close(self, *, timeout: typing.Optional[float] = None) -> None:
        """Closes the port the commands keep open (status lines are no longer heard)."""
        value = self._call("serial_close", (), _AT_ONCE, timeout)
        if value != 0:
            raise MalformedAnswer("serial_close answered %r" % (value,))

    def get_last_recv_data_bin_str(self, *, timeout: typing.Optional[float] = None) -> str:
        """The bytes received since last asked, in hexadecimal ("." between batches); then
        forgotten. Empty after a daemon restart."""
        return self._text("get_last_recv_data_bin_str", timeout=timeout)

    def get_last_recv_data_str(self, *, timeout: typing.Optional[float] = None) -> str:
        """The bytes received since last asked, printable (CR, LF as "."); then forgotten.
        Empty after a daemon restart."""
        return self._text("get_last_recv_data_str", timeout=timeout)

    def send_cmd_ver(self, *, timeout: typing.Optional[float] = None) -> bytes:
        """The version's two items as bytes (version_items splits them). Raises Refused,
        NoReply, NoAdapter, LineFailed."""
        return self._bytes("send_cmd_ver", default=_VERSION, timeout=timeout)

    def send_cmd_ver_script(self, *, timeout: typing.Optional[float] = None) -> Result:
        """The version query with 10-second windows: ACKNOWLEDGED when both lines came; keeps
        the port open."""
        return self._result("send_cmd_ver_script", default=_VERSION_SCRIPT, timeout=timeout)
