"""The `orvan` command: discover a pipeline's assets and materialise them.

The folders follow one run's flow, inspect -> plan -> run -> show:

    entry       the process: starts the inspection, then hands over to main
    main        argument parsing, the subcommand table
    project     where the project and its modules are (read before anything)
    config      the settings and the output directory
    inspect/    runs the inspection and reads its report
    plan/       graph, selection, jobs and their fingerprints
    run/        freshness, scheduler, executors, job files: the run command
    commands/   the other subcommands, one module each
    report      tables, the progress display, the end-of-run summary

Below the command: `orvan.catalog` (the record of runs and jobs),
`orvan.store` (job files and their names), `orvan.states` (the job states).
"""
