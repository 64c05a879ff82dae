import os
import shutil
import subprocess
import sys

import pytest

import vopo
from vopo.git import current_commit_sha

pytestmark = pytest.mark.skipif(shutil.which("git") is None, reason="needs the git command")
PACKAGE_ROOT = os.path.dirname(os.path.dirname(vopo.__file__))


def git(directory, *args):
    command = ["git", "-c", "user.name=t", "-c", "user.email=t@example.com", "-c", "init.defaultBranch=main",
               "-c", "protocol.file.allow=always", "-C", str(directory), *args]
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout.strip()


def make_repo(directory, commits=2):
    directory.mkdir(parents=True)
    git(directory, "init", "-q")
    for number in range(commits):
        (directory / "file.txt").write_text(str(number))
        git(directory, "add", "file.txt")
        git(directory, "commit", "-q", "-m", f"commit {number}")
    return directory


def loose_branch(repo):
    return repo


def packed_refs(repo):
    git(repo, "pack-refs", "--all")
    assert not (repo / ".git" / "refs" / "heads" / "main").exists()
    return repo


def detached_head(repo):
    git(repo, "checkout", "-q", "--detach", "HEAD~1")
    return repo


def subdirectory(repo):
    (repo / "a" / "b").mkdir(parents=True)
    return repo / "a" / "b"


def linked_worktree(repo):
    git(repo, "worktree", "add", "-q", "-b", "other", str(repo.parent / "worktree"), "HEAD~1")
    return repo.parent / "worktree"


def submodule(repo):
    outer = make_repo(repo.parent / "outer", commits=1)
    git(outer, "submodule", "add", "-q", str(repo), "sub")
    git(outer / "sub", "checkout", "-q", "HEAD~1")
    return outer / "sub"


@pytest.mark.parametrize("arrange", [loose_branch, packed_refs, detached_head, subdirectory,
                                     linked_worktree, submodule])
def test_reads_the_checked_out_commit(tmp_path, arrange):
    checkout = arrange(make_repo(tmp_path / "repo"))
    assert current_commit_sha(checkout) == git(checkout, "rev-parse", "HEAD")


def test_unborn_branch_and_non_checkouts_give_none(tmp_path):
    make_repo(tmp_path / "unborn", commits=0)
    assert current_commit_sha(tmp_path / "unborn") is None
    assert current_commit_sha(tmp_path) is None
    (tmp_path / "broken").mkdir()
    (tmp_path / "broken" / ".git").write_text("not a gitdir line")
    assert current_commit_sha(tmp_path / "broken") is None


@pytest.mark.parametrize("in_repo", [True, False])
def test_commit_sha_is_read_from_the_working_directory_at_import(tmp_path, in_repo):
    cwd = make_repo(tmp_path / "repo") if in_repo else tmp_path
    result = subprocess.run([sys.executable, "-c", "import vopo.git; print(vopo.git.COMMIT_SHA)"], cwd=cwd,
                            env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT), capture_output=True, text=True, check=True)
    assert result.stdout.strip() == (git(cwd, "rev-parse", "HEAD") if in_repo else "None")


def test_import_survives_a_deleted_working_directory(tmp_path):
    gone = tmp_path / "gone"
    gone.mkdir()
    code = f"import os; os.chdir({str(gone)!r}); os.rmdir({str(gone)!r}); import vopo.git; print(vopo.git.COMMIT_SHA)"
    result = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT),
                            capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "None"
