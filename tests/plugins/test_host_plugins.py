"""The host package's own plugin descriptions and the configuration that
switches them off or adds more."""

import pytest

from vopo import _vopo
from vopo.middleware import VopoWSGIMiddleware
from vopo.plugins import load_plugin_data
from conftest import describe, plugin_records, run_profiled
from vopo_testing import Host


def subtypes(config):
    return [d.get("subtype") for d in load_plugin_data(config)]


def test_built_in_descriptions_and_their_configuration():
    assert subtypes({}) == ["pytest", "wsgi"]
    assert subtypes({"plugins": None}) == ["pytest", "wsgi"]
    assert subtypes({"plugins": {"disable": ["pytest"]}}) == ["wsgi"]
    assert subtypes({"plugins": {"disable": ["pytest", "wsgi"], "extra": [describe(["f"], subtype="mine")]}}) == [
        "mine"]


@pytest.mark.parametrize("plugins", [["pytest"], {"disable": "wsgi"}, {"disable": ["nope"]}, {"extra": 1},
                                     {"enable": []}])
def test_malformed_plugin_configuration_stops_construction(plugins):
    with pytest.raises(BaseException, match="load_plugin_data should be callable: PluginConfigError"):
        _vopo.register_profiler(Host(config={"plugins": plugins}))


def hello_app(environ, start_response):
    start_response("201 Created", [("Content-Type", "text/plain")])
    return [b"hello " + environ["PATH_INFO"].encode()]


def test_wsgi_requests_are_marked_with_method_path_and_status():
    app = VopoWSGIMiddleware(hello_app)
    statuses = []
    environ = {"REQUEST_METHOD": "POST", "PATH_INFO": "/items"}
    body, records = run_profiled(app, environ, lambda status, headers: statuses.append(status))
    assert body == [b"hello /items"] and statuses == ["201 Created"]
    start, end = plugin_records(records)
    assert (start["type"], start["subtype"], start["method"], start["path"]) == (
        "start_request", "wsgi", "POST", "/items")
    assert (end["type"], end["status"], end["frame_id"]) == ("end_request", "201 Created", start["frame_id"])
    # The middleware itself is never recorded; the application is.
    assert {r["co_name"] for r in records if r["type"] == "frame"} == {"hello_app", "<lambda>"}
