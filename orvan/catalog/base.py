"""What every back end of the catalog shares: the states, the records read
back (attempts, run summaries), the errors, and the shape of a connection.

Queries are written once, in the SQL both back ends speak, with `?` marks;
a back end's connection takes them as they are (`Db`)."""

from __future__ import annotations

import json
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any, Protocol

from ..errors import OrvanError
from ..states import JobState

# Short names for the states, used throughout the queries.
PENDING, RUNNING, DONE, FRESH, FAILED, INTERRUPTED, NOT_RUN = (
    JobState.PENDING, JobState.RUNNING, JobState.DONE, JobState.FRESH,
    JobState.FAILED, JobState.INTERRUPTED, JobState.NOT_RUN,
)


class CatalogError(OrvanError):
    pass


class CatalogMissing(CatalogError):
    """Nothing has been recorded there yet."""


class CatalogTooNew(CatalogError):
    """Written by a newer orvan: refused by every command, reader or not."""


class CatalogWriteError(CatalogError):
    """A change could not be recorded (most often: the disk is full, or the
    server went away for good). The run must stop: what it does next could
    not be recorded either."""

    def __init__(self, message: str, *, out_of_space: bool):
        super().__init__(message)
        self.out_of_space = out_of_space


class Cursor(Protocol):
    @property
    def rowcount(self) -> int: ...

    def fetchone(self) -> Any: ...

    def fetchall(self) -> list[Any]: ...

    def __iter__(self) -> Iterator[Any]: ...


class Db(Protocol):
    """A connection as the queries use it: `?` marks, rows as tuples."""

    def execute(self, sql: str, params: Any = ..., /) -> Cursor: ...

    def executemany(self, sql: str, rows: Any, /) -> Cursor: ...


# Not decoded yet (None is a decoded value: nothing recorded).
_UNREAD: Any = object()


# Not frozen: made for every job a status reads, and a frozen dataclass's
# constructor costs three times as much.
@dataclass(slots=True)
class Attempt:
    fingerprint: str
    status: str
    ended_at: float | None
    error: str | None
    # Recorded with a success; None on rows written before they existed.
    value_size: int | None = None
    value_hash: str | None = None
    # The JSON text of `input_hashes` and `parts` as stored. They are decoded
    # when first asked for: a status of 100,000 fresh jobs needs few of them,
    # and decoded they take ten times the memory.
    inputs_text: str | None = None
    parts_text: str | None = None
    run_id: int | None = None  # the run that made the attempt
    _inputs: Any = field(default=_UNREAD, repr=False, compare=False)
    _parts: Any = field(default=_UNREAD, repr=False, compare=False)

    @property
    def input_hashes(self) -> dict[tuple[str, str], str] | None:
        """upstream job (asset key, partition) -> hash of the value it read"""
        if self._inputs is _UNREAD:
            self._inputs = decode_inputs(self.inputs_text)
        result: dict[tuple[str, str], str] | None = self._inputs
        return result

    @property
    def parts(self) -> dict[str, Any] | None:
        """What its fingerprint was made of; None when not recorded or unreadable."""
        if self._parts is _UNREAD:
            self._parts = _decode_json(self.parts_text)
        result: dict[str, Any] | None = self._parts
        return result


@dataclass(frozen=True)
class RunSummary:
    id: int
    started_at: float
    ended_at: float | None
    status: str
    counts: dict[str, int]


def encode_inputs(hashes: dict[tuple[str, str], str]) -> str:
    return json.dumps(sorted([k, p, h] for (k, p), h in hashes.items()), separators=(",", ":"))


def _decode_json(text: str | None) -> Any:
    if not text:
        return None
    try:
        return json.loads(text)
    except ValueError:
        return None


def decode_inputs(text: str | None) -> dict[tuple[str, str], str] | None:
    if text == "[]":  # what every job without inputs records
        return {}
    rows = _decode_json(text)
    if not isinstance(rows, list):
        return None
    try:
        return {(str(k), str(p)): str(h) for k, p, h in rows}
    except (TypeError, ValueError):
        return None


class RunLock(Protocol):
    """One run at a time per output location; released when the runner
    dies, so a killed run never blocks the next."""

    def release(self) -> None: ...
