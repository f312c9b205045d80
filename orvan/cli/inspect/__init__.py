"""Inspect: import the pipeline's modules in a process of their own and read
the report of what they declare.

    discovery   runs the inspection (a fork or a spawned stub) and parses its report
    fork        the inspection forked as the command starts, before it parses its arguments
"""
