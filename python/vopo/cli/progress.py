"""Progress of a long read, on stderr when stderr is a terminal: one line
rewritten in place, cleared when the read ends."""

import sys

# Traces smaller than this read fast enough to need no progress line.
_MIN_SIZE = 16 << 20


class Progress:
    def __init__(self, label, stream=None):
        self.stream = sys.stderr if stream is None else stream
        self.label = label
        self.shown = -1
        self.active = False

    def __call__(self, done, total):
        if total < _MIN_SIZE or not _is_terminal(self.stream):
            return
        percent = min(100, done * 100 // total)
        if percent != self.shown:
            self.shown = percent
            self.active = True
            self.stream.write(f"\rvopo: reading {self.label}: {percent}%")
            self.stream.flush()

    def clear(self):
        if self.active:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.active = False


def _is_terminal(stream):
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False
