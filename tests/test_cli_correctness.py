"""The orvan command never hides a failure nor loses a value, and says where
a failure came from: end to end, through the real command."""

import json
import subprocess

import pytest
from cli_helpers import project  # noqa: F401  (fixture)

FINE = """\
from orvan import asset

@asset()
def fine():
    return 1
"""


@pytest.mark.parametrize("command", ["list", "run", "status"])
def test_a_listed_module_that_does_not_import_stops_the_command(project, command):
    project.write("pkg/fine.py", FINE)
    project.write("pkg/broken.py", "from orvan import asset\n\ndef helper():\n    import pandaz\n\nhelper()\n")
    project.write("pyproject.toml", '[tool.orvan]\nmodules = ["pkg.fine", "pkg.broken"]\n')
    out = project.orvan(command)
    assert out.returncode == 2, out
    assert "module 'pkg.broken' failed to import" in out.stderr
    # The traceback, down to the line that failed, with no frames of the machinery.
    assert 'broken.py", line 4, in helper' in out.stderr and "No module named 'pandaz'" in out.stderr
    assert "importlib" not in out.stderr and "orvan/inspect.py" not in out.stderr
    assert not (project.out / "pkg.fine.fine").exists()


SHARED_A = """\
from orvan import asset

@asset()
def x():
    return 20

@asset()
def unread():
    return 0
"""

SHARED_B = """\
from orvan import asset
from .a import x

@asset(inputs={"v": x})
def y(v):
    return v + 1
"""

SHARED_C = """\
from orvan import asset
from . import a

@asset(inputs={"v": a.x, "w": "pkg.a.x"})
def z(v, w):
    return v + w
"""


@pytest.mark.parametrize("modules, keys", [
    (["pkg.b"], ["pkg.a.x", "pkg.b.y"]),
    (["pkg.c"], ["pkg.a.x", "pkg.c.z"]),
    (["pkg.b", "pkg.c"], ["pkg.a.x", "pkg.b.y", "pkg.c.z"]),
    (["pkg.c", "pkg.a", "pkg.b"], ["pkg.a.unread", "pkg.a.x", "pkg.b.y", "pkg.c.z"]),
])
def test_an_asset_is_keyed_by_its_defining_module_wherever_it_is_reached(project, modules, keys):
    project.write("pkg/a.py", SHARED_A)
    project.write("pkg/b.py", SHARED_B)
    project.write("pkg/c.py", SHARED_C)
    listing = project.orvan("list", *modules)
    assert listing.returncode == 0, listing.stderr
    listed = [line.split()[0] for line in listing.stdout.splitlines()[1:]]
    assert sorted(listed) == keys
    assert "?" not in listing.stdout
    run = project.orvan("run", *modules)
    assert run.returncode == 0, run.stdout + run.stderr
    assert project.value("pkg.a.x") == 20
    if "pkg.c.z" in keys:
        assert project.value("pkg.c.z") == 40
    if "pkg.b.y" in keys:
        assert project.value("pkg.b.y") == 21


COLLIDING = """\
from orvan import asset, partitions

@asset(partitions={"a": partitions(["x", "x|y"]), "b": partitions(["y|z", "z"])})
def up(a, b):
    return a + "/" + b

@asset(inputs={"v": up})
def down(v):
    return v

@asset(inputs={"v": up}, partitions={"b": partitions(["z"])})
def per_b(v, b):
    return v

@asset(partitions={"a": partitions(["x", "x|y"]), "b": partitions(["y|z", "z"])}, serializer="pickle")
def pickled(a, b):
    return {a, b}

@asset(inputs={"v": pickled})
def unpickled(v):
    return {k: {k2: sorted(s) for k2, s in d.items()} for k, d in v.items()}
"""


def test_fan_in_over_two_dimensions_nests_one_level_per_dimension(project):
    project.write("fan.py", COLLIDING)
    out = project.orvan("run", "fan")
    assert out.returncode == 0, out.stdout + out.stderr
    assert project.value("fan.down") == {
        "x": {"y|z": "x/y|z", "z": "x/z"},
        "x|y": {"y|z": "x|y/y|z", "z": "x|y/z"},
    }
    # One missing dimension stays a flat object.
    assert project.value("fan.per_b", "b=z") == {"x": "x/z", "x|y": "x|y/z"}
    # Values handed over as files nest the same way.
    assert project.value("fan.unpickled") == {
        "x": {"y|z": ["x", "y|z"], "z": ["x", "z"]},
        "x|y": {"y|z": ["x|y", "y|z"], "z": ["x|y", "z"]},
    }


@pytest.mark.parametrize("source, expected", [
    ('@asset(inputs={"valeu": base})\ndef f(value):\n    return value\n',
     "input 'valeu' is not a parameter of f() (its parameters: value); did you mean 'value'?"),
    ('@asset(partitions={"regoin": partitions(["eu"])})\ndef f(region, day=1):\n    return region\n',
     "partition dimension 'regoin' is not a parameter of f() (its parameters: region, day); did you mean 'region'?"),
    # Positional-only parameters cannot be passed by keyword.
    ('@asset(inputs={"v": base})\ndef f(v, /):\n    return v\n',
     "input 'v' is not a parameter of f() (its parameters: none)"),
])
def test_inputs_and_dimensions_must_name_parameters(project, source, expected):
    project.write("params.py", "from orvan import asset, partitions\n\n@asset()\ndef base():\n    return 1\n\n" + source)
    for command in ("run", "list"):
        out = project.orvan(command, "params")
        assert out.returncode == 2 and expected in out.stderr and "'params.f'" in out.stderr, out
    assert not (project.out / "params.base").exists()


def test_a_function_taking_any_keyword_accepts_every_input(project):
    project.write("kw.py", "from orvan import asset, partitions\n\n@asset()\ndef base():\n    return 1\n\n"
                  '@asset(inputs={"anything": base}, partitions={"d": partitions([1])})\n'
                  "def f(**kw):\n    return sorted(kw)\n")
    out = project.orvan("run", "kw")
    assert out.returncode == 0, out.stdout + out.stderr
    assert project.value("kw.f", "d=1") == ["anything", "d"]


MANY = """\
from orvan import asset, partitions

@asset(partitions={"n": partitions(list(range(16)))})
def step(n):
    return n

@asset(inputs={"s": step})
def total(s):
    return sum(s.values())

@asset()
def big():
    return list(range(50000))
"""


def read_one_line_then_close(project, *args: str) -> subprocess.CompletedProcess:
    proc = subprocess.Popen(project.command(*args), cwd=project.root, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    assert proc.stdout is not None and proc.stderr is not None
    first = proc.stdout.readline()
    proc.stdout.close()
    err = proc.stderr.read().decode()
    proc.stderr.close()
    return subprocess.CompletedProcess(args, proc.wait(timeout=120), first.decode(), err)


def test_a_closed_standard_output_neither_stops_the_run_nor_shows_a_traceback(project):
    project.write("many.py", MANY)
    run = read_one_line_then_close(project, "run", "many", "-j", "2")
    assert run.stdout and run.stderr == "" and run.returncode == 0, run
    statuses = project.statuses()
    assert len(statuses) == 18 and set(statuses.values()) == {"done"}
    assert project.value("many.total") == sum(range(16))
    import sqlite3
    db = sqlite3.connect(project.out / "catalog.sqlite")
    assert db.execute("SELECT status FROM runs").fetchall() == [("ok",)]
    db.close()
    show = read_one_line_then_close(project, "show", "many.big")
    assert show.stdout.startswith("[") and show.stderr == "" and show.returncode == 0, show


FAILING = """\
import json
from orvan import asset

def parse(text):
    return json.loads(text)

@asset()
def bad():
    return parse("{nope")
"""


def test_a_failed_job_leaves_its_traceback_and_the_run_says_where(project):
    project.write("fails.py", FAILING)
    out = project.orvan("run", "fails")
    assert out.returncode == 1
    assert "fails.bad: JSONDecodeError: Expecting property name" in out.stdout
    assert "\n    at fails.py:5\n" in out.stdout, out.stdout
    log = (project.out / "fails.bad" / "log.txt").read_text()
    assert 'fails.py", line 9, in bad\n    return parse("{nope")' in log
    assert 'fails.py", line 5, in parse' in log and "json/decoder.py" in log
    # Nothing of the worker or the native module above the asset's frame.
    head = log.split("Traceback (most recent call last):\n", 1)[1].splitlines()[0]
    assert head.endswith('fails.py", line 9, in bad'), log
    # The failure record itself is exactly what the native module writes.
    result = json.loads((project.out / "fails.bad" / "result.json").read_text())
    assert result == {"ok": False, "error_type": "JSONDecodeError",
                      "error": "JSONDecodeError: Expecting property name enclosed in double quotes: "
                               "line 1 column 2 (char 1)"}


SHOWN = """\
from orvan import asset, partitions

@asset(partitions={"date": partitions(["2024-03-01", "2024-03-02"]), "region": partitions(["east", "a,b"])})
def sales(date, region):
    if (date, region) == ("2024-03-02", "a,b"):
        raise ValueError("bad region")
    return [date, region]

@asset()
def plain():
    return [2, 4, 6]

@asset(inputs={"s": sales})
def after(s):
    return 1
"""


@pytest.fixture(scope="module")
def shown(tmp_path_factory):
    from cli_helpers import Project

    project = Project(tmp_path_factory.mktemp("show"))
    project.write("sh.py", SHOWN)
    assert project.orvan("run", "sh").returncode == 1
    return project


@pytest.mark.parametrize("args, status, expected", [
    (["sh.plain"], 0, "[2, 4, 6]\n"),
    (["sh.sales", "--partition", "date=2024-03-01,region=east"], 0, '["2024-03-01", "east"]\n'),
    (["sh.sales", "--partition", "region=a,b", "--partition", "date=2024-03-01"], 0, '["2024-03-01", "a,b"]\n'),
    (["sh.sales", "--partition", "date=2024-03-01,region=a,b"], 0, '["2024-03-01", "a,b"]\n'),
    (["sh.sales", "--partition", "reg=east"], 2, "asset 'sh.sales' has no dimension 'reg' (dimensions: date, region)"),
    (["sh.plain", "--partition", "date=1"], 2, "asset 'sh.plain' is not partitioned"),
    (["sh.sales", "--partition", "date=2024-03-02,region=a,b"], 2,
     "last attempt failed: ValueError: bad region (log: .orvan/sh.sales/date=2024-03-02/region=a%2Cb/log.txt)"),
    (["sh.after"], 2, "no stored value for sh.after: never run (upstream sh.sales[date=2024-03-02,region=a,b] failed)"),
    (["sh.sales", "--partition", "date=2024-03-09,region=east"], 2, "no such partition"),
    (["sh.sales", "--partition", "date=2024-03-01"], 2,
     "give every dimension (missing: region); stored partitions:\n  --partition date=2024-03-01 --partition region=a,b"),
])
def test_show_prints_the_value_or_says_why_there_is_none(shown, args, status, expected):
    out = shown.orvan("show", *args)
    assert out.returncode == status
    assert expected in (out.stdout if status == 0 else out.stderr), out


VALUES = """\
import dataclasses
import datetime
import decimal
import json
from orvan import asset, partitions

@dataclasses.dataclass
class Point:
    x: int

@asset()
def a_set():
    return {1, 2}

@asset()
def a_date():
    return [datetime.date(2024, 1, 2)]

@asset()
def a_decimal():
    return {"v": decimal.Decimal("1.5")}

@asset()
def a_dataclass():
    return Point(1)

@asset()
def dumps_itself():
    return json.dumps({1, 2})

@asset()
def recursing(depth=0):
    if depth:
        raise ValueError("inner")
    try:
        recursing(1)
    except ValueError:
        pass
    return {3}

@asset(partitions={"n": partitions([1, 2])})
def int_keys(n):
    return {"ok": [{n: "x"}]}

@asset()
def nested_tuple():
    return {"pair": (1, 2)}

@asset()
def plain():
    return {"a": [1, 2], "b": {"c": None}}
"""


def test_values_json_cannot_store_get_a_hint_and_altered_values_a_warning(project):
    project.write("vals.py", VALUES)
    out = project.orvan("run", "vals")
    assert out.returncode == 1
    failed = out.stdout.split("\nfailed:\n", 1)[1]
    for key in ("a_set", "a_date", "a_decimal", "a_dataclass", "recursing"):
        assert f"  vals.{key}: TypeError: Object of type" in failed
    assert failed.count("    hint: values are stored as JSON: return lists (not sets)") == 5
    # The exception its inner call raised and it caught is not what failed the job.
    assert "ValueError" not in (project.out / "vals.recursing" / "log.txt").read_text()
    # The function's own json.dumps failing is its bug, with its own location, not a storage problem.
    assert "vals.dumps_itself: TypeError" in failed and "\n    at vals.py:" in failed
    warnings = [line for line in out.stdout.splitlines() if line.startswith("warning:")]
    assert warnings == [
        "warning: the value of vals.int_keys[n=1] differs once stored as JSON: "
        "it holds a dict with int keys (1), which are stored and read back as strings",
        "warning: the value of vals.nested_tuple differs once stored as JSON: "
        "it holds a tuple, which is stored and read back as a list",
    ]


# An asset that marks its start, then holds its job until the test creates
# "release"; the module needs os, time and asset.
HELD = """
@asset()
def slow():
    open("started", "w").close()
    while not os.path.exists("release"):
        time.sleep(0.05)
    return 1
"""

WAITING = """\
import os, time
from orvan import asset, partitions
""" + HELD + """
@asset(inputs={"s": slow})
def after(s):
    return s

@asset(partitions={"n": partitions([1, 2, 3])})
def later(n):
    return n
"""


def wait_until(path, proc) -> None:
    import time

    deadline = time.monotonic() + 120
    while not path.exists():
        assert proc.poll() is None and time.monotonic() < deadline, "the run ended before its slow job started"
        time.sleep(0.05)


def history_row(project) -> dict[str, str]:
    lines = project.orvan("history").stdout.splitlines()
    head = lines[0].replace("not run", "not_run").split()
    values = lines[1].split()
    # "started" is a date and a time: two words.
    return dict(zip(head, values[:2] + values[3:]))


def test_a_run_going_on_shows_pending_jobs_and_ctrl_c_counts_interrupted_jobs_apart(project):
    import signal

    project.write("wait.py", WAITING)
    proc = subprocess.Popen(project.command("run", "wait", "-j", "1"), cwd=project.root, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
    wait_until(project.root / "started", proc)
    going = history_row(project)
    # With one slot, nothing moves while the slow job waits.
    unfinished = sum(s in ("running", "pending") for s in project.statuses().values())
    assert unfinished >= 2
    assert (going["status"], going["pending"], going["not_run"]) == ("running", str(unfinished), "0"), going
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 130, err
    assert "1 interrupted" in out and "0 failed" in out, out
    assert "interrupted:\n  wait.slow: interrupted" in out
    assert "  wait.after: upstream wait.slow was interrupted" in out
    assert project.statuses()[("wait.after", "")] == "not_run"
    ended = history_row(project)
    assert (ended["status"], ended["failed"], ended["interrupted"], ended["pending"]) == ("interrupted", "0", "1", "0")
    assert ended["not_run"] == str(list(project.statuses().values()).count("not_run"))


def test_the_project_is_found_upwards_and_unknown_settings_are_named(project):
    project.write("pkg/m.py", FINE)
    project.write("pyproject.toml", '[tool.orvan]\nmodules = ["pkg.m"]\nmodule = ["pkg.other"]\n')
    below = project.root / "pkg" / "deeper"
    below.mkdir()
    run = subprocess.run(project.command("run"), cwd=below, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert "unknown key 'module' in [tool.orvan] (did you mean 'modules'?)" in run.stderr
    assert run.stderr.count("unknown key") == 1
    # Values and the catalog go to the project's directory, wherever the command is typed.
    assert project.value("pkg.m.fine") == 1 and not (below / ".orvan").exists()
    shown = subprocess.run(project.command("show", "pkg.m.fine"), cwd=below, capture_output=True, text=True)
    assert shown.stdout == "1\n"
    project.write("pyproject.toml", '[tool.orvan]\nmodule = ["pkg.m"]\n')
    typo = project.orvan("run")
    assert typo.returncode == 2 and "unknown key 'module'" in typo.stderr and "no modules to inspect" in typo.stderr


def test_the_readme_quick_example_checks_strictly_and_shows_what_it_says(project):
    import re
    import sys
    from pathlib import Path

    readme = (Path(__file__).resolve().parents[1] / "README.md").read_text()
    source = re.search(r"`mypipeline\.py`:\n\n```python\n(.*?)```", readme, re.S).group(1)
    claimed = re.search(r"orvan show mypipeline\.doubled +# prints the stored value: (.*)\n", readme).group(1)
    project.write("mypipeline.py", source)
    checked = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir",
                              str(project.root / ".mypy"), "mypipeline.py"],
                             cwd=project.root, capture_output=True, text=True, timeout=300)
    assert checked.returncode == 0, checked.stdout
    assert project.orvan("run", "mypipeline").returncode == 0
    assert project.orvan("show", "mypipeline.doubled").stdout == claimed + "\n"
