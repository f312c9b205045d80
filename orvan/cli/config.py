"""The pipeline's settings and its output directory: `[tool.orvan]` of the
project's pyproject.toml, overridden by the command line.

The project and its modules are found by `project` (re-exported here, where
the commands look for everything about the project); the default output
directory lies in the project directory, so the command works the same from
any subdirectory.
"""

from __future__ import annotations

import fnmatch
import os
import sys
from dataclasses import dataclass, fields, replace
from typing import Any

# Re-exported: the commands find everything about the project here.
from .project import (DEFAULT_OUT, ConfigError, modules_from_pyproject, modules_or_last_run, project_directory,
                      resolve_modules, tool_section)

__all__ = ["DEFAULT_OUT", "ConfigError", "modules_from_pyproject", "modules_or_last_run", "project_directory",
           "resolve_modules"]

# How `orvan run` isolates jobs: each in a child of a fork server (cheap to
# start), or each in a freshly spawned interpreter (the portable way).
ISOLATIONS = ("fork", "spawn")


def resolve_isolation(given: str | None, directory: str) -> str:
    """--isolation, else `[tool.orvan] isolation`, else the fork server where
    there is one to be had (Linux), else spawn."""
    if given:
        return given
    path, section = tool_section(directory)
    isolation = section.get("isolation")
    if isolation is None:
        return "fork" if sys.platform.startswith("linux") else "spawn"
    if isolation not in ISOLATIONS:
        raise ConfigError(f"{path}: [tool.orvan] isolation must be one of {', '.join(map(repr, ISOLATIONS))}")
    return str(isolation)


def resolve_out(out: str | None, directory: str) -> str:
    """The output directory as one canonical path (symlinks resolved), so that
    however `--out` is spelt, a run knows its own jobs' directories. A given
    --out is relative to where the command was typed; the default lies in
    the project directory."""
    path = os.path.realpath(os.path.abspath(out) if out else os.path.join(directory, DEFAULT_OUT))
    # The first component that exists must be a directory all the way down.
    probe = path
    while not os.path.exists(probe) and os.path.dirname(probe) != probe:
        probe = os.path.dirname(probe)
    if not os.path.isdir(probe):
        where = f"--out {path}" + ("" if probe == path else f": {probe}")
        raise ConfigError(f"{where} is a file, not a directory: name a directory, or move the file aside")
    return path


@dataclass(frozen=True)
class JobSettings:
    """How one asset's jobs are run: attempts after the first, the base
    delay between them, and the time limit of each attempt."""

    retries: int = 0
    retry_delay: float = 1.0
    timeout: float | None = None
    # Whether its jobs may be forked from a process that imported its module
    # once (the fork server's warm imports).
    warm_imports: bool = True


def _setting(path: str, where: str, name: str, value: object) -> object:
    if name == "warm_imports":
        if not isinstance(value, bool):
            raise ConfigError(f"{path}: {where} warm_imports must be true or false")
        return value
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ConfigError(f"{path}: {where} {name} must be a number")
    if name == "retries" and not (isinstance(value, int) and value >= 0):
        raise ConfigError(f"{path}: {where} retries must be a whole number, 0 or more")
    if name == "retry_delay" and value < 0:
        raise ConfigError(f"{path}: {where} retry_delay must be 0 or more seconds")
    if name == "timeout" and value <= 0:
        raise ConfigError(f"{path}: {where} timeout must be a positive number of seconds")
    return value if name == "retries" else float(value)


def _overrides(path: str, where: str, table: object) -> dict[str, object]:
    if not isinstance(table, dict):
        raise ConfigError(f"{path}: {where} must be a table")
    known = {f.name for f in fields(JobSettings)}
    unknown = sorted(set(table) - known)
    if unknown:
        raise ConfigError(f"{path}: {where}: unknown setting {unknown[0]!r} (known: {', '.join(sorted(known))})")
    return {name: _setting(path, where, name, value) for name, value in table.items()}


@dataclass(frozen=True)
class Settings:
    """Per-asset settings: the command line's defaults, then each
    `[tool.orvan.assets."PATTERN"]` table whose pattern matches the key, in
    file order, and last the table named by the exact key."""

    defaults: JobSettings
    tables: tuple[tuple[str, dict[str, object]], ...] = ()

    def for_asset(self, key: str) -> JobSettings:
        result = self.defaults
        for pattern, values in self.tables:
            if pattern != key and fnmatch.fnmatchcase(key, pattern):
                result = replace(result, **values)  # type: ignore[arg-type]  # checked by _overrides
        for pattern, values in self.tables:
            if pattern == key:
                result = replace(result, **values)  # type: ignore[arg-type]  # checked by _overrides
        return result


    def unmatched(self, keys: list[str]) -> list[str]:
        """The patterns of `[tool.orvan.assets]` that match none of the keys."""
        return [pattern for pattern, _ in self.tables
                if pattern not in keys and not any(fnmatch.fnmatchcase(key, pattern) for key in keys)]


def load_settings(directory: str, given: dict[str, object]) -> Settings:
    """`given` holds the command line's values, None where not given; they
    override `[tool.orvan]` retries, retry_delay, timeout and warm_imports,
    which override the built-in defaults."""
    path, section = tool_section(directory)
    project = {name: section[name] for name in ("retries", "retry_delay", "timeout", "warm_imports")
               if name in section}
    values = _overrides(path, "[tool.orvan]", project) | {k: v for k, v in given.items() if v is not None}
    defaults = replace(JobSettings(), **values)  # type: ignore[arg-type]  # checked by _overrides and argparse
    assets = section.get("assets", {})
    if not isinstance(assets, dict):
        raise ConfigError(f"{path}: [tool.orvan.assets] must be a table of asset keys")
    tables = tuple(
        (pattern, _overrides(path, f"[tool.orvan.assets.{pattern!r}]", table)) for pattern, table in assets.items()
    )
    return Settings(defaults, tables)


def text_setting(directory: str, name: str) -> str | None:
    """A `[tool.orvan]` key whose value must be non-empty text, or None if unset."""
    path, section = tool_section(directory)
    value = section.get(name)
    if value is not None and not (isinstance(value, str) and value):
        raise ConfigError(f"{path}: [tool.orvan] {name} must be a non-empty string")
    return value


# "local" runs every job on this host (however --isolation starts it);
# "dask" hands them to a Dask cluster.
EXECUTORS = ("local", "dask")


def resolve_executor(executor: str | None, scheduler: str | None, directory: str) -> tuple[str, str | None]:
    """The executor's name and, for dask, the scheduler's address or "local".

    The command line wins, then (for the address) DASK_SCHEDULER_ADDRESS, as
    Dask itself reads it, then [tool.orvan]. Naming a scheduler alone is
    enough to choose dask; the variable alone is not, since it may be set
    for other Dask work."""
    name = executor or text_setting(directory, "executor") or ("dask" if scheduler else "local")
    if name not in EXECUTORS:
        raise ConfigError(f"unknown executor {name!r} (choose from {', '.join(EXECUTORS)})")
    if name != "dask":
        if scheduler:
            raise ConfigError("--scheduler applies to the dask executor only (add --executor dask)")
        return name, None
    address = scheduler or os.environ.get("DASK_SCHEDULER_ADDRESS") or text_setting(directory, "scheduler")
    if not address:
        raise ConfigError(
            "the dask executor needs a scheduler: --scheduler ADDRESS or --scheduler local, "
            "[tool.orvan] scheduler = \"tcp://host:8786\", or DASK_SCHEDULER_ADDRESS"
        )
    return name, address


STORE_ENV = "ORVAN_STORE"


@dataclass(frozen=True)
class StoreSetting:
    """Where values are stored: None for the output directory, else an
    fsspec URL and the options of its client (endpoint, region)."""

    url: str | None = None
    options: dict[str, Any] | None = None

    def spec(self) -> dict[str, Any] | None:
        """What a job's host needs to open the store: plain data."""
        return None if self.url is None else {"url": self.url, "options": dict(self.options or {})}


def resolve_store(given: str | None, directory: str) -> StoreSetting:
    """--store, else ORVAN_STORE, else `[tool.orvan] store`; the options from
    `[tool.orvan] store_options`. Credentials are refused in both: they come
    from the client's usual environment, so that none reaches the catalog,
    a message or a worker's task."""
    from ..store import SECRET_OPTIONS

    path, section = tool_section(directory)
    url = given or os.environ.get(STORE_ENV) or text_setting(directory, "store")
    options = section.get("store_options", {})
    if not isinstance(options, dict):
        raise ConfigError(f"{path}: [tool.orvan] store_options must be a table")
    secret = sorted(k for k in options if str(k).lower() in SECRET_OPTIONS)
    if secret:
        raise ConfigError(f"{path}: [tool.orvan] store_options must not hold credentials ({secret[0]!r}): "
                          "set them in the environment the store's client reads (AWS_ACCESS_KEY_ID, ...)")
    if not url:
        return StoreSetting()
    scheme, sep, rest = url.partition("://")
    if not sep or not scheme:
        raise ConfigError(f"the store must be a URL such as s3://bucket/prefix, not {url!r}")
    if "@" in rest.partition("/")[0]:
        raise ConfigError("the store URL must not hold credentials: set them in the environment the "
                          "store's client reads (AWS_ACCESS_KEY_ID, ...)")
    return StoreSetting(url, options)


CATALOG_ENV = "ORVAN_CATALOG"


def choose_catalog(given: str | None) -> None:
    """--catalog, else ORVAN_CATALOG, else `[tool.orvan] catalog`: the
    PostgreSQL database every command of this process records in or reads;
    none of them: each output directory's own `catalog.sqlite`."""
    from ..catalog import locate
    from ..catalog.urls import is_url, masked

    url = given or os.environ.get(CATALOG_ENV) or text_setting(project_directory(), "catalog")
    if url and not is_url(url):
        raise ConfigError(f"the catalog must be a URL such as postgresql://USER@HOST:PORT/DB, not {masked(url)!r}")
    locate.choose(url)
