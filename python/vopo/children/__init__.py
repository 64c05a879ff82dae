"""Following child processes: a program run by ``vopo run`` passes the
profiling on to the Python processes it starts.

Nothing of the program is patched. The environment carries the database,
the configuration and the parent's trace id, and puts the ``startup``
folder on ``PYTHONPATH``; its ``sitecustomize`` starts a profiler in every
Python child as the interpreter starts. Forked children need no start-up:
the profiler that runs in the parent continues in them (``vopo.profiler``).
"""

import contextlib
import json
import os
import sys

DB_VARIABLE = "VOPO_CHILD_DB"
CONFIG_VARIABLE = "VOPO_CHILD_CONFIG"
PARENT_VARIABLE = "VOPO_CHILD_PARENT_TRACE_ID"
STARTUP_DIRECTORY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "startup")
# multiprocessing's own helper processes run no code of the program; the
# fork server's children do, and are followed as forks.
_FORK_SERVER_COMMAND = "from multiprocessing.forkserver import main"
_HELPER_COMMAND_PREFIX = "from multiprocessing."
_SPAWNED_CHILD_COMMAND = "from multiprocessing.spawn import spawn_main"


class ChildSettings:
    """What a child process needs to profile itself like its parent."""

    def __init__(self, db_path, config, parent_trace_id):
        self.db_path = db_path
        self.config = config
        self.parent_trace_id = parent_trace_id


def child_environment(settings, environ):
    """The variables to set in ``environ`` so that Python children follow."""
    python_path = environ.get("PYTHONPATH")
    entries = [STARTUP_DIRECTORY] + ([python_path] if python_path else [])
    return {
        "PYTHONPATH": os.pathsep.join(entries),
        DB_VARIABLE: settings.db_path,
        CONFIG_VARIABLE: json.dumps(settings.config),
        PARENT_VARIABLE: settings.parent_trace_id,
    }


@contextlib.contextmanager
def followed(settings):
    """Let the children started in this block follow, through ``os.environ``."""
    variables = child_environment(settings, os.environ)
    saved = {name: os.environ.get(name) for name in variables}
    os.environ.update(variables)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


def pass_on_trace_id(trace_id):
    """Make ``trace_id`` the parent of the children this process starts
    from now on, when children are followed."""
    if PARENT_VARIABLE in os.environ:
        os.environ[PARENT_VARIABLE] = trace_id


def settings_from_environment(environ):
    """The ``ChildSettings`` a parent passed on, or None when there are none
    or they are unusable (a child must never fail because of them)."""
    db_path = environ.get(DB_VARIABLE)
    parent_trace_id = environ.get(PARENT_VARIABLE)
    if not db_path or not parent_trace_id:
        return None
    try:
        config = json.loads(environ.get(CONFIG_VARIABLE) or "{}")
    except ValueError:
        return None
    if not isinstance(config, dict):
        return None
    return ChildSettings(db_path, config, parent_trace_id)


def process_role(orig_argv):
    """"program" for a process that runs code of the program, "fork server"
    for multiprocessing's fork server, "helper" for its other helpers."""
    command = _command_of(orig_argv)
    if command is None or not command.startswith(_HELPER_COMMAND_PREFIX):
        return "program"
    if command.startswith(_SPAWNED_CHILD_COMMAND):
        return "program"
    if command.startswith(_FORK_SERVER_COMMAND):
        return "fork server"
    return "helper"


def start_in_this_process():
    """Profile this process as a child, as its parent asked; called by the
    ``sitecustomize`` of the start-up folder."""
    settings = settings_from_environment(os.environ)
    if settings is None:
        return
    from vopo import profiler

    role = process_role(getattr(sys, "orig_argv", sys.argv))
    if role == "program":
        profiler.profile_child(settings)
    elif role == "fork server":
        profiler.profile_forked_children(settings)


def _command_of(orig_argv):
    for index, word in enumerate(orig_argv[:-1]):
        if word == "-c":
            return orig_argv[index + 1]
    return None
