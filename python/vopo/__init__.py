"""vopo: a tracing profiler that records every call and return of your own code.

    with vopo.enabled(db_path="traces.sqlite3"):
        run_the_code_to_profile()
"""

from vopo.profiler import Profiler, enabled
from vopo.version import __version__

__all__ = ["Profiler", "enabled", "__version__"]
