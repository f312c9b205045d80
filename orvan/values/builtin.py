"""The serializers that come with orvan. Third-party libraries (pandas,
pyarrow, numpy) are imported only when a value of theirs is written or read,
and a missing one is named together with the extra that installs it."""

from __future__ import annotations

import pickle
from typing import Any


def _require(module: str, extra: str, serializer: str) -> Any:
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError as e:
        raise RuntimeError(
            f"the {serializer!r} serializer needs {module}, which is not installed: "
            f"pip install 'orvan[{extra}]'"
        ) from e


class PickleSerializer:
    name = "pickle"
    extension = "pkl"

    def dump(self, value: Any, path: str) -> None:
        with open(path, "wb") as f:
            pickle.dump(value, f, protocol=pickle.HIGHEST_PROTOCOL)

    def load(self, path: str) -> Any:
        with open(path, "rb") as f:
            return pickle.load(f)


class ParquetSerializer:
    name = "parquet"
    extension = "parquet"

    def dump(self, value: Any, path: str) -> None:
        pd = _require("pandas", "parquet", self.name)
        _require("pyarrow", "parquet", self.name)
        if not isinstance(value, pd.DataFrame):
            raise TypeError(f"the 'parquet' serializer stores a pandas DataFrame, not {type(value).__qualname__}")
        # pyarrow writes no timestamps, so equal frames give equal bytes and an
        # unchanged upstream stays unchanged for its downstream jobs.
        value.to_parquet(path, engine="pyarrow", compression="snappy")

    def load(self, path: str) -> Any:
        pd = _require("pandas", "parquet", self.name)
        _require("pyarrow", "parquet", self.name)
        return pd.read_parquet(path, engine="pyarrow")


class NpySerializer:
    name = "npy"
    extension = "npy"

    def dump(self, value: Any, path: str) -> None:
        np = _require("numpy", "npy", self.name)
        if not isinstance(value, np.ndarray):
            raise TypeError(f"the 'npy' serializer stores a numpy array, not {type(value).__qualname__}")
        with open(path, "wb") as f:
            # Without pickle an object array is refused rather than stored as
            # code that loading would run.
            np.save(f, value, allow_pickle=False)

    def load(self, path: str) -> Any:
        np = _require("numpy", "npy", self.name)
        return np.load(path, allow_pickle=False)


class TextSerializer:
    name = "text"
    extension = "txt"

    def dump(self, value: Any, path: str) -> None:
        if not isinstance(value, str):
            raise TypeError(f"the 'text' serializer stores a str, not {type(value).__qualname__}")
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(value)

    def load(self, path: str) -> Any:
        with open(path, encoding="utf-8", newline="") as f:
            return f.read()


class BytesSerializer:
    name = "bytes"
    extension = "bin"

    def dump(self, value: Any, path: str) -> None:
        if not isinstance(value, (bytes, bytearray, memoryview)):
            raise TypeError(f"the 'bytes' serializer stores bytes, not {type(value).__qualname__}")
        with open(path, "wb") as f:
            f.write(value)

    def load(self, path: str) -> Any:
        with open(path, "rb") as f:
            return f.read()


BUILTINS: dict[str, Any] = {
    s.name: s
    for s in (PickleSerializer(), ParquetSerializer(), NpySerializer(), TextSerializer(), BytesSerializer())
}
