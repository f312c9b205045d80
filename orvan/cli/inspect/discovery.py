"""Finds the pipeline's assets by running `python -m orvan.inspect`.

Inspection imports the authors' modules, so it runs in a child process of the
same interpreter: a module that misbehaves at import time cannot take the
runner down, and the runner never holds the authors' code in memory.
"""

from __future__ import annotations

import json
import os
import sys
from typing import TYPE_CHECKING, Any, NamedTuple

from ...errors import OrvanError
from . import fork as inspect_fork
from .fork import Inspection, started
from ..project import child_env
from ...process import guarded_env

# As `orvan.time` writes it; not imported from there, which the command
# would then import on every start.
LOOKBACK_PREFIX = "orvan.lookback:"

__all__ = ["child_env"]

if TYPE_CHECKING:
    import subprocess


class DiscoveryError(OrvanError):
    pass


# A named tuple rather than a dataclass: making a dataclass costs more, as the
# command starts, than all of a fresh run's planning.
class AssetRecord(NamedTuple):
    module: str
    function: str
    file_path: str
    name: str | None
    inputs: dict[str, str]
    # dimension -> its partition keys, as JSON values, in declared order
    partitions: dict[str, list[object]]
    function_source: str
    module_source: str
    python_version: str
    serializer: str | None = None
    return_type: str | None = None
    # Other modules that import this asset and so report it again.
    also_in: tuple[str, ...] = ()
    # The parameters a job may pass by keyword; None when unknown.
    parameters: tuple[str, ...] | None = None
    var_keyword: bool = True
    # Whether the module it was reported from was asked for (not only
    # imported by one that was).
    listed: bool = True
    defining_module: str | None = None
    # (parameter, dimension or None, count, current) per input that reads a
    # window of earlier partitions (`orvan.time.lookback`).
    lookbacks: tuple[tuple[str, str | None, int, bool], ...] = ()

    @property
    def ref(self) -> str:
        """The form decorated upstreams take in other assets' `inputs`."""
        return f"{self.file_path}:{self.function}"

    @property
    def where(self) -> str:
        return f"{self.module}.{self.function}"


# The status with which `orvan.inspect --strict` says a module did not import.
IMPORT_FAILED = 3


def start_inspect(modules: list[str], directory: str) -> None:
    """Starts the inspection that `inspect_text` with the same arguments will
    read: it is the longest step before anything can run, and the command's
    own imports and set-up go on meanwhile, on another core. One started for
    other modules or another directory (the command line was guessed wrong)
    is stopped."""
    if not inspect_fork.start(modules, directory):
        started[(tuple(modules), directory)] = _spawn(modules, directory)


def _spawn(modules: list[str], directory: str) -> subprocess.Popen[str]:
    # Imported here: a forked inspection, the usual kind, does without it.
    import subprocess

    return subprocess.Popen(
        [sys.executable, "-m", "orvan.inspect", "--strict", *modules],
        cwd=directory,
        env=guarded_env(child_env(directory)),
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def parse_json(text: str) -> dict[str, Any]:
    try:
        report: dict[str, Any] = json.loads(text)
    except json.JSONDecodeError as e:
        raise DiscoveryError(f"orvan.inspect printed an unreadable report: {e}") from None
    return report


class ImportFailure(DiscoveryError):
    """A module of the pipeline failed to import: its assets are unknown."""


def inspect_text(modules: list[str], directory: str) -> tuple[str, list[str]]:
    """The inspection report as it was printed, and the warnings."""
    proc: Inspection | None = started.pop((tuple(modules), directory), None)
    if proc is None:
        proc = _spawn(modules, directory)
    with proc:
        try:
            stdout, stderr = proc.communicate()
        except BaseException:
            proc.kill()
            raise
    messages = [line for line in stderr.splitlines() if line.strip()]
    if proc.returncode == IMPORT_FAILED:
        # Its assets would silently be missing from the run: nothing runs.
        raise ImportFailure(stderr.rstrip().removeprefix("orvan.inspect: "))
    if proc.returncode != 0:
        detail = "\n".join(messages) or f"exit status {proc.returncode}"
        raise DiscoveryError(f"inspecting {' '.join(modules)} failed:\n{detail}")
    return stdout, messages


def _partitions(raw: dict[str, Any] | None, where: str) -> dict[str, list[object]]:
    if raw is None:
        return {}
    result: dict[str, list[object]] = {}
    for dim, declared in raw.items():
        try:
            keys = json.loads(declared["values_json"])
        except (KeyError, TypeError, json.JSONDecodeError) as e:
            raise DiscoveryError(f"{where}: unreadable keys of partition dimension {dim!r}: {e}") from None
        if not isinstance(keys, list):
            raise DiscoveryError(f"{where}: keys of partition dimension {dim!r} are not a list")
        result[dim] = keys
    return result


def parse_record(rec: dict[str, Any]) -> AssetRecord:
    meta = rec.get("decorator_metadata") or {}
    where = f"{rec.get('module_path')}.{rec.get('function_name')}"
    inputs = meta.get("inputs") or {}
    if not all(isinstance(v, str) for v in inputs.values()):
        raise DiscoveryError(f"{where}: an inputs reference is not text: {inputs!r}")
    inputs, lookbacks = split_lookbacks(inputs)
    return AssetRecord(
        module=rec["module_path"],
        function=rec["function_name"],
        file_path=rec.get("file_path") or "",
        name=meta.get("name"),
        inputs=inputs,
        partitions=_partitions(meta.get("partitions"), where),
        function_source=rec.get("function_source") or "",
        module_source=rec.get("module_source") or "",
        python_version=rec.get("python_version") or "",
        serializer=meta.get("serializer"),
        return_type=rec.get("return_type"),
        parameters=_parameters(rec.get("parameters")),
        var_keyword=rec.get("var_keyword") is not False,
        listed=rec.get("listed") is not False,
        defining_module=rec.get("defining_module") if isinstance(rec.get("defining_module"), str) else None,
        lookbacks=lookbacks,
    )


def split_lookbacks(inputs: dict[str, str]) -> tuple[dict[str, str], tuple[tuple[str, str | None, int, bool], ...]]:
    """The inputs with each lookback reference replaced by the upstream it
    names, and the lookbacks apart: everything but the plan sees an
    ordinary input."""
    if not any(ref.startswith(LOOKBACK_PREFIX) for ref in inputs.values()):
        return dict(inputs), ()
    from ...time import parse_lookback

    plain, windows = {}, []
    for param, ref in inputs.items():
        spec = parse_lookback(ref)
        if spec is None:
            plain[param] = ref
            continue
        plain[param] = spec["asset"]
        windows.append((param, spec["dim"], spec["count"], spec.get("current") is not False))
    return plain, tuple(windows)


def _parameters(raw: object) -> tuple[str, ...] | None:
    if isinstance(raw, list) and all(isinstance(p, str) for p in raw):
        return tuple(raw)
    return None


def _defines(rec: AssetRecord) -> bool:
    """Whether rec's module is the file the function is defined in."""
    stem, _ = os.path.splitext(rec.file_path)
    tail = rec.module.replace(".", os.sep)
    return stem.endswith(os.sep + tail) or stem == tail or stem.endswith(os.sep + tail + os.sep + "__init__")


def _pick_defining(group: list[AssetRecord]) -> AssetRecord:
    for rec in group:
        if rec.defining_module is not None and rec.module == rec.defining_module:
            return rec
    for test in (_defines, lambda r: r.function_source.strip() in r.module_source):
        for rec in group:
            if test(rec):
                return rec
    return group[0]


def _group(records: list[AssetRecord]) -> list[AssetRecord]:
    """One record per function, from its defining module, listed if any of
    the modules reporting it was."""
    groups: dict[tuple[str, str], list[AssetRecord]] = {}
    for i, rec in enumerate(records):
        # Without a file there is nothing to tell two records apart by.
        ident = (rec.file_path, rec.function) if rec.file_path else (f"#{i}", rec.function)
        groups.setdefault(ident, []).append(rec)
    result = []
    for group in groups.values():
        chosen = _pick_defining(group)
        others = tuple(sorted({r.module for r in group if r.module != chosen.module}))
        result.append(chosen._replace(also_in=others, listed=any(r.listed for r in group)))
    return result


def _reachable(records: list[AssetRecord]) -> list[AssetRecord]:
    """The listed assets and the unlisted ones they read, directly or not."""
    by_ref = {rec.ref: rec for rec in records if rec.file_path}
    # Text references name an asset by its name or key.
    for rec in records:
        by_ref.setdefault(rec.name or rec.where, rec)
    keep = {id(rec) for rec in records if rec.listed}
    stack = [rec for rec in records if rec.listed]
    while stack:
        for ref in stack.pop().inputs.values():
            up = by_ref.get(ref)
            if up is not None and id(up) not in keep:
                keep.add(id(up))
                stack.append(up)
    return [rec for rec in records if id(rec) in keep]


def parse_report(report: dict[str, Any]) -> list[AssetRecord]:
    """The report's assets, each once, attributed to the module defining it."""
    try:
        records = [parse_record(r) for r in report["assets"]]
    except (KeyError, TypeError, AttributeError) as e:
        raise DiscoveryError(f"malformed inspection report: {e!r}") from None
    return _reachable(_group(records))
