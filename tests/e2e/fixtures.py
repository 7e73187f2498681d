"""Packages and folders for the installer tests: client trees, signed updates
made by tools/orvex_ops/publish.py, ZIP archives written byte by byte, and the
install driver (tests/win/InstallDriver.cpp) run under Wine.
"""
import contextlib
import hashlib
import os
import pathlib
import shutil
import struct
import subprocess
import zlib

import pytest

from harness import BUILD_DIR, PYTHON, SOURCE_DIR, wine_environment

PUBLISH = SOURCE_DIR / "tools" / "orvex_ops" / "publish.py"
DEV_UPDATE_KEY = SOURCE_DIR / "testdata" / "dev" / "update-private.pem"
INSTALL_DRIVER = pathlib.Path(os.environ.get("ORVEX_INSTALL_DRIVER", BUILD_DIR / "orvex_install_driver.exe"))
UPDATE_AREA = ".orvex-update"


# ---------------------------------------------------------------- folders

def win_path(path):
    """The Wine name of a Unix path (drive Z: is the Unix root)."""
    return "Z:" + str(pathlib.Path(path).absolute()).replace("/", "\\")


def sha256_hex(data):
    return hashlib.sha256(data).hexdigest()


def pseudo_random(seed, size):
    """Deterministic bytes that do not compress (SHA-256 in counter mode)."""
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(f"{seed}:{counter}".encode()).digest()
        counter += 1
    return bytes(out[:size])


def write_tree(root, files):
    """files: relative path ("/"-separated) -> bytes."""
    root = pathlib.Path(root)
    for relative, data in files.items():
        target = root / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
    return root


def snapshot(root, skip=(UPDATE_AREA,)):
    """Relative path -> SHA-256 of every file under root, except under the
    top-level names in skip; directories are listed with the value "dir"."""
    root = pathlib.Path(root)
    result = {}
    for folder, subfolders, names in os.walk(root):
        here = pathlib.Path(folder)
        if here == root:
            subfolders[:] = [name for name in subfolders if name not in skip]
        for name in subfolders:
            result[(here / name).relative_to(root).as_posix() + "/"] = "dir"
        for name in names:
            path = here / name
            if here == root and name in skip:
                continue
            result[path.relative_to(root).as_posix()] = "link" if path.is_symlink() else sha256_hex(path.read_bytes())
    return result


@contextlib.contextmanager
def unwritable(path):
    """The file cannot be written, also by root (for whom Wine ignores the
    permission bits): read-only mode plus the immutable flag where allowed."""
    path.chmod(0o444)
    immutable = subprocess.run(["chattr", "+i", str(path)], capture_output=True).returncode == 0
    try:
        if os.access(path, os.W_OK):
            pytest.skip("cannot make a file unwritable here")
        yield
    finally:
        if immutable:
            subprocess.run(["chattr", "-i", str(path)], check=True)
        path.chmod(0o644)


@contextlib.contextmanager
def append_only(folder):
    """Files can be added to folder but none in it replaced or removed: the
    append-only flag, where allowed (the test is skipped elsewhere)."""
    if subprocess.run(["chattr", "+a", str(folder)], capture_output=True).returncode != 0:
        pytest.skip("cannot make a folder append-only here")
    try:
        yield
    finally:
        subprocess.run(["chattr", "-a", str(folder)], check=True)


def files_only(tree):
    return {path: digest for path, digest in tree.items() if digest != "dir"}


def ini_sections(path):
    """Section -> {key: value} of an INI file as the profile API writes it."""
    sections, current = {}, None
    raw = pathlib.Path(path).read_bytes()
    text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("latin-1")
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("[") and line.endswith("]"):
            current = sections.setdefault(line[1:-1], {})
        elif "=" in line and current is not None:
            key, value = line.split("=", 1)
            current[key.strip()] = value.strip()
    return sections


def client_version(client):
    return ini_sections(pathlib.Path(client) / "Server.ini").get("Version", {}).get("Files")


# ---------------------------------------------------------------- publisher

def publish(*args):
    result = subprocess.run([PYTHON, str(PUBLISH), *map(str, args)], capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"orvex-publish {args[0]} failed: {result.stderr}")
    return result


def keygen(out):
    publish("keygen", "--out", out)
    return pathlib.Path(out) / "update-private.pem"


class Package:
    """A signed update on disk: manifest, signature and archive."""

    def __init__(self, manifest, signature, archive, version):
        self.manifest = pathlib.Path(manifest)
        self.signature = pathlib.Path(signature)
        self.archive = pathlib.Path(archive)
        self.version = version

    def files(self):
        """(path, size, digest) of the manifest's file lines, in order."""
        lines = self.manifest.read_text().split("\n")
        return [(path, int(size), digest) for digest, size, path in
                (line.split("\t") for line in lines[6:] if line)]

    def install_args(self, client, target=None, installed=2369):
        return ["install", win_path(client), win_path(self.manifest), win_path(self.signature),
                win_path(self.archive), str(self.version if target is None else target), str(installed)]


def make_update(old, new, version, out, *options):
    """tools/orvex_ops/publish.py make-update with the development key."""
    publish("make-update", "--old", old, "--new", new, "--version", version, "--key", DEV_UPDATE_KEY,
            "--out", out, *options)
    out = pathlib.Path(out)
    return Package(out / f"{version}.manifest", out / f"{version}.manifest.sig", out / f"{version}.zip", version)


def manifest_text(version, archive_name, archive_bytes, files):
    """ORVEX-UPDATE-1 text; files: (path, size, digest) in manifest order."""
    lines = ["ORVEX-UPDATE-1", f"version\t{version}", f"archive\t{archive_name}",
             f"archive_sha256\t{sha256_hex(archive_bytes)}", f"archive_size\t{len(archive_bytes)}",
             f"files\t{len(files)}"]
    lines += [f"{digest}\t{size}\t{path}" for path, size, digest in files]
    return "\n".join(lines) + "\n"


def signed_package(folder, version, archive_bytes, files, key=DEV_UPDATE_KEY):
    """Writes archive and manifest into folder and signs the manifest with
    orvex-publish sign-update. files: (path, size, digest) or (path, bytes)."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    listed = [(f[0], len(f[1]), sha256_hex(f[1])) if len(f) == 2 else f for f in files]
    archive = folder / f"{version}.zip"
    archive.write_bytes(archive_bytes)
    manifest = folder / f"{version}.manifest"
    manifest.write_bytes(manifest_text(version, archive.name, archive_bytes, listed).encode("ascii"))
    publish("sign-update", "--key", key, manifest)
    return Package(manifest, folder / f"{version}.manifest.sig", archive, version)


# ---------------------------------------------------------------- ZIP by hand

DOS_DATE = ((2020 - 1980) << 9) | (1 << 5) | 1
UNIX_REGULAR = (0o100644 << 16)
UNIX_SYMLINK = (0o120777 << 16)
MADE_ON_UNIX = (3 << 8) | 20


class ZipEntry:
    """One entry as it will be written, every field under the test's control:
    the name in the central directory and in the local header, the CRC, the
    external attributes and the host that made it, and the stored bytes."""

    def __init__(self, name, data=b"", method=0, crc=None, external=UNIX_REGULAR, made_by=MADE_ON_UNIX,
                 local_name=None, stream=None):
        self.name = name.encode("latin-1") if isinstance(name, str) else name
        self.data = data
        self.method = method
        self.crc = zlib.crc32(data) if crc is None else crc
        self.external = external
        self.made_by = made_by
        self.local_name = self.name if local_name is None else (
            local_name.encode("latin-1") if isinstance(local_name, str) else local_name)
        self.stream = stream  # the stored bytes, when they must differ from what data implies

    def payload(self):
        if self.stream is not None:
            return self.stream
        return deflated(self.data) if self.method == 8 else self.data

    def local_header(self, payload):
        return struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, self.method, 0, DOS_DATE, self.crc, len(payload),
                           len(self.data), len(self.local_name), 0) + self.local_name

    def central_record(self, payload, offset):
        return struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, self.made_by, 20, 0, self.method, 0, DOS_DATE,
                           self.crc, len(payload), len(self.data), len(self.name), 0, 0, 0, 0, self.external,
                           offset) + self.name


def end_record(count, directory_size, directory_offset, comment=b""):
    return struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, directory_size, directory_offset,
                       len(comment)) + comment


def deflated(data):
    packer = zlib.compressobj(6, zlib.DEFLATED, -15)
    return packer.compress(data) + packer.flush()


def zip_bytes(entries, comment=b""):
    """A plain archive: local headers and data in order, then the central
    directory and the end record."""
    body, directory = bytearray(), bytearray()
    for entry in entries:
        payload = entry.payload()
        directory += entry.central_record(payload, len(body))
        body += entry.local_header(payload) + payload
    return bytes(body + directory + end_record(len(entries), len(directory), len(body), comment))


def overlapping_zip_bytes(outer, inner):
    """Two stored entries that share bytes: the second entry's local header and
    data lie inside the first entry's data."""
    inner_bytes = inner.local_header(inner.data) + inner.data
    outer.data = inner_bytes
    outer.crc = zlib.crc32(inner_bytes)
    body = outer.local_header(outer.data)
    inner_offset = len(body)
    body += outer.data
    directory = outer.central_record(outer.data, 0) + inner.central_record(inner.data, inner_offset)
    return body + directory + end_record(2, len(directory), len(body))


# ---------------------------------------------------------------- the driver

class Driver:
    """orvex_install_driver.exe under Wine in the build tree's prefix."""

    def __init__(self, exe=INSTALL_DRIVER):
        self.exe = pathlib.Path(exe)
        self.env = wine_environment()

    def run(self, *args, exe=None, timeout=60):
        """(exit code, last stdout line) of one command."""
        result = subprocess.run(["wine", str(exe or self.exe), *map(str, args)], env=self.env,
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
        lines = result.stdout.decode("utf-8", "replace").splitlines()
        return result.returncode, (lines[-1] if lines else "")

    def batch(self, commands, work, timeout=120):
        """One result line per command, all run in one process."""
        command_file = pathlib.Path(work) / f"batch-{os.getpid()}-{id(commands)}.txt"
        command_file.write_bytes("".join("\t".join(map(str, c)) + "\n" for c in commands).encode("utf-8"))
        result = subprocess.run(["wine", str(self.exe), "batch", win_path(command_file)], env=self.env,
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
        lines = result.stdout.decode("utf-8", "replace").splitlines()
        assert result.returncode == 0 and len(lines) == len(commands), (result.returncode, lines)
        return lines


def copy_tree(source, target):
    shutil.copytree(source, target, symlinks=True)
    return pathlib.Path(target)
