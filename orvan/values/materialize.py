"""Materialise one job whose value, or one of whose inputs, is not JSON.

The native path (``materialize_asset``) writes ``value.json`` only. This one
does the same steps in Python for every other serializer and leaves the same
files behind: the stored value, written through a temporary file renamed
into place so a killed job never leaves half a value under the final name,
and ``result.json`` with the same members as the native records (the success
record's ``artifact_format`` is the serializer's name). Inputs arrive as JSON
keyword arguments, as for the native path, plus references to upstream files
that are loaded here with their own serializer, never through JSON.
"""

from __future__ import annotations

import errno
import importlib
import inspect
import json
import os
import pathlib
import sys
import traceback
from typing import Any

from ..inspect import describe_exception
from ..store.space import disk_full
from . import get, is_json, value_file

RESULT_FILE = "result.json"


def materialize(module: str, function: str, output_dir: str, kwargs_text: str | None,
                refs_text: str | None, serializer: str | None) -> int:
    """Run the job; 0 after success, 1 after a failure recorded in result.json."""
    os.makedirs(output_dir, exist_ok=True)
    try:
        original = _original(importlib.import_module(module), function)
        kwargs = {**_json_kwargs(kwargs_text), **_load_refs(refs_text)}
        value = original(**kwargs)
        value_path = _store(value, output_dir, serializer)
        record = {
            "artifact_format": serializer or "json",
            "function_name": function,
            "module_path": module,
            "ok": True,
            "result_type": type(value).__name__,
            "signature": str(inspect.signature(original)),
            "value_path": value_path,
        }
    except BaseException as e:  # the asset's own SystemExit is a failure too
        _print_traceback(e)
        _write_record(output_dir, {"error": describe_exception(e), "error_type": type(e).__name__, "ok": False})
        return 1
    _write_record(output_dir, record)
    return 0


def _original(module: Any, function: str) -> Any:
    fn = getattr(module, function)
    try:
        return fn.__orvan_original__
    except Exception:
        return fn


def _json_kwargs(text: str | None) -> dict[str, Any]:
    if text is None:
        return {}
    kwargs = json.loads(text)
    if not isinstance(kwargs, dict):
        raise TypeError(f"'{type(kwargs).__qualname__}' object cannot be converted to 'PyDict'")
    return kwargs


def _load_refs(text: str | None) -> dict[str, Any]:
    if text is None:
        return {}
    return {param: _load_node(node) for param, node in json.loads(text).items()}


def _load_node(node: dict[str, Any]) -> Any:
    """A reference to one stored value, or a map of them (a fan-in)."""
    if node["kind"] == "map":
        return {key: _load_node(child) for key, child in node["items"].items()}
    if is_json(node["serializer"]):
        with open(node["path"], encoding="utf-8") as f:
            return json.load(f)
    return get(node["serializer"]).load(node["path"])


def _store(value: Any, output_dir: str, serializer: str | None) -> str:
    # As the native path words it: relative when output_dir is.
    final = str(pathlib.Path(output_dir) / value_file(serializer))
    partial = os.path.join(output_dir, f".{os.path.basename(final)}.partial")
    try:
        if is_json(serializer):
            with open(partial, "w", encoding="utf-8") as f:
                f.write(json.dumps(value))
        else:
            get(serializer or "").dump(value, partial)
        os.replace(partial, final)
    except OSError as e:
        full = _no_space(e, output_dir)
        if full is None:
            raise
        raise full from e
    finally:
        if os.path.exists(partial):
            os.unlink(partial)
    return final


def _no_space(e: OSError, output_dir: str) -> OSError | None:
    """A full disk in the words every job uses, whatever the serializer's
    library said (numpy: "N requested and M written", with no errno)."""
    if e.errno in (errno.ENOSPC, errno.EDQUOT) or disk_full(output_dir):
        return OSError(errno.ENOSPC, f"no space left on device: the value could not be written in {output_dir} ({e})")
    return None


def _write_record(output_dir: str, record: dict[str, Any]) -> None:
    text = json.dumps(record, ensure_ascii=False, sort_keys=True, separators=(",", ":"))
    with open(os.path.join(output_dir, RESULT_FILE), "w", encoding="utf-8") as f:
        f.write(text)


def _print_traceback(e: BaseException) -> None:
    # From the asset's frame down: the frames of this module are ours, not
    # the author's, and only hide where the failure came from.
    tb = e.__traceback__
    while tb is not None and tb.tb_frame.f_code.co_filename == __file__:
        tb = tb.tb_next
    traceback.print_exception(type(e), e, tb, file=sys.stderr)
    # The line the command reads back, as the native path's jobs print it.
    from ..worker import RAISED_AT, innermost_user_frame

    where = innermost_user_frame(tb)
    if where:
        sys.stderr.write(f"{RAISED_AT}{where}\n")
    sys.stderr.flush()
