"""Text forms of durations, times, sizes and trace parts, shared by the
sub-commands. Plain ASCII, so output survives any terminal encoding."""

import datetime

from vopo.cli.document import plugin_fields
from vopo.cli.values import render, shorten


def duration(seconds):
    """'12.3 us', '4.56 ms', '1.234 s'."""
    magnitude = abs(seconds)
    if magnitude < 1e-3:
        return f"{seconds * 1e6:.1f} us"
    if magnitude < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.3f} s"


def local_time(timestamp, milliseconds=False):
    try:
        moment = datetime.datetime.fromtimestamp(timestamp)
    except (TypeError, ValueError, OverflowError, OSError):
        return f"{timestamp!r} (not a time)"
    if milliseconds:
        return moment.strftime("%Y-%m-%d %H:%M:%S.") + f"{moment.microsecond // 1000:03d}"
    return moment.strftime("%Y-%m-%d %H:%M:%S")


def size(count):
    """Bytes as '812 B', '12.3 KiB', '4.5 MiB'."""
    if count < 1024:
        return f"{count} B"
    if count < 1024 * 1024:
        return f"{count / 1024:.1f} KiB"
    return f"{count / (1024 * 1024):.1f} MiB"


def plural(count, word):
    return f"{count} {word}" if count == 1 else f"{count} {word}s"


def thread_label(trace, thread):
    return thread_label_of(thread.name, thread.native_id, trace.is_main(thread))


def thread_label_of(name, native_id, is_main):
    facts = [] if native_id is None else [f"native id {native_id}"]
    if is_main:
        facts.append("main thread")
    return f"{name} ({', '.join(facts)})" if facts else name


def plugin_label_of(raw, limit=None):
    fields = " ".join(
        f"{key}={shorten(value, limit) if isinstance(value, str) else render(value, limit)}"
        for key, value in plugin_fields(raw).items()
    )
    return f"{raw['type']} {fields}" if fields else raw["type"]


def source_location(record):
    """The file part of a record's "path", without its line number."""
    path, _, line = record.path.rpartition(":")
    return path if path and line.isdigit() else record.path


def printable(text):
    """``text`` with control and other unprintable characters escaped, so
    stored data can never drive the terminal."""
    if text.isprintable():
        return text
    return "".join(character if character.isprintable() else _escape(character) for character in text)


def _escape(character):
    code = ord(character)
    if code < 0x100:
        return f"\\x{code:02x}"
    if code < 0x10000:
        return f"\\u{code:04x}"
    return f"\\U{code:08x}"
