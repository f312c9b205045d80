"""The catalog as every command uses it: runs, their jobs, each job's
attempts and their outcome, the processes of a run, the latest attempt at
each job. Written once, in the SQL both back ends speak; a back end
(`SqliteCatalog`, `PostgresCatalog`) supplies the connection, its
transactions and what to do when a write fails.

Runs and settled groups of jobs are committed at once. The start and end of
each job are committed in small batches (`JobWrites`): at most a fraction of
a second after they happen, and never before the job's files are on disk
(the writer of those files makes them durable just before the batch is
committed), so a runner killed or a machine losing power at any moment
leaves a catalog in which every job marked done is done; a job that ended
in the last instant may still read running or pending, and the next run
redoes it. A job's stored files are removed before it is run again, so "the
latest attempt succeeded" and "its files are what that attempt wrote" go
together.
"""

from __future__ import annotations

import json
import threading
import time
from abc import ABC, abstractmethod
from collections.abc import Sequence
from contextlib import AbstractContextManager
from typing import Any, Callable, TypeVar

from . import ticks
from .base import (FRESH, INTERRUPTED, NOT_RUN, PENDING, RUNNING, FAILED, Attempt, Db, RunSummary,
                   encode_inputs)
from .schema import ABANDONED_HELPERS
from .urls import masked_argv
from .writes import Durable, JobWrites

T = TypeVar("T")

# Called when a write fails for want of space, to free what can be freed
# before the write is tried once more.
FreeSpace = Callable[[], None]

_ATTEMPT_COLUMNS = ("j.asset_key, j.partition, j.fingerprint, j.status, j.ended_at, j.error, j.value_size,"
                    " j.value_hash, j.input_hashes, j.parts, j.run_id")
# Each job's latest attempt row.
LATEST_JOBS = "latest l JOIN jobs j ON j.id = l.job_id"
# No run has this id: "no current run" in queries that compare with one.
_NO_RUN = -1


class Catalog(ABC):
    """Opened for writing by `orvan run` and `orvan clean` (which hold the
    run lock), read-only by the readers, so that a reader can never change,
    create or lock out the catalog of a run going on."""

    db: Db
    # Where it is, for messages (never with a password).
    where: str
    readonly: bool
    # The query for the processes of unfinished runs, as the back end plans it best.
    abandoned_processes_query: str

    def __init__(self) -> None:
        self.on_full: FreeSpace | None = None
        self.writes = JobWrites(self._commit_batch)
        # A connection belongs to the thread that opened it.
        self._thread = threading.get_ident()

    @classmethod
    def in_dir(cls, out_dir: str, *, create: bool = True, readonly: bool | None = None) -> Catalog:
        """The catalog of the output directory `out_dir`, wherever it is kept."""
        from .locate import catalog_of

        return catalog_of(out_dir).open(create=create, readonly=readonly)

    # -- what a back end supplies ------------------------------------------

    @abstractmethod
    def _commit(self, change: Callable[[Db], T]) -> T:
        """Make `change` in one transaction, now."""

    @abstractmethod
    def _query(self, query: Callable[[Db], T]) -> T:
        """Run `query`, turning the back end's errors into CatalogError."""

    @abstractmethod
    def _transaction(self) -> AbstractContextManager[Db]: ...

    @abstractmethod
    def _close(self) -> None: ...

    def checkpoint(self) -> None:
        """Give back the room the catalog can give back (SQLite's log)."""

    def _commit_batch(self, change: Callable[[Db], None]) -> None:
        """Commit a batch of held job changes."""
        self._commit(change)

    def bulk_insert(self, db: Db, table: str, columns: str, marks: str, rows: list[tuple[Any, ...]]) -> None:
        """Rows copied from another catalog, ids and all."""
        db.executemany(f"INSERT INTO {table} ({columns}) VALUES ({marks})", rows)

    def copy_starts(self, db: Db) -> None:
        """Before rows are copied in from another catalog."""

    def copy_ends(self, db: Db) -> None:
        """After rows were copied in with their ids: new rows come after them,
        and each job's latest attempt is known."""

    # -- shared --------------------------------------------------------------

    def close(self) -> None:
        self.writes.flush()
        self._close()

    def transaction(self) -> AbstractContextManager[Db]:
        # Whatever is held back is older than what comes next: it goes first.
        self.writes.flush()
        return self._transaction()

    def _write(self, change: Callable[[Db], T]) -> T:
        """Make `change` in one transaction, after whatever is held back."""
        self.writes.flush()
        return self._commit(change)

    def _read(self, query: Callable[[Db], T]) -> T:
        # A read sees every change made so far, held back or not.
        self.writes.flush()
        return self._query(query)

    # -- runs ----------------------------------------------------------------

    def close_abandoned_runs(self) -> int:
        """Mark runs whose runner died as abandoned, their running jobs as
        interrupted and their pending jobs as not run. Call with the run lock
        held, after stopping any workers those jobs left behind."""
        return self.settle_runs("abandoned", "the runner stopped before the job finished")

    def settle_runs(self, status: str, error: str) -> int:
        """End every run not ended yet with `status`: its running jobs become
        interrupted with `error`, its pending jobs not run."""
        now = time.time()

        def change(db: Db) -> int:
            ids = [r[0] for r in db.execute("SELECT id FROM runs WHERE ended_at IS NULL")]
            for run_id in ids:
                db.execute("UPDATE jobs SET status=?, ended_at=?, error=? WHERE run_id=? AND status=?",
                           (INTERRUPTED, now, error, run_id, RUNNING))
                db.execute("UPDATE jobs SET status=?, ended_at=? WHERE run_id=? AND status=?",
                           (NOT_RUN, now, run_id, PENDING))
                db.execute("UPDATE runs SET status=?, ended_at=? WHERE id=?", (status, now, run_id))
            return len(ids)
        return self._write(change)

    def abandoned_processes(self) -> list[tuple[int, str]]:
        """(pid, start time) of the job processes of runs that have not ended,
        finished or not: a finished job may have left children in its group.
        Only meaningful with the run lock held."""
        return [(int(pid), str(started)) for query in (ABANDONED_HELPERS, self.abandoned_processes_query)
                for pid, started in self._read(lambda db: db.execute(query).fetchall())]

    def useless_files(self, current_run: int | None) -> list[tuple[str, str]]:
        """(asset key, partition) of jobs whose latest attempt failed, was
        interrupted or belongs to a dead run: whatever they left on disk is
        never read again, and may go when space runs out. Not those the
        current run has yet to settle: one may be running already, its start
        still held back from the catalog (which is what just failed to be
        written), and writing its directory."""
        run = _NO_RUN if current_run is None else current_run
        return [(str(k), str(p)) for k, p in self._read(lambda db: db.execute(
            f"SELECT j.asset_key, j.partition FROM {LATEST_JOBS}"
            " WHERE (j.status IN (?, ?) OR (j.status=? AND j.run_id <> ?))"
            " AND NOT EXISTS (SELECT 1 FROM jobs c WHERE c.run_id = ? AND c.asset_key = j.asset_key"
            " AND c.partition = j.partition AND c.status IN (?, ?))",
            (FAILED, INTERRUPTED, RUNNING, run, run, PENDING, RUNNING),
        ).fetchall())]

    def start_run(self, modules: list[str], argv: list[str]) -> int:
        row = (time.time(), json.dumps(modules), json.dumps(masked_argv(argv)))
        return int(self._write(lambda db: db.execute(
            "INSERT INTO runs (started_at, status, modules, argv) VALUES (?, 'running', ?, ?) RETURNING id",
            row).fetchone()[0]))

    def finish_run(self, run_id: int, status: str) -> None:
        self._write(lambda db: db.execute(
            "UPDATE runs SET status=?, ended_at=? WHERE id=?", (status, time.time(), run_id)))

    def last_modules(self) -> list[str]:
        row = self._read(lambda db: db.execute("SELECT modules FROM runs ORDER BY id DESC LIMIT 1").fetchone())
        return list(json.loads(row[0])) if row else []

    def recent_runs(self, limit: int) -> list[RunSummary]:
        return self._read(lambda db: recent_runs(db, limit))

    def run_automations(self, run_ids: list[int]) -> dict[int, str]:
        """The automation that started each of these runs, for those one did."""
        return self._read(lambda db: ticks.run_automations(db, run_ids))

    def recent_ticks(self, automation: str | None, limit: int) -> list[ticks.Tick]:
        return self._read(lambda db: ticks.recent(db, automation, limit))

    def last_other_run(self) -> tuple[int, float] | None:
        return self._read(ticks.last_other_run)

    # -- jobs ----------------------------------------------------------------

    def add_jobs(self, run_id: int, rows: list[tuple[str, str, str, str, str | None]]) -> list[int]:
        """Record (asset key, partition, fingerprint, status, error) rows; their ids."""
        now = time.time()
        # Rows that are settled at once (fresh, not run) get their times now.
        values = [(run_id, key, partition, fp, status, *((now, now) if status in (FRESH, NOT_RUN) else (None, None)),
                   error) for key, partition, fp, status, error in rows]
        return self._write(lambda db: self._insert_jobs(db, values))

    def _insert_jobs(self, db: Db, values: list[tuple[Any, ...]]) -> list[int]:
        sql = ("INSERT INTO jobs (run_id, asset_key, partition, fingerprint, status, started_at, ended_at, error)"
               " VALUES (?, ?, ?, ?, ?, ?, ?, ?) RETURNING id")
        return [int(db.execute(sql, row).fetchone()[0]) for row in values]

    def job_started(self, row_id: int) -> float:
        now = time.time()
        self.writes.add("UPDATE jobs SET status=?, started_at=? WHERE id=?", (RUNNING, now, row_id))
        return now

    def run_process(self, run_id: int, pid: int, started: str) -> None:
        """A process of the run that is no job's (the fork server), so that a
        later run can stop it should it outlive a killed runner."""
        self._write(lambda db: db.execute("UPDATE runs SET pid=?, pid_started=? WHERE id=?",
                                          (pid, started, run_id)))

    def job_process(self, row_id: int, pid: int, started: str) -> None:
        """The job's process, so that a later run can stop exactly it (and its group)."""
        change = ("UPDATE jobs SET pid=?, pid_started=? WHERE id=?", (pid, started, row_id))
        if threading.get_ident() == self._thread:
            # Committed before the job can outlive a runner killed right after.
            self._write(lambda db: db.execute(*change))
        else:
            # From an executor's own thread (a fork server's replies): held back
            # with the job's other changes; that server ends its jobs' process
            # groups itself should the runner die first.
            self.writes.hand_over(*change)

    def job_finished(self, row_id: int, status: str, error: str | None = None, *,
                     value: tuple[int, str] | None = None, inputs: dict[tuple[str, str], str] | None = None,
                     parts: dict[str, Any] | None = None, durable: Sequence[str] = ()) -> float:
        """Settle an attempt. A success also records its value's (size, hash),
        the hashes of the input values it read and its fingerprint's parts,
        in the same statement as its status, so that no reader ever sees a
        done row without them. The change is committed only once the files
        in `durable` are on disk."""
        now = time.time()
        size, digest = value if value is not None else (None, None)
        self.writes.add(
            "UPDATE jobs SET status=?, ended_at=?, error=?, value_size=?, value_hash=?, input_hashes=?, parts=?"
            " WHERE id=?",
            (status, now, error, size, digest, None if inputs is None else encode_inputs(inputs),
             None if parts is None else json.dumps(parts, sort_keys=True, separators=(",", ":")), row_id),
            Durable(row_id, tuple(durable)) if durable else None,
        )
        return now

    def jobs_settled(self, row_ids: list[int], status: str, error: str | None) -> None:
        now = time.time()
        self._write(lambda db: db.executemany(
            "UPDATE jobs SET status=?, started_at=COALESCE(started_at, ?), ended_at=?, error=? WHERE id=?",
            [(status, now, now, error, i) for i in row_ids],
        ))

    def job_retrying(self, row_id: int, attempt: int) -> None:
        self._write(lambda db: db.execute("UPDATE jobs SET status=?, attempt=? WHERE id=?", (RUNNING, attempt, row_id)))

    def attempt_ended(self, row_id: int, attempt: int, status: str, started_at: float, error: str | None) -> None:
        """Record one attempt of a job that was tried more than once; the
        job's row itself describes only the attempt that settled it."""
        now = time.time()
        self._write(lambda db: db.execute(
            "INSERT INTO attempts (job_id, attempt, status, started_at, ended_at, error) VALUES (?, ?, ?, ?, ?, ?)"
            " ON CONFLICT (job_id, attempt) DO UPDATE SET status=excluded.status, started_at=excluded.started_at,"
            " ended_at=excluded.ended_at, error=excluded.error",
            (row_id, attempt, status, started_at, now, error),
        ))

    def attempt_numbers(self) -> dict[tuple[str, str], int]:
        """(asset key, partition) -> how many attempts its latest job row took."""
        rows = self._read(lambda db: db.execute(
            f"SELECT j.asset_key, j.partition, j.attempt FROM {LATEST_JOBS}"
        ).fetchall())
        return {(k, p): n for k, p, n in rows}

    def retries_by_run(self, run_ids: list[int]) -> dict[int, int]:
        """run id -> attempts beyond the first, over all its jobs."""
        if not run_ids:
            return {}
        marks = ",".join("?" * len(run_ids))
        rows = self._read(lambda db: db.execute(
            f"SELECT run_id, SUM(attempt - 1) FROM jobs WHERE run_id IN ({marks}) GROUP BY run_id", run_ids
        ).fetchall())
        return {int(run_id): int(n or 0) for run_id, n in rows}

    def job_attempts(self, row_id: int) -> list[tuple[int, str, float | None, float | None, str | None]]:
        """(attempt, status, started, ended, error) of each attempt of a job tried more than once."""
        return [tuple(r) for r in self._read(lambda db: db.execute(
            "SELECT attempt, status, started_at, ended_at, error FROM attempts WHERE job_id=? ORDER BY attempt",
            (row_id,),
        ).fetchall())]

    def asset_keys(self) -> list[str]:
        """Every asset key ever recorded, sorted (read by its index)."""
        return [k for (k,) in self._read(lambda db: db.execute(
            "SELECT DISTINCT asset_key FROM jobs ORDER BY asset_key").fetchall())]

    def job_history(self, key: str, partition: str) -> list[tuple[int, str]]:
        """(run id, status) of every row of one job, oldest first."""
        return [(r, st) for r, st in self._read(lambda db: db.execute(
            "SELECT run_id, status FROM jobs WHERE asset_key=? AND partition=? ORDER BY id", (key, partition)
        ).fetchall())]

    def last_attempts(self) -> dict[tuple[str, str], Attempt]:
        """(asset key, partition) -> the latest attempt at materialising it."""
        return self.latest()[0]

    def latest(self) -> tuple[dict[tuple[str, str], Attempt], dict[tuple[str, str], int]]:
        """The latest attempt at each job (those whose files `orvan clean`
        removed left out) and how many tries its row took, from one query."""
        rows = self._read(lambda db: db.execute(
            f"SELECT {_ATTEMPT_COLUMNS}, j.attempt, j.removed_at IS NULL FROM {LATEST_JOBS}"
        ).fetchall())
        attempts = {(row[0], row[1]): Attempt(*row[2:11]) for row in rows if row[12]}
        return attempts, {(row[0], row[1]): row[11] for row in rows}

    def last_attempt(self, key: str, partition: str) -> Attempt | None:
        row = self._read(lambda db: db.execute(
            f"SELECT {_ATTEMPT_COLUMNS} FROM {LATEST_JOBS} WHERE l.asset_key=? AND l.partition=?"
            " AND j.removed_at IS NULL",
            (key, partition),
        ).fetchone())
        return Attempt(*row[2:]) if row is not None else None

    def mark_removed(self, jobs: list[tuple[str, str]]) -> None:
        """Record that `orvan clean` removed these jobs' files. The rows stay,
        for the history of runs; they no longer count as stored values."""
        now = time.time()
        self._write(lambda db: db.executemany(
            "UPDATE jobs SET removed_at=? WHERE asset_key=? AND partition=? AND removed_at IS NULL",
            [(now, key, part) for key, part in jobs],
        ))

    def run_jobs(self, run_id: int) -> list[tuple[str, str, str, str, float | None, float | None, str | None]]:
        """(asset key, partition, fingerprint, status, started, ended, error) of a run's jobs."""
        return [tuple(r) for r in self._read(lambda db: db.execute(
            "SELECT asset_key, partition, fingerprint, status, started_at, ended_at, error"
            " FROM jobs WHERE run_id=? ORDER BY id",
            (run_id,),
        ).fetchall())]


def recent_runs(db: Db, limit: int) -> list[RunSummary]:
    runs = db.execute(
        "SELECT id, started_at, ended_at, status FROM runs ORDER BY id DESC LIMIT ?", (limit,)
    ).fetchall()
    result = []
    for run_id, started, ended, status in runs:
        counts = {str(s): int(n) for s, n in
                  db.execute("SELECT status, COUNT(*) FROM jobs WHERE run_id=? GROUP BY status", (run_id,))}
        result.append(RunSummary(run_id, started, ended, status, counts))
    return result
