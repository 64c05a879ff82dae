"""The host package's version, written into every trace."""

__version__ = "0.1.0"
