"""A short text for a stored value that is not JSON, for `orvan show` and the
web UI: what it is and a first look at it, never the whole of a large value."""

from __future__ import annotations

from typing import Any

from . import get

# How much of a repr a one-line summary keeps.
REPR_LIMIT = 200


def summarize(path: str, serializer: str, rows: int = 5) -> str:
    value = get(serializer).load(path)
    kind = type(value)
    if kind.__module__.startswith("pandas") and kind.__name__ == "DataFrame":
        return _frame(value, rows)
    if kind.__module__.startswith("numpy") and kind.__name__ == "ndarray":
        return _array(value)
    if isinstance(value, (bytes, bytearray)):
        return f"bytes, {len(value)} bytes: {_cut(repr(bytes(value[:REPR_LIMIT])))}"
    if isinstance(value, str) and serializer == "text":
        return value
    return f"{kind.__module__}.{kind.__qualname__}: {_cut(repr(value))}"


def _frame(df: Any, rows: int) -> str:
    dtypes = ", ".join(f"{name}: {dtype}" for name, dtype in df.dtypes.items())
    head = df.head(rows).to_string()
    return f"DataFrame, {df.shape[0]} rows x {df.shape[1]} columns\ndtypes: {dtypes}\n{head}"


def _array(a: Any) -> str:
    import numpy as np

    preview = np.array2string(a, threshold=20, edgeitems=3)
    return f"ndarray, shape {a.shape}, dtype {a.dtype}\n{preview}"


def _cut(text: str) -> str:
    line = text.replace("\n", " ")
    return line if len(line) <= REPR_LIMIT else line[: REPR_LIMIT - 3] + "..."
