"""The output of a batch run, which appears only once the run is through.

A regular file is written under a temporary name in its own folder (so that
renaming is atomic) and takes the output's name when the run ends; a run
stopped half-way (a signal, a dead worker, a full disk) removes it and leaves
the output as it was: absent, or the file an earlier run wrote. Standard output
and outputs that are not regular files (/dev/null, a FIFO) are written to
directly, as they come.
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import sys
import tempfile
from types import TracebackType
from typing import BinaryIO

from veltrix.batch.formats import STANDARD_OUTPUT


class PendingOutput:
    """The output `name`, opened for writing; FileExistsError if it is a file and `overwrite` is false.

    Leaving its `with` block normally puts the output in place; leaving it by
    an exception removes what was written.
    """

    def __init__(self, name: str, overwrite: bool) -> None:
        self._temporary: str | None = None
        if name == STANDARD_OUTPUT:
            self.stream: BinaryIO = os.fdopen(os.dup(sys.stdout.fileno()), "wb")
            return
        # Through a symbolic link, the file it names is replaced, and the link stays.
        self._target = os.path.realpath(name)
        try:
            status: os.stat_result | None = os.stat(self._target)
        except FileNotFoundError:
            status = None
        if status is not None and not stat.S_ISREG(status.st_mode):
            self.stream = open(self._target, "wb")
            return
        if status is not None and not overwrite:
            raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), name)
        folder, base = os.path.split(self._target)
        descriptor, self._temporary = tempfile.mkstemp(prefix=f".{base}.", suffix=".partial", dir=folder)
        try:
            # The mode a new file would get, or the replaced file's.
            os.fchmod(descriptor, stat.S_IMODE(status.st_mode) if status is not None else 0o666 & ~_umask())
            self.stream = open(descriptor, "wb")
        except BaseException:
            os.close(descriptor)
            self._discard()
            raise

    def __enter__(self) -> BinaryIO:
        return self.stream

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        try:
            self.stream.close()
            if kind is None and self._temporary is not None:
                os.replace(self._temporary, self._target)
                self._temporary = None
        finally:
            self._discard()

    def _discard(self) -> None:
        if self._temporary is not None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self._temporary)
            self._temporary = None


def _umask() -> int:
    mask = os.umask(0o077)
    os.umask(mask)
    return mask
