"""The automations a project declares, one `[tool.orvan.automations.NAME]`
table each: a selection (as `orvan run --select` takes it) and one trigger.

    [tool.orvan.automations.morning]
    select = ["+report"]
    cron = "0 6 * * *"
    timezone = "Europe/Paris"      # default UTC
    catch_up = "latest"            # latest (default), all or none
    partitions = "latest"          # only the newest partition of each dimension

    [tool.orvan.automations.dev]
    select = "prices+"
    on_change = true
"""

from __future__ import annotations

from dataclasses import dataclass

from ..cli.config import ConfigError
from ..cli.project import tool_section

CATCH_UP = ("latest", "all", "none")
KEYS = ("select", "cron", "timezone", "catch_up", "on_change", "partitions")


@dataclass(frozen=True)
class Automation:
    name: str
    select: tuple[str, ...]  # empty: every asset
    cron: str | None
    timezone: str
    catch_up: str
    on_change: bool
    latest_partitions: bool

    @property
    def trigger(self) -> str:
        return f"cron {self.cron} ({self.timezone})" if self.cron else "on change"


def load_automations(directory: str) -> list[Automation]:
    """The project's automations, in file order; a ConfigError names the
    first table that is not one."""
    path, section = tool_section(directory)
    tables = section.get("automations", {})
    if not isinstance(tables, dict):
        raise ConfigError(f"{path}: [tool.orvan.automations] must hold one table per automation")
    return [_automation(f"{path}: [tool.orvan.automations.{name}]", name, table) for name, table in tables.items()]


def _automation(where: str, name: str, table: object) -> Automation:
    if not isinstance(table, dict):
        raise ConfigError(f"{where} must be a table")
    unknown = sorted(set(table) - set(KEYS))
    if unknown:
        raise ConfigError(f"{where}: unknown key {unknown[0]!r} (known: {', '.join(KEYS)})")
    cron, on_change = table.get("cron"), table.get("on_change", False)
    if not isinstance(on_change, bool):
        raise ConfigError(f"{where}: on_change must be true or false")
    if (cron is None) == (not on_change):
        raise ConfigError(f"{where}: give it one trigger: cron = \"...\" or on_change = true")
    timezone = _text(where, table, "timezone", "UTC")
    catch_up = _text(where, table, "catch_up", "latest")
    if catch_up not in CATCH_UP:
        raise ConfigError(f"{where}: catch_up must be one of {', '.join(CATCH_UP)}")
    if cron is not None:
        _check_cron(where, cron, timezone)
    elif "timezone" in table or "catch_up" in table:
        raise ConfigError(f"{where}: timezone and catch_up go with cron, not on_change")
    partitions = table.get("partitions")
    if partitions not in (None, "latest"):
        raise ConfigError(f"{where}: partitions can only be \"latest\"")
    return Automation(name, _select(where, table.get("select")), cron, timezone, catch_up, on_change,
                      partitions == "latest")


def _text(where: str, table: dict[str, object], key: str, default: str) -> str:
    value = table.get(key, default)
    if not isinstance(value, str) or not value:
        raise ConfigError(f"{where}: {key} must be a non-empty string")
    return value


def _select(where: str, value: object) -> tuple[str, ...]:
    if value is None:
        return ()
    terms = [value] if isinstance(value, str) else value
    if not isinstance(terms, list) or not terms or not all(isinstance(t, str) and t for t in terms):
        raise ConfigError(f"{where}: select must be a selection (\"+report\") or a list of them")
    return tuple(terms)


def _check_cron(where: str, cron: object, timezone: str) -> None:
    from . import schedule  # cronsim: only for projects that declare a cron

    if not isinstance(cron, str):
        raise ConfigError(f"{where}: cron must be a string such as \"0 6 * * *\"")
    problem = schedule.problem(cron, timezone)
    if problem:
        raise ConfigError(f"{where}: {problem}")
