"""How the profiler encodes values, and safe one-line renderings of them.

The native profiler looks ``dump_msgpack`` and ``dump_msgpack_lightweight_repr``
up on this module at every call, so replacing them here takes effect at
once. They are the native encoder of ``vopo._values`` when it is built, else
the pure-Python reference encoder of the same value model (docs/values.md);
both return the bytes of one MessagePack value, never raise, and run none
of the program's code unless ``configure(user_repr=True)`` was called.
"""

from vopo.values import display, encode
from vopo.values.decode import decode

try:
    from vopo import _values as _native
except ImportError:
    _native = None

VALUE_MODEL_VERSION = encode.VALUE_MODEL_VERSION
DEFAULT_REDACT = encode.DEFAULT_REDACT
RENDER_LIMIT = 500

if _native is not None:
    dump_msgpack = _native.dump_msgpack
    dump_msgpack_lightweight_repr = _native.dump_msgpack_lightweight_repr
else:
    dump_msgpack = encode.dump_msgpack
    dump_msgpack_lightweight_repr = encode.dump_msgpack_lightweight_repr


def configure(*, redact=None, user_repr=False):
    """Set the encoders' process-wide options: the names whose values are
    redacted (None: ``DEFAULT_REDACT``; empty: none) and whether a program's
    own ``__repr__`` may be called for objects. Both implementations get
    them; invalid options raise and change nothing."""
    encode.configure(redact=redact, user_repr=user_repr)
    if _native is not None:
        _native.configure(redact=redact, user_repr=user_repr)


def render_locals(mapping):
    """A frame's locals as ``name=value, ...`` in at most about 500
    characters, with short safe values and secrets redacted. Never raises
    and runs none of the program's code."""
    try:
        return display.display_arguments(_lightweight(mapping), RENDER_LIMIT, RENDER_LIMIT)
    except Exception:
        return "<locals could not be rendered>"


def render_value(value):
    """One value on one line, in at most about 500 characters; never raises
    and runs none of the program's code."""
    try:
        return display.display(_lightweight(value), RENDER_LIMIT)
    except Exception:
        return "<value could not be rendered>"


def _lightweight(value):
    # The reference encoder: this runs in failure reports, where the native
    # module may be the very thing that failed.
    return decode(encode.dump_msgpack_lightweight_repr(value))
