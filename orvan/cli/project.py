"""Where the project is: its directory, its modules, and the import path
its code runs with.

The project is the nearest directory, from the current one upwards, whose
`pyproject.toml` has a `[tool.orvan]` table (as git and pytest look for
theirs); without one, the current directory. Modules are imported relative
to the project directory, so the command works the same from any
subdirectory.

This much is read before the inspection starts, the first thing the command
does, so it imports as little as it can.
"""

from __future__ import annotations

import functools
import os
import sys

from ..errors import OrvanError

# Not `from typing import ...`: typing costs more to import than the rest.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any

DEFAULT_OUT = ".orvan"
# The last inspection report read in an output directory, and what it
# inspected (a leading "." is never an asset's directory).
LAST_REPORT = ".inspection.json"
PYPROJECT = "pyproject.toml"
# The keys [tool.orvan] may hold; any other is most likely a typo.
KNOWN_KEYS = ("modules", "retries", "retry_delay", "timeout", "assets", "isolation", "automations", "store",
              "store_options")

class ConfigError(OrvanError):
    pass


@functools.cache
def _read(path: str) -> dict[str, Any] | None:
    """`[tool.orvan]` of the file, or None if it has none. Read once per
    process, so that its warnings are given once."""
    import tomllib  # here: it takes longer to import than the command takes to start its inspection

    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except FileNotFoundError:
        return None
    except (OSError, tomllib.TOMLDecodeError) as e:
        raise ConfigError(f"{path}: {e}") from None
    tool = data.get("tool")
    section = tool.get("orvan") if isinstance(tool, dict) else None
    if not isinstance(section, dict):
        return None
    for key in section:
        if key not in KNOWN_KEYS:
            # Imported here: the command reads this file before it starts the inspection.
            import difflib

            hint = difflib.get_close_matches(key, KNOWN_KEYS, n=1)
            print(f"orvan: warning: {path}: unknown key {key!r} in [tool.orvan]"
                  + (f" (did you mean {hint[0]!r}?)" if hint else ""), file=sys.stderr)
    return section


def tool_section(directory: str) -> tuple[str, dict[str, Any]]:
    """The path of `directory/pyproject.toml` and its `[tool.orvan]` table."""
    path = os.path.join(directory, PYPROJECT)
    return path, _read(path) or {}


def current_directory() -> str:
    try:
        return os.getcwd()
    except FileNotFoundError:
        raise ConfigError("the current directory no longer exists: change to the project's directory") from None


def project_directory(start: str | None = None) -> str:
    """The nearest directory, from `start` (default: the current one)
    upwards, whose pyproject.toml has [tool.orvan]; else `start`."""
    return _upwards(os.path.abspath(start or current_directory()), lambda path: _read(path) is not None)


def _upwards(start: str, has_section: Callable[[str], bool]) -> str:
    """The nearest directory from `start` upwards whose pyproject.toml
    `has_section`; else `start`."""
    directory = start
    while True:
        if has_section(os.path.join(directory, PYPROJECT)):
            return directory
        parent = os.path.dirname(directory)
        if parent == directory:
            return start
        directory = parent


def modules_from_pyproject(directory: str) -> list[str]:
    """`[tool.orvan] modules = [...]` from `directory/pyproject.toml`, or []."""
    path, section = tool_section(directory)
    modules = section.get("modules", [])
    if not isinstance(modules, list) or not all(isinstance(m, str) and m for m in modules):
        raise ConfigError(f"{path}: [tool.orvan] modules must be a list of module names")
    return modules


def modules_or_last_run(given: list[str], directory: str, last_run: Callable[[], list[str]]) -> list[str]:
    """The modules to inspect: those named on the command line, else
    `[tool.orvan] modules`, else those the last run inspected (`last_run`,
    asked only then); [] when none of them names any."""
    return list(dict.fromkeys(given or modules_from_pyproject(directory) or last_run()))


def resolve_modules(given: list[str], directory: str) -> list[str]:
    modules = given or modules_from_pyproject(directory)
    if not modules:
        raise ConfigError(
            "no modules to inspect: name them on the command line, "
            "or set [tool.orvan] modules = [...] in pyproject.toml"
        )
    # The same module named twice would only be inspected twice.
    return list(dict.fromkeys(modules))


def child_env(directory: str) -> dict[str, str]:
    """The environment for inspection and workers: the project directory first
    on the import path, as it is for a script run from there."""
    env = dict(os.environ)
    path = env.get("PYTHONPATH")
    env["PYTHONPATH"] = directory + (os.pathsep + path if path else "")
    return env
