"""The exceptions vexil raises.

Every error of the library is a :class:`vexil.Error`. The kinds a Python user
already handles are also the built-in exceptions of that kind: a missing file
is a :class:`FileNotFoundError`, unusable input a :class:`ValueError`, a
dataset or variable that is not there a :class:`KeyError`. Messages are the
ones the command line prints.
"""


class Error(Exception):
    """Base class of every error vexil raises."""


class UsageError(Error, ValueError):
    """The request itself is wrong (a variable name, a layout, a crop)."""


class NotFoundError(Error, FileNotFoundError):
    """An input file or folder does not exist."""


class BadInputError(Error, ValueError):
    """A file or value that cannot be used as it is."""


class UnsupportedFormatError(BadInputError):
    """A file of a kind vexil cannot read."""


class MissingKeyError(Error, KeyError):
    """A named dataset, variable or mandatory field is absent."""

    def __str__(self):
        # KeyError quotes its message; show it as the command line does.
        return str(self.args[0]) if self.args else ""


class MissingDependencyError(Error, ImportError):
    """The reader library a file needs was not built into vexil."""


class ReadError(Error, OSError):
    """Reading failed at the operating-system or library level."""


class WriteError(Error, OSError):
    """Writing an output failed (permissions, a full disk ...)."""


class CancelledError(Error):
    """The conversion was stopped."""
