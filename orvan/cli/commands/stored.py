"""The read-only commands on a remote store: every name comes from the
catalog (a job's last success, its latest attempt), never from a listing."""

from __future__ import annotations

import hashlib
import json
import os
import sys
import tempfile
from argparse import Namespace
from typing import TYPE_CHECKING, cast

from ... import values
from ...catalog import DONE, Catalog, catalog_of
from ...states import ATTEMPTS
from ...store import Store, StoreError, StoreMissing, open_store
from ...store.naming import LOG_FILE, RESULT_FILE, job_relpath, parse_partition_component, partition_token, \
    store_relpath, unescape
from ..config import project_directory, resolve_store
from ..plan.jobs import Plan, job_label
from ..plan.pipeline import CommandError

if TYPE_CHECKING:
    from ...store.remote import RemoteStore


def remote_store(args: Namespace, out_dir: str) -> Store | None:
    """The remote store the command names (--store, ORVAN_STORE, [tool.orvan]
    store), or None for the output directory."""
    setting = resolve_store(getattr(args, "store", None), project_directory())
    if setting.url is None:
        return None
    try:
        return open_store(setting.url, setting.options, out_dir)
    except StoreError as e:
        raise CommandError(str(e)) from None


def _catalog(out_dir: str) -> Catalog:
    catalog = catalog_of(out_dir).open_existing()
    if catalog is None:
        raise CommandError(f"no catalog in {out_dir}: nothing was run there")
    return catalog


def attempt_files(store: Store, catalog: Catalog, key: str, partition: dict[str, str]) -> tuple[str, str] | None:
    """(log, result record) names of the job's latest attempt, or None if it never ran."""
    token = partition_token(partition)
    runs = [run for run, status in catalog.job_history(key, token) if status in ATTEMPTS]
    if not runs:
        return None
    attempt = catalog.attempt_numbers().get((key, token), 1)
    relpath = store_relpath(job_relpath(key, partition))
    return (store.attempt_name(relpath, runs[-1], attempt, LOG_FILE),
            store.attempt_name(relpath, runs[-1], attempt, RESULT_FILE))


def read_log(store: Store, out_dir: str, key: str, partition: dict[str, str]) -> bytes:
    label = job_label(key, partition)
    catalog = _catalog(out_dir)
    try:
        names = attempt_files(store, catalog, key, partition)
    finally:
        catalog.close()
    if names is None:
        raise CommandError(f"no log for {label}: it never ran")
    try:
        return store.read(names[0])
    except StoreMissing:
        raise CommandError(f"no log for {label} in the store {store.url}") from None
    except StoreError as e:
        raise CommandError(str(e)) from None


def stored_value(store: Store, out_dir: str, key: str, partition: dict[str, str]) -> tuple[bytes, str, str]:
    """(bytes, serializer, sha256) of the job's last success, checked against its hash."""
    label = job_label(key, partition)
    catalog = _catalog(out_dir)
    try:
        attempt = catalog.last_attempt(key, partition_token(partition))
        names = attempt_files(store, catalog, key, partition)
    finally:
        catalog.close()
    if attempt is None or names is None:
        raise CommandError(f"no stored value for {label}: never run")
    if attempt.status != DONE or not attempt.value_hash:
        why = attempt.error or attempt.status
        raise CommandError(f"no stored value for {label}: last attempt {attempt.status}: {why} "
                           f"(orvan logs {key} shows its log)")
    try:
        record = json.loads(store.read(names[1]))
        fmt = str(record.get("artifact_format", values.JSON)) if isinstance(record, dict) else values.JSON
        relpath = store_relpath(job_relpath(key, partition))
        data = store.read(store.value_name(relpath, values.value_file(fmt), attempt.value_hash))
    except StoreMissing:
        raise CommandError(f"the stored value of {label} is missing from the store {store.url}; "
                           "`orvan run` redoes it") from None
    except (StoreError, ValueError) as e:
        raise CommandError(f"the stored value of {label} cannot be read: {e}") from None
    if hashlib.sha256(data).hexdigest() != attempt.value_hash:
        raise CommandError(f"the stored value of {label} is damaged (its bytes are not those recorded when it was"
                           " written); `orvan run` redoes it")
    return data, fmt, attempt.value_hash


def show(store: Store, out_dir: str, key: str, partition: dict[str, str], raw: str | None) -> str:
    """What `orvan show` prints for a value in a remote store; its checks'
    outcomes go to standard error, as for the output directory."""
    from ...values.summary import summarize
    from .show import format_value

    from ..run.checkrun import StoredOutcomes, show_notes

    data, fmt, digest = stored_value(store, out_dir, key, partition)
    found = StoredOutcomes(cast("RemoteStore", store)).read_at(store_relpath(job_relpath(key, partition)), digest)
    for line in show_notes(found):
        print(line, file=sys.stderr)
    if raw is not None:
        with open(raw, "wb") as f:
            f.write(data)
        return f"copied {job_label(key, partition)} from {store.url} to {raw}"
    if values.is_json(fmt):
        return format_value(json.loads(data))
    with tempfile.TemporaryDirectory(prefix="orvan-show-") as scratch:
        path = os.path.join(scratch, values.value_file(fmt))
        with open(path, "wb") as f:
            f.write(data)
        return summarize(path, fmt)


def _kept(store: Store, catalog: Catalog, plan: Plan) -> set[str]:
    """The objects a declared job's latest attempt names: its value when it
    succeeded, its log and result record."""
    kept: set[str] = set()
    attempts = catalog.last_attempts()
    for jid, job in plan.jobs.items():
        attempt = attempts.get(jid)
        if attempt is None:
            continue
        relpath = store_relpath(job.relpath)
        if attempt.status == DONE and attempt.value_hash:
            kept.add(store.value_name(relpath, values.value_file(job.asset.record.serializer), attempt.value_hash))
        names = attempt_files(store, catalog, job.key, job.partition)
        if names is not None:
            kept.update(names)
    return kept


def clean(store: Store, catalog: Catalog | None, plan: Plan, dry_run: bool) -> list[tuple[str, str]]:
    """Remove from the store what no declared job's latest attempt names:
    superseded attempts' values, logs and records, and every object of the
    jobs the pipeline no longer declares. Lists the store, as only `clean`
    does. The jobs no longer declared, for the catalog."""
    from ...store.remote import RemoteStore
    from ..plan import undeclared

    if not isinstance(store, RemoteStore):
        return []
    kept = _kept(store, catalog, plan) if catalog is not None else set()
    try:
        doomed = sorted(n for n in store.names() if n not in kept)
    except StoreError as e:
        raise CommandError(str(e)) from None
    gone: set[tuple[str, str]] = set()
    for name in doomed:
        job = _job_of(name)
        if job is not None and undeclared.why_undeclared(plan, *job):
            gone.add(job)
    verb = "would remove" if dry_run else "removed"
    if not dry_run:
        store.delete(doomed)
    print(f"{verb} {len(doomed)} objects from {store.url} that no current attempt names"
          + (f" ({len(gone)} jobs no longer declared)" if gone else ""))
    return sorted(gone)


def _job_of(name: str) -> tuple[str, str] | None:
    """(asset key, partition token) of a job's object, from its name."""
    parts = name.split("/")[:-1]
    if not parts or parts[0].startswith("."):
        return None
    try:
        partition = dict(parse_partition_component(p) for p in parts[1:])
    except ValueError:
        return None
    return unescape(parts[0]), partition_token(partition)
