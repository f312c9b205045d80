"""A catalog in PostgreSQL, shared by several runners and readers.

Each output location is a namespace of its own in the database: a schema
named after a hash of the namespace's name (`HOST:/abs/path/OUT`), listed in
`orvan_namespaces` with its step of the schema. A run holds the location by
a session-level advisory lock keyed by the namespace, on the connection it
records the run with: the server frees it when that connection dies, so a
runner killed with -9 never leaves the location locked.

Readers use plain autocommit statements; writers short transactions. A
server that goes away in the middle of a run is waited for (RECONNECT_SECONDS);
back, the runner takes its lock again and goes on; not back, or its lock
taken meanwhile, the run stops as for any write that cannot be recorded.
"""

from __future__ import annotations

import functools
import hashlib
import time
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, Callable, TypeVar

from .base import CatalogError, CatalogMissing, CatalogWriteError, Db
from .records import Catalog
from .urls import is_url as is_url, masked
from .schema import (LATEST_BY_GROUPING, POSTGRES_ABANDONED_PROCESSES, POSTGRES_MIGRATIONS, SCHEMA_VERSION,
                     check_version)

if TYPE_CHECKING:
    import psycopg

T = TypeVar("T")

EXTRA = "pip install 'orvan[postgres]'"
# How long a runner waits for a server that went away before it stops.
RECONNECT_SECONDS = 30.0
# How many times one change is tried on a new connection.
RECONNECTS = 4
CONNECT_TIMEOUT = 10
REGISTRY = """CREATE TABLE IF NOT EXISTS public.orvan_namespaces (
    name        TEXT PRIMARY KEY,   -- HOST:/abs/path/OUT
    schema_name TEXT NOT NULL UNIQUE,
    version     INTEGER NOT NULL    -- the step of the schema its tables are at
)"""
# Held for a moment while a namespace is created or brought up to date.
_REGISTRY_KEY = 0x6F7276616E  # "orvan"


def driver() -> Any:
    try:
        import psycopg
    except ImportError:
        raise CatalogError(f"a postgresql:// catalog needs the psycopg driver: {EXTRA}") from None
    return psycopg


def schema_of(namespace: str) -> str:
    """A schema name for any namespace: PostgreSQL's names stop at 63 bytes."""
    return "orvan_" + hashlib.sha256(namespace.encode()).hexdigest()[:24]


def lock_key(namespace: str) -> int:
    """The advisory lock of a namespace's runs: a signed 64-bit key."""
    return int.from_bytes(hashlib.sha256(b"orvan run " + namespace.encode()).digest()[:8], "big", signed=True)


@functools.lru_cache(maxsize=512)
def _marks(sql: str) -> str:
    # Queries are written with `?`; none holds a `%` or a `?` of its own.
    return sql.replace("?", "%s")


class PgDb:
    """A psycopg connection as the queries use it."""

    def __init__(self, conn: psycopg.Connection[Any]):
        self.conn = conn

    def execute(self, sql: str, params: Any = (), /) -> Any:
        return self.conn.execute(_marks(sql), params or None)

    def executemany(self, sql: str, rows: Any, /) -> Any:
        cur = self.conn.cursor()
        cur.executemany(_marks(sql), list(rows))
        return cur


def connect(url: str) -> psycopg.Connection[Any]:
    pg = driver()
    try:
        return _open(pg, url)
    except pg.Error as e:
        raise CatalogError(f"cannot connect to the catalog at {masked(url)}: {_first_line(e)}") from None


# Every join the catalog makes starts from a few rows (each job's latest
# attempt, the runs not ended) and walks an index into the job rows. Left to
# its statistics the planner may hash the whole history instead (a copied
# catalog not analysed yet, a history far larger than the present), which
# costs what the `latest` table is there to avoid.
_PLANNER = "-c enable_hashjoin=off -c enable_mergejoin=off"


def _open(pg: Any, url: str) -> psycopg.Connection[Any]:
    conn: psycopg.Connection[Any] = pg.connect(url, autocommit=True, connect_timeout=CONNECT_TIMEOUT,
                                               application_name="orvan", options=_PLANNER)
    return conn


def _one(conn: psycopg.Connection[Any], sql: str, params: Any = None) -> Any:
    row = conn.execute(sql, params).fetchone()
    assert row is not None
    return row[0]


def _first_line(e: BaseException) -> str:
    return (str(e).strip().splitlines() or [type(e).__name__])[0]


def find_schema(conn: psycopg.Connection[Any], namespace: str) -> tuple[str, int] | None:
    """(schema, step) of a namespace, or None if nothing was recorded there."""
    psycopg = driver()
    try:
        row = conn.execute("SELECT schema_name, version FROM public.orvan_namespaces WHERE name = %s",
                           (namespace,)).fetchone()
    except psycopg.errors.UndefinedTable:
        return None
    return (str(row[0]), int(row[1])) if row else None


def enter(conn: psycopg.Connection[Any], url: str, namespace: str, *, create: bool) -> str | None:
    """Point the connection at the namespace's schema, created or brought up
    to this orvan's step first; None if it does not exist and `create` is
    false. A namespace from a newer orvan is refused."""
    found = find_schema(conn, namespace)
    if found is not None:
        check_version(found[1], f"the catalog {namespace!r} at {masked(url)}")
    if found is None and not create:
        return None
    if found is None or found[1] < SCHEMA_VERSION:
        found = _migrate(conn, url, namespace)
    conn.execute("SELECT set_config('search_path', %s, false)", (found[0],))
    return found[0]


def _migrate(conn: psycopg.Connection[Any], url: str, namespace: str) -> tuple[str, int]:
    with conn.transaction():
        conn.execute("SELECT pg_advisory_xact_lock(%s)", (_REGISTRY_KEY,))
        conn.execute(REGISTRY)
        found = find_schema(conn, namespace)
        if found is None:
            found = (schema_of(namespace), 0)
            conn.execute(f'CREATE SCHEMA IF NOT EXISTS "{found[0]}"')
            conn.execute("INSERT INTO public.orvan_namespaces (name, schema_name, version) VALUES (%s, %s, 0)",
                         (namespace, found[0]))
        schema, version = found
        check_version(version, f"the catalog {namespace!r} at {masked(url)}")
        conn.execute("SELECT set_config('search_path', %s, true)", (schema,))
        for step in range(version, SCHEMA_VERSION):
            conn.execute(POSTGRES_MIGRATIONS[step])
        conn.execute("UPDATE public.orvan_namespaces SET version = %s WHERE name = %s", (SCHEMA_VERSION, namespace))
    return schema, SCHEMA_VERSION


class Session:
    """The connection a runner records its run on, and holds its lock by.
    Shared by the run lock and the catalog the same process opens."""

    def __init__(self, url: str, namespace: str, *, create: bool):
        self.url = url
        self.namespace = namespace
        # Commits wait for the server's log flush (its default): a batch
        # acknowledged is a batch a crash of the server keeps, so a job
        # recorded done is never run again by the next run.
        self.conn = connect(url)
        try:
            self.schema = enter(self.conn, url, namespace, create=create)
        except BaseException:
            self.conn.close()
            raise
        self.locked = False
        self.users = 0

    def try_lock(self) -> bool:
        got = bool(_one(self.conn, "SELECT pg_try_advisory_lock(%s)", (lock_key(self.namespace),)))
        self.locked = self.locked or got
        return got

    def unlock(self) -> None:
        if self.locked:
            self.locked = False
            try:
                self.conn.execute("SELECT pg_advisory_unlock(%s)", (lock_key(self.namespace),))
            except driver().Error:
                pass  # the connection is gone, and the lock with it

    def reconnect(self, limit: float = RECONNECT_SECONDS) -> None:
        """A new connection to a server that went away, within `limit`
        seconds, holding the lock again if it held it. CatalogWriteError if
        the server does not come back in time or another run took the
        location meanwhile."""
        psycopg = driver()
        deadline = time.monotonic() + limit
        while True:
            try:
                conn = _open(psycopg, self.url)
                break
            except psycopg.Error as e:
                if time.monotonic() >= deadline:
                    raise CatalogWriteError(f"the catalog at {masked(self.url)} did not come back within"
                                            f" {limit:.0f} s: {_first_line(e)}", out_of_space=False) from None
                time.sleep(0.5)
        try:
            self.conn.close()
        except psycopg.Error:
            pass
        self.conn = conn
        conn.execute("SELECT set_config('search_path', %s, false)", (self.schema,))
        if self.locked:
            self.locked = False
            if not self.try_lock():
                raise CatalogWriteError(f"the run lost its hold on {self.namespace} while the catalog was away,"
                                        " and another run took it", out_of_space=False)

    def close(self) -> None:
        self.users -= 1
        if self.users <= 0 and not self.locked:
            try:
                self.conn.close()
            except driver().Error:
                pass
            _SESSIONS.pop((self.url, self.namespace), None)


# The session of a location this process holds the lock of: the catalog it
# then opens for writing records on the same connection.
_SESSIONS: dict[tuple[str, str], Session] = {}


class PgLock:
    """One run at a time per namespace, by a session-level advisory lock."""

    def __init__(self, url: str, namespace: str, out_dir: str, wait: float = 1.0):
        session = Session(url, namespace, create=True)
        deadline = time.monotonic() + wait
        while not session.try_lock():
            if time.monotonic() >= deadline:
                session.close()
                raise CatalogError(f"another orvan run is using {out_dir}")
            time.sleep(0.05)
        session.users += 1
        _SESSIONS[(url, namespace)] = self.session = session

    def release(self) -> None:
        self.session.unlock()
        self.session.close()


def lock_active(url: str, namespace: str) -> bool:
    """Whether a run holds the namespace now (its runner's connection is alive)."""
    key = lock_key(namespace)
    conn = connect(url)
    try:
        return bool(_one(
            conn, "SELECT EXISTS (SELECT 1 FROM pg_locks WHERE locktype = 'advisory' AND granted AND objsubid = 1"
            " AND database = (SELECT oid FROM pg_database WHERE datname = current_database())"
            " AND classid::bigint = %s AND objid::bigint = %s)",
            ((key >> 32) & 0xFFFFFFFF, key & 0xFFFFFFFF)))
    finally:
        conn.close()


def _lost(e: BaseException) -> bool:
    """Whether an error means the connection is gone (the server restarted)."""
    psycopg = driver()
    return isinstance(e, psycopg.OperationalError) or getattr(e, "sqlstate", "") in ("57P01", "57P02", "57P03")


class PostgresCatalog(Catalog):
    abandoned_processes_query = POSTGRES_ABANDONED_PROCESSES

    def __init__(self, url: str, namespace: str, *, create: bool = True, readonly: bool | None = None):
        self.url = url
        self.namespace = namespace
        self.where = f"{namespace} at {masked(url)}"
        self.readonly = not create if readonly is None else readonly
        session = _SESSIONS.get((url, namespace)) if not self.readonly else None
        self.session = session if session is not None else Session(url, namespace, create=create)
        if self.session.schema is None:
            self.session.close()
            raise CatalogMissing(f"no catalog {namespace!r} at {masked(url)} (nothing has been run there yet)")
        self.session.users += 1
        self.db = PgDb(self.session.conn)
        super().__init__()

    def _close(self) -> None:
        self.session.close()

    @contextmanager
    def _transaction(self) -> Iterator[Db]:
        with self.session.conn.transaction():
            yield PgDb(self.session.conn)

    def _commit(self, change: Callable[[Db], T]) -> T:
        """A change the server lost with its connection is made again on a
        new one (it was never committed); one lost while it was being
        committed may have been, and is not made twice: the run stops."""
        psycopg = driver()
        for _ in range(RECONNECTS):
            committing = False
            conn = self.session.conn
            try:
                conn.execute("BEGIN")
                result = change(PgDb(conn))
                committing = True
                conn.execute("COMMIT")
                return result
            except psycopg.Error as e:
                lost = _lost(e)
                if not lost:
                    _rollback(conn)
                if not lost or committing:
                    raise CatalogWriteError(f"cannot record the run in {self.where}: {_first_line(e)}",
                                            out_of_space=False) from None
            except BaseException:
                _rollback(conn)
                raise
            self.session.reconnect()
            self.db = PgDb(self.session.conn)
        raise CatalogWriteError(f"cannot record the run in {self.where}: the server keeps going away",
                                out_of_space=False)

    def _commit_batch(self, change: Callable[[Db], None]) -> None:
        # Sent without waiting for each statement's answer: a batch costs one
        # round trip to the server, not one per job change. Its commit does
        # wait for the server's log: SQLite's synchronous=NORMAL loses nothing
        # when a process dies, and neither may a server that crashes lose a
        # job it acknowledged as done (the next run would do it again).
        def piped(db: Db) -> None:
            with self.session.conn.pipeline():
                change(db)
        self._commit(piped)

    def _query(self, query: Callable[[Db], T]) -> T:
        psycopg = driver()
        try:
            return query(PgDb(self.session.conn))
        except psycopg.Error as e:
            if not _lost(e) or self.readonly:
                raise CatalogError(f"cannot read the catalog {self.where}: {_first_line(e)}") from None
        self.session.reconnect()
        self.db = PgDb(self.session.conn)
        return query(self.db)

    def bulk_insert(self, db: Db, table: str, columns: str, marks: str, rows: list[tuple[Any, ...]]) -> None:
        with self.session.conn.cursor().copy(f"COPY {table} ({columns}) FROM STDIN") as copy:
            for row in rows:
                copy.write_row(row)

    def copy_starts(self, db: Db) -> None:
        # Filled once at the end rather than updated for every row copied.
        db.execute("ALTER TABLE jobs DISABLE TRIGGER USER")

    def copy_ends(self, db: Db) -> None:
        db.execute(f"INSERT INTO latest (asset_key, partition, job_id) SELECT asset_key, partition, id FROM jobs"
                   f" WHERE id IN ({LATEST_BY_GROUPING})")
        db.execute("ALTER TABLE jobs ENABLE TRIGGER USER")
        for table in ("runs", "jobs", "ticks"):
            db.execute(f"SELECT setval(pg_get_serial_sequence('{table}', 'id'), COALESCE(MAX(id), 0) + 1, false)"
                       f" FROM {table}")
        db.execute("ANALYZE")

    def _insert_jobs(self, db: Db, values: list[tuple[Any, ...]]) -> list[int]:
        """Many rows at once: their ids from the sequence, the rows by COPY
        (a statement per row costs a round trip to the server each)."""
        if len(values) < 16:
            return super()._insert_jobs(db, values)
        conn = self.session.conn
        ids = sorted(int(r[0]) for r in conn.execute(
            "SELECT nextval(pg_get_serial_sequence('jobs', 'id')) FROM generate_series(1, %s)", (len(values),)))
        with conn.cursor().copy("COPY jobs (id, run_id, asset_key, partition, fingerprint, status, started_at,"
                                " ended_at, error) FROM STDIN") as copy:
            for row_id, row in zip(ids, values):
                copy.write_row((row_id, *row))
        return ids


def _rollback(conn: psycopg.Connection[Any]) -> None:
    try:
        conn.execute("ROLLBACK")
    except driver().Error:
        pass


def views_connection(url: str, namespace: str) -> psycopg.Connection[Any] | None:
    """An autocommit connection reading the namespace, or None if it does
    not exist; one from a newer orvan is refused."""
    conn = connect(url)
    try:
        if enter(conn, url, namespace, create=False) is None:
            conn.close()
            return None
    except BaseException:
        conn.close()
        raise
    return conn


class ChangeWatch:
    """A token that changes whenever anyone commits to the database: the
    next transaction id the server will hand out (reads take none)."""

    def __init__(self, url: str, namespace: str):
        self.url = url
        self.namespace = namespace
        self._conn: psycopg.Connection[Any] | None = None

    def token(self) -> str:
        try:
            if self._conn is None:
                self._conn = views_connection(self.url, self.namespace)
                if self._conn is None:
                    return "none"
            return f"pg:{_one(self._conn, 'SELECT pg_snapshot_xmax(pg_current_snapshot())::text')}"
        except (CatalogError, driver().Error):
            self.close()
            return "unreadable"

    def close(self) -> None:
        if self._conn is not None:
            try:
                self._conn.close()
            except driver().Error:
                pass
            self._conn = None


def namespace_list(url: str) -> list[str]:
    conn = connect(url)
    try:
        return [str(r[0]) for r in conn.execute("SELECT name FROM public.orvan_namespaces ORDER BY name")]
    except driver().errors.UndefinedTable:
        return []
    finally:
        conn.close()
