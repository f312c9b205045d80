"""orvan: declare data assets as Python functions and materialise them to disk.

    from orvan import asset, partitions

    @asset(partitions={"ticker": partitions(["AAPL", "MSFT"])})
    def prices(ticker: str) -> dict[str, object]: ...

The ``orvan`` command keys an asset by its ``name=``, else by
``<defining module>.<function>``; ``"<file>:<function>"`` (the default that
``help(asset)`` names) is how an upstream is referenced in the ``inputs``
metadata that inspection reports.
"""

# Not `from typing import TYPE_CHECKING`: importing typing costs more than the
# rest of the package together.
TYPE_CHECKING = False

__all__ = ["asset", "partitions"]

if TYPE_CHECKING:
    from ._orvan import asset, partitions
else:
    # The extension is loaded on first use, so that tools which only need the
    # pure-Python parts (the command line, the stubs' argument parsing) start fast.
    def __getattr__(name: str) -> object:
        if name in __all__:
            from . import _orvan

            value = getattr(_orvan, name)
            globals()[name] = value
            return value
        if name == "__version__":
            from ._version import __version__

            return __version__
        raise AttributeError(f"module 'orvan' has no attribute {name!r}")
