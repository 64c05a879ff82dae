"""The vopo command line: ``python -m vopo`` or ``vopo``.

Only the argument parser and the dispatch live here; the sub-commands are in
``vopo.cli``. ``run`` calls the profiler from this file on purpose: the
profiler never records this file, so no frame of ours sits between the
start of profiling and the user's code.

Exit status: 0 on success, 1 on a failure (reported as one line on stderr),
2 on a usage error; ``run`` exits with the profiled program's status.
"""

import argparse
import importlib
import math
import os
import sqlite3
import sys

from vopo import db
from vopo.cli import export, run, show, store, traces
from vopo.cli.errors import CliError
from vopo.version import __version__

DESCRIPTION = "vopo: a tracing profiler for Python. Profile a program, then list, show and export its traces."
DB_HELP = f"trace database (default: ${store.DB_ENV_VAR}, else ./{store.DEFAULT_DB_NAME})"
# The profiler configuration's default "sqlite_busy_timeout".
DEFAULT_TIMEOUT = 60
TRACE_ID_HELP = "a trace id, a prefix only one trace id starts with, or 'latest'"


def main(argv=None):
    command = _command(argv)
    if not isinstance(command, ProgramRun):
        return command
    # The program runs in this frame, so that it sits as few frames deep as under python.
    command.begin()
    try:
        command.program.entry()()
    except BaseException as error:
        return command.finish(error)
    return command.finish(None)


def _command(argv):
    """The exit code of a command that has run, or the ProgramRun that
    ``run`` prepared for the caller to execute."""
    words = list(sys.argv[1:] if argv is None else argv)
    parser, run_parser = _parser()
    if words[:1] == ["run"]:
        return _guarded(lambda: _prepare_run(parser, run_parser, words[1:]))
    return _guarded(lambda: _dispatch(parser.parse_args(words)))


def _guarded(action):
    """``action()``, with the command line's failures turned into exit codes."""
    try:
        return action()
    except CliError as error:
        print(f"vopo: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (``vopo show ... | head``): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        print("vopo: interrupted", file=sys.stderr)
        return 130


class ProgramRun:
    """A profiled run of the user's program, ready to execute."""

    def __init__(self, program, profiler, plan, timeout):
        self.program = program
        self.profiler = profiler
        self.plan = plan
        self.timeout = timeout

    def begin(self):
        self.program.begin(self.profiler, self.plan.follow_children)

    def finish(self, error):
        """The exit code, once the trace is saved and summarised."""
        return _guarded(lambda: self._save_and_report(error))

    def _save_and_report(self, error):
        try:
            exit_code, trace_id = self.program.finish(error)
        except (db.TraceStoreError, sqlite3.Error, OSError) as save_error:
            # The program's own failures never come out of finish(): this is the save.
            raise CliError(
                f"the program ran, but its trace could not be saved to {self.plan.db_path}: {save_error}"
            ) from None
        run.report(self.plan, trace_id, self.timeout)
        return exit_code


def _prepare_run(parser, run_parser, words):
    options, program = run.split_command_line(words)
    args = parser.parse_args(["run", *options])
    if program is None:
        run_parser.error("give the SCRIPT or -m MODULE to profile")
    plan = run.prepare(program, args)
    profiler = _profiler()
    try:
        if program.module is not None:
            main_program = profiler.MainProgram.module(program.module, program.args)
        else:
            main_program = profiler.MainProgram.script(program.script, program.args)
    except profiler.ProgramNotFound as missing:
        return missing.report()
    return ProgramRun(main_program, profiler.Profiler(plan.db_path, config=plan.config, source="vopo.run"),
                      plan, args.timeout)


def _profiler():
    # The native module is imported only when profiling starts; a build
    # without it must fail here, before the program runs.
    try:
        importlib.import_module("vopo._vopo")
        return importlib.import_module("vopo.profiler")
    except ImportError as error:
        raise CliError(f"cannot profile: the native module vopo._vopo is not available ({error})") from None


def _dispatch(args):
    db_path = args.db or store.default_db_path()
    if args.command == "traces":
        return traces.list_traces(db_path, args.timeout, args.filter, args.outcome, args.limit)
    if args.command == "show":
        return show.show_trace(db_path, args.trace_id, args.timeout, args.full, args.locals)
    if args.command == "view":
        # The web server's modules are loaded only for the viewer.
        from vopo.cli import view

        return view.view(db_path, args.trace_id, args.port, args.timeout, not args.no_browser)
    return export.export_trace(db_path, args.trace_id, args.timeout, args.format, args.output)


def _parser():
    parser = argparse.ArgumentParser(prog="vopo", description=DESCRIPTION)
    parser.add_argument("--version", action="version", version=f"vopo {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    database = argparse.ArgumentParser(add_help=False)
    database.add_argument("--db", metavar="PATH", help=DB_HELP)
    database.add_argument(
        "--timeout",
        type=_seconds,
        default=DEFAULT_TIMEOUT,
        metavar="SECONDS",
        help=f"how long to wait for a locked database (default: {DEFAULT_TIMEOUT:g})",
    )
    run_parser = _run_parser(commands, database)
    traces_parser = commands.add_parser("traces", parents=[database], help="list stored traces, newest first")
    traces_parser.add_argument(
        "--filter", metavar="TEXT", help="only traces whose id, source, test node id or request contains TEXT"
    )
    traces_parser.add_argument("--outcome", metavar="OUTCOME", help="only tests that ended so: passed, failed...")
    traces_parser.add_argument(
        "--limit", type=int, default=store.DEFAULT_LIMIT, metavar="N",
        help=f"list at most N traces, 0 for all (default: {store.DEFAULT_LIMIT})",
    )
    show_parser = commands.add_parser("show", parents=[database], help="print the call tree of a trace")
    show_parser.add_argument("trace_id", metavar="TRACE_ID", help=TRACE_ID_HELP)
    show_parser.add_argument("--full", action="store_true", help="print whole values instead of shortened ones")
    show_parser.add_argument(
        "--locals", action="store_true", help="print each call's locals under it, one per line, whole"
    )
    export_parser = commands.add_parser(
        "export", parents=[database], help="write a trace for Perfetto / chrome://tracing, or as JSON"
    )
    export_parser.add_argument("trace_id", metavar="TRACE_ID", help=TRACE_ID_HELP)
    export_parser.add_argument("--format", choices=export.FORMATS, default="chrome", help="default: chrome")
    export_parser.add_argument("-o", "--output", metavar="FILE", help="output file (default: stdout)")
    view_parser = commands.add_parser(
        "view", parents=[database], help="browse traces in a local web viewer (127.0.0.1 only)"
    )
    view_parser.add_argument("trace_id", nargs="?", metavar="TRACE_ID", help="a trace to open at once: " + TRACE_ID_HELP)
    view_parser.add_argument("--port", type=int, default=0, metavar="N", help="port to serve on (default: a free one)")
    view_parser.add_argument("--no-browser", action="store_true", help="print the URL without opening a browser")
    return parser, run_parser


def _seconds(text):
    try:
        seconds = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0 <= seconds < math.inf:
        raise argparse.ArgumentTypeError(f"must be zero or more seconds, not {text}")
    return seconds


def _run_parser(commands, database):
    run_parser = commands.add_parser(
        "run",
        parents=[database],
        allow_abbrev=False,
        usage="vopo run [options] (SCRIPT | -m MODULE) [ARGS...]",
        help="profile a script or module and save its trace",
        description="Profile a script or module with its own arguments, save the trace, and "
        "summarise it on stderr. Options come before SCRIPT or -m MODULE; every word after "
        "it belongs to the program.",
    )
    run_parser.add_argument("--threading", action="store_true", help="also profile threads the program starts")
    run_parser.add_argument(
        "--lightweight", action="store_true", help="record values in a shorter form that is cheaper to make"
    )
    run_parser.add_argument(
        "--include",
        action="append",
        default=[],
        metavar="FRAG",
        help="always record files whose path contains FRAG, library code too (repeatable)",
    )
    run_parser.add_argument(
        "--ignore",
        action="append",
        default=[],
        metavar="FRAG",
        help="never record files whose path contains FRAG, unless included (repeatable)",
    )
    run_parser.add_argument(
        "--user-repr",
        action="store_true",
        help="record objects with their own __repr__ (runs the program's code; off by default)",
    )
    run_parser.add_argument(
        "--redact",
        action="append",
        default=[],
        metavar="NAME",
        help="record the values of variables, attributes and keys named NAME (or ending in _NAME) as "
        "redacted, instead of the default list of secret names (repeatable)",
    )
    run_parser.add_argument("--no-redact", action="store_true", help="record every value, secrets included")
    run_parser.add_argument(
        "--no-children", action="store_true", help="do not profile the Python processes the program starts"
    )
    run_parser.add_argument("-m", dest="module", metavar="MODULE", help="profile a module, as python -m does")
    run_parser.add_argument("script", nargs="?", metavar="SCRIPT", help="the script to profile")
    run_parser.add_argument("args", nargs="*", metavar="ARGS", help="the program's arguments")
    return run_parser


if __name__ == "__main__":
    # As main(), but at module level: under ``python -m vopo`` the program
    # then runs only as many frames deeper than under python as -m adds.
    _prepared = _command(None)
    if not isinstance(_prepared, ProgramRun):
        sys.exit(_prepared)
    _prepared.begin()
    try:
        _prepared.program.entry()()
    except BaseException as _error:
        sys.exit(_prepared.finish(_error))
    sys.exit(_prepared.finish(None))
