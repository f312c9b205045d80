"""Materialise one asset: ``python -m orvan.worker MODULE FUNCTION OUTPUT_DIR [KWARGS]``.

The keyword arguments are a JSON object, given as the fourth argument or, for
large upstream values (Linux caps a single argument at 128 KiB), read from a
file with ``--kwargs-file PATH`` (``-`` reads standard input).

A value that is not JSON (``asset(serializer=...)``) is stored by that
serializer: ``--serializer NAME``. Upstream values that are not JSON come as
references to their stored files, ``--inputs-file PATH``: a JSON object whose
members name the parameter and hold ``{"kind": "file", "path": ...,
"serializer": ...}`` or, for a fan-in, ``{"kind": "map", "items": {...}}``.

Exit status: 0 after success, 1 after a failed run (``result.json`` holds the
failure record), 2 for wrong command-line use.
"""

from __future__ import annotations

import sys

USAGE = (
    "usage: python -m orvan.worker MODULE FUNCTION OUTPUT_DIR "
    "[INPUT_KWARGS_JSON | --kwargs-file PATH] [--serializer NAME] [--inputs-file PATH]"
)
# Options that take one value, each given at most once.
OPTIONS = ("--kwargs-file", "--serializer", "--inputs-file")


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
        positional.append(arg)
        i += 1
    return positional, options


def parse_args(argv: list[str]) -> Args:
    positional, options = _split(argv)
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


def read_kwargs_file(path: str) -> str:
    try:
        if path == "-":
            return sys.stdin.buffer.read().decode("utf-8")
        with open(path, encoding="utf-8") as handle:
            return handle.read()
    except (OSError, UnicodeDecodeError) as exc:
        raise UsageError(f"cannot read {path!r}: {exc}") from None


def main(argv: list[str] | None = None) -> int:
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

        return materialize(module, function, output_dir, kwargs, refs, serializer)
    from orvan._orvan import materialize_asset

    try:
        materialize_asset(module, function, output_dir, kwargs)
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else 1
    except Exception as exc:
        # Raised before the run started (bad output directory, text that is not
        # UTF-8): nothing was recorded, so say it here.
        print(f"orvan.worker: {type(exc).__qualname__}: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
