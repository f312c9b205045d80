"""The `orvan` command: discover a pipeline's assets and materialise them.

The runner is split into small parts that each do one thing:

    entry       the process: starts the inspection, then hands over to main
    project     where the project and its modules are (read before anything)
    config      the settings and the output directory
    discovery   runs the inspection (inspect_fork: as a fork) and reads its report
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
