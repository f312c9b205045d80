"""Report the assets of some modules: ``python -m orvan.inspect MODULE [MODULE ...]``.

Imports each MODULE, as ``import`` would from the current directory, and
writes the inspection report (one line of JSON, see ``inspect_modules``) to
standard output, followed by a line feed.

A module that cannot be imported is skipped with a warning line on standard
error; the report is still written and the exit status is 0. Any other failure
(a module without source, an asset whose metadata cannot be read, ...) writes
one error line to standard error and exits with status 1, and nothing goes to
standard output.

With ``--strict`` (what the ``orvan`` command uses), a module that cannot be
imported is not skipped: its name and the import's traceback go to standard
error and the exit status is 3. The report then also describes, for each
asset, where its function is defined and what parameters it takes, and it
covers the modules that define the assets found, so that an asset reached
through an import is reported by its own module as well (see ``_annotate``).

Calling it with no MODULE is a usage error (status 2), although
``inspect_modules([])`` itself is valid: a host that asks to inspect nothing
has almost certainly lost its list of modules on the way, and an empty report
would hide that.

While the modules are imported, whatever they print to standard output (at
Python level or from C) goes to standard error instead, so that standard
output carries the report and nothing else.
"""

from __future__ import annotations

import json
import os
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from types import ModuleType

USAGE = (
    "usage: python -m orvan.inspect MODULE [MODULE ...]\n"
    "       python -m orvan.inspect --strict MODULE [MODULE ...]"
)

# The exit status of --strict when a listed module does not import.
IMPORT_FAILED = 3


@contextmanager
def _stdout_to_stderr() -> Iterator[None]:
    """Points file descriptor 1 at standard error for the duration."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        os.dup2(2, 1)
        try:
            yield
        finally:
            sys.stdout.flush()
            os.dup2(saved, 1)
    finally:
        os.close(saved)


def _make_current_directory_importable() -> None:
    # `python -m` already does this unless -P or PYTHONSAFEPATH is in force;
    # the modules to inspect are named relative to where the host runs us.
    cwd = os.getcwd()
    if "" not in sys.path and cwd not in sys.path:
        sys.path.insert(0, cwd)


def describe_exception(exc: BaseException) -> str:
    """The display form of an exception, as the native module writes it."""
    try:
        text = str(exc)
    except Exception:
        text = "<exception str() failed>"
    return f"{type(exc).__qualname__}: {text}"


class ImportFailed(Exception):
    def __init__(self, module: str, exc: BaseException):
        super().__init__(module)
        self.module = module
        self.exc = exc


def _import_all(modules: list[str]) -> list[ModuleType]:
    """Each listed module, imported; the first that fails raises ImportFailed."""
    import importlib

    imported = []
    for name in modules:
        try:
            imported.append(importlib.import_module(name))
        except BaseException as exc:  # a module body may raise anything, SystemExit too
            if isinstance(exc, KeyboardInterrupt):
                raise
            raise ImportFailed(name, exc) from None
    return imported


def _import_traceback(exc: BaseException) -> str:
    """The traceback as Python prints it, less the import machinery and this stub."""
    import importlib
    import traceback

    ours = {__file__, importlib.__file__}
    te = traceback.TracebackException.from_exception(exc)
    te.stack = traceback.StackSummary.from_list(
        [f for f in te.stack if not f.filename.startswith("<frozen ") and f.filename not in ours]
    )
    return "".join(te.format())


def _assets_of(module: ModuleType) -> Iterator[object]:
    """The originals of the module's assets, recognised as inspect_modules does."""
    for value in list(vars(module).values()):
        try:
            if getattr(value, "__orvan_kind__", None) == "asset":
                yield value.__orvan_original__
        except Exception:
            continue


def _describe_function(function: object) -> dict[str, object]:
    import inspect

    params: list[str] = []
    var_keyword = False
    try:
        for p in inspect.signature(function).parameters.values():  # type: ignore[arg-type]
            if p.kind is p.VAR_KEYWORD:
                var_keyword = True
            elif p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY):
                params.append(p.name)
    except (TypeError, ValueError):
        # No signature to check against: accept every keyword.
        var_keyword = True
    return {"defining_module": getattr(function, "__module__", None), "parameters": params,
            "var_keyword": var_keyword}


def _annotate(modules: list[ModuleType]) -> tuple[list[str], dict[tuple[str, str], dict[str, object]]]:
    """The modules that define the assets found (listed or not), and per
    (module, function name) what the command needs beyond the native report:
    the defining module, which keys an asset, and the parameters, which
    inputs and partition dimensions must name."""
    defining: list[str] = []
    extra: dict[tuple[str, str], dict[str, object]] = {}
    for module in modules:
        for function in _assets_of(module):
            info = _describe_function(function)
            name = getattr(function, "__name__", None)
            if isinstance(name, str):
                extra.setdefault((module.__name__, name), info)
            where = info["defining_module"]
            if isinstance(where, str) and where in sys.modules and where not in defining:
                defining.append(where)
    return defining, extra


def _module_of_file(path: str) -> str | None:
    for name, module in list(sys.modules.items()):
        file = getattr(module, "__file__", None)
        if isinstance(file, str) and os.path.realpath(file) == path:
            return name
    return None


def _referenced_modules(records: list[dict[str, object]]) -> list[str]:
    """Modules that define an upstream some record refers to by file but no
    record describes: a listed asset may read an asset of a module that is
    imported but not listed (``inputs={"x": other.x}``)."""
    known = {f"{r.get('file_path')}:{r.get('function_name')}" for r in records}
    found: list[str] = []
    for rec in records:
        meta = rec.get("decorator_metadata")
        inputs = meta.get("inputs") if isinstance(meta, dict) else None
        for ref in (inputs or {}).values():
            if not isinstance(ref, str) or ref in known or ":" not in ref:
                continue
            name = _module_of_file(ref.rpartition(":")[0])
            if name is not None and name not in found:
                found.append(name)
    return found


def _strict_report(modules: list[str]) -> str:
    from orvan._orvan import inspect_modules

    imported = _import_all(modules)
    defining, extra = _annotate(imported)
    inspected = list(dict.fromkeys(modules + defining))
    while True:
        report = json.loads(inspect_modules(inspected))
        more = [m for m in _referenced_modules(report.get("assets", [])) if m not in inspected]
        if not more:
            break
        inspected += more
    _, more_extra = _annotate([sys.modules[m] for m in inspected if m not in modules])
    extra = more_extra | extra
    for rec in report.get("assets", []):
        rec.update(extra.get((rec.get("module_path"), rec.get("function_name")), {}))
        rec["listed"] = rec.get("module_path") in modules
    if "orvan.checks" in sys.modules:  # else no module declared a check
        from orvan.checks import describe

        report["checks"] = describe([sys.modules[m] for m in inspected])
    return json.dumps(report, ensure_ascii=False, separators=(",", ":"), sort_keys=True)


def _parse(argv: list[str]) -> tuple[bool, list[str]]:
    strict = "--strict" in argv
    return strict, [a for a in argv if a != "--strict"]


def main(argv: list[str] | None = None) -> int:
    from orvan import process

    process.guard_from_env()
    strict, modules = _parse(sys.argv[1:] if argv is None else argv)
    if modules in (["-h"], ["--help"]):
        print(USAGE)
        return 0
    if not modules:
        print(USAGE, file=sys.stderr)
        print("error: name at least one module to inspect", file=sys.stderr)
        return 2
    _make_current_directory_importable()
    from orvan import checked_imports
    from orvan._orvan import inspect_modules

    checked_imports.install()

    try:
        with _stdout_to_stderr():
            report = _strict_report(modules) if strict else inspect_modules(modules)
    except KeyboardInterrupt:
        raise
    except ImportFailed as failed:
        print(f"orvan.inspect: module {failed.module!r} failed to import:", file=sys.stderr)
        sys.stderr.write(_import_traceback(failed.exc))
        return IMPORT_FAILED
    except BaseException as exc:  # SystemExit and internal faults too: report, exit 1
        print(f"orvan.inspect: {describe_exception(exc)}", file=sys.stderr)
        return 1
    sys.stdout.buffer.write(report.encode("utf-8") + b"\n")
    sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
