"""What the readers show (`orvan show`, the pages of `orvan ui`): job rows,
runs, each job's latest attempt, the ticks of automations. A `Views` reads
on one connection of its own and writes nothing."""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Callable, NamedTuple

from . import ticks
from .base import Attempt, Db


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


class Try(NamedTuple):
    """One attempt of a job row that was tried more than once in its run."""

    attempt: int
    status: str
    started_at: float | None
    ended_at: float | None
    error: str | None


@dataclass(frozen=True)
class RunRow:
    id: int
    started_at: float
    ended_at: float | None
    status: str
    modules: str
    argv: str


@dataclass(frozen=True)
class Row:
    """A job's latest row, as `orvan show` explains a missing value by it."""
    status: str
    error: str | None


_JOB_COLUMNS = ("id, run_id, asset_key, partition, fingerprint, status, started_at, ended_at, error, removed_at,"
                " value_size")
_RUN_COLUMNS = "id, started_at, ended_at, status, modules, argv"


class Views:
    def __init__(self, db: Db, close: Callable[[], None]):
        self.db = db
        self.close = close

    def _jobs(self, sql: str, params: tuple[object, ...]) -> list[JobRow]:
        return list(map(JobRow._make, self.db.execute(f"SELECT {_JOB_COLUMNS} FROM jobs {sql}", params)))

    def latest(self, asset_key: str | None = None) -> Latest:
        """Each job's latest attempt, of one asset or all: as the pages show
        it, and as freshness reads it (a job whose files `orvan clean`
        removed has no attempt there, as for `orvan status`)."""
        where = " WHERE l.asset_key=?" if asset_key is not None else ""
        params: tuple[object, ...] = (asset_key,) if asset_key is not None else ()
        columns = ", ".join(f"j.{c.strip()}" for c in _JOB_COLUMNS.split(","))
        found = self.db.execute(
            f"SELECT {columns}, j.value_hash, j.input_hashes, j.parts FROM latest l JOIN jobs j ON j.id = l.job_id"
            f"{where}", params).fetchall()
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

    def latest_rows(self, asset_key: str, attempts_only: bool) -> dict[str, Row]:
        """partition -> the latest row of each of an asset's jobs, of any
        state or only those that were attempts at materialising it."""
        if attempts_only:
            rows = self.db.execute("SELECT l.partition, j.status, j.error FROM latest l JOIN jobs j ON j.id = l.job_id"
                                   " WHERE l.asset_key=?", (asset_key,))
        else:
            rows = self.db.execute("SELECT partition, status, error FROM jobs WHERE id IN"
                                   " (SELECT MAX(id) FROM jobs WHERE asset_key=? GROUP BY partition)", (asset_key,))
        return {p: Row(st, err) for p, st, err in rows}

    def job_history(self, asset_key: str, partition: str, limit: int = 30) -> list[JobRow]:
        return self._jobs("WHERE asset_key=? AND partition=? ORDER BY id DESC LIMIT ?", (asset_key, partition, limit))

    def tries(self, job_ids: list[int]) -> dict[int, list[Try]]:
        """The attempts of those job rows that were retried, in order."""
        found: dict[int, list[Try]] = {}
        if job_ids:
            marks = ",".join("?" * len(job_ids))
            for job_id, *rest in self.db.execute(
                    "SELECT job_id, attempt, status, started_at, ended_at, error FROM attempts"
                    f" WHERE job_id IN ({marks}) ORDER BY job_id, attempt", job_ids):
                found.setdefault(int(job_id), []).append(Try(*rest))
        return found

    def run_jobs(self, run_id: int) -> list[JobRow]:
        return self._jobs("WHERE run_id=? ORDER BY id", (run_id,))

    def runs(self, limit: int) -> list[RunRow]:
        return [RunRow(*r) for r in self.db.execute(
            f"SELECT {_RUN_COLUMNS} FROM runs ORDER BY id DESC LIMIT ?", (limit,))]

    def run(self, run_id: int) -> RunRow | None:
        row = self.db.execute(f"SELECT {_RUN_COLUMNS} FROM runs WHERE id=?", (run_id,)).fetchone()
        return RunRow(*row) if row else None

    def run_counts(self, run_ids: list[int]) -> dict[int, dict[str, int]]:
        counts: dict[int, dict[str, int]] = {i: {} for i in run_ids}
        if run_ids:
            marks = ",".join("?" * len(run_ids))
            for run_id, status, n in self.db.execute(
                    f"SELECT run_id, status, COUNT(*) FROM jobs WHERE run_id IN ({marks}) GROUP BY run_id, status",
                    run_ids):
                counts[run_id][status] = int(n)
        return counts

    def last_run_id(self) -> int:
        row = self.db.execute("SELECT MAX(id) FROM runs").fetchone()
        return int(row[0] or 0)

    def last_modules(self) -> list[str]:
        row = self.db.execute("SELECT modules FROM runs ORDER BY id DESC LIMIT 1").fetchone()
        return list(json.loads(row[0])) if row else []

    def asset_keys(self) -> list[str]:
        return [r[0] for r in self.db.execute("SELECT DISTINCT asset_key FROM jobs ORDER BY asset_key")]

    def partitions_of(self, asset_key: str) -> list[str]:
        return [r[0] for r in self.db.execute(
            "SELECT DISTINCT partition FROM jobs WHERE asset_key=? ORDER BY partition", (asset_key,))]

    def automation_names(self, limit: int = 1000) -> list[str]:
        """The automations the newest ticks belong to, sorted."""
        return sorted({t.automation for t in ticks.recent(self.db, None, limit)})

    def ticks(self, automation: str | None, limit: int) -> list[ticks.Tick]:
        return ticks.recent(self.db, automation, limit)
