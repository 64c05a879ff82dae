"""What records say about a frame: its path and line, its qualified name and its thread."""

import os
import sys
import threading

import pytest

from vopo_testing import recorded

HAS_CO_QUALNAME = sys.version_info >= (3, 11)
RECORD_ALL = {"filters": {"include_frames": [""]}}
TARGET = "def target():\n    value = 1\n    return value\n"


def target_records(records):
    return [r for r in records if r.get("co_name") == "target"]


@pytest.mark.parametrize("cwd, filename, file_part", [
    ("{tmp}", "{tmp}/shop/views.py", "shop/views.py"),
    ("{tmp}", "{tmp_doubled}//shop/views.py", "shop/views.py"),
    ("{tmp}", "{tmp}x/views.py", "{tmp}x/views.py"),
    ("{tmp}/shop", "{tmp}/views.py", "{tmp}/views.py"),
    ("{tmp}", "{tmp}", ""),
    ("{tmp}", "{tmp}/", ""),
    ("{tmp}", "shop/views.py", "shop/views.py"),
    ("{tmp}", "<string>", "<string>"),
    ("/", "/srv/app/x.py", "srv/app/x.py"),
])
def test_paths_are_relative_to_the_working_directory(tmp_path, monkeypatch, record, define,
                                                    cwd, filename, file_part):
    (tmp_path / "shop").mkdir()
    names = {"tmp": str(tmp_path), "tmp_doubled": str(tmp_path).replace("/", "//")}
    monkeypatch.chdir(cwd.format(**names))
    target = define(TARGET, filename.format(**names))["target"]
    paths = [r["path"] for r in target_records(record(target, config=RECORD_ALL))]
    expected = file_part.format(**names)
    assert paths == [expected + ":1", expected + ":3"]


def change_directory_by_descriptor(path):
    descriptor = os.open(path, os.O_RDONLY)
    try:
        os.fchdir(descriptor)
    finally:
        os.close(descriptor)


@pytest.mark.parametrize("change_directory", [os.chdir, change_directory_by_descriptor])
def test_a_directory_change_during_the_run_changes_the_paths(tmp_path, monkeypatch, record, define,
                                                             change_directory):
    monkeypatch.chdir(tmp_path)
    target = define(TARGET, f"{tmp_path}/views.py")["target"]
    records = record(lambda: (target(), change_directory("/"), target()))
    assert [r["path"] for r in target_records(records)] == [
        "views.py:1", "views.py:3", f"{tmp_path}/views.py"[1:] + ":1", f"{tmp_path}/views.py"[1:] + ":3"]


def test_removed_working_directory_does_not_disturb_the_program(tmp_path, monkeypatch, record, define):
    gone = tmp_path / "gone"
    gone.mkdir()
    monkeypatch.chdir(gone)
    gone.rmdir()
    target = define(TARGET, "/srv/app/views.py")["target"]
    assert target_records(record(target)) == []
    monkeypatch.chdir(tmp_path)
    assert [r["path"] for r in target_records(record(target))] == ["/srv/app/views.py:1",
                                                                   "/srv/app/views.py:3"]


MODELS = '''
class Order:
    def total(self):
        return 1

    @property
    def amount(self):
        return 2

    @classmethod
    def create(cls):
        return cls()

    @staticmethod
    def helper():
        return 3


def outer():
    def inner():
        return 4
    return inner()


def takes_cls(cls):
    return 5


def takes_self(self):
    return 6


def run():
    order = Order()
    return order.total(), order.amount, Order.create(), Order.helper(), outer(), takes_cls(order), \\
        takes_self(order)

run()
'''


# Without co_qualname a class body is named from its namespace, which is
# still empty when the body is called.
CLASS_BODY_AT_CALL = {} if HAS_CO_QUALNAME else {"Order": None}


@pytest.mark.parametrize("co_name, qualname", [
    ("<module>", "shop.models.<module>"),
    ("Order", "shop.models.Order"),
    ("total", "shop.models.Order.total"),
    ("amount", "shop.models.Order.amount"),
    ("create", "shop.models.Order.create"),
    ("helper", "shop.models.Order.helper" if HAS_CO_QUALNAME else None),
    ("outer", "shop.models.outer"),
    ("inner", "shop.models.outer.<locals>.inner"),
    ("takes_cls", "shop.models.takes_cls"),
    ("takes_self", "shop.models.takes_self" if HAS_CO_QUALNAME else None),
    ("run", "shop.models.run"),
])
def test_qualified_names(record, define, co_name, qualname):
    records = record(define, MODELS, "/srv/app/shop/models.py", "shop.models")
    named = {(r["event"], r["qualname"]) for r in records if r["co_name"] == co_name}
    assert named == {("call", CLASS_BODY_AT_CALL.get(co_name, qualname)), ("return", qualname)}


def test_a_module_name_that_is_not_text_is_left_out_without_running_its_str(record, define, monkeypatch):
    class Nameless:
        def __str__(self):
            raise ValueError("no text")

    hooked = []
    monkeypatch.setattr(sys, "unraisablehook", hooked.append)
    target = define(TARGET, "/srv/app/views.py", Nameless())["target"]
    assert {r["qualname"] for r in target_records(record(target))} == {"target"}
    assert hooked == []


@pytest.mark.parametrize("change, name, has_native_id", [
    (None, "MainThread", True),
    (("name", "renamed"), "renamed", True),
    (("_native_id", None), "MainThread", False),
    (("_native_id", "deleted"), "MainThread", False),
])
def test_thread_facts(monkeypatch, define, change, name, has_native_id):
    thread = threading.current_thread()
    assert thread is threading.main_thread()
    native_id = thread.native_id
    if change and change[1] == "deleted":
        monkeypatch.delattr(thread, change[0])
    elif change:
        monkeypatch.setattr(thread, *change)
    target = define(TARGET, "/srv/app/views.py")["target"]
    document = recorded(target)
    facts = {(r["thread"], r["thread_native_id"]) for r in target_records(document["frames_of_interest"])}
    expected_id = native_id if has_native_id else None
    assert facts == {(name, expected_id)}
    assert document["main_thread_id"] == expected_id


def test_thread_name_that_is_not_text_loses_only_the_records(monkeypatch, record, define):
    monkeypatch.setattr(threading.current_thread(), "_name", 5)
    target = define(TARGET, "/srv/app/views.py")["target"]
    assert record(target) == []


LIBRARY_CALLER = """
import gc, weakref

class Payload:
    pass

def hold_then_release(callback):
    payload = Payload()
    ref = weakref.ref(payload)
    callback()
    del payload
    gc.collect()
    return ref() is None

def cell_caller(callback):
    payload = Payload()
    def closure():
        return payload
    callback()
    return closure
"""


def test_naming_a_frame_keeps_nothing_of_its_callers_alive(record, define):
    """Inferring a name reads the caller's locals without leaving a snapshot of
    them on the caller's frame, so the program's objects die when it drops them."""
    library = define(LIBRARY_CALLER, "/srv/venv/lib/python3.10/site-packages/lib/holder.py")
    namespace = define("def callback():\n    return 1\n", "/srv/app/callbacks.py")
    results = []
    records = record(lambda: results.append(library["hold_then_release"](namespace["callback"])))
    assert results == [True]
    assert [r["co_name"] for r in records if r["co_name"] == "callback"] == ["callback", "callback"]


def test_names_found_in_a_callers_cells(record, define):
    source = "def make():\n    def inner():\n        return helper()\n    def helper():\n        return 2\n    return inner\n"
    inner = define(source, "/srv/app/cells.py", module="app.cells")["make"]()
    records = [r for r in record(inner) if r["co_name"] == "helper"]
    expected = "app.cells.make.<locals>.helper" if sys.version_info < (3, 11) else records[0]["qualname"]
    assert records[0]["qualname"] == expected
