"""The one error type of the library."""

from __future__ import annotations


class HelperError(Exception):
    """A command failed, timed out, or the helper is gone.

    `reason` is a short word: the helper's own reason ("already_active",
    "no_capture", "not_found", "encoder_creation_failed", …) or one of the
    library's: "timeout" (no answer in time), "exited" (the helper ended),
    "cancelled" (a start that a STOP_STREAMING silenced), "closed" (the
    library was closed), "invalid_argument", "bad_answer", "error" (a failure
    whose text is not a single word). `text` is the helper's text (for
    "exited": its last lines on standard error), `command` the command line
    that failed (None for failures of the helper itself).
    """

    def __init__(self, reason: str, text: str = "", command: str | None = None,
                 *, returncode: int | None = None) -> None:
        self.reason = reason
        self.text = text
        self.command = command
        self.returncode = returncode
        where = f"{command}: " if command else ""
        detail = f" ({text})" if text and text != reason else ""
        super().__init__(f"{where}{reason}{detail}")
