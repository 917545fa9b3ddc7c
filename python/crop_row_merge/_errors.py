"""The package's exceptions and its warning category, and the imports of its optional libraries, each naming its extra."""

from __future__ import annotations

import importlib
from types import ModuleType


class FieldError(ValueError):
    """A field, a table or a file that cannot be used as the merge's input or output."""


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


def require(module: str, extra: str, purpose: str) -> ModuleType:
    """Imports `module`, or says which extra of the package to install for `purpose`."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        library = module.partition(".")[0]
        raise MissingExtraError(
            f"{purpose} needs {library}, which is not installed; it comes with the '{extra}' extra: "
            f"pip install 'crop-row-merge[{extra}]'"
        ) from error
