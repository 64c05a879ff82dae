"""The host profiler: starts and stops the native profiler and saves traces.

Everything that runs while profiling is on lives in this file, whose frames
the native profiler never records, so that the trace holds only the
profiled program.
"""

import functools
import logging
import os
import pkgutil
import runpy
import secrets
import sys
import threading
import time

from vopo import serialize

_CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"
_RUNNER_FILES = frozenset((__file__, runpy.__file__))
_logger = logging.getLogger("vopo")


def new_ulid():
    """A ULID: 48 bits of milliseconds since the epoch, then 80 random bits,
    as 26 characters of Crockford's base32."""
    milliseconds = time.time_ns() // 1_000_000 & ((1 << 48) - 1)
    value = milliseconds << 80 | secrets.randbits(80)
    characters = []
    for _ in range(26):
        characters.append(_CROCKFORD[value & 31])
        value >>= 5
    return "".join(reversed(characters))


def new_trace_id():
    return "trc_" + new_ulid()


class Profiler:
    """Profiles the calling thread (and, with config "threading", the threads
    it starts) and saves each trace into the SQLite file ``db_path``.

    Use it as ``with profiler:``, as a decorator, or with ``start()`` and
    ``stop()``. The native module sets ``rust_profiler`` when profiling
    starts.
    """

    def __init__(self, db_path, *, config=None, source="vopo.Profiler", one_trace_per_test=False, trace_id=None):
        self.config = {} if config is None else dict(config)
        self.db_path = db_path
        self.one_trace_per_test = bool(one_trace_per_test)
        self.trace_id = new_trace_id() if trace_id is None else trace_id
        self.source = source
        self.rust_profiler = None
        self._native = None

    def __repr__(self):
        return f"<vopo.Profiler {self.trace_id} db_path={str(self.db_path)!r}>"

    def __call__(self, func):
        """Decorate ``func`` so that each call of it runs with profiling on.

        A call made while this profiler is already running (a recursive call,
        or a call from another thread) just runs; it does not start it again.
        """

        @functools.wraps(func)
        def profiled(*args, **kwargs):
            if self._native is not None:
                return func(*args, **kwargs)
            with self:
                return func(*args, **kwargs)

        return profiled

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, kind, error, traceback):
        if self._native is None:
            return
        if error is None:
            self.stop()
            return
        # The body's exception is the one the caller must see.
        try:
            self.stop()
        except Exception:
            _logger.exception("vopo: saving the trace %s failed", self.trace_id)

    def start(self):
        """Turn profiling on for the calling thread."""
        if self._native is not None:
            raise RuntimeError("the profiler is already running")
        from vopo import _vopo

        _configure_values(self.config)
        try:
            _vopo.register_profiler(self)
        except BaseException:
            _reset_values()
            raise
        # Kept for stop(), which must not import while profiling is on: the
        # import machinery's frames would be recorded.
        self._native = _vopo

    def stop(self):
        """Turn profiling off and save the trace; return the saved trace id.

        In one-trace-per-test mode the native profiler saves each test's
        trace itself, so nothing is saved here and the result is None.
        """
        self._disable()
        return self._save()

    def _disable(self):
        native, self._native = self._native, None
        if native is None:
            raise RuntimeError("the profiler is not running")
        native.register_noop_profiler()
        if self.config.get("threading") is True:
            threading.setprofile(None)
        _reset_values()

    def _save(self):
        if self.one_trace_per_test:
            return None
        self.rust_profiler.save_request_in_db()
        return self.trace_id


def _configure_values(config):
    """Give the value encoders the configuration's "redact" (a list of
    names; False or [] for none) and "user_repr" (call the program's own
    __repr__) for this profiling run."""
    redact = config.get("redact")
    serialize.configure(redact=[] if redact is False else redact, user_repr=config.get("user_repr", False))


def _reset_values():
    serialize.configure()


def enabled(db_path, config=None, source="vopo.enabled", one_trace_per_test=False):
    """A context manager that profiles its body and saves the trace on exit.

    It yields the ``Profiler``; the trace is saved also when the body raises,
    and the body's exception propagates unchanged.
    """
    return Profiler(db_path, config=config, source=source, one_trace_per_test=one_trace_per_test)


def profile_script(path, args, *, db_path, config=None, source="vopo.run"):
    """Run the script ``path`` as ``python path *args`` would, profiled.

    Returns ``(exit_code, trace_id)``; the trace id is None when the script
    could not be opened, in which case nothing ran and nothing was saved.
    """
    path = os.fspath(path)
    if not os.path.exists(path):
        message = f"can't open file {os.path.abspath(path)!r}: [Errno 2] No such file or directory"
        print(f"{sys.executable}: {message}", file=sys.stderr)
        return 2, None
    # runpy puts a directory or zip archive on sys.path itself; a plain
    # script gets its own directory there, as the interpreter does.
    is_plain_script = pkgutil.get_importer(path) is None
    return _run_as_main(
        lambda: runpy.run_path(path, run_name="__main__"),
        argv=[path, *args],
        path_entry=os.path.dirname(os.path.abspath(path)) if is_plain_script else None,
        profiler=Profiler(db_path, config=config, source=source),
    )


def profile_module(name, args, *, db_path, config=None, source="vopo.run"):
    """Run the module ``name`` as ``python -m name *args`` would, profiled.

    Returns ``(exit_code, trace_id)``.
    """
    return _run_as_main(
        lambda: runpy.run_module(name, run_name="__main__", alter_sys=True),
        argv=[name, *args],
        path_entry=os.getcwd(),
        profiler=Profiler(db_path, config=config, source=source),
    )


def _run_as_main(run, *, argv, path_entry, profiler):
    saved_argv = sys.argv
    saved_path = sys.path[:]
    sys.argv = list(argv)
    if path_entry is not None:
        sys.path.insert(0, path_entry)
    error = None
    try:
        profiler.start()
        try:
            run()
        except BaseException as raised:
            error = raised
        try:
            _wait_for_program_threads()
        except KeyboardInterrupt as raised:
            error = error or raised
        finally:
            profiler._disable()
        exit_code = _report_exit(error)
        _flush_standard_streams()
        # Saved while sys.argv is still the program's, which the trace records.
        trace_id = profiler._save()
    finally:
        sys.argv = saved_argv
        sys.path[:] = saved_path
    return exit_code, trace_id


def _wait_for_program_threads():
    """Join the program's non-daemon threads, as the interpreter does before it exits."""
    current = threading.current_thread()
    while True:
        pending = [t for t in threading.enumerate() if t is not current and not t.daemon and t.is_alive()]
        if not pending:
            return
        for thread in pending:
            thread.join()


def _report_exit(error):
    """The exit code for how the program ended, printing what Python would print."""
    if error is None:
        return 0
    if isinstance(error, SystemExit):
        return _system_exit_code(error.code)
    _flush_standard_streams()
    traceback = _program_traceback(error.__traceback__)
    if traceback is None and isinstance(error, ImportError):
        # The module to run was not found: no frame of the program ran.
        print(f"{sys.executable}: {error}", file=sys.stderr)
        return 1
    # The interpreter's hook prints the exception's own traceback, whatever it is passed.
    sys.excepthook(type(error), error.with_traceback(traceback), traceback)
    return 130 if isinstance(error, KeyboardInterrupt) else 1


def _system_exit_code(code):
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    print(code, file=sys.stderr)
    return 1


def _program_traceback(traceback):
    """The traceback without the leading frames of the runner itself."""
    while traceback is not None and traceback.tb_frame.f_code.co_filename in _RUNNER_FILES:
        traceback = traceback.tb_next
    return traceback


def _flush_standard_streams():
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:
            pass
