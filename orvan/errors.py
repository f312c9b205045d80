"""The one base of the errors the `orvan` command reports as a message.

Every layer raises its own kind (a bad setting, an unknown selection, a
pipeline that does not hold together, a catalog that cannot be read); the
command catches this base alone and exits with the status the error carries,
never with a traceback.
"""


class OrvanError(Exception):
    """An error the command states in one line per `lines()`, then exits
    with `exit_status` (2: a usage or pipeline error)."""

    exit_status = 2

    def lines(self) -> list[str]:
        return [str(self)]
