"""The catalog: the one record of runs, jobs and attempts.

    sqlite    the embedded catalog, `OUT/catalog.sqlite`: schema and migrations,
              the run lock, queries, batched job writes
    ticks     the ticks of `orvan serve`'s automations

Every reader and writer goes through the names exported here; no SQL lives
outside this package.
"""

from .sqlite import (DONE, FAILED, FRESH, INTERRUPTED, NOT_RUN, PENDING, RUNNING, Attempt, Catalog, CatalogError,
                     CatalogWriteError, RunLock, RunSummary, connect_read_only, decode_inputs,
                     encode_inputs)
from ..store.naming import CATALOG_FILE
from . import ticks

__all__ = ["CATALOG_FILE", "DONE", "FAILED", "FRESH", "INTERRUPTED", "NOT_RUN", "PENDING", "RUNNING", "Attempt",
           "Catalog", "CatalogError", "CatalogWriteError", "RunLock", "RunSummary", "connect_read_only",
           "decode_inputs", "encode_inputs", "ticks"]
