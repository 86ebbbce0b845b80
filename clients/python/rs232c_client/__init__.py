"""A client for rs232c-daemon: typed results, the controller's exact bytes, no call sent twice.

    import rs232c_client
    tool = rs232c_client.Controller("http://127.0.0.1:40405/RPC2")
    if tool.send_cmd_fwd() == rs232c_client.Result.ACKNOWLEDGED:
        ...

The guide for UI programmers is docs/clients.md in the daemon's sources.
"""

from .controller import Controller
from .results import (
    CallTimedOut,
    DaemonUnreachable,
    Fault,
    LineError,
    LineFailed,
    NoAdapter,
    NoReply,
    Refused,
    Result,
    Status,
    UncertainOutcome,
    dialogue_items,
    to_bytes,
    version_items,
)
from .wire import MalformedAnswer

__version__ = "1.2.0"
__all__ = [
    "CallTimedOut",
    "Controller",
    "DaemonUnreachable",
    "Fault",
    "LineError",
    "LineFailed",
    "MalformedAnswer",
    "NoAdapter",
    "NoReply",
    "Refused",
    "Result",
    "Status",
    "UncertainOutcome",
    "dialogue_items",
    "to_bytes",
    "version_items",
]
