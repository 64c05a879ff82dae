"""Which frames are recorded: the built-in rules and the configured fragments."""

import pytest

from vopo import _vopo
from vopo_testing import Host

TARGET = "def target():\n    return 1\n"

HOST_PACKAGE = ["config.py", "db.py", "django_schema.py", "filters/x.py", "generate_tests/a/b.py",
                "git.py", "__init__.py", "__main__.py", "middleware.py", "profiler.py",
                "pytest_plugin.py", "serialize.py", "utils.py", "version.py"]


@pytest.fixture
def target_recorded(record, define):
    """Whether a function defined in `filename` is recorded."""
    def run(filename, config=None, callers=()):
        fn = define(TARGET, filename)["target"]
        for caller_filename in callers:
            fn = define("def call():\n    return inner()\n", caller_filename, inner=fn)["call"]
        return any(r["co_name"] == "target" for r in record(fn, config=config))
    return run


@pytest.mark.parametrize("filename, ignored", [
    ("/srv/app/.venv/lib/python3.10/site-packages/shop/models.py", True),
    ("/srv/app/site-packages/x.py", True),
    ("/srv/app/mysite-packages/x.py", False),
    ("/opt/x64/lib/x.py", True),
    ("/opt/x64/library/x.py", False),
    ("/home/me/python/shop/lib/models.py", True),
    ("/home/me/Lib/shop/Python/models.py", True),
    ("/usr/local/Python310/Lib/json/decoder.py", False),
    ("/home/me/shop/lib/models.py", False),
    ("/home/me/python/shop/models.py", False),
    ("/home/me/python/shop/LIB/models.py", False),
    ("/home/me/PYTHON/shop/lib/models.py", False),
    ("<frozen importlib._bootstrap>", True),
    ("<frozenimportlib._bootstrap>", False),
    *[("/env/site/vopo/" + name, True) for name in HOST_PACKAGE],
    ("/env/site/vopo/filters.py", False),
    ("/env/site/vopo/generate_tests.py", False),
    ("/env/site/myvopo/db.py", False),
    ("/env/site/vopo/views.py", False),
    ("/srv/vopo/app/vopo/db.py", True),
    ("/srv/vopo/app/db.py", False),
    ("<string>", True),
    ("/srv/<string>/x.py", True),
    ("<strin>", False),
    ("<pytest match expression>", True),
    ("<pytest match expression> ", False),
    (" <pytest match expression>", False),
    ("<attrs generated init shop.Order>", True),
    ("x<attrs generated init shop.Order>", False),
    ("/srv/app/shop/views.py", False),
])
def test_built_in_rules(target_recorded, filename, ignored):
    assert target_recorded(filename) is not ignored


@pytest.mark.parametrize("callers, ignored", [
    (["/env/attr/_make.py"], True),
    (["attr/_make.py"], True),
    (["ttr/_make.py"], False),
    (["/env/attrs/_make.py"], False),
    (["/env/attr/_make.pyc"], False),
    (["", "/env/attr/_make.py"], True),
    ([""], False),
    (["", "", "/env/attr/_make.py"], False),
    (["/env/attr/_make.py", "/srv/app/views.py"], True),
    (["/srv/app/views.py", "/env/attr/_make.py"], False),
])
def test_frames_called_from_attrs(target_recorded, callers, ignored):
    assert target_recorded("/srv/app/shop/models.py", callers=callers) is not ignored


class Unsubscriptable:
    def __getitem__(self, key):
        raise RuntimeError(key)


LIBRARY = "/env/lib/python3.10/site-packages/somelib/views/base.py"


@pytest.mark.parametrize("filters, filename, recorded", [
    ({"include_frames": ["site-packages/somelib/"]}, LIBRARY, True),
    ({"include_frames": ["site-packages/other/"]}, LIBRARY, False),
    ({"include_frames": ("nothing/", "somelib/")}, LIBRARY, True),
    ({"include_frames": [""]}, "/env/site/vopo/db.py", True),
    ({"include_frames": [""]}, "<frozen zipimport>", True),
    ({"ignore_frames": ["shop/legacy/"]}, "/code/shop/legacy/old.py", False),
    ({"ignore_frames": ["shop/legacy/"]}, "/code/shop/views.py", True),
    ({"include_frames": ["shop/legacy/"], "ignore_frames": ["shop/legacy/"]},
     "/code/shop/legacy/old.py", True),
    ({"ignore_frames": ["Shop/"]}, "/code/shop/views.py", True),
    ({"ignore_frames": ["shop\\legacy"]}, "/code/shop/legacy/old.py", True),
    ({"ignore_frames": ["nothing/"]}, LIBRARY, False),
    ({}, LIBRARY, False),
    (None, "/code/shop/views.py", True),
    (Unsubscriptable(), "/code/shop/views.py", True),
])
def test_configured_fragments(target_recorded, filters, filename, recorded):
    assert target_recorded(filename, config={"filters": filters}) is recorded


def test_fragments_are_copied_at_registration(record, define):
    fragments = ["shop/"]
    target = define(TARGET, "/code/shop/views.py")["target"]

    def forget_fragments_then_run():
        fragments.clear()
        return target()

    records = record(forget_fragments_then_run, config={"filters": {"ignore_frames": fragments}})
    assert not [r for r in records if r["co_name"] == "target"]


@pytest.mark.parametrize("config, error, message", [
    ({"filters": {"include_frames": "shop/"}}, TypeError, "Can't extract `str` to `Vec`"),
    ({"filters": {"ignore_frames": "shop/"}}, TypeError, "Can't extract `str` to `Vec`"),
    ({"filters": {"include_frames": [1]}}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ({"filters": {"ignore_frames": ["a", b"b"]}}, TypeError,
     "'bytes' object cannot be converted to 'PyString'"),
    ({"filters": {"include_frames": 5}}, TypeError, "'int' object cannot be converted to 'Sequence'"),
    ({"filters": {"include_frames": None}}, TypeError,
     "'NoneType' object cannot be converted to 'Sequence'"),
    ({"filters": {"include_frames": [1], "ignore_frames": "x"}}, TypeError,
     "'int' object cannot be converted to 'PyString'"),
    ({"filters": {"ignore_frames": "x"}, "sqlite_busy_timeout": -1}, TypeError,
     "Can't extract `str` to `Vec`"),
])
def test_invalid_fragments_stop_registration(config, error, message):
    host = Host(config=config)
    with pytest.raises(error) as raised:
        _vopo.register_profiler(host)
    assert str(raised.value) == message
    assert not hasattr(host, "rust_profiler")
