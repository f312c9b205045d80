"""How jobs are carried out: the `Executor` seam and its implementations.

    base      Executor, WorkerTask, Outcome, and what every executor shares
    spawn     SpawnExecutor: one `python -m orvan.worker` process per job
    orphans   finding and stopping workers a killed runner left behind
"""

from .base import Executor, Outcome, WorkerTask

__all__ = ["Executor", "Outcome", "WorkerTask"]
