"""Where the pipeline's modules and its output directory come from."""

from __future__ import annotations

import os
import tomllib

DEFAULT_OUT = ".orvan"


class ConfigError(Exception):
    pass


def modules_from_pyproject(directory: str) -> list[str]:
    """`[tool.orvan] modules = [...]` from `directory/pyproject.toml`, or []."""
    path = os.path.join(directory, "pyproject.toml")
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except FileNotFoundError:
        return []
    except tomllib.TOMLDecodeError as e:
        raise ConfigError(f"{path}: {e}") from None
    section = data.get("tool", {}).get("orvan", {})
    modules = section.get("modules", [])
    if not isinstance(modules, list) or not all(isinstance(m, str) and m for m in modules):
        raise ConfigError(f"{path}: [tool.orvan] modules must be a list of module names")
    return modules


def resolve_modules(given: list[str], directory: str) -> list[str]:
    modules = given or modules_from_pyproject(directory)
    if not modules:
        raise ConfigError(
            "no modules to inspect: name them on the command line, "
            "or set [tool.orvan] modules = [...] in pyproject.toml"
        )
    # The same module named twice would only be inspected twice.
    return list(dict.fromkeys(modules))


def resolve_out(out: str | None, directory: str) -> str:
    return os.path.abspath(os.path.join(directory, out or DEFAULT_OUT))
