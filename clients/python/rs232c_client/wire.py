"""One XML-RPC call over one HTTP/1.1 connection, sent once, within one deadline.

Python's xmlrpc.client sends a request a second time when its connection drops after the
daemon has read it. Here every call has a connection of its own and nothing is ever sent
again: a failure before the request left is DaemonUnreachable, one after it UncertainOutcome.
A call's time-out bounds the whole exchange (connecting, sending, every read), so an answer
that trickles in cannot stretch it.
"""

import http.client
import io
import json
import re
import socket
import ssl
import time
import typing
import urllib.parse
import xml.etree.ElementTree as ElementTree
from xml.parsers import expat

from .errors import (
    CallTimedOut,
    DaemonUnreachable,
    HTTPError,
    MalformedAnswer,
    UncertainOutcome,
    fault,
)

if typing.TYPE_CHECKING:
    from _typeshed import WriteableBuffer

# Seconds to wait for the daemon to accept the connection: it accepts at once when it runs.
CONNECT_TIMEOUT = 10.0
# A host that vanishes (power, cable) without closing the connection is found by TCP
# keep-alive probes: the first after this many idle seconds, then every few seconds.
KEEPALIVE_IDLE = 10
KEEPALIVE_INTERVAL = 5
KEEPALIVE_PROBES = 3

# Characters XML 1.0 cannot carry, and those beyond U+FFFF, which xmlrpc-c refuses.
_UNSENDABLE = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd]")
_ESCAPES = {"&": "&amp;", "<": "&lt;", ">": "&gt;", "\r": "&#13;"}

# What an answer holds: the daemon answers ints and strings, and a fault's struct.
Value = typing.Union[int, str, typing.Dict[str, typing.Any]]


class Endpoint:
    """Where the daemon is. `context`, for an https:// URL, is the TLS set-up (certificates)
    every connection to it is wrapped in."""

    def __init__(self, url: str, context: typing.Optional[ssl.SSLContext] = None) -> None:
        parts = urllib.parse.urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise ValueError("the daemon's URL is http://HOST:PORT/RPC2, not %r" % (url,))
        if (parts.scheme == "https") != (context is not None):
            raise ValueError("an https:// URL goes with an ssl.SSLContext, http:// without one")
        self.url = url
        self.context = context
        self.host: str = parts.hostname
        self.port = parts.port or (443 if context is not None else 80)
        self.path = parts.path or "/"
        self.netloc = ("[%s]:%d" if ":" in self.host else "%s:%d") % (self.host, self.port)


def text_parameter(value: typing.Union[str, bytes, bytearray], method: str) -> str:
    """A text parameter as XML: str, or bytes that are UTF-8. The daemon's XML-RPC library
    turns every CR it receives into LF; only send_cmd turns line ends back into CR LF, so
    elsewhere a CR is refused rather than changed on its way."""
    if isinstance(value, (bytes, bytearray)):
        try:
            value = bytes(value).decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError("text parameters travel as UTF-8: %r is not" % (value,)) from None
    if not isinstance(value, str):
        raise TypeError("text parameters are str or bytes (a channel is '3', not 3)")
    bad = _UNSENDABLE.search(value)
    if bad:
        raise ValueError("XML-RPC cannot carry the character U+%04X" % ord(bad.group()))
    if "\r" in value and method != "send_cmd":
        raise ValueError("the daemon receives CR as LF; only send_cmd's text may hold line ends")
    return "".join(_ESCAPES.get(c, c) for c in value)


def request_body(method: str, params: typing.Sequence[typing.Union[str, bytes]]) -> bytes:
    values = "".join(
        "<param><value><string>%s</string></value></param>" % text_parameter(p, method)
        for p in params
    )
    return (
        '<?xml version="1.0" encoding="UTF-8"?>\n<methodCall><methodName>%s</methodName>'
        "<params>%s</params></methodCall>\n" % (method, values)
    ).encode("utf-8")


def _parse(body: bytes) -> ElementTree.Element:
    """The response's XML tree; a document type (and with it any entity) is refused."""
    builder = ElementTree.TreeBuilder()
    parser = expat.ParserCreate()

    def refuse(*_: object) -> None:
        raise MalformedAnswer("the answer declares a document type")

    parser.StartDoctypeDeclHandler = refuse
    parser.StartElementHandler = builder.start
    parser.EndElementHandler = builder.end
    parser.CharacterDataHandler = builder.data
    try:
        parser.Parse(body, True)
    except expat.ExpatError as error:
        raise MalformedAnswer("the answer is not XML: %s" % error) from None
    return builder.close()


def _value(element: typing.Optional[ElementTree.Element]) -> Value:
    if element is None or element.tag != "value":
        raise MalformedAnswer("the answer holds no value")
    typed = list(element)
    if not typed:
        return element.text or ""  # a value without a type is a string
    kind = typed[0]
    if kind.tag == "string":
        return kind.text or ""
    if kind.tag in ("int", "i4"):
        try:
            return int((kind.text or "").strip())
        except ValueError:
            raise MalformedAnswer("an int that is no number: %r" % kind.text) from None
    if kind.tag == "struct":
        return {
            m.findtext("name") or "": _value(m.find("value")) for m in kind.findall("member")
        }
    raise MalformedAnswer("the daemon answers ints and strings, not <%s>" % kind.tag)


def response_value(body: bytes) -> Value:
    """The result of an XML-RPC response; raises Fault (or the subclass its cause names) for
    a fault, MalformedAnswer for anything that is no XML-RPC response."""
    root = _parse(body)
    if root.tag != "methodResponse":
        raise MalformedAnswer("the answer is no methodResponse")
    detail = root.find("fault")
    if detail is not None:
        struct = _value(detail.find("value"))
        code = struct.get("faultCode") if isinstance(struct, dict) else None
        text = struct.get("faultString") if isinstance(struct, dict) else None
        if not isinstance(code, int) or not isinstance(text, str):
            raise MalformedAnswer("a fault without its code and text")
        raise fault(code, text)
    return _value(root.find("params/param/value"))


def _notice_dead_host(sock: socket.socket) -> None:
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE, 1)
    for name, value in (
        ("TCP_KEEPIDLE", KEEPALIVE_IDLE),
        ("TCP_KEEPINTVL", KEEPALIVE_INTERVAL),
        ("TCP_KEEPCNT", KEEPALIVE_PROBES),
    ):
        try:
            sock.setsockopt(socket.IPPROTO_TCP, getattr(socket, name), value)
        except (AttributeError, OSError):
            pass  # a system without this option keeps its own (longer) keep-alive times


def _left(deadline: typing.Optional[float]) -> typing.Optional[float]:
    """Seconds until `deadline` (time.monotonic()), None for none; socket.timeout once past."""
    if deadline is None:
        return None
    left = deadline - time.monotonic()
    if left <= 0:
        raise socket.timeout("the time-out has passed")
    return left


class _DeadlineReader(io.RawIOBase):
    """The socket's bytes for http.client, each read given only the time left."""

    def __init__(self, sock: socket.socket, deadline: typing.Optional[float]) -> None:
        super().__init__()
        self.sock = sock
        self.deadline = deadline

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: "WriteableBuffer") -> int:
        self.sock.settimeout(_left(self.deadline))
        return self.sock.recv_into(buffer)


class _Answer:
    """What http.client.HTTPResponse reads from: it asks only for makefile()."""

    def __init__(self, sock: socket.socket, deadline: typing.Optional[float]) -> None:
        self.reader = io.BufferedReader(_DeadlineReader(sock, deadline))

    def makefile(self, mode: str) -> io.BufferedReader:
        return self.reader


def _connect(endpoint: Endpoint, deadline: typing.Optional[float]) -> socket.socket:
    """A connection to the daemon (TLS-wrapped for an https:// endpoint); OSError if none."""
    left = _left(deadline)
    connect = CONNECT_TIMEOUT if left is None else min(left, CONNECT_TIMEOUT)
    sock = socket.create_connection((endpoint.host, endpoint.port), timeout=connect)
    try:
        _notice_dead_host(sock)
        if endpoint.context is not None:
            sock.settimeout(_left(deadline))
            sock = endpoint.context.wrap_socket(sock, server_hostname=endpoint.host)
    except BaseException:
        sock.close()
        raise
    return sock


def _exchange(
    endpoint: Endpoint, request: bytes, timeout: typing.Optional[float], what: str
) -> typing.Tuple[int, str, bytes]:
    """Sends `request` once; its answer's status, reason and body. Raises DaemonUnreachable
    until the request has left whole, then CallTimedOut or UncertainOutcome."""
    deadline = None if timeout is None else time.monotonic() + timeout
    try:
        sock = _connect(endpoint, deadline)
    except OSError as error:
        raise DaemonUnreachable("cannot reach %s: %s" % (endpoint.url, error)) from error
    with sock:
        try:
            sock.settimeout(_left(deadline))
            sock.sendall(request)
        except OSError as error:
            # The daemon reads a whole request before it acts; this one never was whole.
            raise DaemonUnreachable("could not send to %s: %s" % (endpoint.url, error)) from error
        try:
            # http.client accepts any object with makefile() as its socket.
            response = http.client.HTTPResponse(typing.cast(socket.socket, _Answer(sock, deadline)))
            response.begin()
            return response.status, response.reason, response.read()
        except socket.timeout:
            raise CallTimedOut(
                "%s sent; no answer within %s s: it may have reached the tool" % (what, timeout)
            ) from None
        except ssl.SSLError as error:
            # Over TLS 1.3 the daemon says that it does not take this client's certificate only
            # after the client has finished its side of the handshake and sent the request: an
            # alert, and no request of that connection was ever read.
            if "ALERT" not in (error.reason or ""):
                raise UncertainOutcome(
                    "%s sent, then TLS failed (%s): it may have reached the tool" % (what, error)
                ) from error
            raise DaemonUnreachable(
                "%s refused this client's TLS certificate (%s): %s did not run"
                % (endpoint.url, error.reason, what)
            ) from error
        except (OSError, http.client.HTTPException) as error:
            raise UncertainOutcome(
                "%s sent, then the connection failed (%s): it may have reached the tool"
                % (what, error or type(error).__name__)
            ) from error


def _head(verb: str, endpoint: Endpoint, path: str, extra: str = "") -> bytes:
    return (
        "%s %s HTTP/1.1\r\nHost: %s\r\n%sConnection: close\r\nUser-Agent: rs232c_client\r\n\r\n"
        % (verb, path, endpoint.netloc, extra)
    ).encode("ascii")


def call(
    endpoint: Endpoint,
    method: str,
    params: typing.Sequence[typing.Union[str, bytes]],
    timeout: typing.Optional[float],
) -> Value:
    """Calls `method` once; `timeout` seconds for the whole exchange, None for no limit."""
    body = request_body(method, params)
    extra = "Content-Type: text/xml\r\nContent-Length: %d\r\n" % len(body)
    status, reason, answer = _exchange(
        endpoint, _head("POST", endpoint, endpoint.path, extra) + body, timeout, method
    )
    if status != 200:
        # The daemon answers every call it runs with 200; any other status came before that.
        raise HTTPError(endpoint.url, status, reason)
    return response_value(answer)


def get_json(
    endpoint: Endpoint, path: str, timeout: typing.Optional[float]
) -> typing.Dict[str, typing.Any]:
    """The JSON object the daemon answers to GET `path` (200, or 503 for a state it reports).
    A GET changes nothing, so any failure to get an answer is DaemonUnreachable: ask again."""
    request = _head("GET", endpoint, path)
    try:
        status, reason, answer = _exchange(endpoint, request, timeout, "GET " + path)
    except UncertainOutcome as error:
        raise DaemonUnreachable(
            "no answer to GET %s from %s: %s" % (path, endpoint.netloc, error)
        ) from error
    if status not in (200, 503):
        raise HTTPError(endpoint.netloc + path, status, reason)
    try:
        value = json.loads(answer.decode("utf-8"))
    except ValueError:
        raise MalformedAnswer("GET %s answered no JSON" % path) from None
    if not isinstance(value, dict):
        raise MalformedAnswer("GET %s answered no JSON object" % path)
    return value
