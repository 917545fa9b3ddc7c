"""Arrays in .npz files read with care: each member's header first, so that a header that claims
more than its member holds, or more memory than there is, is refused with the bytes it names
instead of being allocated."""

from __future__ import annotations

import zipfile
from typing import IO

import numpy as np

from ._errors import FieldError


def npy_header(stored: IO[bytes]) -> tuple[tuple[int, ...], np.dtype, int]:
    """The shape and dtype that an .npy stream's header gives, and the header's length."""
    version = np.lib.format.read_magic(stored)
    read = np.lib.format.read_array_header_1_0 if version == (1, 0) else np.lib.format.read_array_header_2_0
    shape, _, dtype = read(stored)
    return shape, dtype, stored.tell()


def array_bytes(shape: tuple[int, ...], dtype: np.dtype) -> int:
    return int(np.prod(shape, dtype=object)) * dtype.itemsize


def load_member(archive: zipfile.ZipFile, name: str, where: str) -> np.ndarray:
    """Array `name` of an open archive; `where` names it in messages (the file, and the array)."""
    member = archive.getinfo(f"{name}.npy")
    with archive.open(member) as stored:
        shape, dtype, header = npy_header(stored)
    needed = array_bytes(shape, dtype)
    if dtype.hasobject:
        raise FieldError(f"{where} holds Python objects, which are not read")
    if header + needed > member.file_size:
        raise FieldError(
            f"{where} claims {needed:,} bytes ({' x '.join(map(str, shape))} {dtype}), "
            f"but holds only {member.file_size - header:,}"
        )
    try:
        with archive.open(member) as stored:
            return np.lib.format.read_array(stored, allow_pickle=False)
    except MemoryError:
        raise FieldError(f"{where} needs {needed:,} bytes, which could not be allocated") from None


def member_rows(archive: zipfile.ZipFile, name: str) -> int:
    """The rows of two-dimensional array `name`, when its member holds exactly the array that its
    header names; FieldError otherwise."""
    member = archive.getinfo(f"{name}.npy")
    with archive.open(member) as stored:
        shape, dtype, header = npy_header(stored)
    if len(shape) != 2 or header + array_bytes(shape, dtype) != member.file_size:
        raise FieldError(f"its array {name} does not fill its member")
    return shape[0]
