"""Which catalog a command reads or writes, and how to open it, lock it and
tell whether a run holds it: everything a command knows of a catalog
besides its records."""

from __future__ import annotations

import os
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Protocol

from ..store.naming import CATALOG_FILE
from .base import CatalogError, RunLock
from .records import Catalog
from .views import Views


class ChangeWatch(Protocol):
    def token(self) -> str: ...

    def close(self) -> None: ...


class CatalogMissing(CatalogError):
    """Nothing has been recorded there yet."""


@dataclass(frozen=True)
class Location:
    """The catalog of one output directory: `OUT/catalog.sqlite`."""

    out_dir: str

    @property
    def path(self) -> str:
        return os.path.join(self.out_dir, CATALOG_FILE)

    def describe(self) -> str:
        """Where it is, as messages show it."""
        return self.path

    def exists(self) -> bool:
        return os.path.exists(self.path)

    def open(self, *, create: bool = True, readonly: bool | None = None) -> Catalog:
        from .sqlite import SqliteCatalog

        return SqliteCatalog(self.path, create=create, readonly=readonly)

    def open_existing(self, *, readonly: bool | None = None) -> Catalog | None:
        """The catalog to read, or None when nothing was recorded there yet."""
        return self.open(create=False, readonly=readonly) if self.exists() else None

    def lock(self, wait: float = 1.0) -> RunLock:
        """Hold the location for a run; CatalogError when another run does."""
        from .sqlite import FileLock

        return FileLock(self.out_dir, wait)

    def active(self) -> bool:
        """Whether a run holds the location now (its runner is alive)."""
        from .sqlite import FileLock

        return FileLock.active(self.out_dir)

    def watch(self) -> ChangeWatch:
        """A token that changes whenever a run commits (for pages to follow)."""
        from .sqlite import ChangeWatch as SqliteWatch

        return SqliteWatch(self.path)

    @contextmanager
    def views(self) -> Iterator[Views]:
        """A read-only view of the catalog, on a connection of its own that
        any thread may use. CatalogMissing when there is none yet."""
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


def catalog_of(out_dir: str) -> Location:
    return Location(out_dir)
