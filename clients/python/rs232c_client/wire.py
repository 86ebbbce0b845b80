"""One XML-RPC call over one HTTP/1.1 connection, sent once.

Python's xmlrpc.client sends a request a second time when its connection drops after the
daemon has read it. Here every call has a connection of its own and nothing is ever sent
again: a failure before the request left is DaemonUnreachable, one after it UncertainOutcome.
"""

import http.client
import json
import re
import socket
import urllib.parse
import xmlrpc.client
import xml.etree.ElementTree as ElementTree
from xml.parsers import expat

from .results import CallTimedOut, DaemonUnreachable, Fault, UncertainOutcome

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


class MalformedAnswer(UncertainOutcome):
    """Something answered, but not with an XML-RPC response: what happened is unknown."""


class Endpoint:
    def __init__(self, url):
        parts = urllib.parse.urlsplit(url)
        if parts.scheme != "http" or not parts.hostname:
            raise ValueError("the daemon's URL is http://HOST:PORT/RPC2, not %r" % (url,))
        self.url = url
        self.host = parts.hostname
        self.port = parts.port or 80
        self.path = parts.path or "/"
        self.netloc = "[%s]:%d" % (self.host, self.port) if ":" in self.host else (
            "%s:%d" % (self.host, self.port))


def text_parameter(value, method):
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


def request_body(method, params):
    values = "".join(
        "<param><value><string>%s</string></value></param>" % text_parameter(p, method)
        for p in params
    )
    return (
        '<?xml version="1.0" encoding="UTF-8"?>\n<methodCall><methodName>%s</methodName>'
        "<params>%s</params></methodCall>\n" % (method, values)
    ).encode("utf-8")


def _parse(body):
    """The response's XML tree; a document type (and with it any entity) is refused."""
    builder = ElementTree.TreeBuilder()
    parser = expat.ParserCreate()

    def refuse(*_):
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


def _value(element):
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
        return {m.findtext("name"): _value(m.find("value")) for m in kind.findall("member")}
    raise MalformedAnswer("the daemon answers ints and strings, not <%s>" % kind.tag)


def response_value(body):
    """The result of an XML-RPC response; raises Fault for a fault."""
    root = _parse(body)
    if root.tag != "methodResponse":
        raise MalformedAnswer("the answer is no methodResponse")
    fault = root.find("fault")
    if fault is not None:
        detail = _value(fault.find("value"))
        if not isinstance(detail, dict):
            raise MalformedAnswer("a fault without its struct")
        raise Fault(detail.get("faultCode"), detail.get("faultString"))
    return _value(root.find("params/param/value"))


def _notice_dead_host(sock):
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


def call(endpoint, method, params, timeout):
    """Calls `method` once; `timeout` seconds for the answer, None to wait as long as it takes."""
    body = request_body(method, params)
    head = (
        "POST %s HTTP/1.1\r\nHost: %s\r\nContent-Type: text/xml\r\n"
        "Content-Length: %d\r\nConnection: close\r\nUser-Agent: rs232c_client\r\n\r\n"
        % (endpoint.path, endpoint.netloc, len(body))
    ).encode("ascii")
    connect = CONNECT_TIMEOUT if timeout is None else min(timeout, CONNECT_TIMEOUT)
    try:
        sock = socket.create_connection((endpoint.host, endpoint.port), timeout=connect)
    except OSError as error:
        raise DaemonUnreachable("cannot reach %s: %s" % (endpoint.url, error)) from error
    with sock:
        try:
            _notice_dead_host(sock)
            sock.settimeout(timeout)
            sock.sendall(head + body)
        except OSError as error:
            # The daemon reads a whole request before it acts; this one never was whole.
            raise DaemonUnreachable("could not send to %s: %s" % (endpoint.url, error)) from error
        try:
            response = http.client.HTTPResponse(sock)
            response.begin()
            answer = response.read()
        except socket.timeout:
            raise CallTimedOut(
                "%s sent; no answer within %g s: it may still reach the tool" % (method, timeout)
            ) from None
        except (OSError, http.client.HTTPException) as error:
            raise UncertainOutcome(
                "%s sent, then the connection failed (%s): it may have reached the tool"
                % (method, error or type(error).__name__)
            ) from error
    if response.status != 200:
        # The daemon answers every call it runs with 200; any other status came before that.
        raise xmlrpc.client.ProtocolError(
            endpoint.url, response.status, response.reason, dict(response.getheaders())
        )
    return response_value(answer)


def get_json(endpoint, path, timeout):
    """The JSON object the daemon answers to GET `path` (200, or 503 for a state it reports).
    A GET changes nothing, so any failure to get it is DaemonUnreachable: ask again."""
    connection = http.client.HTTPConnection(endpoint.host, endpoint.port, timeout=timeout)
    try:
        connection.request("GET", path, headers={"Connection": "close",
                                                 "User-Agent": "rs232c_client"})
        response = connection.getresponse()
        answer = response.read()
    except (OSError, http.client.HTTPException) as error:
        raise DaemonUnreachable(
            "no answer to GET %s from %s: %s" % (path, endpoint.netloc, error)
        ) from error
    finally:
        connection.close()
    if response.status not in (200, 503):
        raise xmlrpc.client.ProtocolError(
            endpoint.netloc + path, response.status, response.reason, dict(response.getheaders())
        )
    try:
        value = json.loads(answer.decode("utf-8"))
    except ValueError:
        raise MalformedAnswer("GET %s answered no JSON" % path) from None
    if not isinstance(value, dict):
        raise MalformedAnswer("GET %s answered no JSON object" % path)
    return value
