"""Incremental runs end to end: what an edit reruns, what stays fresh because
the values it reads came out the same, why a job is stale, and values that
are no longer declared or no longer intact."""

import json
import os
import sqlite3
import textwrap

import pytest
from cli_helpers import Project, on_both_catalogs, project  # noqa: F401  (fixture)

from orvan.catalog.schema import ABANDONED_PROCESSES, LATEST_ATTEMPTS, LATEST_BY_GROUPING, MIGRATIONS

HELPERS = {
    "textutil.py": """\
        def norm(s):
            return s.strip().lower()
        """,
    # imports textutil: its users depend on textutil through it
    "wrap.py": """\
        from textutil import norm

        def shout(s):
            return norm(s).upper() + "!"
        """,
    "pipe/clean.py": """\
        import textutil
        from orvan import asset

        @asset()
        def cleaned():
            return textutil.norm("  Hello ")
        """,
    "pipe/loud.py": """\
        from orvan import asset
        from wrap import shout

        @asset()
        def loud():
            return shout("hey")
        """,
    "pipe/plain.py": """\
        from orvan import asset
        from pipe.clean import cleaned

        @asset(inputs={"c": cleaned})
        def plain(c):
            return len(c)

        @asset(inputs={"c": cleaned})
        def report(c):
            return f"report: {c}"
        """,
}
MODULES = ["pipe.clean", "pipe.loud", "pipe.plain"]


def write_all(project, files):
    for path, source in files.items():
        project.write(path, source)


def done(project) -> set[str]:
    return {r["asset_key"] for r in project.jobs() if r["status"] == "done"}


def run_ok(project, *args):
    out = project.orvan("run", *MODULES, *args)
    assert out.returncode == 0, out.stdout + out.stderr
    return out


def why(project, *keys):
    out = project.orvan("status", *MODULES, "--why", *keys)
    assert out.returncode == 0, out.stdout + out.stderr
    return out.stdout


@pytest.mark.parametrize(
    "path, edit, rerun, fresh_after_check",
    [
        # the value of cleaned changes: everything reading it reruns
        ("textutil.py", ("s.strip().lower()", "s.strip().title()"),
         {"pipe.clean.cleaned", "pipe.plain.report", "pipe.loud.loud", "pipe.plain.plain"}, set()),
        # same values: the direct users rerun, their downstream stays fresh
        ("textutil.py", ("return s.strip", "# tidy\n    return s.strip"),
         {"pipe.clean.cleaned", "pipe.loud.loud"}, {"pipe.plain.report", "pipe.plain.plain"}),
        ("wrap.py", ('+ "!"', '+ "?"'), {"pipe.loud.loud"}, set()),
    ],
    ids=["helper-new-value", "helper-same-value", "transitive-only"],
)
def test_a_local_module_edit_reruns_its_importers_and_what_reads_a_changed_value(
        project, path, edit, rerun, fresh_after_check):
    write_all(project, HELPERS)
    run_ok(project)
    source = textwrap.dedent(HELPERS[path])
    assert edit[0] in source
    project.write(path, source.replace(*edit))
    out = run_ok(project)
    assert done(project) == rerun
    for key in fresh_after_check:
        assert f"fresh    {key}: inputs unchanged" in out.stdout
    assert project.statuses()[("pipe.plain.report", "")] in ("done", "fresh")
    run_ok(project)
    assert done(project) == set()


def test_why_names_the_local_module_and_the_upstream_that_will_rerun(project):
    write_all(project, HELPERS)
    run_ok(project)
    project.write("textutil.py", textwrap.dedent(HELPERS["textutil.py"]).replace("lower", "upper"))
    text = why(project)
    assert "pipe.clean.cleaned: stale\n  - local module `textutil` changed\n" in text
    assert "pipe.loud.loud: stale\n  - local module `textutil` changed\n" in text
    assert "pipe.plain.report: stale\n  - upstream pipe.clean.cleaned will rerun\n" in text
    assert "wrap" not in text  # unchanged itself
    # only the named assets
    assert why(project, "pipe.loud.loud").splitlines()[:2] == ["pipe.loud.loud: stale",
                                                                "  - local module `textutil` changed"]


FAKE_USER = """\
    import fakepkg
    from orvan import asset

    @asset()
    def uses():
        return fakepkg.VALUE
    """

NOT_A_USER = """    from orvan import asset
    from fk import uses

    @asset(inputs={"u": uses})
    def other(u):
        return 1
    """


def fake_distribution(site, version):
    for old in site.glob("fakepkg-*.dist-info"):
        for f in old.iterdir():
            f.unlink()
        old.rmdir()
    (site / "fakepkg").mkdir(parents=True, exist_ok=True)
    (site / "fakepkg" / "__init__.py").write_text("VALUE = 7\n")
    info = site / f"fakepkg-{version}.dist-info"
    info.mkdir()
    (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: fakepkg\nVersion: {version}\n")
    (info / "top_level.txt").write_text("fakepkg\n")


def test_a_new_version_of_an_installed_distribution_makes_its_users_stale(tmp_path, monkeypatch):
    site = tmp_path / "site"
    fake_distribution(site, "1.0")
    monkeypatch.setenv("PYTHONPATH", str(site))
    proj = Project(tmp_path / "proj")
    proj.write("fk.py", FAKE_USER)
    proj.write("nu.py", NOT_A_USER)
    assert proj.orvan("run", "fk", "nu").returncode == 0
    fake_distribution(site, "1.1")
    status = proj.orvan("status", "fk", "nu", "--why")
    assert "fk.uses: stale\n  - `fakepkg` 1.0 -> 1.1\n" in status.stdout, status.stdout + status.stderr
    assert "nu.other: stale\n  - upstream fk.uses will rerun\n" in status.stdout
    assert proj.orvan("run", "fk", "nu").returncode == 0
    assert proj.statuses() == {("fk.uses", ""): "done", ("nu.other", ""): "fresh"}


OUTSIDE = """\
    import pathlib
    from orvan import asset, partitions

    @asset()
    def a():
        return int(pathlib.Path("data.txt").read_text())

    @asset(inputs={"a": a})
    def m(a):
        return a + 1

    @asset(inputs={"m": m})
    def b(m):
        return 2 * m

    @asset(partitions={"p": partitions(["x", "y", "z"])})
    def parts(p):
        return p
    """


def test_a_job_is_stale_when_an_upstream_value_it_read_was_replaced(project):
    """`a` is redone on its own (as an interrupted --force leaves it): its
    downstream read the old value and must not be called fresh."""
    project.write("o.py", OUTSIDE)
    project.write("data.txt", "1")
    assert project.orvan("run", "o").returncode == 0
    assert project.value("o.b") == 4
    project.write("data.txt", "10")
    assert project.orvan("run", "o", "--select", "o.a", "--force").returncode == 0
    assert "o.m: stale\n  - upstream o.a value changed\n" in project.orvan("status", "o", "--why").stdout
    assert project.orvan("run", "o").returncode == 0
    assert done(project) == {"o.m", "o.b"} and project.value("o.b") == 22


def damage(project, relpath, how):
    path = project.out / relpath / "value.json"
    if how == "truncate":
        path.write_bytes(b"")
    elif how == "same-size":
        data = path.read_bytes()
        path.write_bytes(data[:-1] + (b"8" if data[-1:] != b"8" else b"9"))
    elif how == "no-result":
        (project.out / relpath / "result.json").unlink()


@pytest.mark.parametrize("how, reason", [
    ("truncate", "stored value damaged"),
    ("no-result", "its stored value or result is missing"),
])
def test_a_damaged_stored_value_is_stale_and_redone(project, how, reason):
    project.write("o.py", OUTSIDE)
    project.write("data.txt", "1")
    assert project.orvan("run", "o").returncode == 0
    damage(project, "o.m", how)
    assert reason in project.orvan("status", "o", "--why").stdout
    assert project.orvan("run", "o").returncode == 0
    assert "o.m" in done(project) and project.value("o.m") == 2 and project.value("o.b") == 4


def test_a_value_damaged_without_changing_size_is_caught_when_read(project):
    project.write("o.py", OUTSIDE)
    project.write("data.txt", "1")
    assert project.orvan("run", "o").returncode == 0
    damage(project, "o.m", "same-size")  # 2 -> 8
    shown = project.orvan("show", "o.m")
    assert shown.returncode == 2 and "damaged" in shown.stderr
    project.write("o.py", textwrap.dedent(OUTSIDE).replace("2 * m", "3 * m"))  # b must read m again
    assert project.orvan("run", "o").returncode == 0
    assert project.statuses()[("o.m", "")] == "done"  # redone before b read it
    assert project.value("o.m") == 2 and project.value("o.b") == 6


def test_why_lists_failures_code_edits_and_never_run(project):
    project.write("o.py", OUTSIDE)
    assert project.orvan("run", "o").returncode == 1  # no data.txt: a fails
    text = project.orvan("status", "o", "--why").stdout
    assert "o.a: failed\n  - last attempt failed: " in text and "FileNotFoundError" in text
    assert "o.m: blocked\n  - upstream o.a failed in run 1\n" in text
    project.write("data.txt", "1")
    assert project.orvan("run", "o").returncode == 0
    source = textwrap.dedent(OUTSIDE).replace("return a + 1", "return a + 100").replace("import pathlib",
                                                                                          "import pathlib\nK = 1")
    project.write("o.py", source)
    text = project.orvan("status", "o", "--why").stdout
    assert "o.m: stale\n  - function source changed\n  - module source outside the assets changed\n" in text
    assert "o.b: stale\n  - module source outside the assets changed\n" in text


def test_why_shows_the_python_version_each_value_was_made_with(project):
    project.write("o.py", OUTSIDE)
    project.write("data.txt", "1")
    assert project.orvan("run", "o").returncode == 0
    db = sqlite3.connect(project.out / "catalog.sqlite")
    with db:
        rows = db.execute("SELECT id, parts FROM jobs WHERE asset_key='o.a'").fetchall()
        current = json.loads(rows[0][1])["python"]
        for row_id, parts in rows:
            db.execute("UPDATE jobs SET parts=? WHERE id=?",
                       (json.dumps(dict(json.loads(parts), python="3.12.9")), row_id))
    db.close()
    assert f"o.a: stale\n  - Python 3.12.9 -> {current}\n" in project.orvan("status", "o", "--why").stdout


@pytest.mark.parametrize("stored, damaged, reasons", [
    # The same parts written in another key order: still the job's own.
    (lambda parts: json.dumps(dict(reversed(parts.items()))), False, []),
    (lambda parts: json.dumps(dict(parts, function_source="0" * 64)), True,
     ["stored value damaged (0 bytes, 1 recorded)", "function source changed"]),
    (lambda parts: "{not json", True, ["fingerprint recipe changed"]),
    (lambda parts: None, False, ["fingerprint recipe changed"]),
])
def test_why_reads_the_recorded_parts_whatever_their_text(project, stored, damaged, reasons):
    """The fingerprint recorded is left as it is, so only the parts' text
    tells the job's code from what was recorded."""
    project.write("o.py", OUTSIDE)
    project.write("data.txt", "1")
    assert project.orvan("run", "o").returncode == 0
    db = sqlite3.connect(project.out / "catalog.sqlite")
    with db:
        (parts,) = db.execute("SELECT parts FROM jobs WHERE asset_key='o.a'").fetchone()
        db.execute("UPDATE jobs SET parts=? WHERE asset_key='o.a'", (stored(json.loads(parts)),))
    db.close()
    if damaged:
        damage(project, "o.a", "truncate")
    text = project.orvan("status", "o", "--why", "o.a").stdout
    if reasons:  # and its two downstream jobs are stale, as it will rerun
        assert text == ("o.a: stale\n" + "".join(f"  - {r}\n" for r in reasons)
                        + "3 fresh, 3 stale, 0 failed, 0 missing (6 jobs)\n")
    else:
        assert text == "6 fresh, 0 stale, 0 failed, 0 missing (6 jobs)\n"


@on_both_catalogs
def test_clean_removes_what_is_no_longer_declared_and_show_says_so(project):
    project.write("o.py", OUTSIDE)
    project.write("data.txt", "1")
    assert project.orvan("run", "o").returncode == 0
    project.write("o.py", textwrap.dedent(OUTSIDE).replace('["x", "y", "z"]', '["x", "y"]')
                  .replace("def b(m)", "def b2(m)"))
    shown = project.orvan("show", "o.parts", "--partition", "p=z")
    assert shown.returncode == 0 and json.loads(shown.stdout) == "z"
    assert "o.parts[p=z]: partition no longer declared" in shown.stderr
    text = project.orvan("status", "o", "--why").stdout
    assert "o.parts[p=z]: not declared\n  - partition no longer declared" in text
    assert "o.b: not declared\n  - asset no longer declared" in text

    assert project.orvan("status", "o", "--why", "o.b").stdout.startswith("o.b: not declared\n")
    project.write("broken.py", "raise ImportError('not today')\n")
    refused = project.orvan("clean", "o", "broken")
    assert refused.returncode == 2 and "nothing was changed" in refused.stderr
    assert (project.out / "o.b" / "value.json").exists()

    dry = project.orvan("clean", "o", "--dry-run")
    assert dry.returncode == 0
    assert "would remove o.b: asset no longer declared (log.txt, result.json, value.json)" in dry.stdout
    assert "would remove o.parts[p=z]: partition no longer declared" in dry.stdout
    assert (project.out / "o.parts" / "p=z" / "value.json").exists()

    runs_before = project.orvan("history", "--out", str(project.out)).stdout
    cleaned = project.orvan("clean", "o")
    assert cleaned.returncode == 0 and "removed o.parts[p=z]" in cleaned.stdout
    assert not (project.out / "o.parts" / "p=z").exists() and not (project.out / "o.b").exists()
    assert (project.out / "o.parts" / "p=y" / "value.json").exists()
    removed = {r["k"] for r in project.query("SELECT asset_key || partition AS k FROM jobs WHERE removed_at IS NOT NULL")}
    assert removed == {"o.b", 'o.parts{"p":"z"}'}
    assert project.orvan("history").stdout == runs_before
    assert "nothing to clean" in project.orvan("clean", "o").stdout


LAYOUTS = """\
    from orvan import asset, partitions

    @asset(partitions={"a": partitions(["x", "y"]), "b": partitions(["1", "2"])})
    def grid(a, b):
        return a

    @asset(partitions={"a": partitions(["x", "y"])})
    def row(a):
        return a

    @asset()
    def gone():
        return 0
    """


def test_status_finds_values_stored_above_below_and_beside_the_declared_jobs(project):
    """grid loses a dimension (its old values lie below the directories of
    the jobs now declared), row gains one (its old values lie in directories
    that are now only on the way to its jobs), gone is removed. Whether or not
    the jobs now declared have run, status names exactly what clean removes."""
    project.write("o.py", LAYOUTS)
    assert project.orvan("run", "o").returncode == 0
    project.write("o.py", textwrap.dedent(LAYOUTS)
                  .replace('partitions={"a": partitions(["x", "y"]), "b": partitions(["1", "2"])}',
                           'partitions={"a": partitions(["x", "y", "w"])}').replace("def grid(a, b)", "def grid(a)")
                  .replace('partitions={"a": partitions(["x", "y"])}',
                           'partitions={"a": partitions(["x", "y"]), "b": partitions(["1"])}')
                  .replace("def row(a)", "def row(a, b)").replace("def gone", "def kept"))
    expected = ["o.gone", *(f"o.grid[a={a},b={b}]" for a in "xy" for b in "12"), "o.row[a=x]", "o.row[a=y]"]
    for ran in (False, True):
        if ran:
            assert project.orvan("run", "o").returncode == 0
        text = project.orvan("status", "o", "--why").stdout
        named = [line.removesuffix(": not declared") for line in text.splitlines() if line.endswith("not declared")]
        assert named == expected, text
        assert f"{len(expected)} stored values no longer declared" in project.orvan("status", "o").stdout
        dry = project.orvan("clean", "o", "--dry-run").stdout
        assert [line.split(":")[0].removeprefix("would remove ") for line in dry.splitlines()[:-1]] == expected
        assert ("o.grid[a=w]: missing" in text) is not ran and ("6 fresh" in text) is ran


def test_a_catalog_written_before_values_were_hashed_opens_and_is_stale_once(project):
    project.write("o.py", OUTSIDE)
    project.write("data.txt", "1")
    assert project.orvan("run", "o").returncode == 0
    # Rewrite the catalog as the first schema held it, keeping the rows.
    path = project.out / "catalog.sqlite"
    old = sqlite3.connect(project.out / "old.sqlite")
    old.executescript(MIGRATIONS[0] + "PRAGMA user_version=1;")
    new = sqlite3.connect(path)
    old.executemany("INSERT INTO runs VALUES (?, ?, ?, ?, ?, ?)",
                    new.execute("SELECT id, started_at, ended_at, status, modules, argv FROM runs"))
    old.executemany("INSERT INTO jobs VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)", new.execute(
        "SELECT id, run_id, asset_key, partition, fingerprint, status, started_at, ended_at, error FROM jobs"))
    old.commit()
    old.close()
    new.close()
    for suffix in ("", "-wal", "-shm"):
        (project.out / f"catalog.sqlite{suffix}").unlink(missing_ok=True)
    (project.out / "old.sqlite").rename(path)

    text = project.orvan("status", "o", "--why").stdout
    assert "o.a: stale\n  - fingerprint recipe changed\n" in text
    assert project.orvan("run", "o").returncode == 0
    assert sum(r["status"] == "done" for r in project.jobs()) == 6
    assert project.orvan("run", "o").returncode == 0 and done(project) == set()
    # Brought up to date, it keeps each job's latest attempt as the rows
    # say, and finds the jobs of unfinished runs by index, not by reading
    # every row of its history.
    db = sqlite3.connect(path)
    assert sorted(db.execute(LATEST_ATTEMPTS)) == sorted(db.execute(LATEST_BY_GROUPING)) != []
    assert "jobs_by_run" in " ".join(str(row) for row in db.execute("EXPLAIN QUERY PLAN " + ABANDONED_PROCESSES))
    db.close()


def test_imports_are_followed_through_relative_nested_and_lazy_imports(tmp_path):
    from orvan.cli.plan.codedeps import CodeDeps

    files = {
        "pkg/__init__.py": "",
        "pkg/assets.py": "from . import rel\nfrom .sub import deep\nimport json, os.path\n"
                         "from pkg.other import an_asset\n\ndef f():\n    import lazy\n",
        "pkg/other.py": "RATE = 1\n",
        "pkg/rel.py": "",
        "pkg/sub/__init__.py": "",
        "pkg/sub/deep.py": "from ..rel import x\ntry:\n    import ns.leaf\nexcept ImportError:\n    pass\n",
        "lazy.py": "import pkg.assets\n",  # a cycle back to the asset module
        "ns/leaf.py": "",  # in a namespace package
        "unused.py": "",
    }
    for rel, text in files.items():
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_text(text)
    deps = CodeDeps(str(tmp_path))
    deps.register("pkg.other", str(tmp_path / "pkg/other.py"), files["pkg/other.py"], ["an_asset"])
    deps.register("pkg.assets", str(tmp_path / "pkg/assets.py"), files["pkg/assets.py"])
    found = deps.of("pkg.assets")
    assert set(found.local) == {"pkg", "pkg.rel", "pkg.sub", "pkg.sub.deep", "lazy", "ns.leaf"}
    assert found.packages == {}  # json and os are the standard library's
    # the packages holding a module run before it
    assert set(deps.of("pkg.sub.deep").local) == {"pkg", "pkg.sub", "pkg.rel", "ns.leaf"}


FAN = """\
    from orvan import asset, partitions

    @asset()
    def base():
        return 5

    @asset(inputs={"b": base}, partitions={"k": partitions(["p", "q", "r", "s"])})
    def fan(b, k):
        return f"{k}{b}"
    """


def test_a_damaged_value_read_by_many_jobs_is_redone_once_before_any_of_them_runs(project):
    project.write("f.py", FAN)
    assert project.orvan("run", "f", "-j", "2").returncode == 0
    (project.out / "f.base" / "value.json").write_text("6")  # same size, different bytes
    project.write("f.py", textwrap.dedent(FAN).replace('f"{k}{b}"', 'f"{k}-{b}"'))
    out = project.orvan("run", "f", "-j", "2")
    assert out.returncode == 0, out.stdout
    assert sum(r["status"] == "done" for r in project.jobs()) == 5
    assert [project.value("f.fan", f"k={k}") for k in "pqrs"] == ["p-5", "q-5", "r-5", "s-5"]


# Edits that keep each file's size, with its modification time put back: what
# a scripted edit within a second, `cp -p`, rsync or a restore from backup do.
# Bytecode compiled from the old text lies beside each source, as a plain
# interpreter leaves it; `enc` is latin-1, where the changed byte is no UTF-8.
SAME_SIZE = {
    "consts.py": (b"N = 1\n", b"N = 2\n"),
    "enc.py": (b"# -*- coding: latin-1 -*-\nWORD = 'caf\xe8'\n", b"# -*- coding: latin-1 -*-\nWORD = 'caf\xea'\n"),
    "same/m.py": (b"import consts, enc\nfrom orvan import asset\n\n@asset()\ndef number():\n    return consts.N\n\n"
                  b"@asset()\ndef word():\n    return enc.WORD\n\n@asset()\ndef ten():\n    return 10\n",
                  b"import consts, enc\nfrom orvan import asset\n\n@asset()\ndef number():\n    return consts.N\n\n"
                  b"@asset()\ndef word():\n    return enc.WORD\n\n@asset()\ndef ten():\n    return 20\n"),
}


@pytest.mark.parametrize("isolation", ["fork", "spawn"])
def test_a_same_size_edit_that_keeps_the_mtime_runs_the_new_code(project, monkeypatch, isolation):
    import py_compile

    monkeypatch.delenv("PYTHONDONTWRITEBYTECODE", raising=False)
    (project.root / "same").mkdir()
    (project.root / "same" / "__init__.py").touch()
    for name, (old, _) in SAME_SIZE.items():
        (project.root / name).write_bytes(old)
    run = project.orvan("run", "same.m", "--isolation", isolation)
    assert run.returncode == 0, run.stdout + run.stderr
    assert [project.value(f"same.m.{a}") for a in ("number", "word", "ten")] == [1, "caf\u00e8", 10]
    for name, (old, new) in SAME_SIZE.items():
        path = project.root / name
        py_compile.compile(str(path), invalidation_mode=py_compile.PycInvalidationMode.TIMESTAMP, doraise=True)
        before = path.stat()
        path.write_bytes(new)
        os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
        assert path.stat().st_size == before.st_size
    why = project.orvan("status", "same.m", "--why").stdout
    assert "local module `enc` changed" in why and "local module `consts` changed" in why, why
    run = project.orvan("run", "same.m", "--isolation", isolation)
    assert run.returncode == 0, run.stdout + run.stderr
    assert done(project) == {"same.m.number", "same.m.word", "same.m.ten"}
    assert [project.value(f"same.m.{a}") for a in ("number", "word", "ten")] == [2, "caf\u00ea", 20]
    assert "3 fresh, 0 stale" in project.orvan("status", "same.m").stdout
