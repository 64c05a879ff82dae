"""The command line's building blocks: reading the trace store, decoding
trace documents, building call trees, and one module per sub-command.

``vopo.__main__`` holds only the argument parser and the dispatch, so that
the ``run`` sub-command starts profiling from a file the profiler never
records.
"""
