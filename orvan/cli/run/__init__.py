"""Run: decide what is stale, dispatch jobs, record what they did.

    runner       the run command: lock, plan, dispatch, summary
    freshness    the one verdict on each job's state, for every view
    scheduler    dependency-ordered, bounded-parallel dispatch of jobs
    jobfiles     a job's directory: clearing it, its arguments, its state
    executors/   how one job is carried out (fork server, spawn, Dask)
"""
