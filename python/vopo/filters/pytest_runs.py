"""Marks each test of a pytest run: the call of the run protocol of one test
item opens the test ("start_test"), its return closes it ("end_test").

``pytest_runtest_protocol`` of pytest's runner brackets exactly one test: its
setup, call and teardown, with the fixtures that test is the first or the
last to use. In one-trace-per-test mode the native profiler opens a new
trace at the first record and saves it at the second.
"""

PATH_FRAGMENT = "_pytest/runner.py"


def _test_facts(frame, event, arg, context):
    item = frame.f_locals.get("item")
    return {"node_id": getattr(item, "nodeid", None)}


def description():
    return {
        "co_names": ["pytest_runtest_protocol"],
        "path_fragment": PATH_FRAGMENT,
        "call_type": "start_test",
        "return_type": "end_test",
        "subtype": "pytest",
        "process": _test_facts,
    }
