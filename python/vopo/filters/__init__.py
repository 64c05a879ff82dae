"""The plugin descriptions vopo ships, and the configuration that picks them.

A plugin description tells the native profiler which functions mark
something a user cares about (a test starting and ending, a request being
handled) and what to record when they are called and return. The profiler
never records the frames of this folder, so the plugins' own code stays out
of every trace.

Configuration, under the key "plugins" of the profiler's config::

    {"plugins": {"disable": ["wsgi"], "extra": [description, ...]}}

"disable" names built-in descriptions to leave out; "extra" appends
descriptions of the caller's own, in the format the native profiler reads.
"""

from vopo.filters import pytest_runs, wsgi_requests

BUILT_IN = {
    "pytest": pytest_runs.description,
    "wsgi": wsgi_requests.description,
}


class PluginConfigError(ValueError):
    """The "plugins" entry of a profiler's configuration is malformed."""


def descriptions_for(config):
    """The descriptions a profiler built with ``config`` uses, freshly made."""
    settings = _plugin_settings(config)
    disabled = _disabled_names(settings)
    descriptions = [make() for name, make in BUILT_IN.items() if name not in disabled]
    descriptions.extend(_extra_descriptions(settings))
    return descriptions


def _plugin_settings(config):
    settings = config.get("plugins") if isinstance(config, dict) else None
    if settings is None:
        return {}
    if not isinstance(settings, dict):
        raise PluginConfigError(f'config["plugins"] must be a dict, not {type(settings).__name__}')
    unknown = sorted(set(settings) - {"disable", "extra"})
    if unknown:
        raise PluginConfigError(f'config["plugins"] has unknown keys: {", ".join(map(repr, unknown))}')
    return settings


def _disabled_names(settings):
    names = settings.get("disable") or ()
    if isinstance(names, str) or not all(isinstance(name, str) for name in names):
        raise PluginConfigError('config["plugins"]["disable"] must be a list of plugin names')
    unknown = sorted(set(names) - set(BUILT_IN))
    if unknown:
        known = ", ".join(BUILT_IN)
        raise PluginConfigError(f"unknown plugins to disable: {', '.join(unknown)} (known: {known})")
    return frozenset(names)


def _extra_descriptions(settings):
    extra = settings.get("extra") or []
    if not isinstance(extra, (list, tuple)):
        raise PluginConfigError('config["plugins"]["extra"] must be a list of plugin descriptions')
    return list(extra)
