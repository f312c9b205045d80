"""Asset checks: data-quality tests that run on each stored value, per partition.

    from orvan.checks import check, CheckResult

    @check(daily_prices, blocking=True)
    def positive_volume(bar, ticker):
        return CheckResult(bar["volume"] >= 0, f"{ticker}: volume {bar['volume']}")

A check takes the value as its first argument, as the downstream would read
it back, and any of the asset's partition keys by name; it returns True or
False, or a `CheckResult`. Raising counts as failing. The checks of a job run
right after its value is stored, in the job's own process: the value is at
hand there, a check costs no process start of its own, and the runner knows
the outcome as the job ends, before anything downstream may start. A failed
blocking check keeps the downstream jobs from running (the value stays
stored); a failed non-blocking one is a warning.

The outcome is written beside the value (``checks.json``) with the hash of
the value checked and a fingerprint of each check's source: a value that
comes out unchanged keeps its outcome, and a check that was edited reruns on
its own, in one process for all the values it checks (``python -m
orvan.checks DIR ...``).

This module is imported by authors' code, the inspection, the worker and the
command; it never imports the command.
"""

from __future__ import annotations

import hashlib
import inspect
import json
import os
import sys
from collections.abc import Callable, Mapping
from typing import Any, NamedTuple

__all__ = ["check", "CheckResult"]

RESULTS_FILE = "checks.json"
# Written by the runner into the job's directory: which checks to run after
# the value is stored, and what is known of the last outcome.
REQUEST_FILE = "checks.request.json"


class CheckResult(NamedTuple):
    passed: bool
    message: str | None = None
    metadata: Mapping[str, Any] | None = None


class Check:
    """What `@check` makes of a function; callable as the function itself."""

    __orvan_kind__ = "check"

    def __init__(self, function: Callable[..., Any], asset: Any, blocking: bool, name: str | None):
        self.function = function
        self.asset = asset
        self.blocking = bool(blocking)
        self.name = name or function.__name__
        self.__name__ = function.__name__
        self.__doc__ = function.__doc__
        self.__module__ = function.__module__

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return self.function(*args, **kwargs)

    def __repr__(self) -> str:
        return f"<check {self.name} of {asset_reference(self.asset)}{' (blocking)' if self.blocking else ''}>"


def check(asset: Any, *, blocking: bool = False, name: str | None = None) -> Callable[[Callable[..., Any]], Check]:
    """Declare a check of `asset` (an asset function or its key)."""
    if not isinstance(asset, str) and getattr(asset, "__orvan_kind__", None) != "asset":
        raise TypeError(f"check() takes an asset or its key, not {type(asset).__qualname__}")
    if name is not None and (not isinstance(name, str) or not name):
        raise TypeError("check name must be a non-empty str")

    def decorate(function: Callable[..., Any]) -> Check:
        if not callable(function):
            raise TypeError(f"@check decorates a function, not {type(function).__qualname__}")
        return Check(function, asset, blocking, name)

    return decorate


def asset_reference(asset: Any) -> str:
    """How the check names its asset: the native "<file>:<function>" of a
    decorated function, or the key it was given."""
    if isinstance(asset, str):
        return asset
    original = asset.__orvan_original__
    return f"{os.path.realpath(inspect.getfile(original))}:{original.__name__}"


# ---- found by the inspection ------------------------------------------------------


def describe(modules: list[Any]) -> list[dict[str, Any]]:
    """A record per check defined in the modules (each once), for the
    inspection report."""
    found: list[dict[str, Any]] = []
    seen: set[int] = set()
    for module in modules:
        for attr, value in list(vars(module).items()):
            if not isinstance(value, Check) or id(value) in seen or value.__module__ != module.__name__:
                continue
            seen.add(id(value))
            try:
                source = inspect.getsource(value.function)
            except (OSError, TypeError):
                source = ""
            found.append({"name": value.name, "asset": asset_reference(value.asset), "blocking": value.blocking,
                          "module": module.__name__, "attribute": attr, "source": source})
    return found


class Spec(NamedTuple):
    """A check as the command knows it."""

    name: str
    asset: str  # the asset's key
    module: str
    attribute: str
    blocking: bool
    fingerprint: str

    def as_json(self) -> dict[str, Any]:
        return self._asdict()


def fingerprint(record: Mapping[str, Any]) -> str:
    text = json.dumps([record.get("source"), record.get("blocking"), record.get("name")])
    return hashlib.sha256(text.encode("utf-8")).hexdigest()[:32]


def checks_by_asset(report: Mapping[str, Any], graph: Any) -> dict[str, list[Spec]]:
    """The report's checks per asset key. `graph.assets` maps keys to assets
    whose `record` has `ref` and `where`; a check of an unknown asset is
    left out (its module's asset was not selected)."""
    by_ref: dict[str, str] = {}
    for key, asset in graph.assets.items():
        by_ref[asset.record.ref] = key
        by_ref.setdefault(asset.record.where, key)
        by_ref.setdefault(key, key)
    result: dict[str, list[Spec]] = {}
    for rec in report.get("checks") or []:
        key = by_ref.get(rec.get("asset", ""))
        if key is None:
            continue
        result.setdefault(key, []).append(Spec(rec["name"], key, rec["module"], rec["attribute"],
                                               bool(rec["blocking"]), fingerprint(rec)))
    return result


# ---- running them -------------------------------------------------------------------


class Outcome(NamedTuple):
    name: str
    passed: bool
    blocking: bool
    message: str | None = None
    metadata: Mapping[str, Any] | None = None
    fingerprint: str = ""

    def as_json(self) -> dict[str, Any]:
        return self._asdict()


def _call(function: Callable[..., Any], value: Any, keys: Mapping[str, Any]) -> Any:
    if isinstance(function, Check):
        function = function.function
    try:
        params = inspect.signature(function).parameters
    except (TypeError, ValueError):
        return function(value)
    if any(p.kind is p.VAR_KEYWORD for p in params.values()):
        return function(value, **keys)
    return function(value, **{k: v for k, v in keys.items() if k in params})


def run_check(spec: Any, value: Any, keys: Mapping[str, Any], function: Callable[..., Any] | None = None) -> Outcome:
    """The outcome of one check on one value; never raises (but for Ctrl-C)."""
    try:
        if function is None:
            import importlib

            function = getattr(importlib.import_module(spec.module), spec.attribute)
        got = _call(function, value, keys)
        if isinstance(got, CheckResult):
            passed, message, metadata = bool(got.passed), got.message, got.metadata
        elif isinstance(got, bool):
            passed, message, metadata = got, None, None
        else:
            passed, message, metadata = False, f"returned {type(got).__qualname__}, not a bool or CheckResult", None
    except Exception as exc:
        passed, message, metadata = False, f"raised {type(exc).__qualname__}: {exc}", None
    return Outcome(spec.name, passed, spec.blocking, None if message is None else str(message),
                   _jsonable(metadata), spec.fingerprint)


def _jsonable(metadata: Mapping[str, Any] | None) -> dict[str, Any] | None:
    if metadata is None:
        return None
    plain: dict[str, Any] = json.loads(json.dumps(dict(metadata), default=repr))
    return plain


def _value_hash(path: str) -> str:
    # The digest the runner records for a stored value (sha256 of its bytes).
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            digest.update(chunk)
    return digest.hexdigest()


def _load(path: str, serializer: str | None) -> Any:
    from . import values

    if values.is_json(serializer):
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    return values.get(serializer or "").load(path)


def run_requested(directory: str) -> None:
    """Run the checks the runner asked for in the job's directory, on the
    value stored there; the outcome goes to checks.json. Reuses the last
    outcome when the value's hash and every check are unchanged."""
    path = os.path.join(directory, REQUEST_FILE)
    try:
        with open(path, encoding="utf-8") as f:
            request = json.load(f)
    except FileNotFoundError:
        return
    # Used once: a later attempt of an asset that has lost its checks must
    # not find it.
    os.unlink(path)
    from .store import naming

    path = naming.value_path(directory, request.get("serializer"))
    digest = _value_hash(path)
    previous = request.get("previous")
    specs = [Spec(**s) for s in request["checks"]]
    if previous and previous.get("value_hash") == digest and \
            [o.get("fingerprint") for o in previous["outcomes"]] == [s.fingerprint for s in specs]:
        outcomes = previous["outcomes"]
    else:
        value = _load(path, request.get("serializer"))
        outcomes = [run_check(s, value, request.get("partition") or {}).as_json() for s in specs]
    write_results(directory, digest, outcomes)


def write_results(directory: str, digest: str, outcomes: list[dict[str, Any]]) -> None:
    text = json.dumps({"value_hash": digest, "outcomes": outcomes}, ensure_ascii=False, sort_keys=True)
    partial = os.path.join(directory, f".{RESULTS_FILE}.partial")
    with open(partial, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(partial, os.path.join(directory, RESULTS_FILE))


def parse_results(text: str | bytes) -> dict[str, Any] | None:
    """Stored outcomes, or None for text that holds none."""
    try:
        found = json.loads(text)
    except ValueError:
        return None
    return found if isinstance(found, dict) and isinstance(found.get("outcomes"), list) else None


def read_results(directory: str) -> dict[str, Any] | None:
    try:
        with open(os.path.join(directory, RESULTS_FILE), "rb") as f:
            return parse_results(f.read())
    except OSError:
        return None


def main(argv: list[str] | None = None) -> int:
    """``python -m orvan.checks DIR ...``: the requested checks of stored
    values, without running their assets."""
    dirs = sys.argv[1:] if argv is None else argv
    if not dirs or dirs[0] in ("-h", "--help"):
        print("usage: python -m orvan.checks JOB_DIR [JOB_DIR ...]", file=sys.stderr)
        return 2
    if os.getcwd() not in sys.path:
        sys.path.insert(0, os.getcwd())
    for directory in dirs:
        run_requested(directory)
    return 0


if __name__ == "__main__":
    # Through the imported module, not this __main__ copy: the authors'
    # checks return ITS CheckResult.
    from orvan.checks import main as _main

    sys.exit(_main())
