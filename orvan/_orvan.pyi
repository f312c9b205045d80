"""Type information for the native module ``orvan._orvan``.

``AssetWrapper`` is generic over the decorated function's parameters and
return type, so that a function keeps its signature for type checkers after
``@asset(...)``.
"""

from collections.abc import Callable, Sequence
from typing import Any, Generic, Literal, ParamSpec, Protocol, Self, TypedDict, TypeVar, final

__all__ = [
    "AssetWrapper",
    "Partitions",
    "asset",
    "partitions",
    "inspect_modules",
    "materialize_asset",
]

_P = ParamSpec("_P")
_R = TypeVar("_R")
_R_co = TypeVar("_R_co", covariant=True)

class _PartitionMetadata(TypedDict):
    kind: Literal["inline"]
    values_json: str  # the dimension's keys as one compact JSON array

class _AssetMetadata(TypedDict):
    kind: Literal["asset"]
    name: str | None
    serializer: str | None
    inputs: dict[str, str] | None  # parameter name -> "{file}:{function}" or the given text
    partitions: dict[str, _PartitionMetadata] | None

class _AssetLike(Protocol):
    """Anything that answers ``__orvan_kind__``; only "asset" is accepted at run time."""

    @property
    def __orvan_kind__(self) -> str: ...

@final
class AssetWrapper(Generic[_P, _R_co]):
    """The `@asset()` decorator wrapper. Stores the original function and metadata."""

    # Made only by the decorator that asset(...) returns; calling the class raises TypeError.
    @property
    def __orvan_metadata__(self) -> _AssetMetadata: ...
    @property
    def __orvan_kind__(self) -> Literal["asset"]: ...
    @property
    def __orvan_original__(self) -> Callable[_P, _R_co]: ...
    @property
    def __name__(self) -> str: ...
    # Read from the original function; declared as on ``object``, whose
    # ``__module__`` is a plain attribute. Assigning it raises AttributeError.
    __module__: str
    @property
    def __qualname__(self) -> str: ...
    @property
    def __wrapped__(self) -> Callable[_P, _R_co]: ...
    def __call__(self, *args: _P.args, **kwargs: _P.kwargs) -> _R_co: ...
    # A wrapper in a class body is never bound: reading it gives the wrapper.
    def __get__(self, instance: object, owner: type | None = None, /) -> Self: ...

class _AssetDecorator(Protocol):
    def __call__(self, function: Callable[_P, _R], /) -> AssetWrapper[_P, _R]: ...

@final
class Partitions:
    """Marker type returned by `partitions([...])`. Stores the static values."""

    # Made only by partitions(values); calling the class raises TypeError.

def asset(
    *,
    name: str | None = None,
    inputs: dict[str, _AssetLike | str] | None = None,
    partitions: dict[str, Partitions] | None = None,
    serializer: str | None = None,
) -> _AssetDecorator:
    """Decorator that registers a Python function as a orvan asset.

    ``name`` is the asset's key; without it the ``orvan`` command keys the
    asset as ``<defining module>.<function>``. Each ``inputs`` parameter and
    each ``partitions`` dimension is passed to the function by keyword, so it
    must name one of its parameters (or the function takes ``**kwargs``). An
    upstream given as a decorated function is recorded as
    ``"<file>:<function>"``; text is matched against names, then keys.
    """

def partitions(values: list[Any]) -> Partitions:
    """Declare a static partition universe for use with ``@asset(partitions=...)``."""

def inspect_modules(modules: Sequence[str]) -> str:
    """Inspect modules for orvan assets; returns the inspection report as JSON text.

    ``modules`` must not be a single ``str``: that raises TypeError.
    """

def materialize_asset(
    module_name: str,
    function_name: str,
    output_dir: str,
    input_kwargs_json: str | None = None,
) -> None:
    """Materialize a single asset function; raises SystemExit(1) after a failed run."""
