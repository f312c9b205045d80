"""`orvan clean`: remove the stored files of assets and partitions that the
pipeline no longer declares. Their catalog rows are marked as removed, never
deleted: the history of runs stays whole."""

from __future__ import annotations

import os
from argparse import Namespace
from collections.abc import Callable

from ..plan import undeclared
from ...catalog import Catalog, catalog_of
from ..config import modules_or_last_run, project_directory, resolve_modules, resolve_out
from ..plan.pipeline import OK, load
from ..plan.jobs import Plan
from ..report import display_path
from ...store import Store


def _remove(stored: undeclared.Stored, out_dir: str) -> None:
    for name in stored.files:
        try:
            os.unlink(os.path.join(stored.directory, name))
        except FileNotFoundError:
            pass
    # Then the directories it leaves empty, up to the output directory.
    directory = stored.directory
    top = os.path.abspath(out_dir)
    while os.path.abspath(directory) != top:
        try:
            os.rmdir(directory)
        except OSError:
            break
        directory = os.path.dirname(directory)


def _forgotten(plan: Plan, catalog: Catalog | None) -> list[tuple[str, str]]:
    """Catalog entries for jobs no longer declared, whatever is on disk."""
    if catalog is None:
        return []
    return [job for job in catalog.last_attempts() if undeclared.why_undeclared(plan, *job)]


def cmd_clean(args: Namespace) -> int:
    directory = project_directory()
    out_dir = resolve_out(args.out, directory)
    from .stored import remote_store

    store = remote_store(args, out_dir)
    if store is not None:
        return _clean_store(args, directory, out_dir, store)
    if not os.path.isdir(out_dir):
        print(f"nothing stored in {display_path(out_dir)}")
        return OK
    return _with_plan(args, directory, out_dir, lambda plan, catalog: _clean(plan, out_dir, catalog, args.dry_run))


def _with_plan(args: Namespace, directory: str, out_dir: str,
               act: Callable[[Plan, Catalog | None], int]) -> int:
    """`act` on the plan of the modules to clean, the output location locked
    (unless it is a dry run) and its catalog open, if it has one."""
    location = catalog_of(out_dir)
    lock = None if args.dry_run else location.lock()
    try:
        catalog = location.open_existing(readonly=args.dry_run)
        try:
            modules = modules_or_last_run(args.modules, directory, catalog.last_modules if catalog else list)
            _, plan = load(resolve_modules(modules, directory), directory, strict=True)
            return act(plan, catalog)
        finally:
            if catalog:
                catalog.close()
    finally:
        if lock:
            lock.release()


def _clean(plan: Plan, out_dir: str, catalog: Catalog | None, dry_run: bool) -> int:
    # Removing files: read every directory, whatever the file system says.
    orphans = undeclared.find(plan, out_dir, thorough=True)
    verb = "would remove" if dry_run else "removed"
    for stored, why in orphans:
        if not dry_run:
            _remove(stored, out_dir)
        print(f"{verb} {stored.label}: {why} ({', '.join(stored.files)})")
    if not orphans:
        print("nothing to clean: every stored value is declared")
    elif dry_run:
        print(f"{len(orphans)} stored jobs no longer declared; run without --dry-run to remove them")
    if catalog is not None and not dry_run:
        catalog.mark_removed(sorted({s.id for s, _ in orphans} | set(_forgotten(plan, catalog))))
    return OK


def _clean_store(args: Namespace, directory: str, out_dir: str, store: Store) -> int:
    """The same, for a remote store, which also loses what superseded
    attempts left there: each attempt's objects have names of their own."""
    from .stored import clean

    def act(plan: Plan, catalog: Catalog | None) -> int:
        gone = clean(store, catalog, plan, args.dry_run)
        if catalog is not None and not args.dry_run:
            catalog.mark_removed(sorted(set(gone) | set(_forgotten(plan, catalog))))
        return OK
    return _with_plan(args, directory, out_dir, act)
