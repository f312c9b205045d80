"""The typed public API: the stub file ships with the package and type
checkers see real signatures through @asset."""

import subprocess
import sys
import textwrap
from pathlib import Path

import orvan

REPO = Path(__file__).resolve().parents[1]
INSTALLED = Path(orvan.__file__).parent


def mypy(tmp_path, *args, cwd):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
         "--cache-dir", str(tmp_path / "mypy-cache"), *args],
        cwd=cwd, capture_output=True, text=True, timeout=300,
    )


def test_stub_and_marker_are_installed():
    assert (INSTALLED / "py.typed").is_file()
    assert (INSTALLED / "_orvan.pyi").read_text() == (REPO / "orvan/_orvan.pyi").read_text()


def test_the_package_passes_strict_checking(tmp_path):
    # The command included: its layers hand typed records to each other, and
    # a loose annotation there hides exactly the mismatches that matter.
    proc = mypy(tmp_path, "orvan", cwd=REPO)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_examples_pass_strict_checking(tmp_path):
    proc = mypy(tmp_path, "pipeline", "run_demo.py", cwd=REPO / "examples")
    assert proc.returncode == 0, proc.stdout + proc.stderr


USE = '''
    from typing import Any
    from orvan import asset, partitions
    from orvan._orvan import inspect_modules

    @asset(partitions={"t": partitions(["a"])})
    def price(t: str, n: int = 1) -> float:
        return 1.0

    @asset(inputs={"p": price, "other": "file.py:f"})
    def later(p: float) -> None: ...

    class Holder:
        f = price

    reveal_type(price)
    reveal_type(price.__orvan_original__)
    reveal_type(price.__orvan_metadata__["partitions"])
    reveal_type(Holder().f)
    price(1)
    wrong: str = price("a")
    asset(inputs={"p": 3})
    partitions(("a",))
    inspect_modules([b"x"])
'''


def test_decorated_functions_keep_their_signature(tmp_path):
    (tmp_path / "use.py").write_text(textwrap.dedent(USE))
    out = mypy(tmp_path, "use.py", cwd=tmp_path).stdout.splitlines()
    expected = [
        "note: Revealed type is \"orvan._orvan.AssetWrapper[[t: str, n: int =], float]\"",
        "note: Revealed type is \"def (t: str, n: int =) -> float\"",
        "note: Revealed type is \"dict[str, TypedDict(orvan._orvan._PartitionMetadata, "
        "{'kind': Literal['inline'], 'values_json': str})] | None\"",
        "note: Revealed type is \"orvan._orvan.AssetWrapper[[t: str, n: int =], float]\"",
        'error: Argument 1 to "__call__" of "AssetWrapper" has incompatible type "int"; expected "str"',
        "error: Incompatible types in assignment",
        'error: Dict entry 0 has incompatible type "str": "int"; expected "str": "_AssetLike | str"',
        'error: Argument 1 to "partitions" has incompatible type "tuple[str]"; expected "list[Any]"',
        'error: List item 0 has incompatible type "bytes"; expected "str"',
    ]
    assert len(out) == len(expected), "\n".join(out)
    for line, fragment in zip(out, expected):
        assert fragment in line


def test_stub_matches_the_runtime_module(tmp_path):
    # stubtest imports the real module and compares names, signatures and
    # classes with the stub.
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "orvan._orvan"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
