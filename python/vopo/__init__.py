"""vopo: a tracing profiler that records every call and return of your own code.

    with vopo.enabled(db_path="traces.sqlite3"):
        run_the_code_to_profile()
"""

from vopo.version import __version__

__all__ = ["Profiler", "enabled", "__version__"]


def __getattr__(name):
    # The profiler is imported on first use, so the command line's reading
    # commands start without it.
    if name in ("Profiler", "enabled"):
        from vopo import profiler

        return getattr(profiler, name)
    raise AttributeError(f"module 'vopo' has no attribute {name!r}")
