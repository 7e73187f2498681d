"""Signed client manifests ORVEX/Startup.manifest ("ORBOOT03") and
ORVEX/Integrity.manifest ("ORVEXTB1"): written, read back, and the command
make-client-manifests.
"""
import fnmatch
import pathlib
import struct
import sys

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

from orvex_ops.errors import PublishError
from orvex_ops.files import file_sha256
from orvex_ops.keys import load_private_pem, passphrase_of, raw_ecdsa_signature
from orvex_ops.packages import is_safe_relative_path, scan_tree


CLIENT_MANIFEST_FOLDER = "ORVEX"
STARTUP_MANIFEST_NAME = "Startup.manifest"
INTEGRITY_MANIFEST_NAME = "Integrity.manifest"
STARTUP_MAGIC = b"ORBOOT03"
STARTUP_MIN_ENTRIES, STARTUP_MAX_ENTRIES = 7, 30000
STARTUP_MAX_NAME = 1024
STARTUP_MAX_FILE = 16 * 1024 ** 3
STARTUP_MAX_BYTES = 8 * 1024 ** 2
INTEGRITY_MAGIC = b"ORVEXTB1"
INTEGRITY_MIN_BUILD_STAMP = 2026111501
INTEGRITY_MAX_ENTRIES = 4096
INTEGRITY_MIN_NAME, INTEGRITY_MAX_NAME = 10, 250
INTEGRITY_MAX_FILE = 256 * 1024 ** 2
INTEGRITY_MAX_TOTAL = 512 * 1024 ** 2
INTEGRITY_MAX_BYTES = 2 * 1024 ** 2
MANIFEST_SIGNATURE_SIZE = 64
DEV_MANIFEST_KEY = pathlib.Path(__file__).resolve().parents[2] / "testdata" / "dev" / "manifest-private.pem"


def is_integrity_table_name(name: str) -> bool:
    """A data table the integrity manifest may list: data/<name>.tbl directly
    in data (ASCII case ignored), printable ASCII, a plain Windows name."""
    if not INTEGRITY_MIN_NAME <= len(name) <= INTEGRITY_MAX_NAME:
        return False
    if any(not 0x20 <= ord(c) <= 0x7E for c in name):
        return False
    lower = name.lower()
    if not lower.startswith("data/") or not lower.endswith(".tbl"):
        return False
    if ".." in lower or "\\" in lower or ":" in lower or "/" in lower[5:]:
        return False
    return is_safe_relative_path(name)


def client_manifest_entry(name: str, size: int, digest: bytes) -> bytes:
    encoded = name.encode("ascii")
    assert len(digest) == 32
    return struct.pack("<H", len(encoded)) + encoded + struct.pack("<Q", size) + digest


def startup_manifest_body(entries) -> bytes:
    """ORBOOT03, u32 count, then (u16 length, name, u64 size, 32-byte SHA-256)
    per entry; entries: (name, size, raw digest) in file order."""
    if not STARTUP_MIN_ENTRIES <= len(entries) <= STARTUP_MAX_ENTRIES:
        raise PublishError(f"{len(entries)} start-up files: the startup manifest lists "
                           f"{STARTUP_MIN_ENTRIES} to {STARTUP_MAX_ENTRIES}")
    body = bytearray(STARTUP_MAGIC + struct.pack("<I", len(entries)))
    for name, size, digest in entries:
        if not name.isascii() or not 1 <= len(name) <= STARTUP_MAX_NAME:
            raise PublishError(f"{name!r}: a startup name is 1 to {STARTUP_MAX_NAME} ASCII bytes")
        if size > STARTUP_MAX_FILE:
            raise PublishError(f"{name}: {size} bytes is more than a start-up file may have")
        body += client_manifest_entry(name, size, digest)
    if len(body) + MANIFEST_SIGNATURE_SIZE > STARTUP_MAX_BYTES:
        raise PublishError("the startup manifest would be larger than 8 MiB")
    return bytes(body)


def integrity_manifest_body(build_stamp: int, entries) -> bytes:
    """ORVEXTB1, u32 build stamp, u32 count, then entries as in the startup
    manifest, every name a data table listed once (ASCII case ignored)."""
    if not INTEGRITY_MIN_BUILD_STAMP <= build_stamp <= 0xFFFFFFFF:
        raise PublishError(f"build stamp {build_stamp} is outside {INTEGRITY_MIN_BUILD_STAMP} to {0xFFFFFFFF}")
    if not 1 <= len(entries) <= INTEGRITY_MAX_ENTRIES:
        raise PublishError(f"{len(entries)} data tables: the integrity manifest lists 1 to {INTEGRITY_MAX_ENTRIES}")
    body = bytearray(INTEGRITY_MAGIC + struct.pack("<II", build_stamp, len(entries)))
    seen, total = set(), 0
    for name, size, digest in entries:
        if not is_integrity_table_name(name) or name.lower() in seen:
            raise PublishError(f"{name!r}: not a data table name the launcher accepts, or listed twice")
        if size > INTEGRITY_MAX_FILE:
            raise PublishError(f"{name}: {size} bytes is more than a data table may have")
        seen.add(name.lower())
        total += size
        if total > INTEGRITY_MAX_TOTAL:
            raise PublishError(f"the data tables add up to more than {INTEGRITY_MAX_TOTAL} bytes")
        body += client_manifest_entry(name, size, digest)
    if len(body) + MANIFEST_SIGNATURE_SIZE > INTEGRITY_MAX_BYTES:
        raise PublishError("the integrity manifest would be larger than 2 MiB")
    return bytes(body)


def client_manifest_sets(root: pathlib.Path, excludes, files=None):
    """(startup entries, integrity entries) of a client tree (or of files, its
    managed path -> file map): the data tables directly under data/ go to the
    integrity manifest, every other file (less the two manifests themselves and
    the --exclude patterns) to the startup manifest; both sorted by name."""
    if files is None:
        files, _ = scan_tree(root, strict=True)
    own = {f"{CLIENT_MANIFEST_FOLDER}/{STARTUP_MANIFEST_NAME}".lower(),
           f"{CLIENT_MANIFEST_FOLDER}/{INTEGRITY_MANIFEST_NAME}".lower()}
    startup, integrity = [], []
    for managed in sorted(files, key=lambda name: (name.lower(), name)):
        lower = managed.lower()
        if lower in own or any(fnmatch.fnmatchcase(lower, pattern.lower()) for pattern in excludes):
            continue
        path = files[managed]
        digest = bytes.fromhex(file_sha256(path))
        record = (managed, path.stat().st_size, digest)
        if lower.startswith("data/") and lower.endswith(".tbl") and "/" not in lower[5:]:
            integrity.append(record)
        else:
            startup.append(record)
    return startup, integrity


def signed_client_manifest(key, body: bytes) -> bytes:
    return body + raw_ecdsa_signature(key, body)


def cmd_make_client_manifests(args) -> int:
    try:
        key = load_private_pem(pathlib.Path(args.key), passphrase_of(args))
        startup, integrity = client_manifest_sets(pathlib.Path(args.tree), args.exclude or [])
        startup_bytes = signed_client_manifest(key, startup_manifest_body(startup))
        integrity_bytes = signed_client_manifest(key, integrity_manifest_body(args.build_stamp, integrity))
        folder = pathlib.Path(args.out) / CLIENT_MANIFEST_FOLDER
        folder.mkdir(parents=True, exist_ok=True)
        (folder / STARTUP_MANIFEST_NAME).write_bytes(startup_bytes)
        (folder / INTEGRITY_MANIFEST_NAME).write_bytes(integrity_bytes)
    except (PublishError, OSError, ValueError) as error:
        print(f"make-client-manifests: {error}", file=sys.stderr)
        return 2
    print(f"{folder / STARTUP_MANIFEST_NAME}: {len(startup)} files")
    print(f"{folder / INTEGRITY_MANIFEST_NAME}: {len(integrity)} data tables, build {args.build_stamp}")
    return 0


def read_client_manifest(data: bytes, public_key, integrity: bool):
    """(name, size, digest text) entries of a signed client manifest read with
    the launcher's rules; PublishError names the rule that failed."""
    magic, header, minimum, maximum, limit = (
        (INTEGRITY_MAGIC, 16, 1, INTEGRITY_MAX_ENTRIES, INTEGRITY_MAX_BYTES) if integrity else
        (STARTUP_MAGIC, 12, STARTUP_MIN_ENTRIES, STARTUP_MAX_ENTRIES, STARTUP_MAX_BYTES))
    if not header + MANIFEST_SIGNATURE_SIZE <= len(data) <= limit or data[:8] != magic:
        raise PublishError("client manifest has the wrong magic or size")
    body, signature = data[:-MANIFEST_SIGNATURE_SIZE], data[-MANIFEST_SIGNATURE_SIZE:]
    r, s = int.from_bytes(signature[:32], "big"), int.from_bytes(signature[32:], "big")
    try:
        public_key.verify(encode_dss_signature(r, s), body, ec.ECDSA(hashes.SHA256()))
    except InvalidSignature:
        raise PublishError("client manifest signature does not verify under the manifest key") from None
    if integrity and struct.unpack_from("<I", body, 8)[0] < INTEGRITY_MIN_BUILD_STAMP:
        raise PublishError("integrity manifest build stamp is too old")
    (count,) = struct.unpack_from("<I", body, header - 4)
    if not minimum <= count <= maximum:
        raise PublishError(f"client manifest lists {count} entries, outside {minimum} to {maximum}")
    entries, offset = [], header
    for _ in range(count):
        if offset + 2 > len(body):
            raise PublishError("client manifest entry list is truncated")
        (length,) = struct.unpack_from("<H", body, offset)
        end = offset + 2 + length + 40
        if length == 0 or end > len(body):
            raise PublishError("client manifest entry is truncated")
        name = body[offset + 2:offset + 2 + length].decode("latin-1")
        (size,) = struct.unpack_from("<Q", body, offset + 2 + length)
        entries.append((name, size, body[offset + 10 + length:end].hex()))
        offset = end
    if offset != len(body):
        raise PublishError("client manifest has trailing bytes")
    return entries
