"""The package's exceptions and its warning category, and the one rule for quoting text from files
and paths in messages."""

from __future__ import annotations

from collections.abc import Sequence


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


class FieldNotFoundError(FieldError, FileNotFoundError):
    """A field's path that does not exist."""


class MergeError(Exception):
    """The merge itself failed. Its message is what to fix (the module's first note) and then, in
    brackets, the module's own message, `module_message`; its notes are the module's.

    The module raises `PanicException`, which derives from `BaseException` so that
    `except Exception` lets it through; a notebook or a batch wants an ordinary exception.
    """

    def __init__(self, module_message: str, notes: Sequence[str] = ()) -> None:
        super().__init__(f"{notes[0]} ({module_message})" if notes else module_message)
        self.module_message = module_message
        for note in notes:
            self.add_note(note)

    def __reduce__(self) -> tuple[type[MergeError], tuple[str, list[str]]]:
        return type(self), (self.module_message, list(getattr(self, "__notes__", ())))


class FieldWarning(UserWarning):
    """A field that merges, but most likely not as its owner meant: a placeholder third point, a key
    mix-up, a gap in the neighbour slots. Turn it into an error with
    `warnings.simplefilter("error", crop_row_merge.FieldWarning)`."""


class MissingExtraError(ImportError):
    """An optional library is not installed; the message names the extra that brings it."""
