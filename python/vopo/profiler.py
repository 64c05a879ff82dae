"""The host profiler: starts and stops the native profiler and saves traces.

Everything that runs while profiling is on lives in this file, whose frames
the native profiler never records, so that the trace holds only the
profiled program.
"""

import atexit
import builtins
import contextlib
import functools
import importlib.machinery
import io
import logging
import os
import pkgutil
import runpy
import secrets
import signal
import sys
import threading
import time
import types

from vopo import children, lineage, serialize
from vopo.config import check_config, check_db_path

_CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"
# The program runs from these files' frames: the command line's and this one.
_RUNNER_FILES = frozenset((__file__, os.path.join(os.path.dirname(__file__), "__main__.py")))
_logger = logging.getLogger("vopo")
# The profilers running in this process, which a fork, a SIGTERM or the
# end of a child process must save.
_running = []
# What a fork server's children profile with (None: they are not followed).
_forked_children = None
_fork_handler_registered = False


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
        check_db_path(db_path)
        self.config = check_config(config)
        self.db_path = db_path
        self.one_trace_per_test = bool(one_trace_per_test)
        self.trace_id = new_trace_id() if trace_id is None else trace_id
        self.source = source
        self.rust_profiler = None
        self._native = None
        self._threading_profile_before = None

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
        """Turn profiling on for the calling thread.

        The configuration and the database path are checked first: a mistake
        is a ``TypeError`` or ``ValueError`` and nothing is started.
        """
        if self._native is not None:
            raise RuntimeError("the profiler is already running")
        check_db_path(self.db_path)
        self.config = check_config(self.config)
        from vopo import _vopo

        _configure_values(self.config)
        self._threading_profile_before = threading.getprofile()
        try:
            _vopo.register_profiler(self)
        except BaseException:
            _reset_values()
            raise
        # Kept for stop(), which must not import while profiling is on: the
        # import machinery's frames would be recorded.
        self._native = _vopo
        _running.append(self)
        _handle_forks()

    def stop(self):
        """Turn profiling off and save the trace; return the saved trace id.

        In one-trace-per-test mode the native profiler saves each test's
        trace itself, so nothing is saved here and the result is None.
        """
        self._disable()
        return self._save()

    def _disable(self):
        """Stops recording in every thread and removes vopo's own hooks.

        Threads other than the caller's drop the hook themselves at their
        next event once the native profiler is marked stopped. A hook that
        the program installed over vopo's stays where it is.
        """
        native, self._native = self._native, None
        if native is None:
            raise RuntimeError("the profiler is not running")
        _running.remove(self)
        self._report_replaced_hook()
        hook = self.rust_profiler
        hook.mark_stopped()
        if sys.getprofile() is hook:
            sys.setprofile(None)
        if _is_method_of(threading.getprofile(), hook):
            threading.setprofile(self._threading_profile_before)
        _reset_values()

    def _report_replaced_hook(self):
        # Asked before our own hooks are removed, which would count too.
        replaced = self.rust_profiler.replaced_hook_count()
        if replaced:
            threads = "1 thread" if replaced == 1 else f"{replaced} threads"
            _logger.warning("vopo: the program replaced the profile hook (by sys.setprofile or another profiler) "
                            "on %s; calls there after that were not recorded (trace %s)", threads, self.trace_id)

    def _continue_in_forked_child(self):
        """In a forked child the native profiler goes on under a trace id of
        its own, without what the parent recorded: take that id, link it to
        the parent's and save it when the child ends."""
        self.trace_id = self.rust_profiler.trace_id()
        lineage.set_parent_trace_id(self.rust_profiler.parent_trace_id())
        children.pass_on_trace_id(self.trace_id)
        _save_when_process_ends(self)

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


def _is_method_of(function, instance):
    # Checked by type and identity, so no code of the program's function runs.
    bound = type(function) is types.MethodType or type(function) is types.BuiltinMethodType
    return bound and function.__self__ is instance


def _handle_forks():
    # A handler given to os.register_at_fork stays for the life of the
    # process, so there is one, and it does nothing while nothing runs.
    global _fork_handler_registered
    if not _fork_handler_registered:
        os.register_at_fork(after_in_child=_after_fork_in_child)
        _fork_handler_registered = True


def _after_fork_in_child():
    try:
        for profiler in _running:
            profiler._continue_in_forked_child()
        if _forked_children is not None and not _running:
            profile_child(_forked_children)
    except Exception:
        _logger.exception("vopo: this forked child is not profiled")


def _save_when_process_ends(profiler):
    """Save ``profiler``'s trace when this process ends, also when
    multiprocessing ends it with ``os._exit``."""
    atexit.register(_stop_in_process, os.getpid(), profiler)
    process_utilities = sys.modules.get("multiprocessing.util")
    if process_utilities is not None:
        # A multiprocessing child clears its finalizers as it starts, then
        # runs these; the finalizer runs after the process's target.
        process_utilities.register_after_fork(profiler, _finalize_with_process)


def _finalize_with_process(profiler):
    process_utilities = sys.modules["multiprocessing.util"]
    process_utilities.Finalize(None, _stop_in_process, args=(os.getpid(), profiler), exitpriority=-100)


def _stop_in_process(pid, profiler):
    # Handlers and finalizers are inherited by forks; each process saves its own.
    if pid != os.getpid() or profiler not in _running:
        return
    try:
        profiler.stop()
    except Exception:
        _logger.exception("vopo: saving the trace %s failed", profiler.trace_id)


def profile_child(settings):
    """Profile this child process as its parent (``children.ChildSettings``)
    asked, until it ends."""
    lineage.set_parent_trace_id(settings.parent_trace_id)
    profiler = Profiler(settings.db_path, config=settings.config, source="vopo.run child")
    children.pass_on_trace_id(profiler.trace_id)
    profiler.start()
    _save_when_process_ends(profiler)
    _save_on_sigterm()


def profile_forked_children(settings):
    """Profile every child this process forks (multiprocessing's fork
    server), but not this process itself."""
    global _forked_children
    _forked_children = settings
    _handle_forks()
    _save_on_sigterm()


def _save_on_sigterm():
    """Until the program sets a SIGTERM handler of its own, save the running
    traces on SIGTERM and then end by the signal's default action, so the
    exit status stays what it would have been."""
    if threading.current_thread() is threading.main_thread() and signal.getsignal(signal.SIGTERM) is signal.SIG_DFL:
        signal.signal(signal.SIGTERM, _on_sigterm)


def _stop_saving_on_sigterm():
    if threading.current_thread() is threading.main_thread() and signal.getsignal(signal.SIGTERM) is _on_sigterm:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)


def _on_sigterm(signum, frame):
    for profiler in list(_running):
        try:
            profiler.stop()
        except Exception:
            _logger.exception("vopo: saving the trace %s failed", profiler.trace_id)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGTERM)


def enabled(db_path, config=None, source="vopo.enabled", one_trace_per_test=False):
    """A context manager that profiles its body and saves the trace on exit.

    It yields the ``Profiler``; the trace is saved also when the body raises,
    and the body's exception propagates unchanged.
    """
    return Profiler(db_path, config=config, source=source, one_trace_per_test=one_trace_per_test)


def profile_script(path, args, *, db_path, config=None, source="vopo.run", follow_children=False):
    """Run the script ``path`` as ``python path *args`` would, profiled.

    Returns ``(exit_code, trace_id)``; the trace id is None when the script
    could not be opened, in which case nothing ran and nothing was saved.
    With ``follow_children`` the Python processes it starts are profiled too.
    """
    try:
        program = MainProgram.script(path, args)
    except ProgramNotFound as missing:
        return missing.report(), None
    return _profile_main(program, Profiler(db_path, config=config, source=source), follow_children)


def profile_module(name, args, *, db_path, config=None, source="vopo.run", follow_children=False):
    """Run the module ``name`` as ``python -m name *args`` would, profiled.

    Returns ``(exit_code, trace_id)``; the trace id is None when the module
    was not found, in which case nothing ran and nothing was saved.
    """
    try:
        program = MainProgram.module(name, args)
    except ProgramNotFound as missing:
        return missing.report(), None
    return _profile_main(program, Profiler(db_path, config=config, source=source), follow_children)


def _profile_main(program, profiler, follow_children=False):
    program.begin(profiler, follow_children)
    try:
        program.entry()()
    except BaseException as error:
        return program.finish(error)
    return program.finish(None)


class ProgramNotFound(Exception):
    """The script or module to run does not exist; nothing ran."""

    def __init__(self, message, exit_code):
        super().__init__(message)
        self.exit_code = exit_code

    def report(self):
        print(f"{sys.executable}: {self}", file=sys.stderr)
        return self.exit_code


class MainProgram:
    """A script or module made ready to run as ``__main__``, the way the
    interpreter runs it: the same ``__main__`` module, ``sys.argv`` and
    ``sys.path[0]``.

    The caller runs ``program.entry()()`` itself,
    between ``begin()`` and ``finish()``, so that the program runs with as
    few frames above it as possible: its recursion headroom is the one it
    has under python.
    """

    def __init__(self, module, argv, path_entry, *, source_path=None, code=None, code_error=None):
        self.module = module
        self.namespace = module.__dict__
        self.argv = argv
        self.path_entry = path_entry
        self._source_path = source_path
        self._code = code
        self._code_error = code_error
        self._profiler = None
        self._saved = None
        self._surroundings = contextlib.ExitStack()

    @classmethod
    def script(cls, path, args):
        """The script (a file, or a directory or zip archive with a
        ``__main__`` module) at ``path``."""
        path = os.fspath(path)
        if not os.path.exists(path):
            message = f"can't open file {os.path.abspath(path)!r}: [Errno 2] No such file or directory"
            raise ProgramNotFound(message, 2)
        if pkgutil.get_importer(path) is not None:
            # A directory or archive: python puts it on sys.path and runs its __main__ module.
            return cls._from_module(None, [path, *args], os.path.abspath(path))
        absolute = os.path.abspath(path)
        module = _new_main_module()
        module.__loader__ = importlib.machinery.SourceFileLoader("__main__", absolute)
        module.__dict__.update(__file__=absolute, __cached__=None)
        directory = os.path.dirname(os.path.realpath(path))
        return cls(module, [path, *args], directory, source_path=absolute)

    @classmethod
    def module(cls, name, args):
        """The module ``name``, as ``python -m`` runs it."""
        return cls._from_module(name, [name, *args], os.getcwd())

    @classmethod
    def _from_module(cls, name, argv, path_entry):
        """``name`` None is the ``__main__`` module of the directory or
        archive ``path_entry``."""
        code, code_error = None, None
        # The module is looked up with the program's sys.path[0], as python does.
        saved_path = sys.path[:]
        _set_path_entry(path_entry)
        try:
            # The lookups python itself uses, so the messages are python's.
            if name is None:
                _, module_spec, code = runpy._get_main_module_details(_ModuleNotFound)
            else:
                _, module_spec, code = runpy._get_module_details(name, _ModuleNotFound)
                argv = [module_spec.origin, *argv[1:]]
        except _ModuleNotFound as missing:
            raise ProgramNotFound(str(missing), 1) from None
        except Exception as error:
            # Found but broken (a syntax error, a failing package): the program's own failure.
            module_spec, code_error = None, error
        finally:
            sys.path[:] = saved_path
        module = _new_main_module()
        if module_spec is not None:
            module.__dict__.update(
                __file__=module_spec.origin,
                __cached__=module_spec.cached if module_spec.has_location else None,
                __loader__=module_spec.loader,
                __package__=module_spec.parent,
                __spec__=module_spec,
            )
        return cls(module, argv, path_entry, code=code, code_error=code_error)

    def entry(self):
        """The program's module code as a function of no arguments.

        Calling it runs the code with the program's namespace as its globals
        and locals, as exec() does, but without the extra recursion level
        that exec() takes on 3.10. Compiled here, while profiling is on, so
        that a syntax error is reported as the program's own failure.
        """
        if self._code_error is not None:
            raise self._code_error
        if self._code is None:
            with io.open_code(self._source_path) as source:
                self._code = compile(source.read(), self._source_path, "exec", dont_inherit=True)
        return types.FunctionType(self._code, self.namespace)

    def begin(self, profiler, follow_children=False):
        """Gives the program its ``__main__``, argv and path, then starts
        profiling; with ``follow_children`` its Python children are profiled
        too."""
        self._saved = (sys.argv, sys.path[:], sys.modules.get("__main__"))
        sys.argv = list(self.argv)
        _set_path_entry(self.path_entry)
        sys.modules["__main__"] = self.module
        self._profiler = profiler
        self._surroundings.enter_context(_program_surroundings(profiler, follow_children))
        profiler.start()

    def finish(self, error):
        """Stops profiling once the program and its threads are done, prints
        what python would print, saves the trace and restores the runner's
        state. Returns ``(exit_code, trace_id)``."""
        try:
            try:
                _wait_for_program_threads()
            except KeyboardInterrupt as raised:
                error = error or raised
            finally:
                self._profiler._disable()
            exit_code = _report_exit(error)
            _flush_standard_streams()
            # Saved while sys.argv is still the program's, which the trace records.
            return exit_code, self._profiler._save()
        finally:
            self._surroundings.close()
            self._restore()

    def _restore(self):
        argv, path, main_module = self._saved
        sys.argv = argv
        sys.path[:] = path
        if main_module is not None:
            sys.modules["__main__"] = main_module


class _ModuleNotFound(Exception):
    pass


def _new_main_module():
    module = types.ModuleType("__main__")
    # In this order, after the module's own names, as in the interpreter's __main__.
    module.__annotations__ = {}
    module.__builtins__ = builtins
    return module


def _set_path_entry(entry):
    """Puts ``entry`` where python puts the script's directory, unless the
    interpreter was told to put nothing there."""
    if sys.flags.isolated or getattr(sys.flags, "safe_path", False):
        return
    if sys.path:
        sys.path[0] = entry
    else:
        sys.path.insert(0, entry)


@contextlib.contextmanager
def _program_surroundings(profiler, follow_children):
    """What a program run by ``vopo run`` gets around it: its Python children
    follow when asked, and SIGTERM saves the trace before it ends the process."""
    if follow_children:
        settings = children.ChildSettings(os.path.abspath(profiler.db_path), profiler.config, profiler.trace_id)
        following = children.followed(settings)
    else:
        following = contextlib.nullcontext()
    with following:
        _save_on_sigterm()
        try:
            yield
        finally:
            _stop_saving_on_sigterm()


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
    """The traceback without the leading frames of the runner itself: the
    frame that ran the program and the one that compiled it."""
    while traceback is not None and traceback.tb_frame.f_code.co_filename in _RUNNER_FILES:
        traceback = traceback.tb_next
    return traceback


def _flush_standard_streams():
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:
            pass
