"""Files written as a database writes them: under a temporary name beside the target, flushed to the
disk, renamed over the target in one step, and the rename itself flushed, so that after a crash of
the process or of the machine the target is either the old file or the whole new one."""

from __future__ import annotations

import contextlib
import os
import pathlib
import uuid
from collections.abc import Iterator

PARTIAL_SUFFIX = ".partial"


def temporary_name(path: pathlib.Path, tag: str = "") -> pathlib.Path:
    """A hidden name beside `path`; `tag` lets a batch find the ones its dead workers left."""
    return path.with_name(f".{path.name}.{tag}{uuid.uuid4().hex[:12]}{PARTIAL_SUFFIX}")


@contextlib.contextmanager
def replaced_atomically(path: pathlib.Path, tag: str = "") -> Iterator[pathlib.Path]:
    """A temporary name beside `path`; what the block writes there replaces `path` when the block
    ends, and is removed when it fails. A process killed meanwhile leaves only the hidden
    temporary file."""
    temporary = temporary_name(path, tag)
    try:
        yield temporary
        # A rename can reach the disk before the data it names: flush the data first, then the
        # folder that holds the new name.
        flush_to_disk(temporary)
        os.replace(temporary, path)
        flush_to_disk(path.parent)
    finally:
        temporary.unlink(missing_ok=True)


def flush_to_disk(path: pathlib.Path) -> None:
    descriptor = os.open(path, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)
