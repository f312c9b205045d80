"""The embedded catalog: `OUT/catalog.sqlite`, a file beside the values it
records, locked by `OUT/.lock`."""

from __future__ import annotations

import fcntl
import os
import sqlite3
import time
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, Callable, TypeVar

from ..store.naming import CATALOG_FILE as CATALOG_FILE, LOCK_FILE as LOCK_FILE, quote
from .base import CatalogError, CatalogMissing, CatalogWriteError, Db
from .records import Catalog
from .schema import ABANDONED_PROCESSES, MIGRATIONS, SCHEMA_VERSION, check_version

T = TypeVar("T")

# Seconds between the tries of a write that found the disk full (2 s in all).
FULL_DISK_PAUSES = (0.05, 0.15, 0.3, 0.5, 1.0)


def connect_read_only(path: str, timeout: float = 30, **options: Any) -> sqlite3.Connection:
    """A connection that can only read the catalog file at `path`. The path
    is escaped into the URI: a `#` or `?` in it would otherwise end the file
    name, and SQLite would open another file, or none."""
    db: sqlite3.Connection = sqlite3.connect(f"file:{quote(path)}?mode=ro", uri=True, timeout=timeout, **options)
    return db


class FileLock:
    """One run at a time per output directory, by `flock` on `OUT/.lock`:
    the OS releases it when the runner dies."""

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


def _connect_writable(path: str) -> sqlite3.Connection:
    # isolation_level=None: we open and commit transactions ourselves.
    os.makedirs(os.path.dirname(path), exist_ok=True)
    db = sqlite3.connect(path, isolation_level=None, timeout=30)
    db.execute("PRAGMA journal_mode=WAL")
    # In WAL mode NORMAL is still crash-safe for a killed process; it only
    # skips the fsync per commit, which would dominate short jobs.
    db.execute("PRAGMA synchronous=NORMAL")
    version = db.execute("PRAGMA user_version").fetchone()[0]
    try:
        check_version(version, path)
    except CatalogError:
        db.close()
        raise
    for step in range(version, SCHEMA_VERSION):
        db.executescript(f"BEGIN IMMEDIATE;{MIGRATIONS[step]}PRAGMA user_version={step + 1};COMMIT;")
    return db


def open_sqlite(path: str, *, writable: bool, **options: Any) -> sqlite3.Connection:
    """A connection to the catalog at `path`, brought up to this orvan's
    schema first: an older catalog is migrated once (by a writer, even
    when only reading), a newer one refused."""
    if writable:
        return _connect_writable(path)
    db = connect_read_only(path, isolation_level=None, **options)
    version = db.execute("PRAGMA user_version").fetchone()[0]
    if version == SCHEMA_VERSION:
        return db
    db.close()
    check_version(version, path)
    _connect_writable(path).close()
    return connect_read_only(path, isolation_level=None, **options)


def unreadable(path: str, e: sqlite3.Error, readonly: bool) -> CatalogError:
    """The one-line error for a catalog that cannot be read, saying what to do."""
    text = str(e)
    if "not a database" in text or "malformed" in text:
        return CatalogError(
            f"{path} is damaged ({text}): move it aside and run again; the stored values"
            " are kept, and each job is redone once as the new catalog knows none of them")
    if "disk I/O" in text and readonly:
        return CatalogError(
            f"cannot read {path} ({text}): its write-ahead log ({os.path.basename(path)}-wal)"
            " was probably removed while a run was writing it; it reads again once that run has ended")
    return CatalogError(f"cannot open {path}: {text}")


class SqliteCatalog(Catalog):
    abandoned_processes_query = ABANDONED_PROCESSES

    def __init__(self, path: str, *, create: bool = True, readonly: bool | None = None):
        if not create and not os.path.exists(path):
            raise CatalogMissing(f"no catalog at {path} (nothing has been run there yet)")
        self.path = self.where = path
        # Opening one that must exist is reading it, unless said otherwise.
        self.readonly = not create if readonly is None else readonly
        try:
            self.connection = open_sqlite(path, writable=not self.readonly)
        except sqlite3.DatabaseError as e:
            raise unreadable(path, e, self.readonly) from None
        self.db = self.connection
        super().__init__()

    def _close(self) -> None:
        self.connection.close()

    @contextmanager
    def _transaction(self) -> Iterator[Db]:
        # IMMEDIATE takes the write lock up front, so a reader (orvan status
        # in another shell) never turns our commit into a busy error halfway.
        self.connection.execute("BEGIN IMMEDIATE")
        try:
            yield self.connection
        except BaseException:
            _rollback(self.connection)
            raise
        self.connection.execute("COMMIT")

    def _commit(self, change: Callable[[Db], T]) -> T:
        """Should the disk be full, free what the run can free and try again
        for a moment: the job that filled it is most likely failing, and its
        partial files go as it ends. A change that still fails is a
        CatalogWriteError, naming the file."""
        for pause in (*FULL_DISK_PAUSES, None):
            try:
                with self._transaction() as db:
                    return change(db)
            except sqlite3.Error as e:
                _rollback(self.connection)
                full = _out_of_space(e, self.path)
                if pause is None or not full or self.on_full is None:
                    raise CatalogWriteError(f"cannot record the run in {self.path}: {e}", out_of_space=full) from None
                self.on_full()
                time.sleep(pause)
        raise AssertionError("unreachable")

    def _query(self, query: Callable[[Db], T]) -> T:
        try:
            return query(self.connection)
        except sqlite3.Error as e:
            raise unreadable(self.path, e, self.readonly) from None

    def checkpoint(self) -> None:
        """Fold the write-ahead log into the database and truncate it, if it can."""
        try:
            self.connection.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        except sqlite3.Error:
            pass


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


class ChangeWatch:
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
                self._db = open_sqlite(self.path, writable=False, timeout=5, check_same_thread=False)
                self._ino = ino
            return f"{ino}:{self._db.execute('PRAGMA data_version').fetchone()[0]}"
        except (CatalogError, sqlite3.Error):
            self.close()
            return "unreadable"

    def close(self) -> None:
        if self._db is not None:
            self._db.close()
            self._db = None
