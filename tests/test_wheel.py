"""The wheel as users get it: built once per session by scripts/build-wheel.sh
(zig, no system compiler; or taken from ORVAN_WHEEL_DIR when CI built it
already), installed into a fresh virtual environment with no compiler on
PATH, running the example pipeline; its extension within what the
manylinux_2_17 tag promises."""

import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
COMPILERS = ("cc", "c++", "gcc", "g++", "clang", "clang++", "cmake", "zig")

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("ORVAN_SANITIZED")),
    reason="the wheel is a release build: the sanitizer run has nothing to add to it",
)


def version() -> str:
    return re.search(r'__version__ = "(.+)"', (ROOT / "orvan/_version.py").read_text())[1]


@pytest.fixture(scope="session")
def wheel_dir() -> Path:
    given = os.environ.get("ORVAN_WHEEL_DIR")
    if given:
        return Path(given).resolve()
    build = subprocess.run([str(ROOT / "scripts/build-wheel.sh"), "x86_64"], capture_output=True, text=True,
                           timeout=3600)
    assert build.returncode == 0, build.stdout + build.stderr
    return ROOT / "dist"


def wheel_of(wheel_dir: Path, arch: str) -> Path | None:
    found = sorted(wheel_dir.glob(f"orvan-{version()}-cp313-cp313-*manylinux_2_17_{arch}*.whl"))
    return found[0] if found else None


def compiler_free_path(tmp: Path) -> str:
    """A PATH holding every program of this one but the compilers and CMake,
    as on a user's machine that has none."""
    bin_dir = tmp / "bin"
    bin_dir.mkdir()
    for folder in os.environ["PATH"].split(os.pathsep):
        if not os.path.isdir(folder) or ".venv" in folder:
            continue
        for entry in os.scandir(folder):
            name = entry.name
            compiler = name in COMPILERS or re.fullmatch(r"(\S+-)?(gcc|g\+\+|c\+\+|cc|clang\+*)(-[\d.]+)?", name)
            if not compiler and not (bin_dir / name).exists() and os.access(entry.path, os.X_OK):
                (bin_dir / name).symlink_to(entry.path)
    return str(bin_dir)


@pytest.fixture(scope="session")
def user_venv(wheel_dir, tmp_path_factory):
    """A fresh venv with the wheel (and the parquet extra the examples use)
    installed with no compiler reachable: (its python, the environment to
    run it in)."""
    tmp = tmp_path_factory.mktemp("user")
    path = compiler_free_path(tmp)
    env = {k: v for k, v in os.environ.items() if k not in ("CC", "CXX", "VIRTUAL_ENV", "PYTHONPATH")}
    env["PATH"] = str(tmp / "venv/bin") + os.pathsep + path
    assert not [c for c in COMPILERS if shutil.which(c, path=env["PATH"])]
    base = getattr(sys, "_base_executable", sys.executable)
    subprocess.run([base, "-m", "venv", str(tmp / "venv")], check=True, env=env)
    python = str(tmp / "venv/bin/python")
    wheel = wheel_of(wheel_dir, "x86_64")
    pip = subprocess.run([python, "-m", "pip", "install", "-q", f"{wheel}[parquet]"], capture_output=True,
                         text=True, env=env, timeout=900)
    assert pip.returncode == 0, pip.stdout + pip.stderr
    return python, env


def test_wheel_installs_without_a_compiler_and_runs_the_examples(user_venv, tmp_path):
    python, env = user_venv
    where = subprocess.run([python, "-c", "import orvan._orvan as m; print(m.__file__)"], capture_output=True,
                           text=True, env=env, cwd=tmp_path)
    assert where.returncode == 0 and where.stdout.startswith(str(Path(python).parents[1])), where
    orvan = [str(Path(python).parent / "orvan")]
    assert subprocess.run([*orvan, "--version"], capture_output=True, text=True, env=env).stdout == \
        f"orvan {version()}\n"
    # The guide --help points at ships inside the package, equal to docs/.
    helptext = subprocess.run([*orvan, "--help"], capture_output=True, text=True, env=env).stdout
    assert "python -m orvan.docs" in helptext and "docs/runner.md" not in helptext
    guide = subprocess.run([python, "-m", "orvan.docs"], capture_output=True, text=True, env=env, cwd=tmp_path)
    assert guide.returncode == 0 and guide.stdout == (ROOT / "docs/runner.md").read_text()

    project = tmp_path / "examples"
    shutil.copytree(ROOT / "examples", project, ignore=shutil.ignore_patterns("__pycache__", ".orvan"))
    first = subprocess.run([*orvan, "run", "--out", "out"], capture_output=True, text=True, env=env, cwd=project,
                           timeout=600)
    assert first.returncode == 0, first.stdout + first.stderr
    again = subprocess.run([*orvan, "status", "--out", "out"], capture_output=True, text=True, env=env,
                           cwd=project)
    assert again.returncode == 0, again.stdout + again.stderr  # every job fresh
    shown = subprocess.run([*orvan, "show", "market_summary", "--out", "out"], capture_output=True, text=True,
                           env=env, cwd=project)
    assert shown.returncode == 0 and '"AAPL"' in shown.stdout and '"volume": 260' in shown.stdout, shown


def test_wheel_metadata_names_the_version_extras_and_readme(wheel_dir):
    wheel = wheel_of(wheel_dir, "x86_64")
    with zipfile.ZipFile(wheel) as z:
        metadata = z.read(f"orvan-{version()}.dist-info/METADATA").decode()
        names = z.namelist()
    assert f"\nVersion: {version()}\n" in metadata
    assert {"dask", "parquet", "npy", "postgres", "s3"} <= set(re.findall(r"Provides-Extra: (\S+)", metadata))
    assert "Classifier: Topic :: Scientific/Engineering\n" in metadata
    assert "Description-Content-Type: text/markdown" in metadata and "## Use it in your project" in metadata
    assert "orvan/_docs/runner.md" in names and not [n for n in names if n.endswith(".png")]
    sdist = wheel_dir / f"orvan-{version()}.tar.gz"
    assert sdist.is_file()


@pytest.mark.parametrize("arch", ["x86_64", "aarch64"])
def test_extension_stays_within_manylinux_2_17(wheel_dir, arch):
    wheel = wheel_of(wheel_dir, arch)
    if wheel is None:
        pytest.skip(f"no {arch} wheel was built (make wheel builds both; CI only x86_64)")
    check = subprocess.run([sys.executable, str(ROOT / "scripts/check-wheel.py"), str(wheel)],
                           capture_output=True, text=True)
    assert check.returncode == 0, check.stdout + check.stderr
    assert "needs libc.so.6" in check.stdout or ", libc.so.6" in check.stdout


CXX_WITH_NEW_NEEDS = """
#include <string>
#include <sys/random.h>
extern "C" long f(const char *s) {
    char buf[4];
    getrandom(buf, sizeof buf, 0);  // GLIBC_2.25
    return static_cast<long>(std::string(s).size());  // libstdc++.so.6
}
"""


def test_the_check_refuses_libstdcxx_a_newer_glibc_and_debug_symbols(tmp_path):
    """What the check exists for: the system compiler's output, which needs
    libstdc++.so and glibc 2.25, cannot pass as a manylinux_2_17 extension."""
    if shutil.which("g++") is None:
        pytest.skip("needs g++")
    source = tmp_path / "ext.cpp"
    source.write_text(CXX_WITH_NEW_NEEDS)
    so = tmp_path / "ext.so"
    subprocess.run(["g++", "-shared", "-fPIC", "-g", "-o", str(so), str(source)], check=True)
    wheel = tmp_path / "orvan-0-cp313-cp313-manylinux_2_17_x86_64.whl"
    with zipfile.ZipFile(wheel, "w") as z:
        z.write(so, "orvan/_orvan.cpython-313-x86_64-linux-gnu.so")
    check = subprocess.run([sys.executable, str(ROOT / "scripts/check-wheel.py"), str(wheel)],
                           capture_output=True, text=True, env={**os.environ, "PATH": "/usr/bin:/bin"})
    assert check.returncode == 1
    assert "needs libstdc++.so.6, which is not part of glibc" in check.stderr
    assert re.search(r"needs symbol version GLIBCXX_[\d.]+ of libstdc\+\+\.so\.6", check.stderr)
    assert "needs GLIBC_2.25 of libc.so.6, newer than glibc 2.17" in check.stderr
    assert "is not stripped" in check.stderr


def test_make_demo_in_a_fresh_clone_says_what_it_does_at_once(tmp_path):
    """The demo's first minutes go to setting up a venv and building: it
    says so before anything slow starts, not after."""
    clone = tmp_path / "clone"
    subprocess.run(["git", "clone", "-q", str(ROOT), str(clone)], check=True)
    env = {k: v for k, v in os.environ.items() if k not in ("VIRTUAL_ENV", "MAKEFLAGS", "MAKELEVEL")}
    demo = subprocess.Popen(["make", "demo"], cwd=clone, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            env=env, start_new_session=True)
    out = b""
    try:
        deadline = time.monotonic() + 5
        while out.count(b"\n") < 2 and time.monotonic() < deadline:
            ready, _, _ = select.select([demo.stdout], [], [], max(deadline - time.monotonic(), 0))
            chunk = os.read(demo.stdout.fileno(), 4096) if ready else b""
            if ready and not chunk:
                break
            out += chunk
    finally:
        os.killpg(demo.pid, signal.SIGTERM)
        demo.wait(timeout=60)
        demo.stdout.close()
    lines = out.decode().splitlines(keepends=True)
    assert lines[:1] and lines[0].startswith("make demo: sets up .venv, builds the extension"), lines
    assert lines[1:2] == ["setting up .venv for demo\n"], lines
