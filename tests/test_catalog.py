"""The catalog behind its one interface: what every command and the UI do
with a catalog they cannot trust (one a newer orvan wrote)."""

import sqlite3

import pytest
from cli_helpers import project  # noqa: F401  (fixture)
from test_cli_faults import assert_one_line_error
from ui_helpers import UiProcess

from orvan.catalog.schema import SCHEMA_VERSION

ONE = "from orvan import asset\n\n@asset()\ndef one():\n    return 1\n"


def _from_a_newer_orvan(project) -> None:
    project.write("one.py", ONE)
    assert project.orvan("run", "one").returncode == 0
    db = sqlite3.connect(project.out / "catalog.sqlite")
    db.execute(f"PRAGMA user_version={SCHEMA_VERSION + 1}")
    db.commit()
    db.close()


@pytest.mark.parametrize("command", [
    ("run", "one"), ("status", "one"), ("history",), ("show", "one.one"), ("logs", "one.one"),
    ("clean", "one"), ("ticks",),
])
def test_a_catalog_from_a_newer_orvan_is_refused_by_every_command(project, command):
    _from_a_newer_orvan(project)
    before = (project.out / "catalog.sqlite").read_bytes()
    assert_one_line_error(project.orvan(*command), "written by a newer orvan", f"schema {SCHEMA_VERSION + 1}",
                          "upgrade orvan")
    assert (project.out / "catalog.sqlite").read_bytes() == before


def test_a_catalog_from_a_newer_orvan_is_refused_by_every_page(project):
    _from_a_newer_orvan(project)
    ui = UiProcess(project, "one")
    try:
        for path in ["/", "/runs", "/run/1", "/asset?key=one.one", "/automations"]:
            status, html = ui.get(path)
            assert status == 503 and "written by a newer orvan" in html, (path, status)
    finally:
        assert "Traceback" not in ui.stop()
