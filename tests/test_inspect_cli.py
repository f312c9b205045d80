"""python -m orvan.inspect, and a pipeline run end to end through both stubs."""

import graphlib
import json
import subprocess
import sys
import textwrap

import pytest


def run_stub(stub, *args, cwd, flags=()):
    return subprocess.run(
        [sys.executable, *flags, "-m", stub, *args],
        cwd=cwd, capture_output=True, text=True, timeout=120,
    )


def write(root, files):
    for name, source in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(source))


ONE_ASSET = """
def total() -> dict:
    return {'n': 1}
total.__orvan_kind__ = "asset"
total.__orvan_metadata__ = {"kind": "asset"}
"""


@pytest.mark.parametrize("flags", [(), ("-P",)], ids=["plain", "safe-path"])
def test_report_alone_goes_to_stdout_with_a_line_feed(tmp_path, flags):
    # Whatever the module prints while imported must not corrupt the report.
    write(tmp_path, {"daily.py": "import os\nprint('hello')\nos.write(1, b'raw\\n')\n" + ONE_ASSET})
    proc = run_stub("orvan.inspect", "daily", "orvan_test_nosuch", cwd=tmp_path, flags=flags)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.endswith("}\n") and proc.stdout.count("\n") == 1
    (record,) = json.loads(proc.stdout)["assets"]
    assert (record["module_path"], record["return_type"]) == ("daily", "dict")
    assert record["file_path"] == str((tmp_path / "daily.py").resolve())
    assert proc.stderr == (
        "hello\nraw\norvan: skipping module 'orvan_test_nosuch': "
        "ModuleNotFoundError: No module named 'orvan_test_nosuch'\n"
    )


@pytest.mark.parametrize(
    ("args", "status", "stream", "start"),
    [
        (("sys",), 1, "stderr", "orvan.inspect: TypeError: <module 'sys' (built-in)> is a built-in"),
        ((), 2, "stderr", "usage: python -m orvan.inspect MODULE"),
        (("--help",), 0, "stdout", "usage: python -m orvan.inspect MODULE"),
    ],
)
def test_failure_and_usage(tmp_path, args, status, stream, start):
    proc = run_stub("orvan.inspect", *args, cwd=tmp_path)
    assert proc.returncode == status and getattr(proc, stream).startswith(start)
    assert proc.stdout == "" or stream == "stdout"


PIPELINE = {
    "pipe_e2e/__init__.py": "",
    "pipe_e2e/source.py": """
        from orvan import asset

        @asset()
        def numbers() -> list[int]:
            return [1, 2, 3]
    """,
    "pipe_e2e/derived.py": """
        from orvan import asset, partitions
        from .source import numbers

        @asset(inputs={"numbers": numbers})
        def doubled(numbers: list[int]) -> list[int]:
            return [2 * n for n in numbers]

        @asset(inputs={"doubled": doubled}, partitions={"scale": partitions([1, 10])})
        def scaled(scale: int, doubled: list[int]) -> list[int]:
            return [scale * n for n in doubled]
    """,
}


def test_pipeline_end_to_end(tmp_path):
    project = tmp_path / "project"
    write(project, PIPELINE)
    proc = run_stub("orvan.inspect", "pipe_e2e.source", "pipe_e2e.derived", cwd=project)
    assert proc.returncode == 0, proc.stderr
    records = json.loads(proc.stdout)["assets"]
    # numbers is also an attribute of derived: reported there too, same function.
    assert [(r["module_path"], r["function_name"]) for r in records] == [
        ("pipe_e2e.source", "numbers"),
        ("pipe_e2e.derived", "doubled"),
        ("pipe_e2e.derived", "numbers"),
        ("pipe_e2e.derived", "scaled"),
    ]
    assets = {f"{r['file_path']}:{r['function_name']}": r for r in records}
    source_file = str((project / "pipe_e2e/source.py").resolve())
    derived_file = str((project / "pipe_e2e/derived.py").resolve())
    assert set(assets) == {f"{source_file}:numbers", f"{derived_file}:doubled", f"{derived_file}:scaled"}
    graph = {ref: set((r["decorator_metadata"]["inputs"] or {}).values()) for ref, r in assets.items()}
    assert all(up in assets for ups in graph.values() for up in ups)

    values = {}
    for ref in graphlib.TopologicalSorter(graph).static_order():
        rec, meta = assets[ref], assets[ref]["decorator_metadata"]
        keys = json.loads(meta["partitions"]["scale"]["values_json"]) if meta["partitions"] else [None]
        for key in keys:
            kwargs = {} if key is None else {"scale": key}
            kwargs.update({param: values[up][None] for param, up in (meta["inputs"] or {}).items()})
            out = tmp_path / "out" / rec["function_name"] / str(key)
            kwargs_file = tmp_path / f"{rec['function_name']}-{key}.json"
            kwargs_file.write_text(json.dumps(kwargs))
            proc = run_stub("orvan.worker", rec["module_path"], rec["function_name"], str(out),
                            "--kwargs-file", str(kwargs_file), cwd=project)
            assert proc.returncode == 0, proc.stderr
            result = json.loads((out / "result.json").read_text())
            assert result["ok"] is True and result["value_path"] == str(out / "value.json")
            assert result["module_path"] == rec["module_path"]
            assert result["function_name"] == rec["function_name"]
            values.setdefault(ref, {})[key] = json.loads((out / "value.json").read_text())

    assert {assets[ref]["function_name"]: v for ref, v in values.items()} == {
        "numbers": {None: [1, 2, 3]},
        "doubled": {None: [2, 4, 6]},
        "scaled": {1: [2, 4, 6], 10: [20, 40, 60]},
    }


def test_strict_mode_reports_definitions_and_parameters_and_stops_on_a_failed_import(tmp_path):
    write(tmp_path, {
        "pkg/__init__.py": "",
        "pkg/a.py": """
            from orvan import asset

            @asset()
            def x(a, /, b, *args, c=1, **kw):
                return 1
        """,
        "pkg/b.py": """
            from orvan import asset
            from .a import x

            @asset(inputs={"v": x})
            def y(v, *, w=2):
                return v
        """,
        "pkg/bad.py": "import pkg.b\nraise KeyError('boom')\n",
    })
    plain = run_stub("orvan.inspect", "pkg.b", cwd=tmp_path)
    strict = run_stub("orvan.inspect", "--strict", "pkg.b", cwd=tmp_path)
    assert strict.returncode == 0, strict.stderr
    got = sorted((r["module_path"], r["function_name"], r["defining_module"], r["parameters"], r["var_keyword"],
                  r["listed"]) for r in json.loads(strict.stdout)["assets"])
    assert got == [
        ("pkg.a", "x", "pkg.a", ["b", "c"], True, False),
        ("pkg.b", "x", "pkg.a", ["b", "c"], True, True),
        ("pkg.b", "y", "pkg.b", ["v", "w"], False, True),
    ]
    # Plain mode stays the native report.
    assert "defining_module" not in plain.stdout and len(json.loads(plain.stdout)["assets"]) == 2
    failed = run_stub("orvan.inspect", "--strict", "pkg.b", "pkg.bad", cwd=tmp_path)
    assert failed.returncode == 3 and failed.stdout == ""
    assert failed.stderr.startswith("orvan.inspect: module 'pkg.bad' failed to import:\nTraceback")
    assert failed.stderr.endswith("KeyError: 'boom'\n")
    skipped = run_stub("orvan.inspect", "pkg.b", "pkg.bad", cwd=tmp_path)
    assert skipped.returncode == 0 and "orvan: skipping module 'pkg.bad'" in skipped.stderr
