"""How a frame that ended by an exception is shown: ``KeyError('x')``.

The "frame_exception" record that follows such a frame's return record
carries the module-qualified type name and the exception as the host
serializer encoded it; either may be nil when the interpreter did not show
the exception to the profiler.
"""

from vopo.cli.values import render

NO_DETAILS = "raised"


def exception_text(record, limit=None):
    """The exception of a "frame_exception" record on one line, or "raised"."""
    value = record.raw.get("exception")
    type_name = record.raw.get("exception_type")
    if isinstance(value, str):
        # A serializer that writes texts (the model before kinds) gave the repr.
        return value
    if value is not None:
        return render(value, limit)
    if isinstance(type_name, str):
        return _short(type_name)
    return NO_DETAILS


def _short(type_name):
    # As the exception's own repr names it: the class name without its module.
    return type_name.rsplit(".", 1)[-1]
