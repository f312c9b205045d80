"""Values that are not JSON, end to end through the command: each serializer
stores what its asset returns, downstream jobs receive the loaded value, and
the stored bytes do not change between identical runs."""

from __future__ import annotations

import json
import os
import textwrap

import pytest
from cli_helpers import Project, project  # noqa: F401  (fixture)

# These exercise the Python path and third-party writers, none of the
# extension's code; pyarrow's own allocator does not mix with a preloaded ASan.
pytestmark = pytest.mark.skipif(os.environ.get("ORVAN_SANITIZED") == "1",
                                reason="no native code of ours under test; pyarrow and ASan do not mix")

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")

PIPELINE = """\
import dataclasses

import numpy as np
import pandas as pd

from orvan import asset, partitions

REGIONS = partitions(["eu", "us"])


@dataclasses.dataclass
class Point:
    x: int
    y: int


@asset(serializer="parquet")
def frame() -> pd.DataFrame:
    return pd.DataFrame({"a": [1, 2, 3], "b": ["x", "y", "z"]})


@asset(inputs={"df": frame}, serializer="parquet")
def doubled(df: pd.DataFrame) -> pd.DataFrame:
    return df.assign(a=df["a"] * 2)


@asset(inputs={"df": doubled})
def total(df: pd.DataFrame) -> int:
    return int(df["a"].sum())


@asset(partitions={"region": REGIONS}, serializer="parquet")
def sales(region: str) -> pd.DataFrame:
    return pd.DataFrame({"region": [region], "amount": [10 if region == "eu" else 32]})


@asset(inputs={"parts": sales})
def all_sales(parts: dict[str, pd.DataFrame]) -> dict[str, int]:
    return {region: int(df["amount"].sum()) for region, df in sorted(parts.items())}


@asset(serializer="npy")
def grid() -> np.ndarray:
    return np.arange(6, dtype=np.int64).reshape(2, 3)


@asset(inputs={"g": grid})
def grid_sum(g: np.ndarray) -> int:
    return int(g.sum())


@asset(serializer="pickle")
def point() -> Point:
    return Point(3, 4)


@asset(inputs={"p": point})
def norm2(p: Point) -> int:
    return p.x * p.x + p.y * p.y


@asset(serializer="text")
def note() -> str:
    return "héllo\\nworld"


@asset(serializer="bytes")
def blob() -> bytes:
    return bytes(range(256))


@asset(inputs={"n": note, "b": blob})
def sizes(n: str, b: bytes) -> list[int]:
    return [len(n), len(b)]
"""


@pytest.fixture(scope="module")
def values_project(tmp_path_factory: pytest.TempPathFactory) -> Project:
    # One run serves every read-only check below: each job imports pandas.
    project = Project(tmp_path_factory.mktemp("values"))
    project.write("vals.py", PIPELINE)
    out = project.orvan("run", "vals", "-j", "2")
    assert out.returncode == 0, out.stdout + out.stderr
    return project


def stored(project: Project, *parts: str) -> bytes:
    return project.out.joinpath(*parts).read_bytes()


def test_each_serializer_stores_its_value_and_feeds_its_downstream(values_project: Project) -> None:
    p = values_project
    frame = pd.read_parquet(p.out / "vals.doubled" / "value.parquet")
    assert frame["a"].tolist() == [2, 4, 6]
    assert p.value("vals.total") == 12
    assert p.value("vals.all_sales") == {"eu": 10, "us": 32}
    assert np.load(p.out / "vals.grid" / "value.npy", allow_pickle=False).tolist() == [[0, 1, 2], [3, 4, 5]]
    assert p.value("vals.grid_sum") == 15
    assert p.value("vals.norm2") == 25
    assert stored(p, "vals.note", "value.txt").decode() == "héllo\nworld"
    assert stored(p, "vals.blob", "value.bin") == bytes(range(256))
    assert p.value("vals.sizes") == [11, 256]
    record = json.loads(stored(p, "vals.frame", "result.json"))
    assert record["artifact_format"] == "parquet" and record["result_type"] == "DataFrame"
    assert record["value_path"].endswith("value.parquet") and len(record) == 7
    # No value.json next to a value stored another way.
    assert not (p.out / "vals.frame" / "value.json").exists()


def test_identical_runs_store_identical_bytes(values_project: Project) -> None:
    p = values_project
    names = {"vals.frame": "value.parquet", "vals.grid": "value.npy", "vals.point": "value.pkl"}
    before = {key: stored(p, key, name) for key, name in names.items()}
    out = p.orvan("run", "vals", "--force")
    assert out.returncode == 0, out.stdout + out.stderr
    assert {key: stored(p, key, name) for key, name in names.items()} == before


@pytest.mark.parametrize(
    ("key", "expected"),
    [
        ("vals.frame", ["DataFrame, 3 rows x 2 columns", "a: int64"]),
        ("vals.grid", ["ndarray, shape (2, 3), dtype int64"]),
        ("vals.point", ["vals.Point: Point(x=3, y=4)"]),
        ("vals.note", ["héllo"]),
        ("vals.blob", ["bytes, 256 bytes"]),
    ],
)
def test_show_summarises_values_that_are_not_json(values_project: Project, key: str, expected: list[str]) -> None:
    out = values_project.orvan("show", key)
    assert out.returncode == 0, out.stderr
    for text in expected:
        assert text in out.stdout


def test_show_raw_copies_the_stored_file(values_project: Project, tmp_path: os.PathLike[str]) -> None:
    target = os.path.join(tmp_path, "copy.bin")
    out = values_project.orvan("show", "vals.blob", "--raw", target)
    assert out.returncode == 0, out.stderr
    with open(target, "rb") as f:
        assert f.read() == bytes(range(256))


def test_an_unknown_serializer_is_refused_before_anything_runs(project: Project) -> None:
    project.write("bad.py", """\
        from orvan import asset

        @asset(serializer="yaml")
        def config() -> dict[str, int]:
            return {}
    """)
    out = project.orvan("run", "bad")
    assert out.returncode == 2
    assert "'bad.config': unknown serializer 'yaml'" in out.stderr
    assert "parquet" in out.stderr and "pickle" in out.stderr
    assert not (project.out / "bad.config").exists()


def test_a_value_the_serializer_cannot_write_fails_its_job_with_a_traceback(project: Project) -> None:
    project.write("wrong.py", """\
        from orvan import asset

        @asset(serializer="npy")
        def not_an_array() -> list[int]:
            return [1, 2]
    """)
    out = project.orvan("run", "wrong")
    assert out.returncode == 1
    assert "the 'npy' serializer stores a numpy array, not list" in out.stdout
    log = (project.out / "wrong.not_an_array" / "log.txt").read_text()
    assert "Traceback (most recent call last)" in log
    assert not list((project.out / "wrong.not_an_array").glob("*value*"))


def test_a_missing_optional_dependency_names_the_extra(project: Project) -> None:
    # A module of that name that fails to import stands in for the missing one.
    project.write("pyarrow.py", "raise ImportError(\"No module named 'pyarrow'\")\n")
    project.write("nopa.py", """\
        import pandas as pd
        from orvan import asset

        @asset(serializer="parquet")
        def frame() -> pd.DataFrame:
            return pd.DataFrame({"a": [1]})
    """)
    out = project.orvan("run", "nopa")
    assert out.returncode == 1
    assert "pip install 'orvan[parquet]'" in out.stdout


def test_serializers_from_other_distributions_register_by_entry_point(
    project: Project, tmp_path, monkeypatch: pytest.MonkeyPatch
) -> None:
    site = tmp_path / "site"
    dist = site / "reverser-1.0.dist-info"
    dist.mkdir(parents=True)
    (dist / "METADATA").write_text("Metadata-Version: 2.1\nName: reverser\nVersion: 1.0\n")
    (dist / "entry_points.txt").write_text("[orvan.serializers]\nreversed = reverser:Reversed\n")
    (site / "reverser.py").write_text(textwrap.dedent("""\
        class Reversed:
            name = "reversed"
            extension = "rev"

            def dump(self, value, path):
                with open(path, "w", encoding="utf-8") as f:
                    f.write(value[::-1])

            def load(self, path):
                with open(path, encoding="utf-8") as f:
                    return f.read()[::-1]
    """))
    project.write("ep.py", """\
        from orvan import asset

        @asset(serializer="reversed")
        def word() -> str:
            return "stressed"

        @asset(inputs={"w": word})
        def upper(w: str) -> str:
            return w.upper()
    """)
    monkeypatch.setenv("PYTHONPATH", str(site))
    out = project.orvan("run", "ep")
    assert out.returncode == 0, out.stdout + out.stderr
    assert stored(project, "ep.word", "value.rev") == b"desserts"
    assert project.value("ep.upper") == "STRESSED"
