"""Checks of a profiler's configuration and database path.

The host profiler runs them before anything is registered, so a mistake is
a ``TypeError`` (a value of the wrong kind) or a ``ValueError`` (a value of
the right kind that cannot be meant) naming the key and what was expected,
and never an error from deep inside the native profiler.
"""

import difflib
import os
from collections.abc import Mapping

from vopo.filters import BUILT_IN

BOOLEAN_KEYS = ("threading", "lightweight_repr")
KNOWN_KEYS = ("filters", "lightweight_repr", "plugins", "redact", "sqlite_busy_timeout", "threading", "user_repr")
FILTER_KEYS = ("include_frames", "ignore_frames")
PLUGIN_KEYS = ("disable", "extra")
DESCRIPTION_TEXT_KEYS = ("path_fragment", "call_type", "return_type")
DESCRIPTION_CALLABLE_KEYS = ("call", "process", "build_context")
DESCRIPTION_KEYS = ("co_names", *DESCRIPTION_TEXT_KEYS, "subtype", *DESCRIPTION_CALLABLE_KEYS, "events")
EVENT_NAMES = ("call", "return")
# Sequences that can be read twice: a generator would be used up by the check.
_LIST_TYPES = (list, tuple)
_NAME_COLLECTION_TYPES = (list, tuple, set, frozenset)
_MAX_TIMEOUT = (1 << 64) - 1


def check_config(config):
    """``config`` as a new ``dict``, or ``TypeError``/``ValueError`` for the
    first mistake in it. ``None`` is the empty configuration."""
    if config is None:
        return {}
    if not isinstance(config, Mapping):
        raise TypeError(f"config must be a dict, not {_kind(config)}")
    config = dict(config)
    _check_known_keys("config", config, KNOWN_KEYS)
    _check_filters(config.get("filters"))
    _check_timeout(config)
    for key in BOOLEAN_KEYS:
        if key in config and not _is_boolean(config[key]):
            raise TypeError(f'config["{key}"] must be True or False, not {_kind(config[key])}')
    # The value encoders take a bool only.
    if "user_repr" in config and type(config["user_repr"]) is not bool:
        raise TypeError(f'config["user_repr"] must be True or False, not {_kind(config["user_repr"])}')
    _check_plugins(config.get("plugins"))
    _check_redact(config)
    return config


def check_db_path(db_path):
    """The text of ``db_path``; the database must be a file that another
    process can read later, so in-memory databases are refused."""
    # Here rather than at the top: importing vopo loads no storage code.
    from vopo.store.location import checked_path

    if not isinstance(db_path, (str, os.PathLike)):
        raise TypeError(f"db_path must be a str or a path, not {_kind(db_path)}")
    path = checked_path(db_path)
    _check_text("db_path", path)
    return path


def _check_redact(config):
    names = config.get("redact")
    if names is None or names is False:
        return
    if not isinstance(names, _LIST_TYPES):
        raise TypeError(f'config["redact"] must be a list of names, or False to turn redaction off, '
                        f"not {_kind(names)}")
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f'config["redact"] must hold names (str), not {_kind(name)}')
        _check_text('config["redact"]', name)
        if not name:
            raise ValueError('config["redact"] holds an empty name, which matches nothing')


def _check_filters(filters):
    if filters is None:
        return
    if not isinstance(filters, dict):
        raise TypeError(f'config["filters"] must be a dict with the keys {_listed(FILTER_KEYS)}, '
                        f"not {_kind(filters)}")
    _check_known_keys('config["filters"]', filters, FILTER_KEYS)
    for key in FILTER_KEYS:
        if filters.get(key) is not None:
            _check_texts(f'config["filters"]["{key}"]', filters[key], "path fragments")


def _check_timeout(config):
    if "sqlite_busy_timeout" not in config:
        return
    timeout = config["sqlite_busy_timeout"]
    if isinstance(timeout, bool) or not isinstance(timeout, int):
        raise TypeError(f'config["sqlite_busy_timeout"] must be a whole number of seconds (int), not {_kind(timeout)}')
    if not 0 <= timeout <= _MAX_TIMEOUT:
        raise ValueError(f'config["sqlite_busy_timeout"] must be between 0 and {_MAX_TIMEOUT} seconds, not {timeout}')


def _check_plugins(plugins):
    if plugins is None:
        return
    if not isinstance(plugins, dict):
        raise TypeError(f'config["plugins"] must be a dict with the keys {_listed(PLUGIN_KEYS)}, not {_kind(plugins)}')
    _check_known_keys('config["plugins"]', plugins, PLUGIN_KEYS)
    disable = plugins.get("disable")
    if disable is not None:
        _check_texts('config["plugins"]["disable"]', disable, "plugin names")
        for name in disable:
            if name not in BUILT_IN:
                raise ValueError(f'config["plugins"]["disable"]: unknown plugin {name!r}{_suggestion(name, BUILT_IN)}; '
                                 f"known plugins: {_listed(BUILT_IN)}")
    extra = plugins.get("extra")
    if extra is not None:
        if not isinstance(extra, _LIST_TYPES):
            raise TypeError(f'config["plugins"]["extra"] must be a list of plugin descriptions, not {_kind(extra)}')
        for index, description in enumerate(extra):
            check_plugin_description(f'config["plugins"]["extra"][{index}]', description)


def check_plugin_description(where, description):
    """A plugin description as the native profiler reads it; ``where`` names
    it in the error."""
    if not isinstance(description, dict):
        raise TypeError(f"{where} must be a plugin description (a dict), not {_kind(description)}")
    _check_known_keys(where, description, DESCRIPTION_KEYS)
    for key in ("co_names", *DESCRIPTION_TEXT_KEYS):
        if key not in description:
            raise ValueError(f'{where} lacks the required key "{key}"; a plugin description needs '
                             f'{_listed(("co_names", *DESCRIPTION_TEXT_KEYS))}')
    co_names = description["co_names"]
    if not isinstance(co_names, _NAME_COLLECTION_TYPES):
        raise TypeError(f'{where}["co_names"] must be a list of function names, not {_kind(co_names)}')
    _check_texts(f'{where}["co_names"]', list(co_names), "function names")
    for key in DESCRIPTION_TEXT_KEYS:
        _check_one_text(f'{where}["{key}"]', description[key])
    if "subtype" in description:
        _check_one_text(f'{where}["subtype"]', description["subtype"])
    for key in DESCRIPTION_CALLABLE_KEYS:
        value = description.get(key)
        if value is not None and not callable(value):
            raise TypeError(f'{where}["{key}"] must be callable or None, not {_kind(value)}')
    _check_events(where, description.get("events"))


def _check_events(where, events):
    if events is None:
        return
    _check_texts(f'{where}["events"]', events, "event names")
    for event in events:
        if event not in EVENT_NAMES:
            raise ValueError(f'{where}["events"]: unknown event {event!r}; known events: {_listed(EVENT_NAMES)}')


def _check_texts(where, values, what):
    if not isinstance(values, _LIST_TYPES):
        raise TypeError(f"{where} must be a list of {what}, not {_kind(values)}")
    for value in values:
        if not isinstance(value, str):
            raise TypeError(f"{where} must hold {what} (str), not {_kind(value)}")
        _check_text(where, value)


def _check_one_text(where, value):
    if not isinstance(value, str):
        raise TypeError(f"{where} must be a str, not {_kind(value)}")
    _check_text(where, value)


def _check_text(where, text):
    # The native profiler keeps text as UTF-8, which a lone surrogate is not.
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{where} holds text that is not valid Unicode: {text!r}") from None


def _check_known_keys(where, mapping, known):
    for key in mapping:
        if key not in known:
            hint = _suggestion(key, known) if isinstance(key, str) else ""
            raise ValueError(f"{where} has an unknown key {key!r}{hint}; known keys: {_listed(known)}")


def _suggestion(name, candidates):
    close = difflib.get_close_matches(name, list(candidates), n=1)
    return f" (did you mean {close[0]!r}?)" if close else ""


def _is_boolean(value):
    kind = type(value)
    return kind is bool or (kind.__module__ == "numpy" and kind.__name__ in ("bool_", "bool"))


def _kind(value):
    return type(value).__name__


def _listed(names):
    return ", ".join(map(str, names))
