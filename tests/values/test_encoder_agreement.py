"""The native encoder of ``vopo._values`` and the reference encoder write the
same bytes for the same value, on a generated corpus of plain, nested,
cyclic, huge and hostile values, in both modes and with each option."""

import importlib

import msgpack
import pytest

import corpus
import hostile
from vopo import serialize
from vopo.values import encode

CORPUS_SIZE = 10_000
SEED = 20261208

try:
    native = importlib.import_module("vopo._values")
except ImportError:
    native = None

needs_native = pytest.mark.skipif(
    native is None, reason="the native encoder vopo._values is not built in this tree")


@pytest.fixture(scope="module")
def values():
    return corpus.values(CORPUS_SIZE, SEED)


@pytest.fixture(autouse=True)
def no_calls_yet(values):
    """Counts the hostile objects' calls from the test's start, once the
    corpus is built."""
    hostile.CALLS.clear()


@pytest.fixture
def options():
    """Sets the options of both encoders for one test, and resets them."""

    def configure(**chosen):
        encode.configure(**chosen)
        if native is not None:
            native.configure(**chosen)

    yield configure
    configure()


def mismatches(values, reference, candidate, limit=5):
    found = []
    for index, value in enumerate(values):
        expected, got = reference(value), candidate(value)
        if expected != got:
            found.append((index, type(value).__name__, expected[:80], got[:80]))
            if len(found) == limit:
                break
    return found


@needs_native
def test_the_native_module_has_the_same_surface_and_is_the_one_used():
    assert native.VALUE_MODEL_VERSION == encode.VALUE_MODEL_VERSION
    assert tuple(native.DEFAULT_REDACT) == encode.DEFAULT_REDACT
    assert serialize.dump_msgpack is native.dump_msgpack
    assert serialize.dump_msgpack_lightweight_repr is native.dump_msgpack_lightweight_repr


@needs_native
@pytest.mark.parametrize("mode", ["dump_msgpack", "dump_msgpack_lightweight_repr"])
def test_native_and_reference_agree_byte_for_byte(values, mode):
    assert mismatches(values, getattr(encode, mode), getattr(native, mode)) == []
    assert dict(hostile.CALLS) == {}


@needs_native
@pytest.mark.parametrize("chosen", [{"redact": ["sku", "a"]}, {"redact": []}, {"user_repr": True}],
                         ids=["own-list", "no-redaction", "user-repr"])
def test_they_agree_with_other_options(options, chosen):
    sample = corpus.values(2000, SEED + 1, looping_reprs=False)
    options(**chosen)
    assert mismatches(sample, encode.dump_msgpack, native.dump_msgpack) == []


def test_the_reference_writes_one_value_for_each_and_runs_no_program_code(values):
    for dump in (encode.dump_msgpack, encode.dump_msgpack_lightweight_repr):
        for value in values:
            unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, ext_hook=lambda code, data: code)
            unpacker.feed(dump(value))
            assert len(list(unpacker)) == 1
    assert dict(hostile.CALLS) == {}
