"""Started by the interpreter of every Python child of a program that
``vopo run`` profiles (this folder is on the child's ``PYTHONPATH``).

It profiles the child as its parent asked, then runs the ``sitecustomize``
this one hides, if there is one, so the child starts as it would without
vopo. Whatever goes wrong here, the child runs on unprofiled.
"""

import os
import sys


def _without_this_folder():
    folder = os.path.dirname(os.path.abspath(__file__))
    sys.path[:] = [entry for entry in sys.path if os.path.abspath(entry or os.curdir) != folder]


def _profile_this_child():
    try:
        from vopo.children import start_in_this_process
    except ImportError:
        return  # an interpreter without vopo: nothing to follow with
    try:
        start_in_this_process()
    except Exception as error:
        print(f"vopo: this child process is not profiled: {error}", file=sys.stderr)


def _run_hidden_sitecustomize():
    this = sys.modules.pop(__name__)
    try:
        import sitecustomize  # noqa: F401  (the program's own, found further down sys.path)
    except ImportError as error:
        if error.name != "sitecustomize":
            raise
        # None hidden: the import system expects to find this module again.
        sys.modules[__name__] = this


_without_this_folder()
_profile_this_child()
_run_hidden_sitecustomize()
