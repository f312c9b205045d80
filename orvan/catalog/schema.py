"""The catalog's schema, step by step, and the queries that depend on its
indexes.

Both back ends carry the same numbered steps: a step's number means the
same tables and columns in either, so that a catalog can be copied from one
to the other and an orvan knows whether it can read what it finds. A
catalog from a newer orvan (a step this one does not know) is refused.
"""

from __future__ import annotations

from ..states import ATTEMPTS
from .base import CatalogTooNew

# A row is an attempt at its job once it has one of these statuses; a row
# never goes back from them.
_ATTEMPTS = "'running', 'done', 'failed', 'interrupted'"
_UPSERT_LATEST = ("INSERT INTO latest (asset_key, partition, job_id) VALUES (NEW.asset_key, NEW.partition, NEW.id)"
                  " ON CONFLICT (asset_key, partition) DO UPDATE SET job_id = excluded.job_id"
                  " WHERE latest.job_id < excluded.job_id;")

# MIGRATIONS[i] takes a catalog from schema version i to i + 1 (PRAGMA
# user_version in SQLite). Append, never edit: an old catalog must always
# open. The same step for PostgreSQL is POSTGRES_MIGRATIONS[i].
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
""", f"""
-- The latest attempt at each job, kept by the catalog itself in the same
-- transaction as the row that becomes one: reading it costs the same with a
-- history of a million rows as with one run's.
CREATE TABLE IF NOT EXISTS latest (
    asset_key   TEXT NOT NULL,
    partition   TEXT NOT NULL,
    job_id      INTEGER NOT NULL,
    PRIMARY KEY (asset_key, partition)
) WITHOUT ROWID;
INSERT OR REPLACE INTO latest (asset_key, partition, job_id)
    SELECT asset_key, partition, MAX(id) FROM jobs WHERE status IN ({_ATTEMPTS}) GROUP BY asset_key, partition;
CREATE TRIGGER IF NOT EXISTS jobs_latest_on_insert AFTER INSERT ON jobs
    WHEN NEW.status IN ({_ATTEMPTS})
BEGIN
    {_UPSERT_LATEST}
END;
CREATE TRIGGER IF NOT EXISTS jobs_latest_on_update AFTER UPDATE OF status ON jobs
    WHEN NEW.status IN ({_ATTEMPTS}) AND OLD.status NOT IN ({_ATTEMPTS})
BEGIN
    {_UPSERT_LATEST}
END;
"""]
SCHEMA_VERSION = len(MIGRATIONS)

# The same steps for PostgreSQL: one schema (a namespace) per output
# location, its step recorded in `orvan_namespaces.version` (postgres.py).
# Times are seconds since the epoch, as in SQLite; ids come from identity
# columns, which a copy may also set.
POSTGRES_MIGRATIONS: list[str] = ["""
CREATE TABLE runs (
    id          BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    started_at  DOUBLE PRECISION NOT NULL,
    ended_at    DOUBLE PRECISION,
    status      TEXT NOT NULL,
    modules     TEXT NOT NULL,
    argv        TEXT NOT NULL
);
CREATE TABLE jobs (
    id          BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    run_id      BIGINT NOT NULL REFERENCES runs(id),
    asset_key   TEXT NOT NULL,
    partition   TEXT NOT NULL,
    fingerprint TEXT NOT NULL,
    status      TEXT NOT NULL,
    started_at  DOUBLE PRECISION,
    ended_at    DOUBLE PRECISION,
    error       TEXT
);
CREATE INDEX jobs_by_partition ON jobs (asset_key, partition, id);
CREATE INDEX jobs_by_run ON jobs (run_id);
""", """
ALTER TABLE jobs ADD COLUMN attempt INTEGER NOT NULL DEFAULT 1;
ALTER TABLE jobs ADD COLUMN pid INTEGER;
ALTER TABLE jobs ADD COLUMN pid_started TEXT;
ALTER TABLE jobs ADD COLUMN value_size BIGINT;
ALTER TABLE jobs ADD COLUMN value_hash TEXT;
ALTER TABLE jobs ADD COLUMN input_hashes TEXT;
ALTER TABLE jobs ADD COLUMN parts TEXT;
ALTER TABLE jobs ADD COLUMN removed_at DOUBLE PRECISION;
CREATE TABLE attempts (
    job_id      BIGINT NOT NULL REFERENCES jobs(id),
    attempt     INTEGER NOT NULL,
    status      TEXT NOT NULL,
    started_at  DOUBLE PRECISION,
    ended_at    DOUBLE PRECISION,
    error       TEXT,
    PRIMARY KEY (job_id, attempt)
);
""", f"""
CREATE INDEX jobs_latest_attempt ON jobs (asset_key, partition, id) WHERE status IN ({_ATTEMPTS});
""", """
CREATE TABLE ticks (
    id          BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    automation  TEXT NOT NULL,
    trigger     TEXT NOT NULL,
    due_at      DOUBLE PRECISION,
    started_at  DOUBLE PRECISION NOT NULL,
    ended_at    DOUBLE PRECISION,
    outcome     TEXT NOT NULL,
    reason      TEXT,
    run_id      BIGINT REFERENCES runs(id),
    partitions  TEXT
);
CREATE UNIQUE INDEX ticks_due ON ticks (automation, due_at) WHERE due_at IS NOT NULL;
CREATE INDEX ticks_by_automation ON ticks (automation, id);
CREATE INDEX ticks_by_run ON ticks (run_id) WHERE run_id IS NOT NULL;
CREATE TABLE automations (
    name        TEXT PRIMARY KEY,
    ticked_to   DOUBLE PRECISION NOT NULL
);
""", """
ALTER TABLE runs ADD COLUMN pid INTEGER;
ALTER TABLE runs ADD COLUMN pid_started TEXT;
""", f"""
CREATE TABLE latest (
    asset_key   TEXT NOT NULL,
    partition   TEXT NOT NULL,
    job_id      BIGINT NOT NULL,
    PRIMARY KEY (asset_key, partition)
);
INSERT INTO latest (asset_key, partition, job_id)
    SELECT asset_key, partition, MAX(id) FROM jobs WHERE status IN ({_ATTEMPTS}) GROUP BY asset_key, partition;
CREATE FUNCTION jobs_latest() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    {_UPSERT_LATEST}
    RETURN NULL;
END $$;
CREATE TRIGGER jobs_latest_on_insert AFTER INSERT ON jobs FOR EACH ROW
    WHEN (NEW.status IN ({_ATTEMPTS})) EXECUTE FUNCTION jobs_latest();
CREATE TRIGGER jobs_latest_on_update AFTER UPDATE OF status ON jobs FOR EACH ROW
    WHEN (NEW.status IN ({_ATTEMPTS}) AND OLD.status NOT IN ({_ATTEMPTS})) EXECUTE FUNCTION jobs_latest();
"""]
assert len(POSTGRES_MIGRATIONS) == len(MIGRATIONS)
ATTEMPT_STATUSES = _ATTEMPTS
assert ATTEMPT_STATUSES == ", ".join(f"'{state.value}'" for state in ATTEMPTS)
# The processes of the jobs of runs not ended. Runs first (CROSS JOIN keeps
# that order): the unfinished ones are few, the job rows of a history many.
ABANDONED_PROCESSES = ("SELECT j.pid, j.pid_started FROM runs r CROSS JOIN jobs j ON j.run_id = r.id"
                       " WHERE r.ended_at IS NULL AND j.pid IS NOT NULL AND j.pid_started IS NOT NULL")
# PostgreSQL plans the join the same way without being told.
POSTGRES_ABANDONED_PROCESSES = ("SELECT j.pid, j.pid_started FROM runs r JOIN jobs j ON j.run_id = r.id"
                                " WHERE r.ended_at IS NULL AND j.pid IS NOT NULL AND j.pid_started IS NOT NULL")
ABANDONED_HELPERS = "SELECT pid, pid_started FROM runs WHERE ended_at IS NULL AND pid_started IS NOT NULL"
# The newest attempt row of each job.
LATEST_ATTEMPTS = "SELECT job_id FROM latest"
# The same, from the job rows alone (as the step that made `latest` filled it).
LATEST_BY_GROUPING = f"SELECT MAX(id) FROM jobs WHERE status IN ({ATTEMPT_STATUSES}) GROUP BY asset_key, partition"


def check_version(version: int, where: str) -> None:
    """Refuse a catalog a newer orvan wrote: its rows may mean what this one
    cannot tell, and writing to it could break it for that orvan."""
    if version > SCHEMA_VERSION:
        raise CatalogTooNew(f"{where} was written by a newer orvan (schema {version}; this orvan knows"
                           f" schema {SCHEMA_VERSION} and older): upgrade orvan to use it")
