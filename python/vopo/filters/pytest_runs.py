"""Marks each test of a pytest run: the call of the run protocol of one test
item opens the test ("start_test"), its return closes it ("end_test") and
says how the test went: "passed", "failed", "error" (its setup or teardown
failed) or "skipped".

``pytest_runtest_protocol`` of pytest's runner brackets exactly one test: its
setup, call and teardown, with the fixtures that test is the first or the
last to use. In one-trace-per-test mode the native profiler opens a new
trace at the first record and saves it at the second.
"""

PATH_FRAGMENT = "_pytest/runner.py"


class LatestTestOutcome:
    """How the test that pytest reported on last went, from its setup, call
    and teardown reports (``vopo.pytest_plugin`` hands them over). Only
    that one test is kept: pytest runs a session's tests one after another."""

    def __init__(self):
        self.node_id = None
        self.outcome = None

    def add_report(self, report):
        if report.nodeid != self.node_id:
            self.node_id, self.outcome = report.nodeid, "passed"
        self.outcome = _combined(self.outcome, report.when, report.failed, report.skipped)

    def of(self, node_id):
        """The outcome of the test ``node_id``; None when pytest reported nothing on it."""
        return self.outcome if node_id is not None and node_id == self.node_id else None


def _combined(outcome, when, failed, skipped):
    if failed:
        return "failed" if when == "call" or outcome == "failed" else "error"
    if skipped and outcome == "passed":
        return "skipped"
    return outcome


latest_outcome = LatestTestOutcome()


def _test_facts(frame, event, arg, context):
    item = frame.f_locals.get("item")
    node_id = getattr(item, "nodeid", None)
    if event == "return":
        return {"node_id": node_id, "outcome": latest_outcome.of(node_id)}
    return {"node_id": node_id}


def description():
    return {
        "co_names": ["pytest_runtest_protocol"],
        "path_fragment": PATH_FRAGMENT,
        "call_type": "start_test",
        "return_type": "end_test",
        "subtype": "pytest",
        "process": _test_facts,
    }
