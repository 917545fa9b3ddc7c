"""The package's optional libraries, imported where they are needed, each naming its extra when it
is missing."""

from __future__ import annotations

import importlib
from types import ModuleType

from ._errors import MissingExtraError


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
