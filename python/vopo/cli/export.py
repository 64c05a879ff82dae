"""``vopo export``: a trace as Trace Event Format JSON (see
``vopo.cli.chrome``), which opens in Perfetto and chrome://tracing, or as
its document.

The json output is the decoded document, with all saves of the trace id
merged in save order, made JSON-safe (see ``vopo.cli.values.json_safe``).
Both are built while the trace's records stream by, and an output file is
replaced only once it is complete.
"""

import json
import os
import sys
import tempfile

from vopo.cli import store
from vopo.cli.chrome import ChromeTrace
from vopo.cli.errors import CliError
from vopo.cli.progress import Progress
from vopo.cli.values import json_safe
from vopo.values.decode import ext_hook

FORMATS = ("chrome", "json")


# Record lists kept in memory up to this size, then on disk, until written.
_SPOOL_SIZE = 1 << 20


def export_trace(db_path, reference, timeout, output_format, output):
    progress = Progress("trace")
    try:
        with store.reading(db_path, timeout) as reader:
            trace_id = reader.resolve(reference)
            info = reader.trace(trace_id)
            reading = reader.read_trace(trace_id, progress, ext_hook)
            if output_format == "chrome":
                chrome = ChromeTrace(info)
                for save, list_key, raw in reading:
                    chrome.add(save, list_key, raw)
                head = reading.heads[0] if reading.heads else {}
                write_output(lambda write: (chrome.write(write, head), write("\n")), output)
            else:
                document = _SpooledDocument(reading)
                write_output(document.write, output)
    except RecursionError:
        raise CliError(f"trace {trace_id} holds values nested too deeply to write as JSON") from None
    finally:
        progress.clear()
    return 0


def write_output(produce, output):
    """Calls ``produce(write)`` to write to ``output``, or to stdout when it is
    None or "-". A file is replaced only once all of it is written."""
    if output in (None, "-"):
        produce(sys.stdout.write)
        return
    directory = os.path.dirname(os.path.abspath(output))
    try:
        if os.path.isdir(output):
            raise IsADirectoryError(21, "Is a directory")
        handle = tempfile.NamedTemporaryFile("w", encoding="utf-8", dir=directory, prefix=".vopo-export-",
                                             delete=False)
    except OSError as error:
        raise CliError(f"cannot write {output}: {error.strerror or error}") from None
    try:
        with handle:
            produce(handle.write)
        os.replace(handle.name, output)
    except OSError as error:
        raise CliError(f"cannot write {output}: {error.strerror or error}") from None
    finally:
        if os.path.exists(handle.name):
            os.unlink(handle.name)


class _SpooledDocument:
    """The merged document of every save as indented JSON, the same text
    ``json.dumps(json_safe(merged), indent=2)`` gives, built one record at a
    time: each record list is kept as JSON text, on disk when it is large."""

    def __init__(self, reading):
        self.of_interest = _JsonList("    ")
        self.threads = {}
        for _, thread_key, raw in reading:
            if thread_key is None:
                self.of_interest.add(raw)
            else:
                key = _json_key(thread_key)
                if key not in self.threads:
                    self.threads[key] = _JsonList("      ")
                self.threads[key].add(raw)
        self.head = reading.heads[0]
        self.keys = reading.keys[0]

    def write(self, write):
        write("{")
        for number, key in enumerate(self.keys):
            write(("," if number else "") + "\n  " + _to_json(_json_key(key), None) + ": ")
            if key == "frames_of_interest":
                self.of_interest.write(write, "  ")
            elif key == "frames":
                self._write_threads(write)
            else:
                write(_indented(_to_json(json_safe(self.head[key]), indent=2), "  "))
        write("\n}\n" if self.keys else "}\n")

    def _write_threads(self, write):
        if not self.threads:
            write("{}")
            return
        write("{")
        for number, (key, records) in enumerate(self.threads.items()):
            write(("," if number else "") + "\n    " + _to_json(key, None) + ": ")
            records.write(write, "    ")
        write("\n  }")


class _JsonList:
    def __init__(self, item_indent):
        self.item_indent = item_indent
        self.count = 0
        self.spool = tempfile.SpooledTemporaryFile(max_size=_SPOOL_SIZE, mode="w+", encoding="utf-8")

    def add(self, raw):
        text = _indented(_to_json(json_safe(raw), indent=2), self.item_indent)
        self.spool.write(("," if self.count else "") + "\n" + self.item_indent + text)
        self.count += 1

    def write(self, write, indent):
        if not self.count:
            write("[]")
            return
        write("[")
        self.spool.seek(0)
        while True:
            block = self.spool.read(_SPOOL_SIZE)
            if not block:
                break
            write(block)
        self.spool.close()
        write("\n" + indent + "]")


def _indented(text, indent):
    # JSON strings hold no raw line breaks, so every one is layout.
    return text.replace("\n", "\n" + indent)


def _json_key(key):
    return next(iter(json_safe({key: None})))


def _to_json(value, indent):
    return json.dumps(value, indent=indent, ensure_ascii=False, allow_nan=False)
