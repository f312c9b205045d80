"""Which catalog a command reads or writes, and how to open it, lock it and
tell whether a run holds it: everything a command knows of a catalog
besides its records.

By default an output directory's catalog is the file `OUT/catalog.sqlite`.
A PostgreSQL URL (`--catalog`, `ORVAN_CATALOG`, `[tool.orvan] catalog`,
chosen once by the command line with `choose`) puts it in a database that
several output locations share, each a namespace named `HOST:/abs/OUT`.
"""

from __future__ import annotations

import os
import socket
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, Protocol

from ..store.naming import CATALOG_FILE
from .base import CatalogError, CatalogMissing, RunLock
from .records import Catalog
from .views import Views


class ChangeWatch(Protocol):
    def token(self) -> str: ...

    def close(self) -> None: ...


# The catalog URL the command line chose; None: each output directory's file.
_chosen: str | None = None


def choose(url: str | None) -> None:
    global _chosen
    _chosen = url or None


def namespace_of(out_dir: str) -> str:
    """The name of an output location in a shared catalog: this host's name
    and the directory's absolute path (two machines' `./.orvan` differ)."""
    return f"{socket.gethostname()}:{os.path.abspath(out_dir)}"


@dataclass(frozen=True)
class Location:
    """The catalog of one output directory: `OUT/catalog.sqlite`, or its
    namespace in the PostgreSQL database at `url`."""

    out_dir: str
    url: str | None = None
    name: str | None = None  # the namespace; by default namespace_of(out_dir)

    @property
    def path(self) -> str:
        return os.path.join(self.out_dir, CATALOG_FILE)

    @property
    def namespace(self) -> str:
        return self.name or namespace_of(self.out_dir)

    @property
    def shared(self) -> bool:
        return self.url is not None

    def describe(self) -> str:
        """Where it is, as messages show it (never with a password)."""
        if self.url is None:
            return self.path
        from .urls import masked

        return f"{self.namespace} at {masked(self.url)}"

    def exists(self) -> bool:
        if self.url is None:
            return os.path.exists(self.path)
        from .postgres import connect, find_schema

        conn = connect(self.url)
        try:
            return find_schema(conn, self.namespace) is not None
        finally:
            conn.close()

    def open(self, *, create: bool = True, readonly: bool | None = None) -> Catalog:
        if self.url is None:
            from .sqlite import SqliteCatalog

            return SqliteCatalog(self.path, create=create, readonly=readonly)
        from .postgres import PostgresCatalog

        return PostgresCatalog(self.url, self.namespace, create=create, readonly=readonly)

    def open_existing(self, *, readonly: bool | None = None) -> Catalog | None:
        """The catalog to read, or None when nothing was recorded there yet."""
        try:
            return self.open(create=False, readonly=readonly)
        except CatalogMissing:
            return None

    def lock(self, wait: float = 1.0) -> RunLock:
        """Hold the location for a run; CatalogError when another run does."""
        if self.url is None:
            from .sqlite import FileLock

            return FileLock(self.out_dir, wait)
        from .postgres import PgLock

        return PgLock(self.url, self.namespace, self.out_dir, wait)

    def active(self) -> bool:
        """Whether a run holds the location now (its runner is alive)."""
        if self.url is None:
            from .sqlite import FileLock

            return FileLock.active(self.out_dir)
        from .postgres import lock_active

        return lock_active(self.url, self.namespace)

    def sharing(self) -> list[Location]:
        """Every location whose catalog is in the same database, this one
        first (only this one for a catalog of its own)."""
        if self.url is None:
            return [self]
        from .postgres import namespace_list

        others = [name for name in namespace_list(self.url) if name != self.namespace]
        return [self] + [Location(name, self.url, name) for name in others]

    def watch(self) -> ChangeWatch:
        """A token that changes whenever a run commits (for pages to follow)."""
        if self.url is None:
            from .sqlite import ChangeWatch as SqliteWatch

            return SqliteWatch(self.path)
        from .postgres import ChangeWatch as PgWatch

        return PgWatch(self.url, self.namespace)

    @contextmanager
    def views(self) -> Iterator[Views]:
        """A read-only view of the catalog, on a connection of its own that
        any thread may use. CatalogMissing when there is none yet."""
        with (self._sqlite_views() if self.url is None else self._pg_views(self.url)) as views:
            yield views

    @contextmanager
    def _sqlite_views(self) -> Iterator[Views]:
        import sqlite3

        from .sqlite import open_sqlite, unreadable

        if not self.exists():
            raise CatalogMissing(f"there is no catalog at {self.path}:"
                                 " nothing has been run with this output directory yet")
        try:
            db = open_sqlite(self.path, writable=False, timeout=5, check_same_thread=False)
        except sqlite3.Error as e:
            raise unreadable(self.path, e, True) from None
        try:
            yield Views(db, db.close)
        except sqlite3.Error as e:
            raise unreadable(self.path, e, True) from None
        finally:
            db.close()

    @contextmanager
    def _pg_views(self, url: str) -> Iterator[Views]:
        from .postgres import PgDb, driver, views_connection

        conn: Any = views_connection(url, self.namespace)
        if conn is None:
            raise CatalogMissing(f"there is no catalog {self.describe()}:"
                                 " nothing has been run with this output directory yet")
        try:
            yield Views(PgDb(conn), conn.close)
        except driver().Error as e:
            raise CatalogError(f"cannot read the catalog {self.describe()}: {e}") from None
        finally:
            conn.close()


def catalog_of(out_dir: str) -> Location:
    """The catalog of an output directory, as the command line chose it."""
    return Location(out_dir, _chosen)
