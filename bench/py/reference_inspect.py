"""A straightforward pure-Python `inspect_modules`, the baseline of the
inspection benchmark.

It makes the same standard-library calls as the native function, in the same
order, and writes the report with
`json.dumps(..., sort_keys=True, separators=(",", ":"), ensure_ascii=False)`.
The metadata goes through `json.dumps` and back (`json.loads` standing in for
our parser), as the native conversion does. Argument checks and the native
error messages are left out: the benchmark passes a valid list.
"""

from __future__ import annotations

import os

# Only a module that fails to import is described: never in the benchmark.
from orvan.inspect import describe_exception


def _skip_warning(name: str, exc: BaseException) -> None:
    line = f"orvan: skipping module '{name}': {describe_exception(exc)}\n"
    data = line.encode("utf-8", "surrogatepass").decode("utf-8", "replace").encode("utf-8")
    try:
        os.write(2, data)
    except OSError:
        pass


def _source(inspect, textwrap, obj: object) -> str:
    text = textwrap.dedent(inspect.getsource(obj)).strip()
    if not isinstance(text, str):
        raise TypeError(f"'{type(text).__qualname__}' object cannot be converted to 'PyString'")
    return text + "\n"


def _is_asset(value: object) -> bool:
    try:
        kind = value.__orvan_kind__  # type: ignore[attr-defined]
    except BaseException:
        return False
    return isinstance(kind, str) and str.__eq__(kind, "asset") is True


def _record(json, inspect, textwrap, pathlib, version: str, module, module_source: str, value) -> dict:
    metadata = json.loads(json.dumps(value.__orvan_metadata__))
    try:
        original = value.__orvan_original__
    except BaseException:
        original = value
    function_source = _source(inspect, textwrap, original)
    function_name = original.__name__
    try:
        source_file = inspect.getsourcefile(original)
    except BaseException:
        file_path = ""
    else:
        file_path = str(pathlib.Path(source_file).resolve())
    annotation = inspect.signature(original).return_annotation
    if annotation is inspect.Signature.empty:
        return_type = None
    elif isinstance(annotation, type):
        return_type = annotation.__name__
    else:
        return_type = str(annotation)
    return {
        "decorator_metadata": metadata,
        "file_path": file_path,
        "function_name": function_name,
        "function_source": function_source,
        "kind": "asset",
        "module_path": module.__name__,
        "module_source": module_source,
        "python_version": version,
        "return_type": return_type,
    }


def inspect_modules(modules: list[str]) -> str:
    import importlib
    import inspect
    import json
    import pathlib
    import sys
    import textwrap

    info = sys.version_info
    version = f"{info.major}.{info.minor}.{info.micro}"
    records = []
    for name in modules:
        try:
            module = importlib.import_module(name)
        except BaseException as exc:
            _skip_warning(name, exc)
            continue
        module_source = _source(inspect, textwrap, module)
        for _, value in inspect.getmembers(module):
            if _is_asset(value):
                records.append(_record(json, inspect, textwrap, pathlib, version, module, module_source, value))
    return json.dumps({"assets": records}, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
