"""`orvan show`: print a stored value."""

from __future__ import annotations

import difflib
import hashlib
import json
import os
import shutil
import sys
from argparse import Namespace

from ... import values
from ...values.summary import summarize
from .. import naming, undeclared
from ..catalog import CATALOG_FILE, Catalog
from ..config import modules_from_pyproject, resolve_out
from ..pipeline import ERRORS, OK, CommandError, load
from ..plan import job_label, partition_token
from ..report import display_path


def _parse_partition_args(items: list[str]) -> dict[str, str]:
    partition: dict[str, str] = {}
    for item in items:
        dim, sep, key = item.partition("=")
        if not sep or not dim:
            raise CommandError(f"--partition {item!r}: expected DIM=VALUE")
        if dim in partition:
            raise CommandError(f"--partition: dimension {dim!r} given twice")
        partition[dim] = key
    return partition


def _stored_partitions(asset_dir: str) -> list[dict[str, str]]:
    found = []
    for root, dirs, files in os.walk(asset_dir):
        dirs.sort()
        if naming.RESULT_FILE in files and root != asset_dir:
            rel = os.path.relpath(root, asset_dir).split(os.sep)
            try:
                found.append(dict(naming.parse_partition_component(c) for c in rel))
            except ValueError:
                continue
    return found


def cmd_show(args: Namespace) -> int:
    out_dir = resolve_out(args.out, os.getcwd())
    partition = _parse_partition_args(args.partition or [])
    asset_dir = os.path.join(out_dir, naming.escape(args.key))
    if not os.path.isdir(asset_dir):
        known = sorted(naming.unescape(n) for n in os.listdir(out_dir) if os.path.isdir(os.path.join(out_dir, n))) \
            if os.path.isdir(out_dir) else []
        hint = difflib.get_close_matches(args.key, known, n=1) or [k for k in known if k.endswith("." + args.key)]
        raise CommandError(f"nothing stored for asset {args.key!r} in {display_path(out_dir)}"
                           + (f" (did you mean {hint[0]!r}?)" if hint else ""))
    directory = os.path.join(out_dir, naming.job_relpath(args.key, partition))
    stored_format = _stored_format(directory)
    if stored_format is None:
        stored = [p for p in _stored_partitions(asset_dir) if partition.items() <= p.items()]
        label = ",".join(f"{d}={k}" for d, k in partition.items())
        msg = f"no stored value for {args.key}" + (f" [{label}]" if label else "")
        if stored:
            msg += "; stored partitions:\n" + "\n".join(
                "  " + " ".join(f"--partition {d}={k}" for d, k in p.items()) for p in stored[:20]
            )
            if len(stored) > 20:
                msg += f"\n  ... and {len(stored) - 20} more"
        raise CommandError(msg)
    note = _undeclared_note(out_dir, args.key, partition)
    if note:
        print(f"note: {note}", file=sys.stderr)
    path = os.path.join(directory, values.value_file(stored_format))
    _check_recorded(out_dir, args.key, partition, path)
    return _print_value(path, stored_format, args.raw)


def _stored_format(directory: str) -> str | None:
    """The serializer of the value stored in directory, or None if there is
    no successful result there."""
    try:
        with open(os.path.join(directory, naming.RESULT_FILE), encoding="utf-8") as f:
            record = json.load(f)
    except (OSError, ValueError):
        return None
    if not isinstance(record, dict) or record.get("ok") is not True:
        return None
    fmt = record.get("artifact_format", values.JSON)
    return fmt if isinstance(fmt, str) else None


def _print_value(path: str, fmt: str, raw: str | None) -> int:
    if raw is not None:
        shutil.copyfile(path, raw)
        print(f"copied {display_path(path)} to {raw}")
        return OK
    if not values.is_json(fmt):
        print(summarize(path, fmt))
        return OK
    try:
        with open(path, "rb") as f:
            value = json.loads(f.read())
    except (OSError, ValueError) as e:
        raise CommandError(f"the stored value {display_path(path)} cannot be read: {e}") from None
    print(json.dumps(value, indent=2, ensure_ascii=False))
    return OK


def _check_recorded(out_dir: str, key: str, partition: dict[str, str], path: str) -> None:
    """Refuse a value whose bytes are not those recorded when it was written."""
    if not os.path.exists(os.path.join(out_dir, CATALOG_FILE)):
        return
    catalog = Catalog.in_dir(out_dir, create=False)
    try:
        attempt = catalog.last_attempt(key, partition_token(partition))
    finally:
        catalog.close()
    if attempt is None or attempt.value_hash is None:
        return  # recorded before hashes were; nothing to compare with
    try:
        with open(path, "rb") as f:
            digest = hashlib.file_digest(f, "sha256").hexdigest()
    except OSError as e:
        raise CommandError(f"the stored value {display_path(path)} cannot be read: {e.strerror}") from None
    if digest != attempt.value_hash:
        label = job_label(key, partition)
        raise CommandError(f"the stored value of {label} is damaged (its bytes are not those recorded when it was"
                           " written); `orvan run` redoes it")


def _undeclared_note(out_dir: str, key: str, partition: dict[str, str]) -> str | None:
    """Whether the pipeline as it is now still declares this value. Needs an
    inspection; when the pipeline cannot be loaded, nothing is said."""
    directory = os.getcwd()
    try:
        modules = modules_from_pyproject(directory)
        if not modules and os.path.exists(os.path.join(out_dir, CATALOG_FILE)):
            catalog = Catalog.in_dir(out_dir, create=False)
            try:
                modules = catalog.last_modules()
            finally:
                catalog.close()
        if not modules:
            return None
        _, plan = load(modules, directory)
    except ERRORS:
        return None
    why = undeclared.why_undeclared(plan, key, partition_token(partition))
    return f"{job_label(key, partition)}: {why}; `orvan clean` removes it" if why else None
