"""The one error type of the command line."""


class CliError(Exception):
    """A failure the user can act on, reported as one line on stderr with
    exit status 1 (never a traceback)."""
