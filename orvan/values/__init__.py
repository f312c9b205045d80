"""Asset values that are not JSON: the serializer registry.

An asset picks its serializer by name with ``asset(serializer=...)``. Absent
or "json" keeps the native path (``value.json``, written by the extension);
any other name is looked up here: the built-ins below, then the entry-point
group ``orvan.serializers``, through which other packages add their own
without touching orvan. A serializer is any object with

    name: str              what ``serializer=`` names it by
    extension: str         the stored file is ``value.<extension>``
    dump(value, path)      write the value to path (a new file)
    load(path)             read it back

This package never imports the command (`orvan.cli`); the command and the
worker both use it.
"""

from __future__ import annotations

from typing import Any, Protocol

JSON = "json"
ENTRY_POINT_GROUP = "orvan.serializers"
VALUE_STEM = "value"


class Serializer(Protocol):
    name: str
    extension: str

    def dump(self, value: Any, path: str) -> None: ...

    def load(self, path: str) -> Any: ...


class SerializerError(Exception):
    """An unknown serializer, or one whose optional dependency is missing."""


def is_json(name: str | None) -> bool:
    return name is None or name == JSON


def value_file(name: str | None) -> str:
    """The file name of a value stored by the named serializer."""
    if is_json(name):
        return f"{VALUE_STEM}.json"
    return f"{VALUE_STEM}.{get(name or JSON).extension}"


def known_names() -> list[str]:
    return sorted({JSON, *_builtins(), *_entry_points()})


def did_you_mean(name: str, known: list[str]) -> str:
    import difflib  # only for a misspelt name

    hint = difflib.get_close_matches(name, known, n=1)
    return f" (did you mean {hint[0]!r}?)" if hint else ""


def get(name: str) -> Serializer:
    """The serializer called name; SerializerError names the known ones."""
    builtin = _builtins().get(name)
    if builtin is not None:
        return builtin
    entry = _entry_points().get(name)
    if entry is None:
        known = known_names()
        raise SerializerError(f"unknown serializer {name!r}{did_you_mean(name, known)} (known: {', '.join(known)})")
    return _load_entry_point(name, entry)


def _builtins() -> dict[str, Serializer]:
    from .builtin import BUILTINS

    return BUILTINS


def _entry_points() -> dict[str, Any]:
    from importlib.metadata import entry_points

    return {ep.name: ep for ep in entry_points(group=ENTRY_POINT_GROUP)}


def _load_entry_point(name: str, entry: Any) -> Serializer:
    try:
        obj = entry.load()
    except Exception as e:
        raise SerializerError(f"serializer {name!r} ({entry.value}) cannot be loaded: {e}") from e
    # A class is as good as its instance: entry points usually name the class.
    serializer = obj() if isinstance(obj, type) else obj
    for attr in ("extension", "dump", "load"):
        if not hasattr(serializer, attr):
            raise SerializerError(f"serializer {name!r} ({entry.value}) has no {attr!r}")
    return serializer  # type: ignore[no-any-return]
