"""What the command does to start fast, which must not change what it does:
the inspection it starts as soon as its arguments are parsed (a fork of the command
that must see what `python -m orvan.inspect`, spawned from the project
directory, would see, and be read only when it inspected exactly what the
command asks for), the plan it makes from the last report meanwhile, and
the command line built for the one subcommand given."""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import subprocess
import sys

import pytest

from cli_helpers import project  # noqa: F401
from orvan.cli.main import SUBCOMMANDS, build_parser, parse

PROBE = """\
import json, os, sys, threading
from orvan import asset

with open(os.environ["PROBE_FILE"], "a") as f:
    f.write(json.dumps({"path": sys.path, "cwd": os.getcwd(), "pythonpath": os.environ.get("PYTHONPATH"),
                        "argv": sys.argv[1:], "threads": threading.active_count(),
                        "stdin": os.read(0, 1).decode(), "forked": "orvan.cli.entry" in sys.modules}) + "\\n")

@asset()
def probed():
    return 1
"""


def _subparser(command: str, parser: argparse.ArgumentParser | None = None) -> argparse.ArgumentParser:
    parser = parser or build_parser()
    sub = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    return sub.choices[command]


def _value_options(command: str) -> set[str]:
    return {s for a in _subparser(command)._actions if a.option_strings and a.nargs not in (0, "*")
            for s in a.option_strings}


@pytest.mark.parametrize("command", [command.name for command in SUBCOMMANDS])
def test_a_subcommand_built_alone_reads_and_helps_as_within_the_whole_command(command, capsys):
    assert _subparser(command, build_parser(command)).format_help() == _subparser(command).format_help()
    with pytest.raises(SystemExit) as exited:
        parse([command, "--no-such-flag"])
    assert exited.value.code == 2
    assert f"usage: orvan {command}" in capsys.readouterr().err


def _probe(project, tmp_path, *python_flags: str) -> dict:
    probe_file = tmp_path / f"probe{len(python_flags)}.jsonl"
    probe_file.unlink(missing_ok=True)
    env = dict(os.environ, PROBE_FILE=str(probe_file), PYTHONPATH="extra_dir")
    (project.root / "sub").mkdir(exist_ok=True)
    result = subprocess.run([sys.executable, *python_flags, "-m", "orvan", "list", "pipe.probe"],
                            cwd=project.root / "sub", env=env, capture_output=True, text=True, timeout=120,
                            stdin=subprocess.DEVNULL)
    assert result.returncode == 0, result.stderr
    seen = [json.loads(line) for line in probe_file.read_text().splitlines()]
    assert len(seen) == 1, "the module was imported once, by the inspection"
    return seen[0]


def test_the_forked_inspection_sees_what_a_spawned_one_sees(project, tmp_path):
    project.write("pyproject.toml", '[tool.orvan]\nmodules = ["pipe.probe"]\n')
    project.write("pipe/probe.py", PROBE)
    forked = _probe(project, tmp_path)
    # Interpreter options rule the fork out: the inspection is spawned.
    spawned = _probe(project, tmp_path, "-W", "default")
    assert forked.pop("forked") and not spawned.pop("forked")
    assert forked["path"] == spawned["path"]
    assert forked == spawned
    assert forked["cwd"] == str(project.root)
    assert forked["path"][0] == str(project.root)
    assert forked["argv"] == ["--strict", "pipe.probe"]
    assert forked["threads"] == 1 and forked["stdin"] == ""


def test_an_abbreviated_option_is_read_as_argparse_reads_it(project, tmp_path):
    project.write("pyproject.toml", '[tool.orvan]\nmodules = ["pipe.a"]\n')
    project.write("pipe/a.py", "from orvan import asset\n\n@asset()\ndef first():\n    return 1\n")
    project.write("pipe/b.py", "from orvan import asset\n\n@asset()\ndef second():\n    return 2\n")
    listed = project.orvan("list", "--json", "--sel", "pipe.b.second", "pipe.b")
    assert listed.returncode == 0, listed.stderr
    assert [a["key"] for a in json.loads(listed.stdout)["assets"]] == ["pipe.b.second"]
    assert "pipe.a.first" in project.orvan("list").stdout


def _ran(project) -> list[str]:
    return sorted(key for (key, _), status in project.statuses().items() if status == "done")


@pytest.mark.parametrize("cached", ["stale", "garbage", "other-modules"])
def test_a_run_plans_from_its_own_inspection_whatever_the_cache_says(project, cached):
    project.write("pyproject.toml", '[tool.orvan]\nmodules = ["pipe.m"]\n')
    source = "from orvan import asset\n\n@asset()\ndef value():\n    return {n}\n\n@asset(inputs={{'v': value}})\ndef twice(v):\n    return v * 2\n"
    project.write("pipe/m.py", source.format(n=1))
    assert project.orvan("run").returncode == 0
    kept = project.out / ".inspection.json"
    first = kept.read_text()
    project.write("pipe/m.py", source.format(n=2))
    assert project.orvan("run").returncode == 0 and _ran(project) == ["pipe.m.twice", "pipe.m.value"]
    second = kept.read_text()
    assert second != first
    kept.write_text({"stale": first, "garbage": "{not json\n",
                     "other-modules": json.dumps({"modules": ["pipe.other"], "directory": str(project.root)})
                     + "\n"}[cached])
    # The code is as the last run left it: nothing reruns, and the report kept is the real one again.
    again = project.orvan("run")
    assert again.returncode == 0 and _ran(project) == [], again.stdout
    assert kept.read_text() == second
    assert project.value("pipe.m.twice") == 4


def test_the_imports_kept_from_the_last_run_follow_every_edit(project):
    project.write("pyproject.toml", '[tool.orvan]\nmodules = ["pipe.m"]\n')
    project.write("helpers/one.py", "K = 1\n")
    project.write("helpers/two.py", "K = 2\n")
    source = "from orvan import asset\nfrom helpers.{h} import K\n\n@asset()\ndef value():\n    return K\n"
    project.write("pipe/m.py", source.format(h="one"))
    assert project.orvan("run").returncode == 0 and _ran(project) == ["pipe.m.value"]
    project.write("pipe/m.py", source.format(h="two"))
    assert project.orvan("run").returncode == 0 and _ran(project) == ["pipe.m.value"]
    scans = json.loads((project.out / ".inspection.json").read_text().partition("\n")[0])["scans"]
    read = ["pipe/__init__.py", "pipe/m.py", "helpers/__init__.py", "helpers/two.py"]
    assert set(scans) == {hashlib.sha256((project.root / p).read_bytes()).hexdigest() for p in read}
    project.write("helpers/one.py", "K = 10\n")
    assert project.orvan("run").returncode == 0 and _ran(project) == []
    project.write("helpers/two.py", "K = 20\n")
    assert project.orvan("run").returncode == 0 and _ran(project) == ["pipe.m.value"]
    assert project.value("pipe.m.value") == 20


@pytest.mark.parametrize("out", [None, "elsewhere"])
def test_a_module_no_longer_named_is_never_imported(project, out, tmp_path):
    where = ["--out", out] if out else []
    marker = tmp_path / "imported"
    project.write("pipe/a.py", f"import pathlib\npathlib.Path({str(marker)!r}).touch()\n"
                  "from orvan import asset\n\n@asset()\ndef first():\n    return 1\n")
    project.write("pipe/b.py", "from orvan import asset\n\n@asset()\ndef second():\n    return 2\n")
    project.write("pyproject.toml", '[tool.orvan]\nmodules = ["pipe.a"]\n')
    assert project.orvan("run", *where).returncode == 0 and _ran_in(project, out) == ["pipe.a.first"]
    project.write("pyproject.toml", '[tool.orvan]\nmodules = ["pipe.a", "pipe.b"]\n')
    assert project.orvan("run", *where).returncode == 0 and _ran_in(project, out) == ["pipe.b.second"]
    project.write("pyproject.toml", '[tool.orvan]\nmodules = ["pipe.b"]\n')
    marker.unlink()
    assert project.orvan("run", *where).returncode == 0 and not marker.exists()
    listed = project.orvan("list")
    assert "pipe.b.second" in listed.stdout and "pipe.a.first" not in listed.stdout


def _ran_in(project, out: str | None) -> list[str]:
    if out:
        project.out = project.root / out
    return _ran(project)


ESCAPED = ["", "plain", "a/b", "..", ".hidden", "é", "日本", "a b%c", "%", "%4", "%41", "%zz", "%C3%A9", "%c3%a9",
           "x%2Fy", "~-_.", "\x00\x7f", "😀", "tab\there", "%%41", "a%", "%C3é"]


@pytest.mark.parametrize("text", ESCAPED + [chr(c) for c in range(0, 0x250, 7)])
@pytest.mark.parametrize("safe", ["/", "-_.~"])
def test_names_are_escaped_and_read_back_as_urllib_does(text, safe):
    from urllib.parse import quote as url_quote, unquote as url_unquote

    from orvan.store.naming import quote, unquote

    assert quote(text, safe) == url_quote(text, safe=safe, encoding="utf-8", errors="strict")
    try:
        expected: object = url_unquote(text, encoding="utf-8", errors="strict")
    except UnicodeDecodeError:
        expected = UnicodeDecodeError
    try:
        got: object = unquote(text)
    except UnicodeDecodeError:
        got = UnicodeDecodeError
    assert got == expected


@pytest.mark.parametrize("columns", [None, "100", "0", "-3", "wide"])
def test_the_help_is_as_wide_as_argparse_would_make_it(monkeypatch, columns):
    import shutil

    from orvan.cli.main import HelpFormatter
    from orvan.cli.report import terminal_columns

    if columns is None:
        monkeypatch.delenv("COLUMNS", raising=False)
    else:
        monkeypatch.setenv("COLUMNS", columns)
    assert HelpFormatter("orvan")._width == argparse.RawDescriptionHelpFormatter("orvan")._width
    assert terminal_columns() == shutil.get_terminal_size().columns


@pytest.mark.parametrize("failing", ["fork", "memfd_create"])
def test_an_inspection_that_cannot_be_forked_is_left_to_a_spawned_one(monkeypatch, failing):
    from orvan.cli.inspect import fork as inspect_fork

    def refuse(*args):
        raise OSError(11, "Resource temporarily unavailable")

    monkeypatch.setattr(inspect_fork, "can_fork", lambda: True)
    monkeypatch.setattr(inspect_fork.os, failing, refuse)
    before = set(os.listdir("/proc/self/fd"))
    assert inspect_fork.start(["pipe.m"], "/nonexistent") is False
    assert inspect_fork.started == {}
    assert set(os.listdir("/proc/self/fd")) <= before, "no file is left open"


@pytest.mark.parametrize("command", ["run", "list", "status", "history"])
def test_a_current_directory_removed_is_said_without_a_traceback(tmp_path, command):
    gone = tmp_path / "gone"
    gone.mkdir()
    script = (f"import os, subprocess, sys; os.chdir({str(gone)!r}); os.rmdir({str(gone)!r}); "
              f"sys.exit(subprocess.run([sys.executable, '-m', 'orvan', {command!r}]).returncode)")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                            stdin=subprocess.DEVNULL)
    assert result.returncode == 2, result.stderr
    assert "the current directory no longer exists" in result.stderr and "Traceback" not in result.stderr


@pytest.mark.parametrize("options", [[], ["-W", "default"]], ids=["forked", "spawned"])
def test_an_inspection_whose_command_is_killed_stops_itself(project, options):
    from cli_helpers import gone, wait_for

    project.write("pipe/slow.py", "import os, time\nopen('inspecting', 'w').write(str(os.getpid()))\n"
                                  "time.sleep(120)\n")
    host = subprocess.Popen([sys.executable, *options, "-m", "orvan", "list", "pipe.slow"], cwd=project.root,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_for(lambda: (project.root / "inspecting").exists() and (project.root / "inspecting").read_text(),
                 "the inspection to import the module")
    finally:
        host.kill()
        host.wait()
    inspection = int((project.root / "inspecting").read_text())
    assert inspection != host.pid
    wait_for(lambda: gone(inspection), "the inspection to stop with its command", limit=10)


def test_the_fast_exit_ends_as_the_interpreter_does(tmp_path):
    """Non-daemon threads are waited for before the exit handlers run, and
    what the streams hold is written, whatever the status."""
    code = ("import atexit, sys, threading, time\nfrom orvan import process\n"
            "def late():\n    time.sleep(0.3)\n    print('thread', flush=True)\n"
            "threading.Thread(target=late).start()\n"
            "atexit.register(lambda: print('exit handler'))\n"
            "print('buffered', end='')\nsys.stderr.write('err')\nprocess.fast_exit(3)\n")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (3, "bufferedthread\nexit handler\n", "err")
