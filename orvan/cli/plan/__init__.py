"""Plan: from the inspection's report to the jobs a command works on.

    graph        resolves `inputs` references into a checked asset graph
    selection    the --select grammar
    subsets      --partition subsets of partitioned assets
    jobs         expands assets into jobs and maps partitions between them
    fingerprint  what makes a job's stored value still valid
    codedeps     the local modules a module imports, for fingerprints
    pipeline     what the subcommands share: loading, selecting, errors
    undeclared   stored values of assets and partitions no longer declared
"""
