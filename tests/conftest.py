import importlib
import itertools
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import orvan

# The tests exercise the installed package, never the source tree.
assert "site-packages" in Path(orvan.__file__).parts, orvan.__file__

_counter = itertools.count()


@pytest.fixture(scope="session")
def postgres():
    """A PostgreSQL server of the tests' own, for the whole session."""
    from pg_server import PgServer

    server = PgServer()
    yield server
    server.close()


class ModuleFactory:
    """Writes throwaway modules into a directory on sys.path."""

    def __init__(self, root: Path):
        self.root = root

    def __call__(self, source: str, name: str | None = None) -> str:
        name = name or f"orvan_test_mod_{os.getpid()}_{next(_counter)}"
        path = self.root.joinpath(*name.split(".")).with_suffix(".py")
        path.parent.mkdir(parents=True, exist_ok=True)
        for parent in path.relative_to(self.root).parents:
            init = self.root / parent / "__init__.py"
            if parent != Path(".") and not init.exists():
                init.write_text("")
        path.write_text(textwrap.dedent(source))
        importlib.invalidate_caches()
        return name


@pytest.fixture
def make_module(tmp_path, monkeypatch):
    root = tmp_path / "modules"
    root.mkdir()
    monkeypatch.syspath_prepend(str(root))
    before = set(sys.modules)
    yield ModuleFactory(root)
    for name in set(sys.modules) - before:
        if name.startswith("orvan_test_") or name.startswith("pipe"):
            del sys.modules[name]


def run_python(code: str, *args: str, cwd=None, input=None, path=()) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter of the test venv.

    `-P` keeps the working directory (perhaps the source tree) off sys.path;
    `path` lists directories to import from instead.
    """
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = os.pathsep.join(str(p) for p in path)
    return subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        cwd=cwd,
        input=input,
        env=env,
        timeout=120,
    )
