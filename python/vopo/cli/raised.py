"""How a frame that ended by an exception is shown: ``KeyError('x')``.

The "frame_exception" record that follows such a frame's return record
carries the module-qualified type name and the exception as the host
serializer encoded it; either may be nil when the interpreter did not show
the exception to the profiler.
"""

import msgpack

from vopo.cli.values import render

NO_DETAILS = "raised"
_EXCEPTION_EXT = 8


def exception_text(record, limit=None):
    """The exception of a "frame_exception" record on one line, or "raised"."""
    value = record.raw.get("exception")
    type_name = record.raw.get("exception_type")
    decoded = _decoded_exception(value)
    if decoded is not None:
        name, args = decoded
        arguments = ", ".join(render(arg, limit) for arg in args)
        return f"{_short(name)}({arguments})"
    if isinstance(value, str):
        return value
    if value is not None:
        return render(value, limit)
    if isinstance(type_name, str):
        return _short(type_name)
    return NO_DETAILS


def _decoded_exception(value):
    """(type name, args) of an encoded exception value, else None."""
    if not isinstance(value, msgpack.ExtType) or value.code != _EXCEPTION_EXT:
        return None
    try:
        name, args = msgpack.unpackb(value.data, raw=False, strict_map_key=False)
    except (ValueError, TypeError, msgpack.UnpackException):
        return None
    if not isinstance(name, str) or not isinstance(args, list):
        return None
    return name, args


def _short(type_name):
    # As the exception's own repr names it: the class name without its module.
    return type_name.rsplit(".", 1)[-1]
