"""Reaching a Dask cluster, and checking before a run that it can run it:
the runner stops with a clear message (exit status 2) rather than failing
every job on its own."""

from __future__ import annotations

import logging
import os
import uuid
from typing import Any

from .dask_task import probe_storage, probe_store

INSTALL_HINT = "pip install 'orvan[dask]'"


class SetupError(Exception):
    """The cluster cannot run this pipeline; found before anything ran."""


def _distributed() -> Any:
    try:
        import distributed
    except ImportError as e:
        raise SetupError(f"the dask executor needs Dask's distributed package ({e}): {INSTALL_HINT}") from None
    return distributed


def connect_timeout() -> str:
    import dask

    return str(dask.config.get("distributed.comm.timeouts.connect"))


def open_client(scheduler: str, jobs: int | None) -> tuple[Any, Any]:
    """A client, and the cluster it started (None when connecting to one)."""
    distributed = _distributed()
    if scheduler == "local":
        return _local_cluster(distributed, jobs or os.process_cpu_count() or 1)
    # The runner says in its own words that the scheduler was lost.
    logging.getLogger("distributed.client").addFilter(_no_reconnect_failure)
    try:
        return distributed.Client(scheduler, set_as_default=False), None
    except Exception as e:  # OSError when unreachable, ValueError for a malformed address
        raise SetupError(f"cannot reach the Dask scheduler at {scheduler} within {connect_timeout()} "
                         f"(DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT sets it): {e}") from None


def _no_reconnect_failure(record: logging.LogRecord) -> bool:
    """Drops what the client logs of a lost scheduler: its failed attempts to
    reconnect, and the reconnection cut short when the runner closes it."""
    if str(record.msg).startswith("Failed to reconnect to scheduler"):
        return False
    import asyncio

    return not (record.exc_info and isinstance(record.exc_info[1], (asyncio.CancelledError, OSError)))


def _local_cluster(distributed: Any, workers: int) -> tuple[Any, Any]:
    """Workers as threads of this process: each job is a process of its own
    anyway (`orvan.watched_worker`), so worker processes would only add their
    start-up (an interpreter importing distributed, each) to every run. As
    threads they also end with the runner, however it ends."""
    try:
        # The jobs' processes are not the workers', so a worker's memory
        # limit would watch nothing. Port 0: another cluster on this host
        # may hold the default one.
        cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=False,
                                           dashboard_address=":0", memory_limit=0, silence_logs=logging.ERROR)
        try:
            return distributed.Client(cluster, set_as_default=False), cluster
        except BaseException:
            cluster.close()
            raise
    except Exception as e:
        raise SetupError(f"could not start a local Dask cluster of {workers} workers: {e}") from None


def check_cluster(client: Any, out_dir: str, jobs: int | None, store: dict[str, Any] | None = None) -> int:
    """Check the workers against this runner, all problems at once; the slots
    for the run: -j, or else every worker thread of the cluster."""
    try:
        client.wait_for_workers(1, timeout=connect_timeout())
    except Exception:
        raise SetupError(f"the Dask scheduler at {client.scheduler.address} has no workers "
                         f"(waited {connect_timeout()})") from None
    problems = version_problems(client.get_versions(packages=["orvan"]))
    problems += storage_problems(client, out_dir) if store is None else store_problems(client, store)
    if problems:
        raise SetupError("the Dask workers cannot run this pipeline:\n  " + "\n  ".join(sorted(problems)))
    return jobs or sum(client.nthreads().values())


def version_problems(versions: dict[str, Any]) -> list[str]:
    """The jobs must run with the Python and orvan that planned them: the
    fingerprints record the one, the worker protocol belongs to the other."""
    mine = versions["client"]["packages"]
    problems = []
    for address, info in versions["workers"].items():
        if not isinstance(info, dict) or "packages" not in info:
            problems.append(f"{address}: no version report ({info!r})")
            continue
        theirs = info["packages"]
        for package in ("python", "orvan"):
            if theirs.get(package) != mine.get(package):
                problems.append(f"{address} has {package} {theirs.get(package)}, this runner {mine.get(package)}")
    return problems


def storage_problems(client: Any, out_dir: str) -> list[str]:
    """Every worker must see the output directory as this runner does: each
    leaves a file there that the runner must then find, with its content."""
    token = uuid.uuid4().hex
    answers = client.run(probe_storage, out_dir, token, on_error="return")
    problems = []
    for address, answer in answers.items():
        if isinstance(answer, BaseException):
            problems.append(f"{address}: {type(answer).__name__}: {answer}")
            continue
        name, content = answer
        path = os.path.join(out_dir, name)
        try:
            with open(path, encoding="utf-8") as f:
                seen = f.read()
            os.unlink(path)
        except OSError:
            seen = None
        if seen != content:
            problems.append(f"{address}: a file it wrote into {out_dir} is not visible here: the output "
                            "directory must be on storage the workers share with this runner, at the same path")
    return problems


def store_problems(client: Any, store: dict[str, Any]) -> list[str]:
    """Every worker must reach the store this runner reads: each leaves an
    object there that the runner must then find, with its content."""
    from ....store import StoreError
    from ....store.transfer import open_spec

    token = uuid.uuid4().hex
    answers = client.run(probe_store, store, token, on_error="return")
    problems = []
    try:
        mine = open_spec(store)
    except StoreError as e:
        return [f"this runner: {e}"]
    for address, answer in answers.items():
        if isinstance(answer, BaseException):
            problems.append(f"{address}: {type(answer).__name__}: {answer}")
            continue
        name, content = answer
        try:
            seen = mine.read(name).decode("utf-8", "replace")
            mine.delete([name])
        except StoreError:
            seen = None
        if seen != content:
            problems.append(f"{address}: an object it wrote into the store {mine.url} is not visible here: "
                            "the workers must reach the same store as this runner")
    return problems
