"""Job state changes held back and committed in batches, whatever the back
end: one commit per change costs more than a short job at 100,000 jobs."""

from __future__ import annotations

import errno
import itertools
import threading
import time
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Callable

from .base import FAILED, CatalogWriteError, Db

# Makes a batch's files durable; replaceable, to test what a failure does.
Sync = Callable[[Sequence[str]], None]


@dataclass(frozen=True)
class Durable:
    """The files a held done change waits for, and the row it settles."""
    row_id: int
    files: tuple[str, ...]


_Change = tuple[str, tuple[object, ...], "Durable | None"]


class JobWrites:
    """Job state changes held back and committed together: one commit per
    change costs more than a short job at 100,000 jobs. A change waits at
    most `max_delay` seconds (the runner calls `flush(due_only=True)` at
    least that often) or until `max_rows` changes are waiting.

    The files of the successes in a batch are made durable together just
    before it is committed: a done row never outlives its files in a crash
    of the machine, and a sync costs the same for one job as for hundreds."""

    max_rows = 256
    max_delay = 0.1

    def __init__(self, commit: Callable[[Callable[[Db], None]], Any], sync: Sync | None = None):
        self._commit = commit
        # Set by whoever writes the jobs' files (the runner): it knows how
        # they are made durable; the catalog only keeps the order.
        self.sync = sync
        self._held: list[_Change] = []
        # Changes handed over by other threads (an executor learning a job's
        # pid); only the catalog's own thread commits, at its next flush.
        self._handed: list[_Change] = []
        self._handed_lock = threading.Lock()
        self._since = 0.0

    def hand_over(self, sql: str, params: tuple[object, ...]) -> None:
        """Add a change from any thread; it is committed with the next flush."""
        with self._handed_lock:
            self._handed.append((sql, params, None))

    def _take_handed(self) -> None:
        with self._handed_lock:
            handed, self._handed = self._handed, []
        if handed:
            if not self._held:
                self._since = time.monotonic()
            self._held.extend(handed)

    def add(self, sql: str, params: tuple[object, ...], durable: Durable | None = None) -> None:
        if not self._held:
            self._since = time.monotonic()
        self._held.append((sql, params, durable))
        self.flush(due_only=True)

    def due_in(self) -> float | None:
        """Seconds until the held changes must be committed; None if none are held."""
        if not self._held:
            return None
        return max(0.0, self._since + self.max_delay - time.monotonic())

    def flush(self, *, due_only: bool = False) -> None:
        self._take_handed()
        if not self._held:
            return
        if due_only and len(self._held) < self.max_rows and self.due_in():
            return
        held, self._held = self._held, []
        sealed = [durable for _, _, durable in held if durable is not None]
        if sealed and self.sync is None:
            self._held = held + self._held
            raise RuntimeError("a job's files were given to be made durable, but nothing to make them so")
        try:
            if sealed and self.sync is not None:
                self.sync([f for durable in sealed for f in durable.files])
        except OSError as e:
            # Not asked again: after a write-back error a second sync can
            # succeed with the data still lost. The batch's other changes
            # stand; its successes are failures, and the run cannot go on
            # as if they were done (their downstream jobs may have started).
            error = f"its files could not be made durable: {_describe(e)}"
            self._commit(_changes([change if change[2] is None else (
                "UPDATE jobs SET status=?, error=?, value_size=NULL, value_hash=NULL WHERE id=?",
                (FAILED, error, change[2].row_id), None) for change in held]))
            raise CatalogWriteError(
                f"cannot make the files of {len(sealed)} job(s) just finished durable ({_describe(e)});"
                " they are recorded as failed", out_of_space=e.errno in (errno.ENOSPC, errno.EDQUOT)) from None
        self._commit(_changes(held))


def _changes(held: list[_Change]) -> Callable[[Db], None]:
    """The held changes in order, each run of the same statement sent at
    once (a round trip per statement is what a server's catalog pays)."""
    def write(db: Db) -> None:
        for sql, group in itertools.groupby(held, key=lambda change: change[0]):
            db.executemany(sql, [params for _, params, _ in group])
    return write


def _describe(e: OSError) -> str:
    text = e.strerror or str(e)
    return f"{text}: {e.filename}" if e.filename else text
