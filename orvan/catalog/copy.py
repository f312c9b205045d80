"""Moving a project's whole history from one catalog to another (a file to
a shared database, or back): every row of every table, ids kept, so that
the output location reads the same from either."""

from __future__ import annotations

import os
from collections.abc import Iterator
from typing import Any

from .base import CatalogError
from .locate import Location, namespace_of
from .urls import is_url
from .records import Catalog

# The tables in an order that keeps every reference pointing back, and the
# columns of each at the current step. `latest` is filled by the catalog
# itself as the job rows go in.
TABLES: list[tuple[str, str]] = [
    ("runs", "id, started_at, ended_at, status, modules, argv, pid, pid_started"),
    ("jobs", "id, run_id, asset_key, partition, fingerprint, status, started_at, ended_at, error, attempt, pid,"
             " pid_started, value_size, value_hash, input_hashes, parts, removed_at"),
    ("attempts", "job_id, attempt, status, started_at, ended_at, error"),
    ("ticks", "id, automation, trigger, due_at, started_at, ended_at, outcome, reason, run_id, partitions"),
    ("automations", "name, ticked_to"),
]
BATCH = 5000


def location_of(spec: str, other: str, namespace: str | None) -> Location:
    """The catalog `spec` names: a postgresql:// URL, or a catalog file (or
    the output directory holding one). A database's namespace is the one
    given, else that of the output directory on the other side."""
    if is_url(spec):
        if namespace is None:
            if is_url(other):
                raise CatalogError("copying between two databases: name the namespace with --namespace")
            namespace = namespace_of(_out_dir(other))
        return Location(_out_dir(other) if not is_url(other) else namespace, spec, namespace)
    return Location(_out_dir(spec))


def _out_dir(path: str) -> str:
    path = os.path.abspath(path)
    return path if os.path.isdir(path) or not path.endswith(".sqlite") else os.path.dirname(path)


def _rows(source: Catalog, table: str, columns: str) -> Iterator[list[tuple[Any, ...]]]:
    cursor: Any = source.db.execute(f"SELECT {columns} FROM {table} ORDER BY 1")
    while True:
        rows = cursor.fetchmany(BATCH)
        if not rows:
            return
        yield [tuple(r) for r in rows]


def copy(source: Location, target: Location) -> dict[str, int]:
    """Copy every row; the rows copied, by table. Both locations are locked
    for the while (no run may write either), and the target must record
    nothing yet."""
    if not source.exists():
        raise CatalogError(f"nothing to copy: there is no catalog {source.describe()}")
    locks = [source.lock(), target.lock()]
    try:
        return _copy_locked(source, target)
    finally:
        for lock in reversed(locks):
            lock.release()


def _copy_locked(source: Location, target: Location) -> dict[str, int]:
    reader = source.open(create=False, readonly=True)
    try:
        writer = target.open()
        try:
            if writer.recent_runs(1):
                raise CatalogError(f"the catalog {target.describe()} already records runs: copy into an empty one")
            counts = {}
            with writer.transaction() as db:
                writer.copy_starts(db)
                for table, columns in TABLES:
                    counts[table] = 0
                    marks = ", ".join("?" * len(columns.split(",")))
                    for rows in _rows(reader, table, columns):
                        writer.bulk_insert(db, table, columns, marks, rows)
                        counts[table] += len(rows)
                writer.copy_ends(db)
            return counts
        finally:
            writer.close()
    finally:
        reader.close()
