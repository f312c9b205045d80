"""The `orvan` command: discover a pipeline's assets and materialise them.

The runner is split into small parts that each do one thing:

    config      where the modules and the output directory come from
    discovery   runs `python -m orvan.inspect` and reads its report
    graph       resolves `inputs` references into a checked asset graph
    naming      file-name escaping and the output layout
    plan        expands assets into jobs and maps partitions between them
    fingerprint what makes a job's stored value still valid
    states      the job states, one enum used everywhere
    catalog     the SQLite record of runs and jobs
    executors/  how one job is carried out (a worker process by default)
    scheduler   dependency-ordered, bounded-parallel dispatch of jobs
    jobfiles    a job's directory: clearing it, its arguments, its state
    report      tables, the progress display, the end-of-run summary
    pipeline    what the subcommands share: loading, selecting, errors
    run         the run command
    commands/   the other subcommands, one module each
    main        argument parsing
"""
