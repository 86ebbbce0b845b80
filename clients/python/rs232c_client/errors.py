"""Every exception the kit raises, under one base: `except rs232c_client.Error` catches them all.

    Error
    ├── LineError                 the call ran; the controller gave no data (its .result says why)
    │   ├── Refused, NoReply, NoAdapter, LineFailed
    ├── Fault                     the daemon refused the call; an xmlrpc.client.Fault too
    │   ├── Cancelled             a stop came while it waited for the line: it did not run
    │   ├── Busy                  the daemon had no room for it: it did not run, try again
    │   │   └── Stopping          the daemon is stopping: it did not run, try again once it is back
    │   └── Forbidden             this client may not move the tool: nothing reached the line
    ├── DaemonUnreachable         not sent: the daemon cannot have acted on it (a ConnectionError)
    └── UncertainOutcome          sent, no answer: it may have reached the tool (a ConnectionError)
        ├── CallTimedOut          no answer within the call's time-out
        └── MalformedAnswer       something answered, but not with an XML-RPC response
            └── HTTPError         an HTTP status other than 200

TypeError and ValueError mean a parameter that cannot be sent; they come before anything is
sent, and are not kit failures but mistakes in the calling program.
"""

import typing
import xmlrpc.client

from .results import Result


class Error(Exception):
    """Base of every exception the kit raises for a failed call."""


class LineError(Error):
    """A call that returns the controller's bytes brought none: `.result` says what it got
    instead (refused, no reply, no adapter, line failed). The call ran; the answer is final."""

    result: typing.ClassVar[Result]


class Refused(LineError):
    """The controller answered with a line beginning CER."""

    result = Result.REFUSED


class NoAdapter(LineError):
    """The serial adapter could not be opened (unplugged?): nothing was sent."""

    result = Result.NO_ADAPTER


class NoReply(LineError):
    """The controller's answer did not come in time."""

    result = Result.NO_REPLY


class LineFailed(LineError):
    """A read or write on the line failed: the adapter was unplugged, or the line broke."""

    result = Result.LINE_FAILED


class Fault(Error, xmlrpc.client.Fault):
    """The daemon refused the call itself (a parameter missing or of the wrong type, a web
    origin it does not allow ...); nothing reached the controller. `.faultCode` and
    `.faultString` hold the daemon's words. Fault -507 comes as one of the classes below when
    its cause is one a program acts on."""

    faultCode: int
    faultString: str


class Cancelled(Fault):
    """Fault -507 "cancelled:": a stop (send_cmd_stp) came while this call waited for the
    line, so it never ran. Do not send it again on your own: a stop means stop; start again
    only when the operator or your procedure asks for it."""


class Busy(Fault):
    """Fault -507 "busy:": more calls waited for the line than the daemon has room for, and
    this one was given up. It never ran: try again after a short pause."""


class Stopping(Busy):
    """Fault -507 "stopping:": the daemon is stopping (a restart, perhaps). The call never
    ran: try again once the daemon answers (health() first)."""


class Forbidden(Fault):
    """Fault -507 "forbidden:": this client's certificate may watch and stop the tool, not
    make this call. Nothing reached the line. Do not try again; use an operator's
    certificate."""


class DaemonUnreachable(Error, ConnectionError):
    """The request could not be sent (nothing listens, the host is down, the connection broke
    before the request was whole): the daemon cannot have acted on it. Safe to try again."""


class UncertainOutcome(Error, ConnectionError):
    """The request was sent, but no answer came: the command may have reached the tool. Never
    send a motion again on this; find out what the tool did (docs/clients.md, "Never send a
    motion twice")."""


class CallTimedOut(UncertainOutcome):
    """The answer did not come within the call's time-out. The call may have run, or may be
    running; if it was still waiting for the line, the daemon drops it (see docs/clients.md)."""


class MalformedAnswer(UncertainOutcome):
    """Something answered, but not with an XML-RPC response (another server on that port, a
    proxy): what happened to the call is unknown."""


class HTTPError(MalformedAnswer):
    """The answer was an HTTP status other than 200 (a wrong path: 404): `.status` and
    `.reason` say which. The daemon answers every call it runs with 200; a status from
    something between the kit and the daemon leaves the call's fate unknown."""

    def __init__(self, url: str, status: int, reason: str) -> None:
        super().__init__("%s answered HTTP %d %s" % (url, status, reason))
        self.status = status
        self.reason = reason


# Fault -507: the daemon refused the call before anything reached the line. The first word of
# its text names the cause and stays stable; the rest is for people.
REQUEST_REFUSED = -507
_REFUSALS: typing.Dict[str, typing.Type[Fault]] = {
    "cancelled": Cancelled,
    "busy": Busy,
    "stopping": Stopping,
    "forbidden": Forbidden,
}


def fault(code: int, text: str) -> Fault:
    """The Fault, or its class for a cause a program acts on, for a fault the daemon sent."""
    kind = Fault
    word, colon, _ = text.partition(":")
    if code == REQUEST_REFUSED and colon:
        kind = _REFUSALS.get(word, Fault)
    return kind(code, text)
