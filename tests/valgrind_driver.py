"""Exercises every entry point of orvan._orvan, on its success and error
paths, a few times over, for a run under valgrind memcheck
(scripts/valgrind.sh). Plain Python, no pytest: the fewer other allocations
in the run, the easier the report is to read. Exits non-zero if an outcome is
not the expected one, so that a silently broken run cannot pass.

`valgrind_driver.py --summarize LOG EXTENSION` reads the memcheck log
afterwards: it prints the summary lines, then every invalid access and every
definitely lost block that the extension's own code allocated, and exits 1 if
there is any."""

import importlib
import os
import re
import sys
import tempfile
from pathlib import Path

# Run as a script with -P: its own directory is not on sys.path by itself.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import entry_cases as cases  # noqa: E402
from entry_cases import provoke_internal_fault, silenced_fd2  # noqa: E402

ROUNDS = int(os.environ.get("ORVAN_VALGRIND_ROUNDS", "3"))


def write_modules(root):
    names = {"pipeline": "orvan_vg_pipeline", "junk": "orvan_vg_junk", "broken": "orvan_vg_broken"}
    for key, source in (("pipeline", cases.PIPELINE), ("junk", cases.UNSERIALISABLE_METADATA),
                        ("broken", cases.BROKEN)):
        Path(root, names[key] + ".py").write_text(source)
    importlib.invalidate_caches()
    return names


def every_case(names, root, fault):
    """The whole shared table, as (label, call) pairs."""
    pipeline = sys.modules[names["pipeline"]]
    out, a_file = str(Path(root, "out")), str(Path(root, "a_file"))
    Path(a_file).write_text("")
    tables = {"asset": cases.asset_cases(), "partitions": cases.partitions_cases(),
              "wrapper": cases.wrapper_cases(), "inspect_modules": cases.inspect_cases(names)}
    tables["asset"]["reference to a decorated function"] = cases.reference_case(pipeline)
    tables["asset"]["dictionary changed during the walk"] = cases.dictionary_changed_case(fault)
    runs = tables["materialize_asset"] = {
        case: cases.materialize_run_case(names["pipeline"], out, case)
        for case in cases.MATERIALIZE_RUNS}
    runs.update({case: cases.setup_failure_case(names["pipeline"], out, a_file, case)
                 for case in cases.SETUP_FAILURES})
    runs["missing module"] = cases.missing_module_case(out)
    runs["internal fault raised by the asset"] = cases.fault_in_asset_case(
        names["pipeline"], out, fault)
    return [(f"{entry}: {case}", call) for entry, table in tables.items()
            for case, (call, _) in table.items()]


def main():
    with tempfile.TemporaryDirectory() as root:
        sys.path.insert(0, root)
        names = write_modules(root)
        for key in ("pipeline", "junk"):
            importlib.import_module(names[key])
        fault = provoke_internal_fault()
        sys.modules[names["pipeline"]].FAULT = fault
        calls = every_case(names, root, fault)
        with silenced_fd2():
            for _ in range(ROUNDS):
                for label, call in calls:
                    try:
                        call()
                    except AssertionError as exc:
                        raise AssertionError(f"{label}: {exc}") from None
        del calls
        for name in names.values():
            sys.modules.pop(name, None)
    print("valgrind driver: every entry point answered as expected")


# --- reading memcheck's log ------------------------------------------------------

ACCESS = re.compile(
    r"Invalid (read|write|free)|Mismatched free|uninitialised|Source and destination overlap")
SUMMARY = re.compile(r"(definitely|indirectly|possibly) lost:|still reachable:|ERROR SUMMARY")
FRAME = re.compile(r"(at|by) 0x[0-9A-Fa-f]+:")


def frames(block):
    return [line for line in block.splitlines() if FRAME.search(line)]


# Strings the interpreter interns for good (immortal since 3.13, never freed):
# names passed to these calls, whoever made them first.
INTERNED = re.compile(r"\b(PyDict_SetItemString|PyUnicode_InternFromString|_PyUnicode_InternImmortal)\b")


def made_by(block, extension):
    """Allocated by the extension's own code: walking up from the allocator,
    an extension frame comes before any frame of the interpreter's eval loop.
    Blocks allocated by Python code that the extension called (imports, the
    asset function, the standard library) belong to that code, and interned
    names belong to the interpreter."""
    stack = frames(block)
    if any(INTERNED.search(frame) for frame in stack):
        return False
    ours = next((i for i, f in enumerate(stack) if extension in f or "orvan::" in f), None)
    python = next((i for i, f in enumerate(stack) if "_PyEval_EvalFrame" in f), None)
    return ours is not None and (python is None or ours < python)


def summarize(log_path, extension):
    with open(log_path, encoding="utf-8", errors="replace") as log:
        text = log.read()
    # Each report is a block of "==pid== " lines ended by an empty one.
    blocks = re.split(r"\n==\d+== \n", text)
    access = [b for b in blocks if ACCESS.search(b)]
    lost = [b for b in blocks if "definitely lost in loss record" in b]
    below = [b for b in lost if extension in b or "orvan::" in b]
    ours = [b for b in below if made_by(b, extension)]
    for line in text.splitlines():
        if SUMMARY.search(line):
            print(line)
    print(f"invalid accesses or uses of uninitialised memory: {len(access)}")
    print(f"definitely lost records: {len(lost)}; with {extension} on the allocating stack: "
          f"{len(below)}; allocated by its own code: {len(ours)}")
    for block in access + ours:
        print(block, end="\n\n")
    return 1 if access or ours else 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--summarize"]:
        sys.exit(summarize(*sys.argv[2:4]))
    main()
