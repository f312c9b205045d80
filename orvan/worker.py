"""Materialise one asset: ``python -m orvan.worker MODULE FUNCTION OUTPUT_DIR [KWARGS]``.

The keyword arguments are a JSON object, given as the fourth argument or, for
large upstream values (Linux caps a single argument at 128 KiB), read from a
file with ``--kwargs-file PATH`` (``-`` reads standard input).

A value that is not JSON (``asset(serializer=...)``) is stored by that
serializer: ``--serializer NAME``. Upstream values that are not JSON come as
references to their stored files, ``--inputs-file PATH``: a JSON object whose
members name the parameter and hold ``{"kind": "file", "path": ...,
"serializer": ...}`` or, for a fan-in, ``{"kind": "map", "items": {...}}``.

``--rerun`` runs again by hand a job whose failed attempt kept, in
OUTPUT_DIR, the arguments the runner gave it (``kwargs.json``,
``inputs.json``), with the asset's own serializer.

Exit status: 0 after success, 1 after a failed run (``result.json`` holds the
failure record), 2 for wrong command-line use.

When the asset function raises, its traceback goes to standard error, from
the asset's frame down, followed by one line naming the innermost frame in
the author's code (``orvan.worker: raised at FILE:LINE``), which the
``orvan`` command reads back from the job's log.
"""

from __future__ import annotations

import os
import sys
from types import CodeType, TracebackType

from orvan import checked_imports, process

# Lines the orvan command reads back from a job's log: where the asset's
# exception was raised, a hint about the failure, a note about the value.
RAISED_AT = "orvan.worker: raised at "
HINT = "orvan.worker: hint: "
NOTE = "orvan.worker: note: "
UNSTORABLE_HINT = ("values are stored as JSON: return lists (not sets), ISO strings (not dates), "
                   "str or float (not Decimal), dicts (not dataclasses or other objects)")

USAGE = (
    "usage: python -m orvan.worker MODULE FUNCTION OUTPUT_DIR "
    "[INPUT_KWARGS_JSON | --kwargs-file PATH] [--serializer NAME] [--inputs-file PATH]\n"
    "       python -m orvan.worker MODULE FUNCTION OUTPUT_DIR --rerun"
)
# Options that take one value, each given at most once.
OPTIONS = ("--kwargs-file", "--serializer", "--inputs-file")
# Rerun by hand a job whose failed attempt kept its arguments in OUTPUT_DIR.
RERUN = "--rerun"


class UsageError(Exception):
    pass


# module, function, output directory, kwargs text, serializer, references
# text. A plain tuple: typing's NamedTuple would cost every worker its import.
Args = tuple[str, str, str, "str | None", "str | None", "str | None"]


def _split(argv: list[str]) -> tuple[list[str], dict[str, str]]:
    positional: list[str] = []
    options: dict[str, str] = {}
    i = 0
    while i < len(argv):
        arg = argv[i]
        name, eq, inline = arg.partition("=")
        if name in OPTIONS:
            if name in options or (not eq and i + 1 >= len(argv)):
                raise UsageError(f"{name} takes one value and may be given once")
            options[name] = inline if eq else argv[i + 1]
            i += 1 if eq else 2
            continue
        if arg in ("-h", "--help"):
            raise UsageError("")
        if arg == RERUN:
            options[RERUN] = ""
            i += 1
            continue
        positional.append(arg)
        i += 1
    return positional, options


def parse_args(argv: list[str]) -> Args:
    positional, options = _split(argv)
    if RERUN in options:
        if len(options) > 1 or len(positional) != 3:
            raise UsageError(f"{RERUN} takes MODULE FUNCTION OUTPUT_DIR and nothing else")
        return rerun_args(*positional)
    kwargs_file = options.get("--kwargs-file")
    if len(positional) not in (3, 4) or (kwargs_file is not None and len(positional) == 4):
        raise UsageError("expected MODULE FUNCTION OUTPUT_DIR and at most one kwargs source")
    module, function, output_dir = positional[:3]
    kwargs: str | None = positional[3] if len(positional) == 4 else None
    if kwargs_file is not None:
        kwargs = read_kwargs_file(kwargs_file)
    refs = options.get("--inputs-file")
    return (module, function, output_dir, kwargs, options.get("--serializer"),
            None if refs is None else read_kwargs_file(refs))


def rerun_args(module: str, function: str, output_dir: str) -> Args:
    """What the runner gave the job's failed attempt: the arguments it kept
    in the job's directory (`kwargs.json`, and `inputs.json` for values that
    are not JSON) and the asset's own serializer."""
    from orvan.store.naming import INPUTS_FILE, KWARGS_FILE

    files = [os.path.join(output_dir, name) for name in (KWARGS_FILE, INPUTS_FILE)]
    kwargs, refs = (read_kwargs_file(path) if os.path.isfile(path) else None for path in files)
    return module, function, output_dir, kwargs, _declared_serializer(module, function), refs


def _declared_serializer(module: str, function: str) -> str | None:
    """The asset's `serializer=`; None (JSON) when it cannot be imported, for
    the run to record why."""
    import importlib

    try:
        asset = getattr(importlib.import_module(module), function)
        serializer = asset.__orvan_metadata__.get("serializer")
    except Exception:
        return None
    return serializer if isinstance(serializer, str) else None


def read_kwargs_file(path: str) -> str:
    try:
        if path == "-":
            return sys.stdin.buffer.read().decode("utf-8")
        with open(path, encoding="utf-8") as handle:
            return handle.read()
    except (OSError, UnicodeDecodeError) as exc:
        raise UsageError(f"cannot read {path!r}: {exc}") from None


def main(argv: list[str] | None = None) -> int:
    # A worker whose runner is gone must not go on to write into a directory
    # that the next run may be redoing.
    process.guard_from_env()
    checked_imports.install()
    checked_imports.expect_from_env()
    try:
        args = parse_args(sys.argv[1:] if argv is None else argv)
    except UsageError as exc:
        print(USAGE, file=sys.stderr)
        if str(exc):
            print(f"error: {exc}", file=sys.stderr)
        return 2
    return run_job(*args)


def run_job(module: str, function: str, output_dir: str, kwargs: str | None,
            serializer: str | None = None, refs: str | None = None) -> int:
    """Materialise one job in this process; the worker's exit status.

    Every way of running a job (this stub, a fork server's child) goes
    through here, so they write the same files and exit the same way."""
    if refs is not None or serializer not in (None, "json"):
        from orvan.values.materialize import materialize

        return _checked(materialize(module, function, output_dir, kwargs, refs, serializer), output_dir)
    from orvan._orvan import materialize_asset

    watch = _Watch(function)
    try:
        with watch:
            materialize_asset(module, function, output_dir, kwargs)
    except SystemExit as exc:
        if not watch.report_failure(module):
            _hint_for_unstorable(output_dir)
        return exc.code if isinstance(exc.code, int) else 1
    except Exception as exc:
        # Raised before the run started (bad output directory, text that is not
        # UTF-8): nothing was recorded, so say it here.
        print(f"orvan.worker: {type(exc).__qualname__}: {exc}", file=sys.stderr)
        return 1
    watch.report_success(module)
    return _checked(0, output_dir)


# As orvan.checks names it: read without importing that module for every job.
CHECKS_REQUEST = "checks.request.json"


def _checked(status: int, output_dir: str) -> int:
    """After a success, the checks the runner asked for, in this process:
    the value's job is not done before its checks are."""
    if status == 0 and os.path.exists(os.path.join(output_dir, CHECKS_REQUEST)):
        from orvan.checks import run_requested

        try:
            run_requested(output_dir)
        except Exception as exc:  # the value is stored; the runner sees no outcome and says so
            print(f"orvan.worker: the checks could not be run: {type(exc).__qualname__}: {exc}",
                  file=sys.stderr, flush=True)
    return status


class _Watch:
    """Sees the asset function's exception or return value.

    The native module catches the exception and records only its text, and
    it stores the value without handing it back, so both are seen on their
    way out through sys.monitoring. PY_UNWIND fires for each frame an
    exception leaves and costs nothing until one does; PY_START is disabled
    at the first start of each other function, and turns on PY_RETURN for
    the function's own code only. The last unwind or return of the function's
    code object (known once the module is imported; until then every code
    object named like it is kept) is the asset's own frame leaving, so the
    traceback runs from the asset's frame down, with no frames of ours."""

    def __init__(self, function: str):
        self.function = function
        # Per code object named like the function: its last exception or value.
        self.raised: dict[CodeType, BaseException] = {}
        self.returned: dict[CodeType, object] = {}
        self.tool: int | None = None

    def _on_unwind(self, code: CodeType, offset: int, exc: BaseException) -> object:
        if code.co_name == self.function:
            self.raised[code] = exc
            self.returned.pop(code, None)
        return None

    def _on_start(self, code: CodeType, offset: int) -> object:
        if code.co_name != self.function or self.tool is None:
            return sys.monitoring.DISABLE
        sys.monitoring.set_local_events(self.tool, code, sys.monitoring.events.PY_RETURN)
        return None

    def _on_return(self, code: CodeType, offset: int, value: object) -> object:
        # Only the last way out counts: a recursive call that raised may have
        # been caught by the outer one, which then returned.
        self.returned[code] = value
        self.raised.pop(code, None)
        return None

    def __enter__(self) -> None:
        mon = sys.monitoring
        # Another tool (a debugger, coverage) may hold an id: take a free one.
        for tool in range(6):
            if mon.get_tool(tool) is None:
                mon.use_tool_id(tool, "orvan.worker")
                mon.register_callback(tool, mon.events.PY_UNWIND, self._on_unwind)
                mon.register_callback(tool, mon.events.PY_START, self._on_start)
                mon.register_callback(tool, mon.events.PY_RETURN, self._on_return)
                mon.set_events(tool, mon.events.PY_UNWIND | mon.events.PY_START)
                self.tool = tool
                return

    def __exit__(self, *exc_info: object) -> None:
        if self.tool is not None:
            mon = sys.monitoring
            mon.set_events(self.tool, 0)
            for event in (mon.events.PY_UNWIND, mon.events.PY_START, mon.events.PY_RETURN):
                mon.register_callback(self.tool, event, None)
            mon.free_tool_id(self.tool)
            self.tool = None

    def report_failure(self, module: str) -> bool:
        """Print the asset's traceback; False when it did not raise (its
        value could not be stored, or it never ran)."""
        code = _asset_code(module, self.function)
        exc = self.raised.get(code) if code is not None else None
        if exc is None:
            return False
        import traceback

        sys.stderr.write("".join(traceback.format_exception(exc)))
        where = innermost_user_frame(exc.__traceback__)
        if where:
            sys.stderr.write(f"{RAISED_AT}{where}\n")
        sys.stderr.flush()
        return True

    def report_success(self, module: str) -> None:
        code = _asset_code(module, self.function)
        if code is None or code not in self.returned:
            return
        change = json_changes(self.returned[code])
        if change:
            print(f"{NOTE}{change}", file=sys.stderr, flush=True)


def json_changes(value: object, limit: int = 100_000) -> str | None:
    """How the value read back from JSON will differ from the one returned,
    in a way the downstream notices; None when it reads back the same."""
    stack, seen = [value], 0
    while stack and seen < limit:
        item = stack.pop()
        seen += 1
        if isinstance(item, tuple):
            return "it holds a tuple, which is stored and read back as a list"
        if isinstance(item, dict):
            odd = next((k for k in item if not isinstance(k, str)), None)
            if odd is not None:
                return (f"it holds a dict with {type(odd).__name__} keys ({odd!r}), "
                        "which are stored and read back as strings")
            stack.extend(item.values())
        elif isinstance(item, list):
            stack.extend(item)
    return None


def _hint_for_unstorable(output_dir: str) -> None:
    import json

    try:
        with open(os.path.join(output_dir, "result.json"), encoding="utf-8") as f:
            error = str(json.load(f).get("error", ""))
    except (OSError, ValueError, AttributeError):
        return
    if "is not JSON serializable" in error:
        print(f"{HINT}{UNSTORABLE_HINT}", file=sys.stderr, flush=True)


def _asset_code(module: str, function: str) -> CodeType | None:
    obj = getattr(sys.modules.get(module), function, None)
    original = getattr(obj, "__orvan_original__", obj)
    code = getattr(original, "__code__", None)
    return code if isinstance(code, CodeType) else None


def _library_dirs() -> tuple[str, ...]:
    import sysconfig

    paths = sysconfig.get_paths()
    return tuple(os.path.join(os.path.realpath(paths[k]), "") for k in ("stdlib", "platstdlib", "purelib", "platlib"))


def innermost_user_frame(tb: TracebackType | None) -> str | None:
    """FILE:LINE of the innermost frame outside Python's and the installed
    packages' code; the asset's own frame if every other one is library code."""
    libraries = _library_dirs()
    found: str | None = None
    while tb is not None:
        filename = tb.tb_frame.f_code.co_filename
        if found is None or not (filename.startswith("<") or os.path.realpath(filename).startswith(libraries)):
            found = f"{filename}:{tb.tb_lineno}"
        tb = tb.tb_next
    return found


if __name__ == "__main__":
    sys.exit(main())
