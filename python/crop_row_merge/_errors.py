"""The package's exceptions and its warning category, and the one rule for quoting text from files
and paths in messages."""

from __future__ import annotations


def printable(text: object) -> str:
    """`text` with every character that a terminal could act on (control characters, and the
    other characters that `repr` escapes) written as `repr` writes it, quotes aside: a file's
    contents or name quoted in a message can then neither retitle nor clear a user's terminal."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in str(text))


class FieldError(ValueError):
    """A field, a table or a file that cannot be used as the merge's input or output.

    Its message often quotes a file's name or contents, so it is made printable."""

    def __init__(self, message: object) -> None:
        super().__init__(printable(message))


class MergeError(Exception):
    """The merge itself failed; the one argument is the module's message.

    The module raises `PanicException`, which derives from `BaseException` so that
    `except Exception` lets it through; a notebook or a batch wants an ordinary exception.
    """


class FieldWarning(UserWarning):
    """A field that merges, but most likely not as its owner meant: a placeholder third point, a key
    mix-up, a gap in the neighbour slots. Turn it into an error with
    `warnings.simplefilter("error", crop_row_merge.FieldWarning)`."""


class MissingExtraError(ImportError):
    """An optional library is not installed; the message names the extra that brings it."""
