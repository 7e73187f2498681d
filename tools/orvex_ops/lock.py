"""The lock of a releases folder: one publishing command at a time writes it."""
import fcntl
import os
import pathlib
import shutil
import sys

from orvex_ops.errors import PublishError


PUBLISH_LOCK = ".publish.lock"
PARTIAL_MARK = ".partial-"


def take_publish_lock(parent: pathlib.Path, holder: str) -> int:
    """An exclusive flock on parent/.publish.lock for the whole run (released
    when the process ends, however it ends). The file says who holds it, for
    the message of a second command. Every partial release folder found under
    the lock was left by a release that ended before it could remove it: it is
    removed, named."""
    descriptor = os.open(parent / PUBLISH_LOCK, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        held = os.pread(descriptor, 200, 0).decode("utf-8", "replace").strip()
        os.close(descriptor)
        what, _, process = held.rpartition(" ")
        if what == holder:
            raise PublishError(f"{holder.replace('release', 'version')} is being published (process {process}) "
                               "into this releases folder") from None
        raise PublishError(f"the {what or 'other command'} (process {process or '?'}) holds {parent / PUBLISH_LOCK}: "
                           "one command at a time writes a releases folder; try again when it has finished") from None
    os.ftruncate(descriptor, 0)
    os.pwrite(descriptor, f"{holder} {os.getpid()}\n".encode("utf-8"), 0)
    os.fchmod(descriptor, 0o644)
    for stale in sorted(parent.iterdir()):
        if stale.name.startswith(".") and PARTIAL_MARK in stale.name and stale.is_dir() and not stale.is_symlink():
            shutil.rmtree(stale)
            print(f"removed {stale}: left by a release that did not finish", file=sys.stderr)
    return descriptor
