"""Materialise one asset: ``python -m orvan.worker MODULE FUNCTION OUTPUT_DIR [KWARGS]``.

The keyword arguments are a JSON object, given as the fourth argument or, for
large upstream values (Linux caps a single argument at 128 KiB), read from a
file with ``--kwargs-file PATH`` (``-`` reads standard input).

Exit status: 0 after success, 1 after a failed run (``result.json`` holds the
failure record), 2 for wrong command-line use.
"""

from __future__ import annotations

import sys

USAGE = (
    "usage: python -m orvan.worker MODULE FUNCTION OUTPUT_DIR "
    "[INPUT_KWARGS_JSON | --kwargs-file PATH]"
)


class UsageError(Exception):
    pass


def parse_args(argv: list[str]) -> tuple[str, str, str, str | None]:
    positional: list[str] = []
    kwargs_file: str | None = None
    i = 0
    while i < len(argv):
        arg = argv[i]
        if arg == "--kwargs-file":
            if kwargs_file is not None or i + 1 >= len(argv):
                raise UsageError("--kwargs-file takes one PATH and may be given once")
            kwargs_file = argv[i + 1]
            i += 2
            continue
        if arg.startswith("--kwargs-file="):
            if kwargs_file is not None:
                raise UsageError("--kwargs-file may be given once")
            kwargs_file = arg.partition("=")[2]
        elif arg in ("-h", "--help"):
            raise UsageError("")
        else:
            positional.append(arg)
        i += 1
    if len(positional) not in (3, 4) or (kwargs_file is not None and len(positional) == 4):
        raise UsageError("expected MODULE FUNCTION OUTPUT_DIR and at most one kwargs source")
    module, function, output_dir = positional[:3]
    kwargs: str | None = positional[3] if len(positional) == 4 else None
    if kwargs_file is not None:
        kwargs = read_kwargs_file(kwargs_file)
    return module, function, output_dir, kwargs


def read_kwargs_file(path: str) -> str:
    try:
        if path == "-":
            return sys.stdin.buffer.read().decode("utf-8")
        with open(path, encoding="utf-8") as handle:
            return handle.read()
    except (OSError, UnicodeDecodeError) as exc:
        raise UsageError(f"cannot read --kwargs-file {path!r}: {exc}") from None


def main(argv: list[str] | None = None) -> int:
    try:
        module, function, output_dir, kwargs = parse_args(
            sys.argv[1:] if argv is None else argv
        )
    except UsageError as exc:
        print(USAGE, file=sys.stderr)
        if str(exc):
            print(f"error: {exc}", file=sys.stderr)
        return 2
    return run_job(module, function, output_dir, kwargs)


def run_job(module: str, function: str, output_dir: str, kwargs: str | None) -> int:
    """Materialise one job in this process; the worker's exit status.

    Every way of running a job (this stub, a fork server's child) goes
    through here, so they write the same files and exit the same way."""
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
