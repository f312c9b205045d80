"""The run catalog: `OUT/catalog.sqlite`, a record of every run and job.

Runs and settled groups of jobs are committed at once. The start and end of
each job are committed in small batches (`JobWrites`): at most a fraction of
a second after they happen, and never before the job's files are on disk
(the files of a batch's successes are synced just before it is committed),
so a runner killed or a machine losing power at any moment leaves a catalog
in which every job marked done is done; a job that ended in the last instant
may still read running or pending, and the next run redoes it.
A job's stored files are removed before it is run again, so "the latest
attempt succeeded" and "its files are what that attempt wrote" go together.
"""

from __future__ import annotations

import errno
import fcntl
import functools
import json
import os
import sqlite3
import threading
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from types import TracebackType
from typing import Any, Callable, Literal, TypeVar

from ..store.naming import CATALOG_FILE as CATALOG_FILE, LOCK_FILE as LOCK_FILE, quote
from ..errors import OrvanError
from ..states import ATTEMPTS, JobState

T = TypeVar("T")

# Short names for the states, used throughout the queries below.
PENDING, RUNNING, DONE, FRESH, FAILED, INTERRUPTED, NOT_RUN = (
    JobState.PENDING, JobState.RUNNING, JobState.DONE, JobState.FRESH,
    JobState.FAILED, JobState.INTERRUPTED, JobState.NOT_RUN,
)

# MIGRATIONS[i] takes a catalog from schema version i to i + 1 (PRAGMA
# user_version). Append, never edit: an old catalog must always open.
MIGRATIONS: list[str] = ["""
CREATE TABLE IF NOT EXISTS runs (
    id          INTEGER PRIMARY KEY,
    started_at  REAL NOT NULL,
    ended_at    REAL,
    status      TEXT NOT NULL,      -- running, ok, failed, interrupted, abandoned
    modules     TEXT NOT NULL,      -- JSON list of the modules inspected
    argv        TEXT NOT NULL       -- JSON list, for the record
);
CREATE TABLE IF NOT EXISTS jobs (
    id          INTEGER PRIMARY KEY,
    run_id      INTEGER NOT NULL REFERENCES runs(id),
    asset_key   TEXT NOT NULL,
    partition   TEXT NOT NULL,      -- "" or compact JSON {dimension: key}
    fingerprint TEXT NOT NULL,
    status      TEXT NOT NULL,
    started_at  REAL,
    ended_at    REAL,
    error       TEXT
);
CREATE INDEX IF NOT EXISTS jobs_by_partition ON jobs (asset_key, partition, id);
CREATE INDEX IF NOT EXISTS jobs_by_run ON jobs (run_id);
""", """
-- What a job's row needs to tell a fresh value from a damaged or outdated one,
-- to find the worker of a killed runner, and to explain itself. Rows written
-- before this step have NULL here and are simply stale once.
ALTER TABLE jobs ADD COLUMN attempt INTEGER NOT NULL DEFAULT 1;  -- the attempt the row's status describes
ALTER TABLE jobs ADD COLUMN pid INTEGER;           -- the job's process (group leader) while it runs
ALTER TABLE jobs ADD COLUMN pid_started TEXT;      -- that process's start time, field 22 of /proc/PID/stat
ALTER TABLE jobs ADD COLUMN value_size INTEGER;    -- bytes of the stored value after a success
ALTER TABLE jobs ADD COLUMN value_hash TEXT;       -- sha256 hex of the stored value's bytes
ALTER TABLE jobs ADD COLUMN input_hashes TEXT;     -- JSON: the value hashes of the inputs it read
ALTER TABLE jobs ADD COLUMN parts TEXT;            -- JSON: the parts its fingerprint was made of
ALTER TABLE jobs ADD COLUMN removed_at REAL;       -- when `orvan clean` removed its files
-- One row per attempt of a job within a run (retries), for the record.
CREATE TABLE IF NOT EXISTS attempts (
    job_id      INTEGER NOT NULL REFERENCES jobs(id),
    attempt     INTEGER NOT NULL,
    status      TEXT NOT NULL,
    started_at  REAL,
    ended_at    REAL,
    error       TEXT,
    PRIMARY KEY (job_id, attempt)
);
""", """
-- The latest attempt at each job without reading the rows of the runs that
-- found it fresh, which are most of a long history. Queries name these
-- statuses as written here (ATTEMPT_STATUSES), which is how SQLite knows
-- the index covers them.
CREATE INDEX IF NOT EXISTS jobs_latest_attempt ON jobs (asset_key, partition, id)
    WHERE status IN ('running', 'done', 'failed', 'interrupted');
""", """
-- orvan serve: each tick of an automation, and how far each automation's
-- schedule has been ticked (queries in ticks.py).
CREATE TABLE IF NOT EXISTS ticks (
    id          INTEGER PRIMARY KEY,
    automation  TEXT NOT NULL,
    trigger     TEXT NOT NULL,      -- cron, catch-up, on_change
    due_at      REAL,               -- the cron instant it stands for; NULL for on_change
    started_at  REAL NOT NULL,      -- by serve's clock
    ended_at    REAL,
    outcome     TEXT NOT NULL,      -- running, ran, failed, skipped, interrupted
    reason      TEXT,               -- why it skipped or failed
    run_id      INTEGER REFERENCES runs(id),
    partitions  TEXT                -- JSON list of the --partition specs it asked for
);
-- A cron instant is ticked once, whatever restarts in between.
CREATE UNIQUE INDEX IF NOT EXISTS ticks_due ON ticks (automation, due_at) WHERE due_at IS NOT NULL;
CREATE INDEX IF NOT EXISTS ticks_by_automation ON ticks (automation, id);
CREATE INDEX IF NOT EXISTS ticks_by_run ON ticks (run_id) WHERE run_id IS NOT NULL;
CREATE TABLE IF NOT EXISTS automations (
    name        TEXT PRIMARY KEY,
    ticked_to   REAL NOT NULL       -- every cron instant up to here has its tick, or came before serve ran it
);
""", """
-- A process of the run that is no job's (the fork server), stopped as a job's
-- is should it outlive a killed runner.
ALTER TABLE runs ADD COLUMN pid INTEGER;
ALTER TABLE runs ADD COLUMN pid_started TEXT;
"""]
SCHEMA_VERSION = len(MIGRATIONS)
ATTEMPT_STATUSES = "'running', 'done', 'failed', 'interrupted'"
assert ATTEMPT_STATUSES == ", ".join(f"'{state.value}'" for state in ATTEMPTS)
# The processes of the jobs of runs not ended. Runs first (CROSS JOIN keeps
# that order): the unfinished ones are few, the job rows of a history many.
ABANDONED_PROCESSES = ("SELECT j.pid, j.pid_started FROM runs r CROSS JOIN jobs j ON j.run_id = r.id"
                       " WHERE r.ended_at IS NULL AND j.pid IS NOT NULL AND j.pid_started IS NOT NULL")
ABANDONED_HELPERS = "SELECT pid, pid_started FROM runs WHERE ended_at IS NULL AND pid_started IS NOT NULL"
# The newest attempt row of each job, by the index above.
LATEST_ATTEMPTS = f"SELECT MAX(id) FROM jobs WHERE status IN ({ATTEMPT_STATUSES}) GROUP BY asset_key, partition"


# Seconds between the tries of a write that found the disk full (2 s in all).
FULL_DISK_PAUSES = (0.05, 0.15, 0.3, 0.5, 1.0)


class CatalogError(OrvanError):
    pass


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


def connect_read_only(path: str, timeout: float = 30, **options: Any) -> sqlite3.Connection:
    """A connection that can only read the catalog file at `path`. The path
    is escaped into the URI: a `#` or `?` in it would otherwise end the file
    name, and SQLite would open another file, or none."""
    db: sqlite3.Connection = sqlite3.connect(f"file:{quote(path)}?mode=ro", uri=True, timeout=timeout, **options)
    return db


@dataclass(frozen=True)
class RunSummary:
    id: int
    started_at: float
    ended_at: float | None
    status: str
    counts: dict[str, int]


class RunLock:
    """One run at a time per output directory; released by the OS if the
    runner dies, so a killed run never blocks the next."""

    def __init__(self, out_dir: str, wait: float = 1.0):
        os.makedirs(out_dir, exist_ok=True)
        self._fd = os.open(os.path.join(out_dir, LOCK_FILE), os.O_RDWR | os.O_CREAT, 0o644)
        # A little patience: `active` takes the lock for an instant.
        deadline = time.monotonic() + wait
        while True:
            try:
                fcntl.flock(self._fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return
            except BlockingIOError:
                if time.monotonic() >= deadline:
                    os.close(self._fd)
                    raise CatalogError(f"another orvan run is using {out_dir}") from None
                time.sleep(0.05)

    def release(self) -> None:
        os.close(self._fd)

    @staticmethod
    def active(out_dir: str) -> bool:
        """Whether a run holds the lock now (its runner is alive)."""
        try:
            fd = os.open(os.path.join(out_dir, LOCK_FILE), os.O_RDONLY)
        except FileNotFoundError:
            return False
        try:
            fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
            return False
        except BlockingIOError:
            return True
        finally:
            os.close(fd)


class CatalogWriteError(CatalogError):
    """A change could not be recorded (most often: the disk is full). The run
    must stop: what it does next could not be recorded either."""

    def __init__(self, message: str, *, out_of_space: bool):
        super().__init__(message)
        self.out_of_space = out_of_space


# Called when a write fails for want of space, to free what can be freed
# before the write is tried once more.
FreeSpace = Callable[[], None]


class Catalog:
    """Opened for writing by `orvan run` and `orvan clean` (which hold the
    RunLock), read-only by the readers (`create=False`), so that a reader can
    never change, create or lock out the catalog of a run going on."""

    def __init__(self, path: str, *, create: bool = True, readonly: bool | None = None):
        if not create and not os.path.exists(path):
            raise CatalogError(f"no catalog at {path} (nothing has been run there yet)")
        self.path = path
        # Opening one that must exist is reading it, unless said otherwise.
        self.readonly = not create if readonly is None else readonly
        self.on_full: FreeSpace | None = None
        try:
            self.db = self._open(not self.readonly)
        except sqlite3.DatabaseError as e:
            raise self.unreadable(e) from None
        self.writes = JobWrites(self._commit)
        # sqlite3 connections belong to the thread that opened them.
        self._thread = threading.get_ident()

    def _open(self, writable: bool) -> sqlite3.Connection:
        if not writable:
            db = self._connect(readonly=True)
            if db.execute("PRAGMA user_version").fetchone()[0] >= SCHEMA_VERSION:
                return db
            db.close()  # an older catalog: bring it up to date once, then read
            self._connect(readonly=False).close()
            return self._connect(readonly=True)
        return self._connect(readonly=False)

    def _connect(self, *, readonly: bool) -> sqlite3.Connection:
        # isolation_level=None: we open and commit transactions ourselves.
        if readonly:
            return connect_read_only(self.path, isolation_level=None)
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        db = sqlite3.connect(self.path, isolation_level=None, timeout=30)
        db.execute("PRAGMA journal_mode=WAL")
        # In WAL mode NORMAL is still crash-safe for a killed process; it only
        # skips the fsync per commit, which would dominate short jobs.
        db.execute("PRAGMA synchronous=NORMAL")
        version = db.execute("PRAGMA user_version").fetchone()[0]
        if version > SCHEMA_VERSION:
            raise CatalogError(f"{self.path} was written by a newer orvan (schema {version})")
        for step in range(version, SCHEMA_VERSION):
            db.executescript(f"BEGIN IMMEDIATE;{MIGRATIONS[step]}PRAGMA user_version={step + 1};COMMIT;")
        return db

    def unreadable(self, e: sqlite3.Error) -> CatalogError:
        """The one-line error for a catalog that cannot be read, saying what to do."""
        text = str(e)
        if "not a database" in text or "malformed" in text:
            return CatalogError(
                f"{self.path} is damaged ({text}): move it aside and run again; the stored values"
                " are kept, and each job is redone once as the new catalog knows none of them")
        if "disk I/O" in text and self.readonly:
            return CatalogError(
                f"cannot read {self.path} ({text}): its write-ahead log ({os.path.basename(self.path)}-wal)"
                " was probably removed while a run was writing it; it reads again once that run has ended")
        return CatalogError(f"cannot open {self.path}: {text}")

    @classmethod
    def in_dir(cls, out_dir: str, *, create: bool = True, readonly: bool | None = None) -> Catalog:
        return cls(os.path.join(out_dir, CATALOG_FILE), create=create, readonly=readonly)

    def close(self) -> None:
        self.writes.flush()
        self.db.close()

    def transaction(self) -> _Transaction:
        # Whatever is held back is older than what comes next: it goes first.
        self.writes.flush()
        return _Transaction(self.db)

    def _write(self, change: Callable[[sqlite3.Connection], T]) -> T:
        """Make `change` in one transaction, after whatever is held back."""
        self.writes.flush()
        return self._commit(change)

    def _commit(self, change: Callable[[sqlite3.Connection], T]) -> T:
        """Should the disk be full, free what the run can free and try again
        for a moment: the job that filled it is most likely failing, and its
        partial files go as it ends. A change that still fails is a
        CatalogWriteError, naming the file."""
        for pause in (*FULL_DISK_PAUSES, None):
            try:
                with _Transaction(self.db) as db:
                    return change(db)
            except sqlite3.Error as e:
                _rollback(self.db)
                full = _out_of_space(e, self.path)
                if pause is None or not full or self.on_full is None:
                    raise CatalogWriteError(f"cannot record the run in {self.path}: {e}", out_of_space=full) from None
                self.on_full()
                time.sleep(pause)
        raise AssertionError("unreachable")

    def _read(self, query: Callable[[sqlite3.Connection], T]) -> T:
        # A read sees every change made so far, held back or not.
        self.writes.flush()
        try:
            return query(self.db)
        except sqlite3.Error as e:
            raise self.unreadable(e) from None

    # -- runs --------------------------------------------------------------

    def close_abandoned_runs(self) -> int:
        """Mark runs whose runner died as abandoned, their running jobs as
        interrupted and their pending jobs as not run. Call with the RunLock
        held, after stopping any workers those jobs left behind."""
        return self.settle_runs("abandoned", "the runner stopped before the job finished")

    def settle_runs(self, status: str, error: str) -> int:
        """End every run not ended yet with `status`: its running jobs become
        interrupted with `error`, its pending jobs not run."""
        now = time.time()

        def change(db: sqlite3.Connection) -> int:
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
        Only meaningful with the RunLock held."""
        return [(int(pid), str(started)) for query in (ABANDONED_HELPERS, ABANDONED_PROCESSES)
                for pid, started in self._read(lambda db: db.execute(query).fetchall())]

    def useless_files(self, current_run: int | None) -> list[tuple[str, str]]:
        """(asset key, partition) of jobs whose latest attempt failed, was
        interrupted or belongs to a dead run: whatever they left on disk is
        never read again, and may go when space runs out. Not those the
        current run has yet to settle: one may be running already, its start
        still held back from the catalog (which is what just failed to be
        written), and writing its directory."""
        return [(str(k), str(p)) for k, p in self._read(lambda db: db.execute(
            f"SELECT asset_key, partition FROM jobs j WHERE id IN ({LATEST_ATTEMPTS})"
            " AND (status IN (?, ?) OR (status=? AND run_id IS NOT ?))"
            " AND NOT EXISTS (SELECT 1 FROM jobs c WHERE c.run_id IS ? AND c.asset_key = j.asset_key"
            " AND c.partition = j.partition AND c.status IN (?, ?))",
            (FAILED, INTERRUPTED, RUNNING, current_run, current_run, PENDING, RUNNING),
        ).fetchall())]

    def checkpoint(self) -> None:
        """Fold the write-ahead log into the database and truncate it, if it can."""
        try:
            self.db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        except sqlite3.Error:
            pass

    def start_run(self, modules: list[str], argv: list[str]) -> int:
        row = (time.time(), json.dumps(modules), json.dumps(argv))
        cur = self._write(lambda db: db.execute(
            "INSERT INTO runs (started_at, status, modules, argv) VALUES (?, 'running', ?, ?)", row))
        assert cur.lastrowid is not None
        return cur.lastrowid

    def finish_run(self, run_id: int, status: str) -> None:
        self._write(lambda db: db.execute(
            "UPDATE runs SET status=?, ended_at=? WHERE id=?", (status, time.time(), run_id)))

    def last_modules(self) -> list[str]:
        row = self._read(lambda db: db.execute("SELECT modules FROM runs ORDER BY id DESC LIMIT 1").fetchone())
        return list(json.loads(row[0])) if row else []

    def recent_runs(self, limit: int) -> list[RunSummary]:
        return self._read(lambda db: self._recent_runs(db, limit))

    @staticmethod
    def _recent_runs(db: sqlite3.Connection, limit: int) -> list[RunSummary]:
        runs = db.execute(
            "SELECT id, started_at, ended_at, status FROM runs ORDER BY id DESC LIMIT ?", (limit,)
        ).fetchall()
        result = []
        for run_id, started, ended, status in runs:
            counts = dict(
                db.execute("SELECT status, COUNT(*) FROM jobs WHERE run_id=? GROUP BY status", (run_id,))
            )
            result.append(RunSummary(run_id, started, ended, status, counts))
        return result

    # -- jobs --------------------------------------------------------------

    def add_jobs(self, run_id: int, rows: list[tuple[str, str, str, str, str | None]]) -> list[int]:
        """Record (asset key, partition, fingerprint, status, error) rows; their ids."""
        now = time.time()

        def change(db: sqlite3.Connection) -> list[int]:
            ids = []
            for key, partition, fp, status, error in rows:
                # Rows that are settled at once (fresh, not run) get their times now.
                settled = now if status in (FRESH, NOT_RUN) else None
                cur = db.execute(
                    "INSERT INTO jobs (run_id, asset_key, partition, fingerprint, status, started_at, ended_at, error)"
                    " VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                    (run_id, key, partition, fp, status, settled, settled, error),
                )
                assert cur.lastrowid is not None
                ids.append(cur.lastrowid)
            return ids
        return self._write(change)

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
            _Durable(row_id, tuple(durable)) if durable else None,
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
            "INSERT OR REPLACE INTO attempts (job_id, attempt, status, started_at, ended_at, error)"
            " VALUES (?, ?, ?, ?, ?, ?)",
            (row_id, attempt, status, started_at, now, error),
        ))

    def attempt_numbers(self) -> dict[tuple[str, str], int]:
        """(asset key, partition) -> how many attempts its latest job row took."""
        rows = self._read(lambda db: db.execute(
            f"SELECT asset_key, partition, attempt FROM jobs WHERE id IN ({LATEST_ATTEMPTS})"
        ).fetchall())
        return {(k, p): n for k, p, n in rows}

    def retries_by_run(self, run_ids: list[int]) -> dict[int, int]:
        """run id -> attempts beyond the first, over all its jobs."""
        marks = ",".join("?" * len(run_ids))
        rows = self._read(lambda db: db.execute(
            f"SELECT run_id, SUM(attempt - 1) FROM jobs WHERE run_id IN ({marks}) GROUP BY run_id", run_ids
        ).fetchall())
        return {run_id: int(n or 0) for run_id, n in rows}

    def job_attempts(self, row_id: int) -> list[sqlite3.Row]:
        return self._read(lambda db: db.execute(
            "SELECT attempt, status, started_at, ended_at, error FROM attempts WHERE job_id=? ORDER BY attempt",
            (row_id,),
        ).fetchall())

    def asset_keys(self) -> list[str]:
        """Every asset key ever recorded, sorted (read by its index)."""
        return [k for (k,) in self._read(lambda db: db.execute(
            "SELECT DISTINCT asset_key FROM jobs ORDER BY asset_key").fetchall())]

    def job_history(self, key: str, partition: str) -> list[tuple[int, str]]:
        """(run id, status) of every row of one job, oldest first."""
        return [(r, st) for r, st in self._read(lambda db: db.execute(
            "SELECT run_id, status FROM jobs WHERE asset_key=? AND partition=? ORDER BY id", (key, partition)
        ).fetchall())]

    _ATTEMPT_COLUMNS = ("asset_key, partition, fingerprint, status, ended_at, error, value_size, value_hash,"
                        " input_hashes, parts, run_id")

    @staticmethod
    def _attempt(row: tuple[Any, ...]) -> Attempt:
        return Attempt(*row[2:])

    def last_attempts(self) -> dict[tuple[str, str], Attempt]:
        """(asset key, partition) -> the latest attempt at materialising it."""
        self.writes.flush()
        rows = self._read(lambda db: db.execute(
            f"SELECT {self._ATTEMPT_COLUMNS} FROM jobs WHERE id IN ({LATEST_ATTEMPTS}) AND removed_at IS NULL"
        ).fetchall())
        return {(row[0], row[1]): self._attempt(row) for row in rows}

    def latest(self) -> tuple[dict[tuple[str, str], Attempt], dict[tuple[str, str], int]]:
        """`last_attempts()` and `attempt_numbers()`, from one query."""
        self.writes.flush()
        rows = self._read(lambda db: db.execute(
            f"SELECT {self._ATTEMPT_COLUMNS}, attempt, removed_at IS NULL FROM jobs WHERE id IN ({LATEST_ATTEMPTS})"
        ).fetchall())
        attempts = {(row[0], row[1]): Attempt(*row[2:11]) for row in rows if row[12]}
        return attempts, {(row[0], row[1]): row[11] for row in rows}

    def last_attempt(self, key: str, partition: str) -> Attempt | None:
        self.writes.flush()
        marks = ",".join("?" * len(ATTEMPTS))
        row = self._read(lambda db: db.execute(
            f"SELECT {self._ATTEMPT_COLUMNS} FROM jobs WHERE asset_key=? AND partition=? AND status IN ({marks})"
            " AND removed_at IS NULL ORDER BY id DESC LIMIT 1",
            (key, partition, *ATTEMPTS),
        ).fetchone())
        return self._attempt(row) if row is not None else None

    def mark_removed(self, jobs: list[tuple[str, str]]) -> None:
        """Record that `orvan clean` removed these jobs' files. The rows stay,
        for the history of runs; they no longer count as stored values."""
        now = time.time()
        self._write(lambda db: db.executemany(
            "UPDATE jobs SET removed_at=? WHERE asset_key=? AND partition=? AND removed_at IS NULL",
            [(now, key, part) for key, part in jobs],
        ))

    def run_jobs(self, run_id: int) -> list[sqlite3.Row]:
        self.writes.flush()
        return self._read(lambda db: db.execute(
            "SELECT asset_key, partition, fingerprint, status, started_at, ended_at, error"
            " FROM jobs WHERE run_id=? ORDER BY id",
            (run_id,),
        ).fetchall())


def _out_of_space(e: sqlite3.Error, path: str) -> bool:
    code = getattr(e, "sqlite_errorcode", None)
    if code is None:
        return "full" in str(e)
    if code & 0xFF == sqlite3.SQLITE_FULL:
        return True
    # A failed write to the log or its index comes as an I/O error.
    if code & 0xFF != sqlite3.SQLITE_IOERR:
        return False
    try:
        st = os.statvfs(os.path.dirname(path))
    except OSError:
        return False
    return st.f_bavail * st.f_frsize < 64 * 1024


def _rollback(db: sqlite3.Connection) -> None:
    # A failed COMMIT can leave the transaction open; the next BEGIN must work.
    try:
        if db.in_transaction:
            db.execute("ROLLBACK")
    except sqlite3.Error:
        pass


@functools.cache
def _syncfs() -> Callable[[int], int] | None:
    # Imported here, as below: a run that finds everything fresh never syncs.
    import ctypes

    try:
        call = ctypes.CDLL(None, use_errno=True).syncfs
    except (OSError, AttributeError):
        return None
    call.argtypes = [ctypes.c_int]
    call.restype = ctypes.c_int
    return call


# statfs f_type of FUSE filesystems: their syncfs returns success without
# asking the file server to sync (only an fsync reaches it).
FUSE_SUPER_MAGIC = 0x65735546


def _filesystem_type(fd: int) -> int | None:
    import ctypes

    buf = ctypes.create_string_buffer(512)  # larger than any struct statfs
    try:
        if ctypes.CDLL(None).fstatfs(fd, buf) != 0:
            return None
    except (OSError, AttributeError):
        return None
    # f_type comes first, a long on the 64-bit Linux ABIs.
    return ctypes.c_long.from_buffer(buf).value & 0xFFFFFFFF


def _synced_filesystem(directory: str, syncfs: Callable[[int], int]) -> bool:
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        return _filesystem_type(fd) != FUSE_SUPER_MAGIC and syncfs(fd) == 0
    finally:
        os.close(fd)


def _fsync(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def make_durable(files: Sequence[str]) -> None:
    """Get these files, and their directories' entries for them, onto the
    disk; OSError if that may not have happened.

    One syncfs per filesystem costs about what a single fsync does, however
    many files. Where it is missing or fails, each file and then each
    directory is fsynced: syncfs also reports errors in files that are not
    ours, and the fsyncs say whether ours are safe."""
    directories = list(dict.fromkeys(os.path.dirname(f) for f in files))
    syncfs = _syncfs()
    if syncfs is not None:
        try:
            one_per_device: dict[int, str] = {}
            for d in directories:
                one_per_device.setdefault(os.stat(d).st_dev, d)
            if all([_synced_filesystem(d, syncfs) for d in one_per_device.values()]):
                return
        except OSError:
            pass
    for path in (*dict.fromkeys(files), *directories):
        _fsync(path)


# Makes a batch's files durable; replaceable, to test what a failure does.
Sync = Callable[[Sequence[str]], None]


@dataclass(frozen=True)
class _Durable:
    """The files a held done change waits for, and the row it settles."""
    row_id: int
    files: tuple[str, ...]


_Change = tuple[str, tuple[object, ...], "_Durable | None"]


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

    def __init__(self, commit: Callable[[Callable[[sqlite3.Connection], None]], None], sync: Sync | None = None):
        self._commit = commit
        self.sync = sync if sync is not None else make_durable
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

    def add(self, sql: str, params: tuple[object, ...], durable: _Durable | None = None) -> None:
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
        try:
            if sealed:
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


def _changes(held: list[_Change]) -> Callable[[sqlite3.Connection], None]:
    def write(db: sqlite3.Connection) -> None:
        for sql, params, _ in held:
            db.execute(sql, params)
    return write


def _describe(e: OSError) -> str:
    text = e.strerror or str(e)
    return f"{text}: {e.filename}" if e.filename else text


class _Transaction:
    def __init__(self, db: sqlite3.Connection):
        self.db = db

    def __enter__(self) -> sqlite3.Connection:
        # IMMEDIATE takes the write lock up front, so a reader (orvan status
        # in another shell) never turns our commit into a busy error halfway.
        self.db.execute("BEGIN IMMEDIATE")
        return self.db

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> Literal[False]:
        if exc_type is None:
            self.db.execute("COMMIT")
        else:
            _rollback(self.db)
        return False
