"""Read-only access to the catalog: the rows the pages show.

Every request opens its own connection (cheap, and connections must not be
shared between the server's threads). Nothing here writes: the pages read
through the catalog's views, which refuse a catalog from a newer orvan.
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager

from ..catalog import CatalogError, CatalogMissing, JobRow, Latest, Location, RunRow, Try, Views, catalog_of

__all__ = ["CatalogUnavailable", "ChangeDetector", "JobRow", "Latest", "Queries", "Reader", "RunRow", "Try"]

# The pages' name for the catalog's views.
Queries = Views


class CatalogUnavailable(Exception):
    """The catalog is missing or cannot be read; the message says which."""


class Reader:
    def __init__(self, out_dir: str, location: Location | None = None):
        self.out_dir = out_dir
        self.location = location if location is not None else catalog_of(out_dir)
        self.path = self.location.describe()

    @contextmanager
    def connect(self) -> Iterator[Queries]:
        try:
            with self.location.views() as views:
                yield views
        except CatalogMissing as e:
            raise CatalogUnavailable(str(e)) from None
        except CatalogError as e:
            raise CatalogUnavailable(f"the catalog at {self.path} cannot be read: {e}") from None


class ChangeDetector:
    """A cheap token that changes whenever a run commits to the catalog."""

    def __init__(self, location: Location):
        self._watch = location.watch()

    def token(self) -> str:
        return self._watch.token()

    def close(self) -> None:
        self._watch.close()
