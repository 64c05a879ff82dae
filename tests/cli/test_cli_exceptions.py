"""Calls that ended by an exception: `show` prints the exception where a
return value would stand, and the chrome export marks their slices."""

import json
import sys

import msgpack
import pytest

from trace_fixtures import Trace, sections


def encoded_exception(type_name, *args):
    return msgpack.ExtType(8, msgpack.packb([type_name, list(args)]))


DETAILS = [
    pytest.param("builtins.KeyError", encoded_exception("builtins.KeyError", "x"), "KeyError('x')", id="encoded"),
    pytest.param("shop.OutOfStock", encoded_exception("shop.OutOfStock", "apple", 3), "OutOfStock('apple', 3)",
                 id="own class"),
    pytest.param("builtins.ValueError", "ValueError('bad')", "ValueError('bad')", id="as text"),
    pytest.param("builtins.KeyError", None, "KeyError", id="type only"),
    pytest.param(None, None, "raised", id="no details"),
]


def failing_trace(exception_type, exception, threading=False):
    """main calls lookup, which raises; main catches it and returns 0."""
    trace = Trace(threading=threading)
    thread = trace.thread() if not threading else trace.thread("worker", native_id=7)
    thread.call("main", "shop.py:40")
    thread.call("lookup", "shop.py:10", at=41, locals={"key": "x"})
    frame_id = thread.ret(None)
    thread.raised(frame_id, exception_type, exception)
    thread.ret(0)
    return trace


@pytest.mark.parametrize("exception_type, exception, shown", DETAILS)
@pytest.mark.parametrize("threading", [False, True])
def test_show_prints_the_exception_where_the_return_value_would_stand(vopo, db, exception_type, exception,
                                                                       shown, threading):
    failing_trace(exception_type, exception, threading).save(db)
    result = vopo("show", "latest", "--db", db)
    assert result.code == 0, result.err
    [(header, items)] = sections(result.out).items()
    assert "1 plugin" not in result.out and "plugin record" not in header
    lines = {item: line for _, item, line in items}
    assert [(depth, item) for depth, item, _ in items] == [(0, "main"), (1, "lookup")]
    assert lines["lookup"].endswith(f"  !! {shown}") and "->" not in lines["lookup"]
    assert lines["main"].endswith("-> 0")


def test_an_exception_record_of_another_frame_is_not_taken_for_this_ones(vopo, db):
    trace = Trace()
    main = trace.thread()
    main.call("main", "shop.py:40")
    main.ret(None)
    main.raised("frm_SOMEOTHERFRAME0000000000001", "builtins.KeyError")
    trace.save(db)
    [items] = sections(vopo("show", "latest", "--db", db).out).values()
    assert items[0][2].endswith("-> None") and items[1][1] == "* frame_exception"


def test_chrome_export_marks_the_slice_of_a_call_that_raised(vopo, db):
    failing_trace("builtins.KeyError", encoded_exception("builtins.KeyError", "x")).save(db)
    events = json.loads(vopo("export", "latest", "--db", db).out)["traceEvents"]
    slices = {event["name"]: event for event in events if event["ph"] == "X"}
    assert set(slices) == {"main", "lookup"}
    raised, returned = slices["lookup"], slices["main"]
    assert raised["cat"] == "exception" and raised["cname"] == "terrible"
    assert raised["args"]["exception"] == "KeyError('x')" and "return" not in raised["args"]
    assert returned["cat"] == "call" and "cname" not in returned and returned["args"]["return"] == "0"
    assert not [event for event in events if event["ph"] == "i"]


RAISES = """\
def lookup(key):
    return {}[key]

def main():
    try:
        lookup("x")
    except KeyError:
        return 0

main()
"""


def test_a_real_exception_exit_is_shown_as_raised(vopo, db, tmp_path):
    (tmp_path / "raises.py").write_text(RAISES)
    assert vopo("run", "--db", db, "raises.py").code == 0
    [items] = sections(vopo("show", "latest", "--db", db).out).values()
    lines = {item: line for _, item, line in items}
    assert lines["__main__.main"].endswith("-> 0")
    assert "  !! " in lines["__main__.lookup"] and "->" not in lines["__main__.lookup"]
    if sys.version_info >= (3, 12):
        assert "KeyError" in lines["__main__.lookup"]
