"""Shared helpers for the orvan command's tests: inspection records built by
hand, and a throwaway project directory to run the command in."""

from __future__ import annotations

import json
import os
import sqlite3
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from orvan.cli.inspect.discovery import parse_report
from orvan.cli.plan.graph import build_graph
from orvan.cli.plan.jobs import build_plan


def record(function: str, module: str = "pipe.m", *, name=None, inputs=None, partitions=None,
           source: str | None = None, module_source: str | None = None, file_path: str | None = None) -> dict:
    """An inspection record as `python -m orvan.inspect` reports it."""
    source = source or f"@asset()\ndef {function}():\n    return 1\n"
    return {
        "decorator_metadata": {
            "inputs": inputs,
            "kind": "asset",
            "name": name,
            "partitions": None if partitions is None else {
                d: {"kind": "inline", "values_json": json.dumps(v, separators=(",", ":"))}
                for d, v in partitions.items()
            },
            "serializer": None,
        },
        "file_path": file_path if file_path is not None else "/src/" + module.replace(".", "/") + ".py",
        "function_name": function,
        "function_source": source,
        "kind": "asset",
        "module_path": module,
        "module_source": module_source if module_source is not None else source,
        "python_version": "3.13.0",
        "return_type": None,
    }


def ref(function: str, module: str = "pipe.m") -> str:
    return "/src/" + module.replace(".", "/") + ".py:" + function


def plan_of(*records: dict):
    return build_plan(build_graph(parse_report({"assets": list(records)})))


class Project:
    """A pipeline package in a temporary directory, and the command run there."""

    def __init__(self, root: Path, catalog: str | None = None):
        self.root = root
        self.out = root / ".orvan"
        # A PostgreSQL URL the commands record in; None: OUT/catalog.sqlite.
        self.catalog = catalog

    def write(self, relpath: str, source: str) -> None:
        path = self.root / relpath
        path.parent.mkdir(parents=True, exist_ok=True)
        for parent in path.relative_to(self.root).parents:
            if parent != Path("."):
                (self.root / parent / "__init__.py").touch()
        path.write_text(textwrap.dedent(source))

    def command(self, *args: str) -> list[str]:
        return [sys.executable, "-m", "orvan", *args]

    def env(self) -> dict[str, str]:
        env = dict(os.environ, COLUMNS="200")
        env.pop("ORVAN_CATALOG", None)
        return env | ({"ORVAN_CATALOG": self.catalog} if self.catalog else {})

    def orvan(self, *args: str, timeout: float = 300) -> subprocess.CompletedProcess:
        return subprocess.run(self.command(*args), cwd=self.root, capture_output=True, text=True,
                              timeout=timeout, env=self.env(), stdin=subprocess.DEVNULL)

    def popen(self, *args: str) -> subprocess.Popen:
        return subprocess.Popen(self.command(*args), cwd=self.root, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, env=self.env())

    def history(self) -> list[str]:
        """`orvan history`'s table, as it reads for a catalog of its own: a
        shared one adds a line naming it and a column naming each run's
        location, both checked here."""
        lines = self.orvan("history").stdout.splitlines()
        if self.catalog is None:
            return lines
        from orvan.catalog.locate import namespace_of

        assert lines[0].startswith(f"catalog: {namespace_of(str(self.out))} at postgresql://"), lines
        assert lines[1].split()[-1] == "location" and all(
            line.endswith(namespace_of(str(self.out))) for line in lines[2:]), lines
        return [line.rsplit(None, 1)[0].rstrip() for line in lines[1:]]

    def query(self, sql: str, params: tuple = ()) -> list[dict]:
        """Rows of the catalog the commands record in, as dicts (`?` marks);
        [] before it exists."""
        if self.catalog is None:
            if not (self.out / "catalog.sqlite").exists():
                return []
            db = sqlite3.connect(self.out / "catalog.sqlite")
            db.row_factory = sqlite3.Row
            try:
                return [dict(r) for r in db.execute(sql, params)]
            finally:
                db.close()
        import psycopg
        from psycopg.rows import dict_row

        from orvan.catalog.locate import namespace_of
        from orvan.catalog.postgres import schema_of

        with psycopg.connect(self.catalog, autocommit=True, row_factory=dict_row) as conn:
            conn.execute("SELECT set_config('search_path', %s, false)", (schema_of(namespace_of(str(self.out))),))
            try:
                return list(conn.execute(sql.replace("?", "%s"), params))
            except psycopg.errors.UndefinedTable:
                return []

    def jobs(self, run_id: int | None = None) -> list[dict]:
        """The catalog's job rows of one run (default: the latest)."""
        if run_id is None:
            run_id = self.query("SELECT MAX(id) AS id FROM runs")[0]["id"]
        return self.query("SELECT * FROM jobs WHERE run_id=? ORDER BY id", (run_id,))

    def statuses(self, run_id: int | None = None) -> dict[tuple[str, str], str]:
        return {(r["asset_key"], r["partition"]): r["status"] for r in self.jobs(run_id)}

    def value(self, *parts: str):
        return json.loads((self.out.joinpath(*parts) / "value.json").read_text())


@pytest.fixture
def project(request, tmp_path) -> Project:
    """A project recording in OUT/catalog.sqlite, or (parametrized with
    `on_both_catalogs`) in a PostgreSQL database of its own as well."""
    if getattr(request, "param", "sqlite") == "postgresql":
        return Project(tmp_path, request.getfixturevalue("postgres").database())
    return Project(tmp_path)


# The tests that say most about the catalog run against both back ends.
on_both_catalogs = pytest.mark.parametrize("project", ["sqlite", "postgresql"], indirect=True)


def wait_for(predicate, what: str, limit: float = 60) -> None:
    """Poll until predicate() holds; fail the test naming what never came."""
    deadline = time.monotonic() + limit
    while not predicate():
        if time.monotonic() > deadline:
            pytest.fail(f"gave up waiting for {what}")
        time.sleep(0.02)


def gone(pid: int) -> bool:
    """Exited, counting a zombie that its adoptive parent has not reaped yet."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except (FileNotFoundError, ProcessLookupError):  # gone before, or while, it was read
        return True
    return stat.rsplit(")", 1)[1].split()[0] == "Z"


def max_overlap(rows: list[dict]) -> int:
    """The most jobs whose [started_at, ended_at] intervals overlap at once."""
    events = sorted([(r["started_at"], 1) for r in rows] + [(r["ended_at"], -1) for r in rows],
                    key=lambda e: (e[0], e[1]))
    current = best = 0
    for _, delta in events:
        current += delta
        best = max(best, current)
    return best
