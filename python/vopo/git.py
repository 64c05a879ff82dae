"""The commit checked out where the process runs, written into every trace.

Read straight from git's files (HEAD, loose refs, packed-refs), walking up
from the working directory, so that no git executable is needed. Linked
worktrees and submodules, whose ``.git`` is a file pointing elsewhere, are
followed. Anything unexpected gives ``None``.
"""

import os
import re

_OBJECT_ID = re.compile(r"[0-9a-f]{40}|[0-9a-f]{64}")
_MAX_SYMBOLIC_REFS = 5


def current_commit_sha(start):
    """The commit id checked out in the git checkout containing ``start``, or None."""
    git_dir = _find_git_dir(os.path.abspath(start))
    if git_dir is None:
        return None
    common_dir = _common_dir(git_dir)
    target = _read_text(os.path.join(git_dir, "HEAD"))
    for _ in range(_MAX_SYMBOLIC_REFS):
        if target is None:
            return None
        if not target.startswith("ref:"):
            return target if _OBJECT_ID.fullmatch(target) else None
        ref = target[len("ref:") :].strip()
        if not _is_safe_ref(ref):
            return None
        target = _loose_ref(git_dir, common_dir, ref) or _packed_ref(common_dir, ref)
    return None


def _find_git_dir(directory):
    while True:
        marker = os.path.join(directory, ".git")
        if os.path.isfile(marker):
            return _git_dir_from_file(marker, directory)
        if os.path.isfile(os.path.join(marker, "HEAD")):
            return marker
        parent = os.path.dirname(directory)
        if parent == directory:
            return None
        directory = parent


def _git_dir_from_file(marker, directory):
    """The directory named by a ``.git`` file's ``gitdir:`` line."""
    text = _read_text(marker)
    if text is None or not text.startswith("gitdir:"):
        return None
    return os.path.normpath(os.path.join(directory, text[len("gitdir:") :].strip()))


def _common_dir(git_dir):
    """Where the shared refs live: a linked worktree names it in ``commondir``."""
    text = _read_text(os.path.join(git_dir, "commondir"))
    if text is None:
        return git_dir
    return os.path.normpath(os.path.join(git_dir, text))


def _is_safe_ref(ref):
    parts = ref.split("/")
    return parts[0] == "refs" and all(part not in ("", ".", "..") for part in parts)


def _loose_ref(git_dir, common_dir, ref):
    # Per-worktree refs sit in the worktree's own directory, the rest in
    # the common one.
    for directory in dict.fromkeys((git_dir, common_dir)):
        text = _read_text(os.path.join(directory, *ref.split("/")))
        if text:
            return text
    return None


def _packed_ref(common_dir, ref):
    text = _read_text(os.path.join(common_dir, "packed-refs"))
    if text is None:
        return None
    for line in text.splitlines():
        if line.startswith(("#", "^")):
            continue
        object_id, _, name = line.partition(" ")
        if name.strip() == ref:
            return object_id
    return None


def _read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            return file.read().strip()
    except OSError:
        return None


def _commit_of_working_directory():
    try:
        return current_commit_sha(os.getcwd())
    except Exception:
        return None


COMMIT_SHA = _commit_of_working_directory()
