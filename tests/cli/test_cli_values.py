"""`vopo show` and `vopo export` display recorded values by their kind."""

import importlib
import json
import pathlib

import msgpack
import pytest

from trace_fixtures import Trace
from vopo.values.encode import dump_msgpack

SHOP = pathlib.Path(__file__).resolve().parents[2] / "examples" / "shop.py"


class Order:
    def __init__(self):
        self.sku = "A1"
        self.qty = 3


def recorded(value):
    """``value`` as the profiler records it, ready to be packed again into a
    synthetic trace (the extension values kept as they are)."""
    return msgpack.unpackb(dump_msgpack(value), raw=False, strict_map_key=False, ext_hook=msgpack.ExtType)


def kinds_trace():
    order = Order()
    trace = Trace()
    main = trace.thread()
    main.call("checkout", "shop.py:3", locals=recorded({
        "pair": (1, 2), "one": ("x",), "tags": {"new"}, "frozen": frozenset(), "text": "<b>", "order": order,
        "secret_token": "t0k", "many": list(range(100)), "long": "y" * 1000,
    }))
    main.ret(recorded(KeyError("A1")))
    return trace, order


def test_show_writes_values_the_way_python_does(vopo, db):
    trace, order = kinds_trace()
    trace.save(db)

    output = vopo("show", trace.trace_id, "--db", db).out

    call_line = next(line for line in output.splitlines() if "checkout(" in line)
    assert "checkout(pair=(1, 2), one=('x',), tags={'new'}, frozen=frozenset(), text='<b>', order=<" in call_line
    assert call_line.endswith("-> KeyError('A1')")


def test_show_locals_prints_each_local_whole(vopo, db):
    trace, order = kinds_trace()
    trace.save(db)

    output = vopo("show", trace.trace_id, "--db", db, "--locals").out

    lines = [line.strip()[2:] for line in output.splitlines() if line.strip().startswith("| ")]
    assert lines[:5] == ["pair = (1, 2)", "one = ('x',)", "tags = {'new'}", "frozen = frozenset()", "text = '<b>'"]
    assert lines[5] == f"order = <{__name__}.Order object at {id(order):#x}: {{sku: 'A1', qty: 3}}>"
    assert lines[6] == "secret_token = <redacted>"
    assert lines[7].endswith(", 63, … (+36 more)]")
    assert lines[8] == "long = '" + "y" * 512 + "'… (+488 more)"


def test_json_export_keeps_kinds(vopo, db, tmp_path):
    trace, order = kinds_trace()
    trace.save(db)

    document = json.loads(vopo("export", trace.trace_id, "--format", "json", "--db", db).out)

    call, ret = document["frames_of_interest"]
    assert call["locals"]["pair"] == {"$kind": "tuple", "items": [1, 2]}
    assert call["locals"]["order"] == {"$kind": "object", "type": f"{__name__}.Order", "id": id(order),
                                       "attributes": {"sku": "A1", "qty": 3}}
    assert call["locals"]["many"][-1] == {"$kind": "more", "count": 36}
    assert ret["arg"] == {"$kind": "exception", "type": "builtins.KeyError", "args": ["A1"]}


@pytest.mark.skipif(importlib.util.find_spec("vopo._vopo") is None, reason="the native module vopo._vopo is not built")
def test_the_example_shows_tuples_sets_strings_and_objects(vopo, db):
    assert vopo("run", "--db", db, SHOP).code == 0

    output = vopo("show", "latest", "--db", db, "--full").out

    assert "-> {'C3'}" in output
    assert "row='A1,notebook,350'" in output
    assert "__main__.Product object at 0x" in output
    assert "-> ({'A1': <__main__.Product object at 0x" in output
