"""A client for rs232c-daemon: typed results, the controller's exact bytes, no call sent twice.

    import rs232c_client

    tool = rs232c_client.Controller("http://127.0.0.1:40405/RPC2")
    try:
        if tool.send_cmd_fwd():                 # only ACKNOWLEDGED is true
            print("running forward")
        print(tool.send_cmd("VER\\r\\n"))         # the controller's bytes, exact
    except rs232c_client.UncertainOutcome:      # sent, no answer: the tool may have moved
        print("find out what the tool did before going on")
    except rs232c_client.Error as error:        # every other failure of the kit
        print("not done:", error)

Results. Commands (send_cmd_fwd, _rvs, _stp, _ch, _rst, _win, _wot, _wot_with_wng, _wrt,
_com, _cst, send_cmd_ver_script) return a Result: ACKNOWLEDGED (the expected reply came; the
only true one), REFUSED (the controller answered CER), NO_ADAPTER (nothing sent), NO_REPLY (the
expected reply did not come in time), LINE_FAILED (adapter unplugged?). recv_cmd_inf returns a
Status. send_cmd, the dialogues (send_cmd_cos, send_cmd_chs) and send_cmd_ver return bytes;
dialogue_items and version_items split them. health() reads the daemon's /health for a
"connected" light.

Failures. Every exception is an rs232c_client.Error:
    LineError (Refused, NoReply, NoAdapter, LineFailed)   the call ran; no data came
    Fault (Cancelled, Busy, Stopping, Forbidden)          refused by the daemon: not run
    DaemonUnreachable                                     not sent: safe to call again
    UncertainOutcome (CallTimedOut, MalformedAnswer, HTTPError)
                                                          sent, no answer: never resend a motion

Time-outs. Each method waits a little longer than the daemon's bound for it; Controller(url,
timeout=...) sets one for every call, and `timeout=` on a call for that call only. health()
waits one second unless told otherwise.

The guide for UI programmers, with what every result means and what is safe to try again, is
docs/clients.md in the daemon's sources (/usr/share/doc/python3-rs232c-client/ when installed
from the Debian package).
"""

from .controller import DEFAULT_URL, HEALTH_TIMEOUT, Controller
from .errors import (
    Busy,
    CallTimedOut,
    Cancelled,
    DaemonUnreachable,
    Error,
    Fault,
    Forbidden,
    HTTPError,
    LineError,
    LineFailed,
    MalformedAnswer,
    NoAdapter,
    NoReply,
    Refused,
    Stopping,
    UncertainOutcome,
)
from .results import Health, Result, Status, dialogue_items, to_bytes, version_items

__version__ = "1.2.0"
__all__ = [
    "DEFAULT_URL",
    "HEALTH_TIMEOUT",
    "Busy",
    "CallTimedOut",
    "Cancelled",
    "Controller",
    "DaemonUnreachable",
    "Error",
    "Fault",
    "Forbidden",
    "HTTPError",
    "Health",
    "LineError",
    "LineFailed",
    "MalformedAnswer",
    "NoAdapter",
    "NoReply",
    "Refused",
    "Result",
    "Status",
    "Stopping",
    "UncertainOutcome",
    "dialogue_items",
    "to_bytes",
    "version_items",
]
