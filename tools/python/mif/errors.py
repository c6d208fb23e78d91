"""The exceptions of the mif package.

Every failure of a session is a MifError; the connection failures are
also the builtin ConnectionError, so code that already handles that keeps
working. A NAK is only raised where the caller asked for it (check=True);
otherwise it comes back as an Answer whose `nak` is true.
"""
import builtins


class MifError(Exception):
    """Base of every error of a session with the daemon."""


class ConnectionError(MifError, builtins.ConnectionError):
    """No connection, or the connection failed (daemon down, host unknown)."""


class Refused(ConnectionError):
    """The daemon did not accept the key (authentication failed)."""


class Displaced(ConnectionError):
    """The daemon closed the session: another client connected, or it stopped."""


class Timeout(MifError, builtins.TimeoutError):
    """The daemon did not answer within the session's time-out."""


class Nak(MifError):
    """The daemon answered "NAK: ..."; `text` and `answer` hold the answer."""

    def __init__(self, answer):
        super().__init__(f"{answer.command}: {answer.text}")
        self.answer = answer
        self.text = answer.text
