"""`orvan show`: print a stored value, or say exactly why there is none."""

from __future__ import annotations

import hashlib
import json
import os
import shutil
import sys
from argparse import Namespace
from dataclasses import dataclass

from ... import values
from ...values.summary import summarize
from ...store import naming
from ..plan import undeclared
from ...catalog import Attempt, CatalogError, CatalogTooNew, Row, catalog_of
from ..config import modules_or_last_run, project_directory, resolve_out
from ...errors import OrvanError
from ..plan.pipeline import OK, CommandError, load
from ..plan.jobs import job_label
from ..report import did_you_mean, display_path
from ..run.freshness import recorded
from ...states import State

# A value whose compact form fits this width is printed on one line.
ONE_LINE = 80
# How many stored partitions a "no such partition" message lists.
LIST_LIMIT = 20


@dataclass
class Known:
    """What the catalog recorded of one asset, per partition token."""

    latest: dict[str, Row]  # the latest row, of any state
    attempts: dict[str, Row]  # the latest attempt at materialising it

    @property
    def dims(self) -> list[str]:
        return sorted({d for token in self.latest for d in naming.token_partition(token)})


def known_of(out_dir: str, key: str) -> Known:
    location = catalog_of(out_dir)
    if not location.exists():
        return Known({}, {})
    try:
        with location.views() as views:
            return Known(views.latest_rows(key, False), views.latest_rows(key, True))
    except CatalogTooNew:
        raise
    except CatalogError:
        # The stored files can still answer.
        return Known({}, {})


def _split_label(item: str, dims: list[str]) -> list[str]:
    """`date=2024-03-01,region=east` (the label `run` prints) into its
    DIM=VALUE parts; a comma not followed by a known dimension (when the
    dimensions are known) belongs to the key."""
    parts: list[str] = []
    for piece in item.split(","):
        dim, sep, _ = piece.partition("=")
        starts = bool(sep) and (dim in dims if dims else bool(dim))
        if parts and not starts:
            parts[-1] += "," + piece
        else:
            parts.append(piece)
    return parts


def parse_partition_args(items: list[str], dims: list[str]) -> dict[str, str]:
    partition: dict[str, str] = {}
    for item in items:
        for part in _split_label(item, dims):
            add_pair(partition, item, part)
    return dict(sorted(partition.items()))


def add_pair(partition: dict[str, str], item: str, part: str) -> None:
    """Add `DIM=VALUE` (part of the argument `item`) to partition."""
    dim, sep, key = part.partition("=")
    if not sep or not dim:
        raise CommandError(f"--partition {item!r}: expected DIM=VALUE")
    if dim in partition:
        raise CommandError(f"--partition: dimension {dim!r} given twice")
    partition[dim] = key


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


def locate(out_dir: str, name: str) -> tuple[str, Known]:
    """The asset `name` names, and what the catalog knows of it: the key
    itself when anything is recorded or stored for it, else the one stored
    key that ends in `.name` (a bare function name, as `run` takes)."""
    known = known_of(out_dir, name)
    if known.latest or os.path.isdir(os.path.join(out_dir, naming.escape(name))):
        return name, known
    keys = _recorded_keys(out_dir)
    by_suffix = [k for k in keys if k.endswith("." + name)]
    if len(by_suffix) == 1:
        return by_suffix[0], known_of(out_dir, by_suffix[0])
    raise CommandError(f"nothing stored for asset {name!r} in {display_path(out_dir)}" + did_you_mean(name, keys))


def _recorded_keys(out_dir: str) -> list[str]:
    """The keys of the stored asset directories and of the catalog's jobs."""
    if not os.path.isdir(out_dir):
        return []
    keys = {naming.unescape(n) for n in os.listdir(out_dir) if os.path.isdir(os.path.join(out_dir, n))}
    catalog = catalog_of(out_dir).open_existing()
    if catalog is not None:
        try:
            keys.update(catalog.asset_keys())
        finally:
            catalog.close()
    return sorted(keys)


def _check_dimensions(key: str, partition: dict[str, str], dims: list[str], partitioned: bool) -> None:
    if partition and not partitioned:
        raise CommandError(f"asset {key!r} is not partitioned: drop --partition")
    for dim in partition:
        if dim not in dims:
            raise CommandError(f"asset {key!r} has no dimension {dim!r} (dimensions: {', '.join(dims)})")


def _stored_list(asset_dir: str, partition: dict[str, str]) -> str:
    stored = [p for p in _stored_partitions(asset_dir) if partition.items() <= p.items()]
    if not stored:
        return ""
    text = "; stored partitions:\n" + "\n".join(
        "  " + " ".join(f"--partition {d}={k}" for d, k in p.items()) for p in stored[:LIST_LIMIT]
    )
    return text + (f"\n  ... and {len(stored) - LIST_LIMIT} more" if len(stored) > LIST_LIMIT else "")


def last_attempt(out_dir: str, key: str, token: str) -> Attempt | None:
    catalog = catalog_of(out_dir).open_existing()
    if catalog is None:
        return None
    try:
        return catalog.last_attempt(key, token)
    finally:
        catalog.close()


def _why_not(out_dir: str, key: str, known: Known, token: str, directory: str) -> str | None:
    """Why the catalog says there is no value, or None if it cannot say: the
    verdict on its last attempt, as `status` words it."""
    if token not in known.attempts:
        latest = known.latest.get(token)
        if latest is None:
            return None
        return "never run" + (f" ({latest.error})" if latest.error else "")
    attempt = last_attempt(out_dir, key, token)
    verdict = recorded(attempt, catalog_of(out_dir).active())
    if attempt is None or verdict.state == State.FRESH:
        return f"its value is missing from {display_path(directory)}; orvan run makes it again"
    log = display_path(os.path.join(directory, naming.LOG_FILE))
    why = verdict.reasons[0].text
    return f"{why} (log: {log})" if verdict.state in (State.FAILED, State.INTERRUPTED) else why


def no_value(out_dir: str, key: str, partition: dict[str, str], known: Known, asset_dir: str, directory: str,
             what: str = "stored value") -> CommandError:
    """Why there is no `what` (a stored value, a log) for the job, as far as
    the catalog and the stored partitions can tell."""
    label = ",".join(f"{d}={k}" for d, k in partition.items())
    head = f"no {what} for {key}" + (f" [{label}]" if label else "")
    missing = [d for d in known.dims if d not in partition]
    if missing:
        return CommandError(f"{head}: give every dimension (missing: {', '.join(missing)})"
                            + _stored_list(asset_dir, partition))
    why = _why_not(out_dir, key, known, naming.partition_token(partition), directory)
    if why is None:
        return CommandError(head + (": no such partition" if partition else "") + _stored_list(asset_dir, partition))
    return CommandError(f"{head}: {why}")


def format_value(value: object) -> str:
    compact = json.dumps(value, ensure_ascii=False, separators=(", ", ": "))
    return compact if len(compact) <= ONE_LINE else json.dumps(value, indent=2, ensure_ascii=False)


def cmd_show(args: Namespace) -> int:
    out_dir = resolve_out(args.out, project_directory())
    args.key, known = locate(out_dir, args.key)
    from .stored import remote_store, show

    store = remote_store(args, out_dir)
    if store is not None:
        partition = parse_partition_args(args.partition or [], known.dims)
        if not known.latest:
            raise CommandError(f"nothing stored for asset {args.key!r} (no run recorded in {display_path(out_dir)})")
        _check_dimensions(args.key, partition, known.dims, bool(known.dims))
        print(show(store, out_dir, args.key, partition, args.raw))
        return OK
    asset_dir = os.path.join(out_dir, naming.escape(args.key))
    dims = known.dims or sorted({d for p in _stored_partitions(asset_dir) for d in p})
    partition = parse_partition_args(args.partition or [], dims)
    partitioned = bool(dims) or not (known.latest or os.path.isfile(os.path.join(asset_dir, naming.RESULT_FILE)))
    _check_dimensions(args.key, partition, dims, partitioned)
    directory = naming.job_dir(out_dir, args.key, partition)
    stored_format = _stored_format(directory)
    if stored_format is None:
        raise no_value(out_dir, args.key, partition, known, asset_dir, directory)
    note = _undeclared_note(out_dir, args.key, partition)
    if note:
        print(f"note: {note}", file=sys.stderr)
    path = naming.value_path(directory, stored_format)
    _check_recorded(out_dir, args.key, partition, path)
    status = _print_value(path, stored_format, args.raw)
    from ...checks import read_results
    from ..run.checkrun import show_notes

    # Beside the value, not in it: standard output stays the value alone.
    for line in show_notes(read_results(directory)):
        print(line, file=sys.stderr)
    return status


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
    if raw == "-":
        return _copy_to_stdout(path)
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
    print(format_value(value))
    return OK


def _copy_to_stdout(path: str) -> int:
    """`--raw -`: the stored bytes as they are, on standard output."""
    sys.stdout.flush()
    try:
        with open(path, "rb") as f:
            shutil.copyfileobj(f, sys.stdout.buffer)
        sys.stdout.buffer.flush()
    except BrokenPipeError:
        pass  # `orvan show KEY --raw - | head -c 100`
    return OK


def _check_recorded(out_dir: str, key: str, partition: dict[str, str], path: str) -> None:
    """Refuse a value whose bytes are not those recorded when it was written."""
    attempt = last_attempt(out_dir, key, naming.partition_token(partition))
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


def _last_modules(out_dir: str) -> list[str]:
    catalog = catalog_of(out_dir).open_existing()
    if catalog is None:
        return []
    try:
        return catalog.last_modules()
    finally:
        catalog.close()


def _undeclared_note(out_dir: str, key: str, partition: dict[str, str]) -> str | None:
    """Whether the pipeline as it is now still declares this value. Needs an
    inspection; when the pipeline cannot be loaded, nothing is said."""
    directory = project_directory()
    try:
        modules = modules_or_last_run([], directory, lambda: _last_modules(out_dir))
        if not modules:
            return None
        _, plan = load(modules, directory)
    except OrvanError:
        return None
    why = undeclared.why_undeclared(plan, key, naming.partition_token(partition))
    return f"{job_label(key, partition)}: {why}; `orvan clean` removes it" if why else None
