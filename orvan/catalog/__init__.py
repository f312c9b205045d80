"""The catalog: the one record of runs, jobs and attempts.

    base      states, the records read back, errors, the shape of a connection
    schema    the numbered steps of the schema, for both back ends
    records   `Catalog`: every operation of the runner and the commands
    writes    job changes held back and committed in batches
    views     what the readers show (`orvan show`, the pages of `orvan ui`)
    ticks     the ticks of `orvan serve`'s automations
    sqlite    the embedded back end, `OUT/catalog.sqlite`
    postgres  a database several output locations share, one namespace each
    locate    which catalog a command names, and its lock

Every reader and writer goes through the names exported here; no SQL lives
outside this package.
"""

from ..store.naming import CATALOG_FILE
from . import ticks
from .base import (DONE, FAILED, FRESH, INTERRUPTED, NOT_RUN, PENDING, RUNNING, Attempt, CatalogError, CatalogMissing, CatalogTooNew,
                   CatalogWriteError, RunLock, RunSummary, decode_inputs, encode_inputs)
from .locate import Location, catalog_of
from .records import Catalog
from .views import JobRow, Latest, Row, RunRow, Try, Views

__all__ = ["CATALOG_FILE", "DONE", "FAILED", "FRESH", "INTERRUPTED", "NOT_RUN", "PENDING", "RUNNING", "Attempt",
           "Catalog", "CatalogError", "CatalogMissing", "CatalogTooNew", "CatalogWriteError", "JobRow", "Latest", "Location", "Row",
           "RunLock", "RunRow", "RunSummary", "Try", "Views", "catalog_of", "decode_inputs", "encode_inputs", "ticks"]
