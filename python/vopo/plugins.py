"""Plugin descriptions: the frames of special interest the profiler picks out.

The descriptions themselves live in ``vopo.filters``, a folder whose frames
the profiler never records.
"""

from vopo.filters import descriptions_for


def load_plugin_data(config):
    """The plugin description dictionaries for a profiler built with ``config``.

    Every built-in description is on unless ``config["plugins"]["disable"]``
    names it; ``config["plugins"]["extra"]`` adds descriptions of its own.
    """
    return descriptions_for(config)
