"""The subcommands other than `run`, one module each."""

from __future__ import annotations

import importlib

__all__ = ["cmd_clean", "cmd_graph", "cmd_history", "cmd_list", "cmd_logs", "cmd_show", "cmd_status"]

# Each name is imported on first use: a command needs its own module only,
# and some of them import much (clean: the whole plan).
_MODULES = {"cmd_clean": "clean", "cmd_graph": "graph", "cmd_history": "history", "cmd_list": "listing",
            "cmd_logs": "logs", "cmd_show": "show", "cmd_status": "status"}


def __getattr__(name: str) -> object:
    if name not in _MODULES:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value: object = getattr(importlib.import_module(f".{_MODULES[name]}", __name__), name)
    globals()[name] = value
    return value
