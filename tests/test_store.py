"""Values in object storage, end to end: the `orvan` command against a real
S3 server (SeaweedFS) started on 127.0.0.1 by the session."""

from __future__ import annotations

import hashlib
import json
import os
import re
import shutil
import sqlite3
import subprocess
import time
from pathlib import Path

import pytest
from cli_helpers import Project, max_overlap, wait_for
from s3_server import ACCESS_KEY, SECRET_KEY, Seaweed, client_env, running

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"

pytestmark = pytest.mark.skipif(
    os.environ.get("ORVAN_SANITIZED") == "1",
    reason="the store is pure Python, covered by the regular run; under the sanitizer every command's "
           "start-up and the S3 client's imports would take most of the test budget",
)

FAN_IN = """\
from orvan import asset, partitions

SCALE = {scale}

@asset(partitions={{"n": partitions([1, 2, 3])}})
def part(n):
    return {{"n": n, "v": n * SCALE}}

@asset(inputs={{"p": part}})
def total(p):
    return sum(v["v"] for v in p.values())
"""


@pytest.fixture(scope="session")
def s3(tmp_path_factory):
    with running(tmp_path_factory.mktemp("seaweed")) as server:
        yield server


def fs(server: Seaweed):
    import s3fs

    return s3fs.S3FileSystem(endpoint_url=server.endpoint, key=ACCESS_KEY, secret=SECRET_KEY,
                             skip_instance_cache=True)


def stored_project(root: Path, server: Seaweed, module: str, source: str, store: str | None = None) -> Project:
    project = Project(root)
    project.write(f"{module}.py", source)
    lines = [f'modules = ["{module}"]', f'store_options = {{ endpoint_url = "{server.endpoint}" }}']
    if store:
        lines.append(f'store = "{store}"')
    project.write("pyproject.toml", "[tool.orvan]\n" + "\n".join(lines) + "\n")
    return project


def run(project: Project, *args: str, server: Seaweed, env: dict | None = None,
        timeout: float = 240) -> subprocess.CompletedProcess:
    return subprocess.run(project.command(*args), cwd=project.root, capture_output=True, text=True, timeout=timeout,
                          env={**os.environ, "COLUMNS": "200", **client_env(server), **(env or {})},
                          stdin=subprocess.DEVNULL)


def objects(server: Seaweed, prefix: str) -> dict[str, bytes]:
    files = fs(server)
    return {p[len(prefix) + 1:]: files.cat_file(p) for p in files.find(prefix)}


def value_objects(server: Seaweed, prefix: str) -> dict[str, bytes]:
    """Each stored value by its job's directory and file name (the local
    layout), checked to be stored under its own content's hash."""
    found = {}
    for name, data in objects(server, prefix).items():
        match = re.fullmatch(r"(.*)/value-([0-9a-f]{64})\.(\w+)", name)
        if match:
            assert hashlib.sha256(data).hexdigest() == match.group(2), name
            found[f"{match.group(1)}/value.{match.group(3)}"] = data
    return found


def local_values(out: Path) -> dict[str, bytes]:
    return {str(p.relative_to(out)): p.read_bytes() for p in out.rglob("value.*")}


def done_rows(project: Project) -> list[dict]:
    db = sqlite3.connect(project.out / "catalog.sqlite")
    db.row_factory = sqlite3.Row
    try:
        return [dict(r) for r in db.execute("SELECT * FROM jobs WHERE status='done' ORDER BY id")]
    finally:
        db.close()


def example_run_here(root: Path, server: Seaweed) -> tuple[Project, subprocess.CompletedProcess]:
    """A copy of the example pipeline whose store options name `server`, run
    once into the local output directory "here"."""
    example = Project(root)
    shutil.copytree(EXAMPLES, example.root, ignore=shutil.ignore_patterns("__pycache__"))
    with open(example.root / "pyproject.toml", "a") as f:
        f.write(f'store_options = {{ endpoint_url = "{server.endpoint}" }}\n')
    return example, run(example, "run", "--out", "here", server=server)


def test_the_example_pipeline_with_an_s3_store_stores_the_values_of_a_local_run(tmp_path, s3):
    bucket = s3.new_prefix()
    example, here = example_run_here(tmp_path / "examples", s3)
    there = run(example, "run", "--out", "there", "--store", f"s3://{bucket}/ex", server=s3)
    assert here.returncode == 0 and there.returncode == 0, here.stderr + there.stdout + there.stderr
    expected = local_values(example.root / "here")
    assert len(expected) == 15
    # Byte for byte, every serializer here being deterministic.
    assert value_objects(s3, f"{bucket}/ex") == expected
    assert not list((example.root / "there").rglob("value.*")), "values stay in the store alone"
    # Every reader reads the store: fresh, the same value shown, its log.
    again = run(example, "run", "--out", "there", "--store", f"s3://{bucket}/ex", server=s3)
    assert re.search(r"15 jobs: 0 done, 15 fresh", again.stdout), again.stdout + again.stderr
    status = run(example, "status", "--out", "there", server=s3, env={"ORVAN_STORE": f"s3://{bucket}/ex"})
    assert status.returncode == 0 and "15 fresh" in status.stdout, status.stdout + status.stderr
    shown = [run(example, "show", "market_summary", "--out", out, server=s3, env=env).stdout
             for out, env in (("here", {}), ("there", {"ORVAN_STORE": f"s3://{bucket}/ex"}))]
    assert shown[0] == shown[1] and "AAPL" in shown[0]
    logs = run(example, "logs", "market_summary", "--out", "there", "--store", f"s3://{bucket}/ex", server=s3)
    assert logs.returncode == 0, logs.stderr


def test_a_value_damaged_or_deleted_in_the_store_is_redone_as_a_damaged_local_one(tmp_path, s3):
    bucket = s3.new_prefix()
    project = stored_project(tmp_path, s3, "fan", FAN_IN.format(scale=10), f"s3://{bucket}/p")
    first = run(project, "run", server=s3)
    assert first.returncode == 0, first.stdout + first.stderr
    files = fs(s3)
    names = {n.split("/")[0] + "/" + n.split("/")[1]: f"{bucket}/p/{n}" for n in value_objects(s3, f"{bucket}/p")}
    paths = {part: next(p for p in files.find(f"{bucket}/p/fan.part/n={part}") if "/value-" in p)
             for part in (1, 2, 3)}
    assert names
    files.rm(paths[1])  # deleted
    files.pipe_file(paths[2], b'{"n": 2, "v": 99999}')  # another size
    same_size = files.cat_file(paths[3]).replace(b"30", b"31")
    files.pipe_file(paths[3], same_size)  # the same size: found when read
    status = run(project, "status", "--why", server=s3)
    assert re.search(r"fan\.part\[n=1\].*\n.*missing", status.stdout), status.stdout
    assert re.search(r"fan\.part\[n=2\].*\n.*damaged", status.stdout), status.stdout
    rerun = run(project, "run", server=s3)
    assert rerun.returncode == 0, rerun.stdout + rerun.stderr
    assert re.search(r"2 done, 2 fresh", rerun.stdout), rerun.stdout
    # The value damaged at the same size is found by the job that reads it,
    # and redone before that job runs again.
    forced = run(project, "run", "--force", "-s", "fan.total", server=s3)
    assert forced.returncode == 0, forced.stdout + forced.stderr
    ran = {(k, p) for (k, p), st in project.statuses().items() if st == "done"}
    assert ran == {("fan.total", ""), ("fan.part", '{"n":"3"}')}, project.statuses()
    shown = run(project, "show", "fan.total", server=s3)
    assert shown.stdout.strip() == "60", shown.stdout + shown.stderr
    final = run(project, "status", server=s3)
    assert final.returncode == 0 and "4 fresh" in final.stdout, final.stdout + final.stderr


def test_credentials_never_appear_in_output_logs_catalog_or_store(tmp_path, s3):
    bucket = s3.new_prefix()
    source = FAN_IN.format(scale=1) + """
import os

@asset()
def noisy():
    print("the job's own output")
    raise RuntimeError("boom")
"""
    project = stored_project(tmp_path, s3, "fan", source, f"s3://{bucket}/c")
    seen = [run(project, "run", "-v", server=s3)]
    seen += [run(project, *args, server=s3) for args in (("status", "--why"), ("show", "fan.total"),
                                                         ("logs", "fan.noisy"), ("history",), ("clean",))]
    assert seen[0].returncode == 1 and "boom" in seen[0].stdout + seen[0].stderr
    assert "the job's own output" in seen[3].stdout
    texts = [p.stdout + p.stderr for p in seen]
    texts += [p.read_bytes().decode("latin-1") for p in project.root.rglob("*") if p.is_file()]
    texts += [data.decode("latin-1") for data in objects(s3, f"{bucket}/c").values()]
    for secret in (ACCESS_KEY, SECRET_KEY):
        assert not [t for t in texts if secret in t]
    # Credentials in the project's settings are refused, not passed on.
    project.write("pyproject.toml", (project.root / "pyproject.toml").read_text()
                  .replace("store_options = {", 'store_options = { secret = "x",'))
    refused = run(project, "run", server=s3)
    assert refused.returncode != 0 and "must not hold credentials" in refused.stderr


GATED = """\
import os, time
from orvan import asset, partitions

@asset(partitions={"n": partitions([1, 2])})
def gated(n):
    open(f"started-{n}", "w").close()
    while not os.path.exists("go"):
        time.sleep(0.05)
    return n * 7

@asset(inputs={"g": gated})
def after(g):
    return sum(g.values())
"""


def test_a_store_that_stops_answering_mid_run_fails_the_jobs_and_a_rerun_completes(tmp_path):
    server = Seaweed(tmp_path / "own-seaweed")
    server.start()
    try:
        bucket = server.new_bucket()
        project = stored_project(tmp_path / "p", server, "gate", GATED, f"s3://{bucket}/g")
        env = {**os.environ, "COLUMNS": "200", **client_env(server)}
        proc = subprocess.Popen(project.command("run"), cwd=project.root, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env=env, stdin=subprocess.DEVNULL)
        wait_for(lambda: all((project.root / f"started-{n}").exists() for n in (1, 2)), "the jobs to start", 120)
        server.stop()
        (project.root / "go").touch()
        out, err = proc.communicate(timeout=300)
        assert proc.returncode == 1, out + err
        assert f"s3://{bucket}/g" in out + err
        assert not done_rows(project), "nothing is recorded done that is not stored"
        server.start()
        rerun = run(project, "run", server=server)
        assert rerun.returncode == 0, rerun.stdout + rerun.stderr
        assert run(project, "show", "gate.after", server=server).stdout.strip() == "21"
    finally:
        server.stop()


def test_clean_removes_superseded_attempts_and_undeclared_jobs_from_the_store(tmp_path, s3):
    bucket = s3.new_prefix()
    project = stored_project(tmp_path, s3, "fan", FAN_IN.format(scale=1), f"s3://{bucket}/k")
    assert run(project, "run", server=s3).returncode == 0
    project.write("fan.py", FAN_IN.format(scale=2).replace("[1, 2, 3]", "[1, 2]"))
    second = run(project, "run", server=s3)
    assert second.returncode == 0, second.stdout + second.stderr
    before = objects(s3, f"{bucket}/k")
    assert any("n=3" in n for n in before) and len(value_objects(s3, f"{bucket}/k")) > 3
    cleaned = run(project, "clean", server=s3)
    assert cleaned.returncode == 0, cleaned.stdout + cleaned.stderr
    after = objects(s3, f"{bucket}/k")
    kept = value_objects(s3, f"{bucket}/k")
    assert sorted(kept) == ["fan.part/n=1/value.json", "fan.part/n=2/value.json", "fan.total/value.json"]
    assert json.loads(kept["fan.total/value.json"]) == 6
    assert not any("n=3" in n for n in after)
    # One attempt's log and record per job kept, each run's, no more.
    assert sorted(n.rsplit("/", 1)[1] for n in after if n.startswith("fan.total/")) == \
        ["run-2.1.log.txt", "run-2.1.result.json", next(n.rsplit("/", 1)[1] for n in after
                                                        if n.startswith("fan.total/value-"))]
    status = run(project, "status", server=s3)
    assert status.returncode == 0 and "3 fresh" in status.stdout, status.stdout + status.stderr


def test_the_ui_job_page_shows_the_log_and_value_from_the_store(tmp_path, s3, monkeypatch):
    from ui_helpers import one_page

    prefix = s3.new_prefix()
    source = FAN_IN.format(scale=5).replace("    return sum(", '    print("summing", len(p), "parts")\n'
                                                               "    return sum(")
    project = stored_project(tmp_path, s3, "fan", source, f"s3://{prefix}")
    assert run(project, "run", server=s3).returncode == 0
    # Nothing of the job's files in the output directory: the page must read the store.
    for path in project.out.rglob("*.txt"):
        path.unlink()
    for name, value in client_env(s3).items():
        monkeypatch.setenv(name, value)
    status, page = one_page(project, "/job?key=fan.total")
    assert status == 200
    assert "summing 3 parts" in page and "<pre class=value>30</pre>" in page, page


@pytest.mark.parametrize("store, message", [
    ("s3://AKIDEXAMPLE:wJalrXUtnFEMI@bucket/p", "must not hold credentials"),
    ("bucket/p", "must be a URL such as s3://bucket/prefix"),
    ("gs://bucket/p", "install the fsspec back end for gs://"),
    ("nosuchscheme://bucket/p", "cannot open the store nosuchscheme://bucket/p"),
])
def test_a_store_that_cannot_be_used_stops_the_run_before_it_starts_saying_why(tmp_path, s3, store, message):
    project = stored_project(tmp_path, s3, "fan", FAN_IN.format(scale=1))
    proc = run(project, "run", "--store", store, server=s3)
    assert proc.returncode != 0 and message in proc.stderr, proc.stdout + proc.stderr
    assert "wJalrXUtnFEMI" not in proc.stdout + proc.stderr
    assert not (project.out / "catalog.sqlite").exists()


CHECKED = """\
from orvan import asset, partitions
from orvan.checks import check

LIMIT = 0


@asset(partitions={"t": partitions(["a", "b"])})
def up(t):
    return {"n": -1 if t == "b" else 1}


@check(up, blocking=True)
def positive(value, t):
    with open("calls.txt", "a") as f:
        f.write(t + "\\n")
    return value["n"] > LIMIT


@asset(partitions={"t": partitions(["a", "b"])}, inputs={"x": up})
def down(t, x):
    return x["n"] * 2
"""


@pytest.mark.parametrize("how", [["--isolation", "fork"], ["--isolation", "spawn"], ["--scheduler", "local"]],
                         ids=["fork", "spawn", "dask"])
def test_asset_checks_run_on_the_jobs_host_and_keep_their_outcome_in_the_store(tmp_path, s3, how):
    if "local" in how:
        pytest.importorskip("distributed", reason="the dask extra is not installed (make install sets it up)")
    prefix = s3.new_prefix()
    project = stored_project(tmp_path, s3, "chk", CHECKED, f"s3://{prefix}")
    calls = project.root / "calls.txt"
    first = run(project, "run", *how, server=s3)
    assert first.returncode == 1, first.stdout + first.stderr
    assert "error: check positive on chk.up[t=b] failed (blocking)" in first.stdout, first.stdout
    assert "skipped" not in first.stderr
    assert project.statuses()[("chk.down", '{"t":"b"}')] == "not_run"
    assert project.statuses()[("chk.down", '{"t":"a"}')] == "done"
    # Each outcome is beside its value, named after the value's hash, and
    # nothing of it is left in the output directory.
    stored = objects(s3, prefix)
    for t, passed in (("a", True), ("b", False)):
        [value] = [n for n in stored if n.startswith(f"chk.up/t={t}/value-")]
        digest = value.rsplit("-", 1)[1].split(".")[0]
        outcome = json.loads(stored[f"chk.up/t={t}/checks-{digest}.json"])
        assert outcome["value_hash"] == digest and outcome["outcomes"][0]["passed"] is passed
    assert not list(project.out.rglob("checks*.json"))
    status = json.loads(run(project, "status", "--json", server=s3).stdout)
    by_label = {j["label"]: j for j in status["jobs"]}
    assert [c["state"] for c in by_label["chk.up[t=b]"]["checks"]] == ["failed"]
    assert by_label["chk.down[t=b]"]["state"] == "blocked"
    shown = run(project, "show", "chk.up", "-p", "t=b", server=s3)
    assert shown.stdout.strip() == '{"n": -1}' and "check positive failed (blocking)" in shown.stderr, shown.stderr

    # Nothing changed: the outcomes are read back from the store, not rerun;
    # nor when the asset reruns and its values come out the same.
    assert sorted(calls.read_text().split()) == ["a", "b"]
    again = run(project, "run", server=s3)
    assert again.returncode == 1 and sorted(calls.read_text().split()) == ["a", "b"], again.stdout
    project.write("chk.py", CHECKED + "# edited\n")
    rerun = run(project, "run", server=s3)
    assert rerun.returncode == 1 and project.statuses()[("chk.up", '{"t":"b"}')] == "done", rerun.stdout
    assert sorted(calls.read_text().split()) == ["a", "b"]

    # An edited check reruns alone, on the values fetched from the store.
    project.write("chk.py", CHECKED.replace('value["n"] > LIMIT', 'value["n"] > LIMIT - 5') + "# edited\n")
    edited = run(project, "run", "--select", "chk.down", server=s3)
    assert edited.returncode == 0, edited.stdout + edited.stderr
    statuses = project.statuses()
    assert statuses[("chk.up", '{"t":"b"}')] == "fresh" and statuses[("chk.down", '{"t":"b"}')] == "done"
    assert sorted(calls.read_text().split()) == ["a", "a", "b", "b"]
    assert run(project, "show", "chk.down", "-p", "t=b", server=s3).stdout.strip() == "-2"


def test_plain_requests_keep_the_stores_promises(s3, monkeypatch):
    """The presigned GETs and PUTs against the real server: a create never
    replaces an object, a missing one is said missing, and bytes come back
    in the order asked for."""
    from orvan.store import StoreMissing
    from orvan.store.remote import RemoteStore

    for name, value in client_env(s3).items():
        monkeypatch.setenv(name, value)
    store = RemoteStore(f"s3://{s3.new_prefix()}", {"endpoint_url": s3.endpoint})
    assert store._direct is not None, "S3 is read and written with plain requests"
    names = [f"a/n={i}/value-{i}.json" for i in range(80)]
    assert store.put_many([(n, str(i).encode(), True) for i, n in enumerate(names)]) == [True] * 80
    assert store.put_many([(names[0], b"late", True), ("a/log.txt", b"1", False)]) == [False, True]
    assert store.put_many([("a/log.txt", b"2", False)]) == [True]
    assert store.fetch(list(reversed(names))) == [str(i).encode() for i in reversed(range(80))]
    assert store.fetch(["a/log.txt"]) == [b"2"]
    assert store.sizes([names[12], "a/log.txt", "a/none.json"]) == {names[12]: 2, "a/log.txt": 1, "a/none.json": None}
    with pytest.raises(StoreMissing, match="a/none.json is not in the store"):
        store.fetch([names[1], "a/none.json"])


TIMED = """\
import json, os, time
from orvan import asset, partitions


@asset(partitions={"n": partitions(list(range(8)))})
def slow(n):
    started = time.time()
    time.sleep(0.3)
    with open(f"span-{n}.json", "w") as f:
        json.dump({"started_at": started, "ended_at": time.time(), "pid": os.getpid()}, f)
    return n
"""


def test_transfers_overlap_other_jobs_but_no_more_than_j_jobs_run_at_once(tmp_path, s3):
    project = stored_project(tmp_path, s3, "timed", TIMED, f"s3://{s3.new_prefix()}")
    done = run(project, "run", "-j", "2", server=s3)
    assert done.returncode == 0, done.stdout + done.stderr
    spans = [json.loads(p.read_text()) for p in project.root.glob("span-*.json")]
    assert len(spans) == 8 and max_overlap(spans) == 2
