"""Read-only access to the catalog: the rows the pages show.

Every request opens its own `mode=ro` connection (cheap, and sqlite3
connections must not be shared between the server's threads). Nothing here
can write: a catalog from an older orvan is read as it is, never migrated.
"""

from __future__ import annotations

import os
import sqlite3
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import NamedTuple

from ..catalog import CATALOG_FILE, Attempt, Catalog, connect_read_only
from ..catalog.sqlite import ATTEMPT_STATUSES
from ..states import ATTEMPTS


class CatalogUnavailable(Exception):
    """The catalog is missing or cannot be read; the message says which."""


class JobRow(NamedTuple):
    """A job row; a tuple, because pages read tens of thousands at a time."""

    id: int
    run_id: int
    asset_key: str
    partition: str
    fingerprint: str
    status: str
    started_at: float | None
    ended_at: float | None
    error: str | None
    removed_at: float | None
    value_size: int | None


class Latest(NamedTuple):
    rows: dict[tuple[str, str], JobRow]
    attempts: dict[tuple[str, str], Attempt]


@dataclass(frozen=True)
class RunRow:
    id: int
    started_at: float
    ended_at: float | None
    status: str
    modules: str
    argv: str


# Columns a schema-1 catalog lacks read as NULL.
_OPTIONAL = ("removed_at", "value_size")
# What freshness reads of an attempt besides a JobRow's columns.
_HASHES = ("value_hash", "input_hashes", "parts")


def open_readonly(path: str) -> sqlite3.Connection:
    if not os.path.exists(path):
        raise CatalogUnavailable(f"there is no catalog at {path}: nothing has been run with this output directory yet")
    try:
        db = connect_read_only(path, timeout=5, check_same_thread=False)
        db.execute("SELECT 1 FROM runs LIMIT 1").fetchall()
    except sqlite3.Error as e:
        raise CatalogUnavailable(f"the catalog at {path} cannot be read: {e}") from None
    return db


class Reader:
    def __init__(self, out_dir: str):
        self.out_dir = out_dir
        self.path = os.path.join(out_dir, CATALOG_FILE)

    @contextmanager
    def connect(self) -> Iterator[Queries]:
        db = open_readonly(self.path)
        try:
            yield Queries(db)
        except sqlite3.Error as e:
            raise CatalogUnavailable(f"the catalog at {self.path} cannot be read: {e}") from None
        finally:
            db.close()


class Queries:
    def __init__(self, db: sqlite3.Connection):
        self.db = db
        self.present = present = {r[1] for r in db.execute("PRAGMA table_info(jobs)")}
        extra = ", ".join(c if c in present else f"NULL AS {c}" for c in _OPTIONAL)
        self._job_cols = (
            "id, run_id, asset_key, partition, fingerprint, status, started_at, ended_at, error, " + extra
        )

    def _jobs(self, sql: str, params: tuple[object, ...]) -> list[JobRow]:
        return list(map(JobRow._make, self.db.execute(f"SELECT {self._job_cols} FROM jobs {sql}", params)))

    def latest(self, asset_key: str | None = None) -> Latest:
        """Each job's latest attempt, of one asset or all: as the pages show
        it, and as freshness reads it (a job whose files `orvan clean`
        removed has no attempt there, as for `orvan status`)."""
        where = "asset_key=? AND " if asset_key is not None else ""
        params: tuple[object, ...] = (asset_key,) if asset_key is not None else ()
        hashes = ", ".join(c if c in self.present else f"NULL AS {c}" for c in _HASHES)
        # The statuses written out, so that the catalog's index of attempts serves.
        found = self.db.execute(
            f"SELECT {self._job_cols}, {hashes} FROM jobs WHERE id IN (SELECT MAX(id) FROM jobs WHERE {where}"
            f"status IN ({ATTEMPT_STATUSES}) GROUP BY asset_key, partition)", params).fetchall()
        rows: dict[tuple[str, str], JobRow] = {}
        attempts: dict[tuple[str, str], Attempt] = {}
        make = JobRow._make
        for r in found:
            row = make(r[:11])
            jid = (row.asset_key, row.partition)
            rows[jid] = row
            if row.removed_at is None:
                attempts[jid] = Attempt(row.fingerprint, row.status, row.ended_at, row.error, row.value_size,
                                        r[11], r[12], r[13], row.run_id)
        return Latest(rows, attempts)

    def job_history(self, asset_key: str, partition: str, limit: int = 30) -> list[JobRow]:
        return self._jobs("WHERE asset_key=? AND partition=? ORDER BY id DESC LIMIT ?", (asset_key, partition, limit))

    def run_jobs(self, run_id: int) -> list[JobRow]:
        return self._jobs("WHERE run_id=? ORDER BY id", (run_id,))

    def runs(self, limit: int) -> list[RunRow]:
        return [RunRow(*r) for r in self.db.execute(
            "SELECT id, started_at, ended_at, status, modules, argv FROM runs ORDER BY id DESC LIMIT ?", (limit,))]

    def run(self, run_id: int) -> RunRow | None:
        row = self.db.execute(
            "SELECT id, started_at, ended_at, status, modules, argv FROM runs WHERE id=?", (run_id,)).fetchone()
        return RunRow(*row) if row else None

    def run_counts(self, run_ids: list[int]) -> dict[int, dict[str, int]]:
        counts: dict[int, dict[str, int]] = {i: {} for i in run_ids}
        if run_ids:
            marks = ",".join("?" * len(run_ids))
            for run_id, status, n in self.db.execute(
                    f"SELECT run_id, status, COUNT(*) FROM jobs WHERE run_id IN ({marks}) GROUP BY run_id, status",
                    run_ids):
                counts[run_id][status] = n
        return counts

    def last_run_id(self) -> int:
        row = self.db.execute("SELECT MAX(id) FROM runs").fetchone()
        return int(row[0] or 0)

    def asset_keys(self) -> list[str]:
        return [r[0] for r in self.db.execute("SELECT DISTINCT asset_key FROM jobs ORDER BY asset_key")]

    def partitions_of(self, asset_key: str) -> list[str]:
        return [r[0] for r in self.db.execute(
            "SELECT DISTINCT partition FROM jobs WHERE asset_key=? ORDER BY partition", (asset_key,))]


class ChangeDetector:
    """A cheap token that changes whenever a run commits to the catalog:
    `PRAGMA data_version` on one long-lived read-only connection, plus the
    file's identity, so a catalog created or replaced later is noticed too."""

    def __init__(self, path: str):
        self.path = path
        self._db: sqlite3.Connection | None = None
        self._ino = 0

    def token(self) -> str:
        try:
            ino = os.stat(self.path).st_ino
        except OSError:
            self.close()
            return "none"
        try:
            if self._db is None or ino != self._ino:
                self.close()
                self._db = open_readonly(self.path)
                self._ino = ino
            return f"{ino}:{self._db.execute('PRAGMA data_version').fetchone()[0]}"
        except (CatalogUnavailable, sqlite3.Error):
            self.close()
            return "unreadable"

    def close(self) -> None:
        if self._db is not None:
            self._db.close()
            self._db = None
