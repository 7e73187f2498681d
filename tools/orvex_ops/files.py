"""Files on disk: SHA-256 of a file, fsync of files and folders, the modes
published files get, and sizes as an operator reads them.
"""
import hashlib
import os
import pathlib


COPY_CHUNK = 1024 * 1024


def file_sha256(path: pathlib.Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for chunk in iter(lambda: stream.read(COPY_CHUNK), b""):
            digest.update(chunk)
    return digest.hexdigest()


def human(count: int) -> str:
    for unit in ("bytes", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return f"{count} {unit}" if unit == "bytes" else f"{count:.1f} {unit}"
        count /= 1024


def flush_folder(path: pathlib.Path) -> None:
    descriptor = os.open(path, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def flush_tree(root: pathlib.Path) -> None:
    """fsync of every file and folder under root, root included, each folder
    after what it holds."""
    for folder, _, names in os.walk(root, topdown=False):
        for name in names:
            descriptor = os.open(os.path.join(folder, name), os.O_RDONLY)
            try:
                os.fsync(descriptor)
            finally:
                os.close(descriptor)
        flush_folder(pathlib.Path(folder))


def publish_modes(root: pathlib.Path) -> None:
    """Folders 0755 and files 0644 under root, root included: the front's
    workers and the service instances run as their own unprivileged users and
    must read every published byte, whatever the publisher's umask (and the
    temporary folder is made 0700)."""
    for folder, _, names in os.walk(root):
        os.chmod(folder, 0o755)
        for name in names:
            path = os.path.join(folder, name)
            if not os.path.islink(path):
                os.chmod(path, 0o644)
