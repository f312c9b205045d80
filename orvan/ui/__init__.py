"""`orvan ui`: a read-only local web view of a pipeline's output directory.

It reads the catalog through a read-only SQLite connection and the job
directories, and never writes to either, so it can stay open while runs go on.
"""
