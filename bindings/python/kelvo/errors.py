"""The exceptions of the binding, and why a request was refused."""

from enum import Enum
from typing import Optional


class KelvoError(RuntimeError):
    """Base of the binding's own errors."""


class ReleasedError(KelvoError):
    """The client was released; only pump(), events() and release() still
    answer (with nothing)."""


class Refusal(Enum):
    """Why a request was not sent."""

    TEXT_EMPTY = "the text is empty"
    TEXT_TOO_LONG = "the text is too long"
    NOT_ENCODABLE = "the text has characters GBK cannot hold"
    CONTAINS_NUL = "the text contains a NUL character"
    NO_PENDING_REQUEST = "there is no pending add request from that user"
    CONNECTION_BUSY = "a connection is up or being attempted"
    BAD_HOST = "not a host name, IPv4 or IPv6 address"
    NOT_CONNECTED = "not connected"
    NOT_SENT = "the network library did not take the message (send queue full or closing)"


class RequestRefused(KelvoError):
    """A request was not sent. `reason` says why, `operation` names the
    request (the Python method), `detail` adds the numbers when there are
    any. Nothing was sent and nothing changed."""

    def __init__(self, operation: str, reason: Refusal, detail: Optional[str] = None) -> None:
        self.operation = operation
        self.reason = reason
        self.detail = detail
        message = "%s: %s" % (operation, reason.value)
        if detail:
            message += " (%s)" % detail
        super().__init__(message)


class InvalidArgument(RequestRefused, ValueError):
    """Refused before reaching the module: a text that is empty, too long,
    not encodable in GBK or holding a NUL, or a reply to a request that is not
    pending. Also a ValueError."""


class NotSent(RequestRefused):
    """The module or its network library did not take the request: not
    connected (as far as the delivered events tell), a connection already
    under way, or the send queue is full."""
