"""The record path's caches against the uncached reference path: qualified
names where they could go stale, per-profiler verdicts on code objects, and
whole programs recorded alike on both paths."""

import _imp
import json
import os
import subprocess
import sys
import textwrap

import msgpack
import pytest

from vopo_testing import Host, decode, profile

HAS_CO_QUALNAME = sys.version_info >= (3, 11)
RECORD_ALL = {"filters": {"include_frames": [""]}}


@pytest.fixture(params=[False, True], ids=["cached", "reference"])
def path(request, monkeypatch):
    """Runs the test on the cached path and on the reference path."""
    if request.param:
        monkeypatch.setenv("VOPO_REFERENCE_PATH", "1")
    else:
        monkeypatch.delenv("VOPO_REFERENCE_PATH", raising=False)
    return request.param


def names_of(source, *co_names, run="run"):
    """(co_name, qualname) of each call record of `co_names`, in order."""
    namespace = {"__name__": "shop"}
    exec(compile(textwrap.dedent(source), "/srv/app/shop.py", "exec"), namespace)
    _, host = profile(namespace[run], **RECORD_ALL)
    records = decode(host.rust_profiler.build_trace())["frames_of_interest"]
    return [(r["co_name"], r["qualname"]) for r in records
            if r["co_name"] in co_names and r["event"] == "call"]


SUPER = """
class Base:
    def price(self):
        return 1

class Special(Base):
    def price(self):
        return super().price() + 1

def run():
    return Base().price(), Special().price(), Base().price()
"""

# Without code qualified names, a method is named after what `self` finds:
# the same code reached through super() from a subclass instance is named
# after the subclass's method, so one name per code object would be wrong.
SUPER_NAMES = (["shop.Base.price", "shop.Special.price", "shop.Base.price", "shop.Base.price"]
               if HAS_CO_QUALNAME else
               ["shop.Base.price", "shop.Special.price", "shop.Special.price", "shop.Base.price"])

REPLACED = """
class Shop:
    def price(self):
        return 1

def make():
    def price(self):
        return 0
    return price

def run():
    shop = Shop()
    original = Shop.price
    shop.price()
    Shop.price = make()
    shop.price()
    original(shop)
"""
REPLACED_NAMES = (["shop.Shop.price", "shop.make.<locals>.price", "shop.Shop.price"]
                  if HAS_CO_QUALNAME else
                  ["shop.Shop.price", "shop.make.<locals>.price", "shop.make.<locals>.price"])

SHADOWED = """
class Shop:
    def price(self):
        return 1

    @property
    def amount(self):
        return 2

def make():
    def price(self):
        return 0
    return price

def run():
    shop = Shop()
    shop.price()
    shop.amount
    shop.price = make()
    shop.__dict__["amount"] = 5
    shop.price(shop)
    shop.amount
"""
SHADOWED_NAMES = ["shop.Shop.price", "shop.Shop.amount", "shop.make.<locals>.price", "shop.Shop.amount"]

METACLASS = """
class Meta(type):
    pass

class Shop(metaclass=Meta):
    def price(self):
        return 1

    @classmethod
    def create(cls):
        return cls

def run():
    Shop().price()
    Shop.create()
"""
METACLASS_NAMES = ["shop.Shop.price", "shop.Shop.create"]

BASES = """
class A:
    def price(self):
        return 1

class C(A):
    def price(self):
        return A.price(self)

class Shop(A):
    pass

class Plain(A):
    pass

def run():
    shop = Shop()
    shop.price()
    Shop.__bases__ = (C,)
    shop.price()
    shop.__class__ = Plain
    shop.price()
"""
BASES_NAMES = (["shop.A.price", "shop.C.price", "shop.A.price", "shop.A.price"]
               if HAS_CO_QUALNAME else
               ["shop.A.price", "shop.C.price", "shop.C.price", "shop.A.price"])

RENAMED = """
def price():
    return 1

def run():
    price()
    price.__qualname__ = "Renamed.price"
    price()
    price.__module__ = "elsewhere"
    price()
"""
RENAMED_NAMES = (["shop.price"] * 3 if HAS_CO_QUALNAME else
                 ["shop.price", "shop.Renamed.price", "elsewhere.Renamed.price"])

REBOUND = """
def price():
    return 1

def make():
    def price():
        return 0
    return price

def run():
    original = price
    original()
    globals()["price"] = make()
    original()
    del globals()["price"]
    original()
"""
REBOUND_NAMES = (["shop.price"] * 3 if HAS_CO_QUALNAME else
                 ["shop.price", "shop.make.<locals>.price", None])

MODULE_RENAMED = """
def price():
    return 1

def run():
    price()
    globals()["__name__"] = "renamed"
    price()
"""
MODULE_RENAMED_NAMES = (["shop.price", "renamed.price"] if HAS_CO_QUALNAME else ["shop.price", "shop.price"])

NON_ASCII = """
class Café:
    def prix_é(self):
        return 1

    @classmethod
    def créer(cls):
        return cls()

def run():
    Café().prix_é()
    Café.créer()
    Café().prix_é()
"""
NON_ASCII_NAMES = ["shop.Café.prix_é", "shop.Café.créer", "shop.Café.prix_é"]


@pytest.mark.parametrize("source, co_names, expected", [
    (SUPER, ("price",), SUPER_NAMES),
    (REPLACED, ("price",), REPLACED_NAMES),
    (SHADOWED, ("price", "amount"), SHADOWED_NAMES),
    (METACLASS, ("price", "create"), METACLASS_NAMES),
    (BASES, ("price",), BASES_NAMES),
    (RENAMED, ("price",), RENAMED_NAMES),
    (REBOUND, ("price",), REBOUND_NAMES),
    (MODULE_RENAMED, ("price",), MODULE_RENAMED_NAMES),
    (NON_ASCII, ("prix_é", "créer"), NON_ASCII_NAMES),
], ids=["super", "replaced", "shadowed", "metaclass", "bases", "renamed", "rebound", "module-renamed",
        "non-ascii"])
def test_method_names_follow_what_the_class_holds_now(path, source, co_names, expected):
    assert [qualname for _, qualname in names_of(source, *co_names)] == expected


def test_exec_with_other_globals_names_the_same_code_after_each_module(path):
    code = compile("def target():\n    return 1\ntarget()\n", "/srv/app/script.py", "exec")

    def run():
        for globals_ in ({"__name__": "first"}, {"__name__": "second"}, {}, {"__name__": "first"}):
            exec(code, globals_)

    _, host = profile(run, **RECORD_ALL)
    records = decode(host.rust_profiler.build_trace())["frames_of_interest"]
    names = [r["qualname"] for r in records if r["co_name"] == "target" and r["event"] == "return"]
    assert names == ["first.target", "second.target", "target", "first.target"]


def test_paths_follow_a_code_object_renamed_in_place(path, tmp_path, monkeypatch):
    """Import fixes a cached module's file names in its code objects in place."""
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "shop"}
    exec(compile("def price():\n    return 1\n", str(tmp_path / "cached.py"), "exec"), namespace)
    price = namespace["price"]

    def run():
        price()
        _imp._fix_co_filename(price.__code__, str(tmp_path / "shop" / "fixed.py"))
        price()

    _, host = profile(run, **RECORD_ALL)
    records = decode(host.rust_profiler.build_trace())["frames_of_interest"]
    assert [r["path"] for r in records if r.get("co_name") == "price"] == [
        "cached.py:1", "cached.py:2", "shop/fixed.py:1", "shop/fixed.py:2"]


# Programs whose lines a per-code memo of (instruction offset -> line) could
# give stale: each names the code whose records it checks and the lines its
# records must show as (path line, call-site line) pairs, in order.
RETURNS = """
def pick(x):
    if x == 0:
        return "a"
    if x == 1:
        return "b"
    if x == 2:
        return "c"
    if x == 3:
        return "d"
    return "e"

def run():
    for x in (0, 1, 2, 3, 4, 0, 4, 2):
        pick(x)
"""
RETURN_LINES = [4, 6, 8, 10, 11, 4, 11, 8]

LOOP = """
def add(a, b):
    return a + b

def run():
    for i in range(3):
        add(i, 1)
        add(i, 2)
"""
LOOP_SITES = [7, 8] * 3

GENERATOR = """
def numbers():
    yield 1
    yield 2
    yield 3

def run():
    for _ in range(2):
        resumed = numbers()
        next(resumed)
        next(resumed)
        list(resumed)
"""

JUMP = """
import sys

def add(a, b):
    return a + b

def jumper():
    add(1, 1)
    add(2, 2)
    add(3, 3)
    return 0

def local(frame, event, arg):
    if event == "line" and frame.f_lineno == 8:
        frame.f_lineno = 10
    return local

def pick_traced(frame, event, arg):
    return local if frame.f_code is jumper.__code__ else None

def run():
    sys.settrace(pick_traced)
    try:
        jumper()
        jumper()
    finally:
        sys.settrace(None)
    jumper()
"""
JUMP_SITES = [10, 10, 8, 9, 10]


def lines_of(code, co_name):
    """(event, path line, call-site line) of each record of `co_name` when running `code`."""
    namespace = {"__name__": "shop"}
    exec(code, namespace)
    _, host = profile(namespace["run"], **RECORD_ALL)
    records = decode(host.rust_profiler.build_trace())["frames_of_interest"]
    return [(r["event"], int(r["path"].rsplit(":", 1)[1]),
             (r["user_code_call_site"] or {}).get("line_number"))
            for r in records if r.get("co_name") == co_name]


@pytest.mark.parametrize("source, co_name, check", [
    (RETURNS, "pick", lambda lines: [path for event, path, _ in lines if event == "return"] == RETURN_LINES),
    (LOOP, "add", lambda lines: [site for event, _, site in lines if event == "call"] == LOOP_SITES),
    (GENERATOR, "numbers", lambda lines: {path for event, path, _ in lines if event == "return"} == {3, 4, 5}),
    (JUMP, "add", lambda lines: [site for event, _, site in lines if event == "call"] == JUMP_SITES),
], ids=["several-returns", "loop-two-lines", "generator", "trace-sets-line"])
def test_lines_read_again_match_the_reference_path(monkeypatch, source, co_name, check):
    """The same code objects recorded on the reference path, then twice on the
    cached one, which keeps lines on them between profilers."""
    code = compile(textwrap.dedent(source), "/srv/app/shop.py", "exec")
    runs = []
    for reference in ("1", "", ""):
        monkeypatch.setenv("VOPO_REFERENCE_PATH", reference)
        runs.append(lines_of(code, co_name))
    assert check(runs[0])
    assert runs[1] == runs[0] and runs[2] == runs[0]


LIBRARY_FILE = "/usr/lib/python3/site-packages/benchlib/core.py"


@pytest.mark.parametrize("configs, recorded", [
    ([{}, {"filters": {"include_frames": ["benchlib"]}}, {}], [0, 2, 0]),
    ([{"filters": {"include_frames": ["benchlib"]}}, {}], [2, 0]),
], ids=["ignored-first", "included-first"])
def test_each_profiler_decides_about_a_code_object_afresh(configs, recorded):
    namespace = {"__name__": "benchlib.core"}
    exec(compile("def library_call(x):\n    return x + 1\n", LIBRARY_FILE, "exec"), namespace)
    library_call = namespace["library_call"]
    counts = []
    for config in configs:
        _, host = profile(lambda: [library_call(i) for i in range(3)][-1], **config)
        records = decode(host.rust_profiler.build_trace())["frames_of_interest"]
        counts.append(sum(r.get("co_name") == "library_call" for r in records) // 3)
    assert counts == recorded


PROGRAM = r'''
import json, os, sys, threading
sys.path.insert(0, sys.argv[1])
from vopo_testing import Host, decode, profile

def add(a, b):
    return a + b

class Base:
    def price(self, qty):
        return qty

class Shop(Base):
    def price(self, qty):
        return super().price(qty) * 2

    @property
    def amount(self):
        return 3

def numbers(n):
    for i in range(n):
        yield i

SCRIPT = compile("def scripted():\n    return 4\nscripted()\n", "/srv/app/scripted.py", "exec")

def run():
    shop = Shop()
    add(1, 2)
    shop.price(2)
    shop.amount
    list(numbers(2))
    exec(SCRIPT, {"__name__": "one"})
    exec(SCRIPT, {"__name__": "two"})
    worker = threading.Thread(target=add, args=(3, 4), name="worker")
    worker.start()
    worker.join()
    os.chdir(sys.argv[2])
    add(5, 6)

os.chdir(sys.argv[1])
_, host = profile(run, threading=True, filters={"include_frames": ["/srv/app", sys.argv[1], "<string>"]})
sys.stdout.buffer.write(host.rust_profiler.build_trace())
'''

VARYING = {"frame_id", "timestamp", "thread_native_id", "call_frame_id", "main_thread_id", "current_commit_sha",
           "_ident", "_native_id"}
OBJECT = 10


def without_varying(value):
    """The value with ids, timestamps, thread ids and object addresses blanked, keeping key order."""
    if isinstance(value, msgpack.ExtType) and value.code == OBJECT:
        type_name, _address, attributes = msgpack.unpackb(value.data, raw=False, strict_map_key=False)
        return ["object", type_name, without_varying(attributes)]
    if isinstance(value, dict):
        return [(key, None if key in VARYING else without_varying(item)) for key, item in value.items()]
    if isinstance(value, list):
        return [without_varying(item) for item in value]
    return value


def comparable(document):
    threads = sorted(json.dumps(without_varying(records), default=repr)
                     for records in document.pop("frames").values())
    return without_varying({key: value for key, value in document.items() if key != "meta"}), threads


def test_the_reference_path_records_the_same_program_alike(tmp_path):
    tests = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    script = tmp_path / "program.py"
    script.write_text(PROGRAM)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    documents = []
    for reference in ("", "1"):
        env = {**os.environ, "VOPO_REFERENCE_PATH": reference}
        done = subprocess.run([sys.executable, str(script), tests, str(elsewhere)], env=env,
                              capture_output=True, check=True)
        documents.append(comparable(decode(done.stdout)))
    cached, reference = documents
    assert len(cached[0]) > 0 and any(len(thread) > 2 for thread in cached[1])
    assert cached == reference


READS = """
reads = []

class Namespace(dict):
    def __getitem__(self, key):
        reads.append(("namespace", key))
        return super().__getitem__(key)

    def __missing__(self, key):
        reads.append(("missing", key))
        raise KeyError(key)

class Meta(type):
    @classmethod
    def __prepare__(mcs, name, bases):
        return Namespace()

    def __new__(mcs, name, bases, namespace):
        return super().__new__(mcs, name, bases, dict(namespace))

class Text(str):
    def __str__(self):
        reads.append(("str", str.__str__(self)))
        return str.__str__(self)

def labelled():
    return 1

labelled.__qualname__ = Text("Label.labelled")
labelled.__module__ = Text("labels")

SCRIPT = compile("def target():\\n    return 1\\ndef runner():\\n    return target()\\ntarget()\\nrunner()\\n",
                 "/srv/app/script.py", "exec")

def run():
    class Shop(metaclass=Meta):
        size = 1
        price = size + 1
    labelled()
    exec(SCRIPT, Namespace(__name__="scripted"))
    return Shop
"""


def test_naming_frames_reads_nothing_through_the_program(path):
    """Mappings, globals and strings of the program are read as stored: the
    program sees the same reads with and without profiling."""
    def reads_of(profiled):
        namespace = {"__name__": "shop"}
        exec(compile(READS, "/srv/app/shop.py", "exec"), namespace)
        if not profiled:
            namespace["run"]()
            return namespace["reads"], None
        _, host = profile(namespace["run"], **RECORD_ALL)
        records = decode(host.rust_profiler.build_trace())["frames_of_interest"]
        return namespace["reads"], {r["co_name"]: r["qualname"] for r in records if r.get("event") == "return"}

    plain_reads, _ = reads_of(profiled=False)
    profiled_reads, names = reads_of(profiled=True)
    assert profiled_reads == plain_reads
    assert names["target"] == "scripted.target"
    assert names["runner"] == "scripted.runner"
    assert names["labelled"] == ("shop.labelled" if HAS_CO_QUALNAME else "labels.Label.labelled")
    assert names["Shop"] == "shop.run.<locals>.Shop"
