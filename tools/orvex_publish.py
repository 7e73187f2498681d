#!/usr/bin/env python3
"""Publisher tools for ORVEX client updates.

This is deliberately an independent implementation of the key and signature
formats the launcher checks with BCrypt: a layout mistake on one side shows up
as a failed verification instead of hiding itself.

Commands:
  keygen       RSA-3072 update key and P-256 manifest key, private PEMs and
               the two public-key blobs the launcher compiles in
  devcert      self-signed TLS certificate for a loopback patch endpoint and
               the SHA-256 pin of its DER encoding
  devca        development certificate authority and a loopback server
               certificate it issues (for a test Wine prefix that trusts it)
  sign-update  raw 384-byte RSA PKCS#1 v1.5 SHA-256 signature of a manifest
  sign-raw-ecdsa
               raw 64-byte ECDSA P-256 SHA-256 signature (r then s, big-endian,
               not DER) of a file, the form the signed client manifests carry
  make-update  signed update from an old and a new client tree: patch ZIP
               (delta entries for the game archives), ORVEX-UPDATE-1 manifest
               and its raw signature
  make-offline offline installer layout ORVEX/Patch (PatchKur.exe and the
               signed update as 2384.*) for Patch.zip
  make-client-manifests
               the signed binary client manifests ORVEX/Startup.manifest
               ("ORBOOT03") and ORVEX/Integrity.manifest ("ORVEXTB1") of a tree
  release      everything one version needs, in one new folder of the
               releases folder the patch service serves
  verify       every published file and repair object of a releases folder
               read back; --repair rewrites damaged objects from a good copy
"""
import argparse
import collections
import contextlib
import datetime
import fcntl
import fnmatch
import hashlib
import io
import json
import os
import pathlib
import re
import shutil
import signal
import stat
import struct
import sys
import tempfile
import time
import unicodedata
import urllib.parse
import zipfile
import zlib

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature, encode_dss_signature
from cryptography.x509.oid import NameOID

RSA_BITS = 3072
RSA_PUBLIC_MAGIC = 0x31415352  # "RSA1"
ECDSA_P256_PUBLIC_MAGIC = 0x31534345  # "ECS1"


def rsa_public_blob(public_key: rsa.RSAPublicKey) -> bytes:
    """RSAPUBLICBLOB: six LE u32 header fields, exponent and modulus big-endian."""
    numbers = public_key.public_numbers()
    exponent = numbers.e.to_bytes(3, "big")
    modulus = numbers.n.to_bytes(RSA_BITS // 8, "big")
    header = struct.pack("<6I", RSA_PUBLIC_MAGIC, RSA_BITS, len(exponent), len(modulus), 0, 0)
    blob = header + exponent + modulus
    assert len(blob) == 411
    return blob


def ecc_public_blob(public_key: ec.EllipticCurvePublicKey) -> bytes:
    """ECCPUBLICBLOB for P-256: magic, key length 32, X and Y big-endian."""
    numbers = public_key.public_numbers()
    blob = struct.pack("<2I", ECDSA_P256_PUBLIC_MAGIC, 32) + numbers.x.to_bytes(32, "big") + numbers.y.to_bytes(32, "big")
    assert len(blob) == 72
    return blob


class PublishError(Exception):
    """A refusal of a command; its text is shown as is."""


def passphrase_of(args):
    """The private keys' passphrase from --passphrase-file (its first line) or
    --passphrase-env (the variable's value), or None."""
    if getattr(args, "passphrase_file", None):
        try:
            text = pathlib.Path(args.passphrase_file).read_bytes().split(b"\n", 1)[0].rstrip(b"\r")
        except OSError as error:
            raise PublishError(f"--passphrase-file {args.passphrase_file}: {error.strerror}") from None
        if not text:
            raise PublishError(f"--passphrase-file {args.passphrase_file}: the first line is empty")
        return text
    if getattr(args, "passphrase_env", None):
        text = os.environ.get(args.passphrase_env, "")
        if not text:
            raise PublishError(f"--passphrase-env {args.passphrase_env}: the variable is not set or empty")
        return text.encode("utf-8")
    return None


def add_passphrase_options(parser, writes: bool) -> None:
    what = "encrypt the private keys written" if writes else "decrypt encrypted private keys"
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--passphrase-file", metavar="FILE", help=f"{what} with the first line of this file")
    group.add_argument("--passphrase-env", metavar="NAME", help=f"{what} with the value of this environment variable")


def write_private_pem(path: pathlib.Path, key, passphrase=None) -> None:
    """The PEM written to a new file that is 0600 from its creation (mkstemp)
    and then renamed over path: no other account can read the key at any
    moment, whatever the umask and whatever mode an older file had."""
    encryption = (serialization.BestAvailableEncryption(passphrase) if passphrase
                  else serialization.NoEncryption())
    data = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, encryption)
    descriptor, temporary = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.")
    try:
        with os.fdopen(descriptor, "wb") as stream:
            stream.write(data)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def load_private_pem(path: pathlib.Path, passphrase=None):
    path = pathlib.Path(path)
    try:
        data = path.read_bytes()
    except OSError as error:
        raise PublishError(f"{path}: {error.strerror}") from None
    try:
        return serialization.load_pem_private_key(data, password=None)
    except TypeError:
        pass  # encrypted
    except ValueError:
        raise PublishError(f"{path} is not a private key in PEM form") from None
    if passphrase is None:
        raise PublishError(f"{path} is encrypted: give its passphrase with --passphrase-file or --passphrase-env")
    try:
        return serialization.load_pem_private_key(data, password=passphrase)
    except (TypeError, ValueError):
        raise PublishError(f"{path}: the passphrase given does not decrypt this key") from None


def cmd_keygen(args) -> int:
    out = pathlib.Path(args.out)
    passphrase = passphrase_of(args)
    out.mkdir(parents=True, exist_ok=True)
    update_key = rsa.generate_private_key(public_exponent=65537, key_size=RSA_BITS)
    manifest_key = ec.generate_private_key(ec.SECP256R1())
    write_private_pem(out / "update-private.pem", update_key, passphrase)
    write_private_pem(out / "manifest-private.pem", manifest_key, passphrase)
    (out / "update-key.blob").write_bytes(rsa_public_blob(update_key.public_key()))
    (out / "manifest-key.blob").write_bytes(ecc_public_blob(manifest_key.public_key()))
    print(f"wrote update-private.pem, manifest-private.pem (0600{', encrypted' if passphrase else ''}), "
          f"update-key.blob, manifest-key.blob in {out}")
    return 0


def make_self_signed(common_name: str, key, issuer_name=None, issuer_key=None, is_ca=False):
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])
    issuer = issuer_name or subject
    now = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)
    builder = (x509.CertificateBuilder()
               .subject_name(subject).issuer_name(issuer)
               .public_key(key.public_key())
               .serial_number(x509.random_serial_number())
               .not_valid_before(now)
               .not_valid_after(now + datetime.timedelta(days=365 * 30))
               .add_extension(x509.BasicConstraints(ca=is_ca, path_length=None), critical=True))
    return builder.sign(issuer_key or key, hashes.SHA256())


def cmd_devcert(args) -> int:
    """A certificate named CN=<host> without subjectAltName: Wine's WinHTTP
    rejects an IP subjectAltName on loopback but accepts a matching CN."""
    out = pathlib.Path(args.out)
    passphrase = passphrase_of(args)
    out.mkdir(parents=True, exist_ok=True)
    key = ec.generate_private_key(ec.SECP256R1())
    cert = make_self_signed(args.host, key)
    der = cert.public_bytes(serialization.Encoding.DER)
    write_private_pem(out / f"{args.name}-key.pem", key, passphrase)
    (out / f"{args.name}-cert.pem").write_bytes(cert.public_bytes(serialization.Encoding.PEM))
    pin = hashlib.sha256(der).hexdigest()
    (out / f"{args.name}-cert.pin").write_text(pin + "\n")
    print(pin)
    return 0


def cmd_devca(args) -> int:
    """A development CA and a leaf for CN=<host> issued by it, for an endpoint
    that must pass the platform's normal certificate validation once the CA is
    trusted (only ever in a test Wine prefix). Like devcert, the leaf carries no
    subjectAltName: Wine's WinHTTP rejects an IP subjectAltName on loopback."""
    out = pathlib.Path(args.out)
    passphrase = passphrase_of(args)
    out.mkdir(parents=True, exist_ok=True)
    now = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)
    later = now + datetime.timedelta(days=365 * 30)

    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca_name = x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "ORVEX development (test only)"),
                         x509.NameAttribute(NameOID.COMMON_NAME, args.ca_name)])
    ca_ski = x509.SubjectKeyIdentifier.from_public_key(ca_key.public_key())
    ca_cert = (x509.CertificateBuilder()
               .subject_name(ca_name).issuer_name(ca_name)
               .public_key(ca_key.public_key())
               .serial_number(x509.random_serial_number())
               .not_valid_before(now).not_valid_after(later)
               .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
               .add_extension(x509.KeyUsage(digital_signature=False, content_commitment=False,
                                            key_encipherment=False, data_encipherment=False,
                                            key_agreement=False, key_cert_sign=True, crl_sign=True,
                                            encipher_only=False, decipher_only=False), critical=True)
               .add_extension(ca_ski, critical=False)
               .sign(ca_key, hashes.SHA256()))

    leaf_key = ec.generate_private_key(ec.SECP256R1())
    leaf_cert = (x509.CertificateBuilder()
                 .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, args.host)]))
                 .issuer_name(ca_name)
                 .public_key(leaf_key.public_key())
                 .serial_number(x509.random_serial_number())
                 .not_valid_before(now).not_valid_after(later)
                 .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
                 .add_extension(x509.KeyUsage(digital_signature=True, content_commitment=False,
                                              key_encipherment=False, data_encipherment=False,
                                              key_agreement=False, key_cert_sign=False, crl_sign=False,
                                              encipher_only=False, decipher_only=False), critical=True)
                 .add_extension(x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
                 .add_extension(x509.AuthorityKeyIdentifier.from_issuer_subject_key_identifier(ca_ski),
                                critical=False)
                 .sign(ca_key, hashes.SHA256()))

    write_private_pem(out / "dev-ca-key.pem", ca_key, passphrase)
    (out / "dev-ca-cert.pem").write_bytes(ca_cert.public_bytes(serialization.Encoding.PEM))
    write_private_pem(out / f"{args.name}-key.pem", leaf_key, passphrase)
    (out / f"{args.name}-cert.pem").write_bytes(leaf_cert.public_bytes(serialization.Encoding.PEM))
    print(f"wrote dev-ca-cert.pem, dev-ca-key.pem, {args.name}-cert.pem, {args.name}-key.pem in {out}")
    return 0


def cmd_sign_update(args) -> int:
    key = load_private_pem(pathlib.Path(args.key), passphrase_of(args))
    data = pathlib.Path(args.manifest).read_bytes()
    signature = key.sign(data, padding.PKCS1v15(), hashes.SHA256())
    assert len(signature) == RSA_BITS // 8
    pathlib.Path(args.out or (args.manifest + ".sig")).write_bytes(signature)
    return 0


def raw_ecdsa_signature(key: ec.EllipticCurvePrivateKey, data: bytes) -> bytes:
    """r || s, 32 bytes each, big-endian: BCrypt's ECDSA form, not DER."""
    if not isinstance(key, ec.EllipticCurvePrivateKey) or not isinstance(key.curve, ec.SECP256R1):
        raise ValueError("the key must be a P-256 private key")
    r, s = decode_dss_signature(key.sign(data, ec.ECDSA(hashes.SHA256())))
    return r.to_bytes(32, "big") + s.to_bytes(32, "big")


def cmd_sign_raw_ecdsa(args) -> int:
    key = load_private_pem(pathlib.Path(args.key), passphrase_of(args))
    data = pathlib.Path(args.file).read_bytes()
    try:
        signature = raw_ecdsa_signature(key, data)
    except ValueError as error:
        print(f"sign-raw-ecdsa: {error}", file=sys.stderr)
        return 2
    pathlib.Path(args.out or (args.file + ".sig")).write_bytes(signature)
    return 0


# --- Update packages: manifest "ORVEX-UPDATE-1", patch archive, delta entries ---

UPDATE_MANIFEST_FORMAT = "ORVEX-UPDATE-1"
MAX_UPDATE_VERSION = 32767
MAX_UPDATE_FILE_SIZE = 8 * 1024 ** 3
MAX_ARCHIVE_SIZE = 8 * 1024 ** 3
MAX_UPDATE_PAYLOAD = 16 * 1024 ** 3
MAX_MANIFEST_BYTES = 16 * 1024 ** 2
MAX_MANIFEST_FILES = 20000
# The launcher lists archives of up to 40000 entries but extracts no more than
# 10000, so that is the real limit of one patch.
MAX_ARCHIVE_ENTRIES = 10000
MAX_MANAGED_PATH = 220
UPDATE_SIGNATURE_SIZE = RSA_BITS // 8
UPDATE_AREA = ".orvex-update"
PROTECTED_ROOT_FILES = ("server.ini", "option.ini", "scheduler.ini", "orvex_diagnostic.ini")
# The running launcher cannot be replaced by an install; a new one ships as
# Launcher2.exe, which the running launcher swaps in once it matches the
# Launcher.exe entry of the signed startup manifest.
RUNNING_LAUNCHER = "launcher.exe"
PENDING_LAUNCHER = "Launcher2.exe"
# Client file names that are not ASCII reach manifests percent-encoded, and the
# launcher decodes exactly these (compared in lower case).
PERCENT_ENCODED_CLIENT_NAMES = ("chrselect/upc_ka_wt_ma_y%c3%b6netim.v7anim",)

DELTA_TARGETS = ("ui/ui.src", "fx/fx.src", "object/object.src", "item/item.src")
DELTA_SUFFIX = ".ord"
DELTA_MAGIC = b"ORDELTA1"
DELTA_RECORD = struct.Struct("<QI")  # offset in the target, length of the new bytes
DELTA_MAX_RECORDS = 100000
DELTA_MAX_RANGE = 0xFFFFFFFF
DELTA_MIN_ENTRY = 24
DELTA_SLACK = 2 * 1024 ** 2

OFFLINE_VERSION = 2384
OFFLINE_FOLDER = ("ORVEX", "Patch")
OFFLINE_INSTALLER = "PatchKur.exe"
OFFLINE_SCRIPT = "PATCH_KUR.cmd"

COPY_CHUNK = 1024 * 1024
# Staging paths are <client>\.orvex-update\current\files\<entry> and must stay
# under 260 bytes; longer entry names leave little room for the client folder.
LONG_ENTRY_NAME = 160


def is_safe_relative_path(text: str) -> bool:
    """Every component a plain Windows file name: not rooted, no control or
    reserved character, no empty component, none ending in "." or a blank,
    no DOS device; one trailing separator allowed."""
    if not text or text[0] in "/\\":
        return False
    if any(ord(c) < 0x20 or c in ':*?"<>|' for c in text):
        return False
    components = re.split(r"[/\\]", text)
    if len(components) > 1 and components[-1] == "":
        components.pop()
    for component in components:
        if not component or component[-1] in ". ":
            return False
        stem = component.split(".", 1)[0].rstrip(" ").upper()
        if stem in ("CON", "PRN", "AUX", "NUL"):
            return False
        if len(stem) == 4 and stem[:3] in ("COM", "LPT") and stem[3] in "123456789":
            return False
    return True


def looks_like_short_alias(component: str) -> bool:
    """An 8.3 alias such as SCHEDU~1.INI opens the long-named file; the launcher
    refuses such names at the root, where the protected files live."""
    stem, dot, extension = component.partition(".")
    if not stem or len(stem) > 8 or len(extension) > 3 or "." in extension:
        return False
    return "~" in component


def is_managed_path(text: str) -> bool:
    """A name under which a manifest or archive may name a client file."""
    if not 1 <= len(text) <= MAX_MANAGED_PATH:
        return False
    if any(not 0x20 <= ord(c) <= 0x7E for c in text) or "\\" in text or text.endswith("/"):
        return False
    if not is_safe_relative_path(text):
        return False
    lower = text.lower()
    if lower.startswith(UPDATE_AREA) or lower in PROTECTED_ROOT_FILES:
        return False
    return not looks_like_short_alias(text.split("/", 1)[0])


def managed_path_of(relative: str) -> str:
    """The managed path of a tree file ("/"-separated, relative to the tree)."""
    relative = unicodedata.normalize("NFC", relative)
    if relative.isascii():
        return relative
    encoded = "".join(c if c.isascii() else "".join(f"%{b:02x}" for b in c.encode("utf-8")) for c in relative)
    if encoded.lower() not in PERCENT_ENCODED_CLIENT_NAMES:
        raise PublishError(f"{relative}: the launcher can only install ASCII file names "
                           f"(and {', '.join(PERCENT_ENCODED_CLIENT_NAMES)})")
    return encoded


def is_delta_target(managed: str) -> bool:
    return managed.lower() in DELTA_TARGETS


def file_sha256(path: pathlib.Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for chunk in iter(lambda: stream.read(COPY_CHUNK), b""):
            digest.update(chunk)
    return digest.hexdigest()


def is_hex_digest(text: str) -> bool:
    return len(text) == 64 and all(c in "0123456789abcdef" for c in text)


def check_archive_name(name: str) -> None:
    if not (is_managed_path(name) and "/" not in name and len(name) > 4 and name.endswith(".zip")):
        raise PublishError(f"invalid archive name {name!r}: a plain file name ending in .zip")


def check_update_version(version: int) -> None:
    if not 1 <= version <= MAX_UPDATE_VERSION:
        raise PublishError(f"version {version} is outside 1 to {MAX_UPDATE_VERSION}")


def update_manifest_bytes(version: int, archive: str, archive_sha256: str, archive_size: int, files) -> bytes:
    """The manifest exactly as signed: the format line, five key lines, then one
    "digest<TAB>size<TAB>path" line per file, each ended by one line feed.
    files: (managed path, size, digest text) in manifest order."""
    check_update_version(version)
    check_archive_name(archive)
    if not is_hex_digest(archive_sha256):
        raise PublishError("invalid archive digest")
    if not 1 <= archive_size <= MAX_ARCHIVE_SIZE:
        raise PublishError(f"archive size {archive_size} is outside 1 to {MAX_ARCHIVE_SIZE} bytes")
    if not 1 <= len(files) <= MAX_MANIFEST_FILES:
        raise PublishError(f"{len(files)} files: a manifest lists 1 to {MAX_MANIFEST_FILES}")
    lines = [UPDATE_MANIFEST_FORMAT, f"version\t{version}", f"archive\t{archive}",
             f"archive_sha256\t{archive_sha256}", f"archive_size\t{archive_size}", f"files\t{len(files)}"]
    seen = set()
    total = 0
    for path, size, sha256 in files:
        if not is_managed_path(path) or path.lower() in seen or not is_hex_digest(sha256):
            raise PublishError(f"unsafe or duplicate manifest file {path!r}")
        if not 0 <= size <= MAX_UPDATE_FILE_SIZE:
            raise PublishError(f"{path}: {size} bytes is more than one update file may have")
        seen.add(path.lower())
        total += size
        lines.append(f"{sha256}\t{size}\t{path}")
    if total > MAX_UPDATE_PAYLOAD:
        raise PublishError(f"the files add up to {total} bytes, more than {MAX_UPDATE_PAYLOAD}")
    data = ("\n".join(lines) + "\n").encode("ascii")
    if len(data) > MAX_MANIFEST_BYTES:
        raise PublishError("the manifest is larger than 16 MiB")
    return data


def parse_update_manifest(data: bytes) -> dict:
    """Reads a manifest back under the launcher's rules; PublishError names the
    rule that failed."""
    def number(text: str, maximum: int) -> int:
        if not text or not all("0" <= c <= "9" for c in text) or int(text) > maximum:
            raise PublishError("Invalid manifest number.")
        return int(text)

    if len(data) > MAX_MANIFEST_BYTES or b"\r" in data or b"\0" in data:
        raise PublishError("Invalid manifest encoding.")
    lines = data.decode("latin-1").split("\n")
    if lines and lines[-1] == "":
        lines.pop()  # the line feed that ends the last line
    if not lines or lines[0] != UPDATE_MANIFEST_FORMAT:
        raise PublishError("Unknown update manifest format.")
    values = {}
    for index, key in enumerate(("version", "archive", "archive_sha256", "archive_size", "files"), start=1):
        if index >= len(lines):
            raise PublishError("Manifest is truncated.")
        fields = lines[index].split("\t")
        if len(fields) != 2 or fields[0] != key:
            raise PublishError("Invalid manifest field.")
        values[key] = fields[1]
    version = number(values["version"], MAX_UPDATE_VERSION)
    if version == 0:
        raise PublishError("Invalid update version.")
    archive = values["archive"]
    if not (is_managed_path(archive) and "/" not in archive and len(archive) > 4 and archive.endswith(".zip")):
        raise PublishError("Invalid archive name.")
    if not is_hex_digest(values["archive_sha256"]):
        raise PublishError("Invalid archive digest.")
    archive_size = number(values["archive_size"], MAX_ARCHIVE_SIZE)
    if archive_size == 0:
        raise PublishError("Archive is empty.")
    count = number(values["files"], MAX_MANIFEST_FILES)
    if count == 0:
        raise PublishError("Update file list is empty.")
    files, seen, total = [], set(), 0
    for index in range(6, 6 + count):
        if index >= len(lines):
            raise PublishError("Manifest file list is truncated.")
        fields = lines[index].split("\t")
        if len(fields) != 3 or not is_hex_digest(fields[0]) or not is_managed_path(fields[2]) \
                or fields[2].lower() in seen:
            raise PublishError("Unsafe or duplicate manifest file.")
        size = number(fields[1], MAX_UPDATE_FILE_SIZE)
        total += size
        if total > MAX_UPDATE_PAYLOAD:
            raise PublishError("Update payload is too large.")
        seen.add(fields[2].lower())
        files.append({"path": fields[2], "sha256": fields[0], "size": size})
    if len(lines) > 6 + count:
        raise PublishError("Manifest has unexpected trailing data.")
    return {"version": version, "archive": archive, "archive_sha256": values["archive_sha256"],
            "archive_size": archive_size, "files": files}


def sign_update_bytes(key, data: bytes) -> bytes:
    """The raw 384-byte RSA-3072 PKCS#1 v1.5 SHA-256 signature of data."""
    if not isinstance(key, rsa.RSAPrivateKey) or key.key_size != RSA_BITS:
        raise PublishError(f"the update key must be an RSA-{RSA_BITS} private key")
    signature = key.sign(data, padding.PKCS1v15(), hashes.SHA256())
    assert len(signature) == UPDATE_SIGNATURE_SIZE
    return signature


def is_utf8_name(name: str) -> bool:
    """False for a name whose bytes on disk are not UTF-8 (Python holds those
    bytes as lone surrogates)."""
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def scan_tree(root: pathlib.Path, strict: bool):
    """Managed path -> file for every file under root, and the root files left
    out because no update may write them (protected settings, the update area).
    strict refuses names the launcher would refuse, links, names that are not
    UTF-8, and files that collide with another file or a folder once case is
    ignored (one name on Windows); otherwise such files are just not indexed
    (an old tree is only compared), a name that is not UTF-8 with a warning."""
    if not root.is_dir():
        raise PublishError(f"{root} is not a folder")
    files, lowered, left_out = {}, {}, []
    folders = {}  # lower-case managed folder path -> its name in the tree
    for folder, subfolders, names in os.walk(root):
        here = pathlib.Path(folder)
        subfolders.sort()
        for name in list(subfolders):
            relative = (here / name).relative_to(root).as_posix()
            if not is_utf8_name(relative):
                subfolders.remove(name)
                if strict:
                    raise PublishError(f"{relative!r}: a folder name that is not UTF-8 cannot be published")
                print(f"skipped (a name that is not UTF-8): {relative!r}", file=sys.stderr)
            elif here == root and name.lower().startswith(UPDATE_AREA):
                subfolders.remove(name)
                left_out.append(relative + "/")
            elif (here / name).is_symlink():
                subfolders.remove(name)
                if strict:
                    raise PublishError(f"{relative}: links cannot be published")
        for name in sorted(names):
            path = here / name
            relative = path.relative_to(root).as_posix()
            if not is_utf8_name(relative):
                if strict:
                    raise PublishError(f"{relative!r}: a file name that is not UTF-8 cannot be published")
                print(f"skipped (a name that is not UTF-8): {relative!r}", file=sys.stderr)
                continue
            if here == root and name.lower() in PROTECTED_ROOT_FILES:
                left_out.append(relative)
                continue
            try:
                if path.is_symlink() or not path.is_file():
                    raise PublishError(f"{relative}: only regular files can be published")
                managed = managed_path_of(relative)
                if not is_managed_path(managed):
                    raise PublishError(f"{relative}: the launcher refuses this file name")
                if managed.lower() in lowered:
                    raise PublishError(f"{relative} and {lowered[managed.lower()]} are the same file on Windows")
            except PublishError:
                if strict:
                    raise
                continue
            lowered[managed.lower()] = relative
            files[managed] = path
            parts = managed.split("/")
            for depth in range(1, len(parts)):
                folders.setdefault("/".join(parts[:depth]).lower(), "/".join(relative.split("/")[:depth]))
    # A file named like a folder (case aside) cannot exist beside it on Windows:
    # "readme.txt" and "README.TXT/x", "SOUND" and "sound/a.wav".
    for lower in sorted(set(lowered) & set(folders)):
        if strict:
            raise PublishError(f"{lowered[lower]} and the folder {folders[lower]}/ are the same name on Windows")
        del files[next(managed for managed in files if managed.lower() == lower)]
    return files, left_out


def changed_ranges(old_path: pathlib.Path, new_path: pathlib.Path, new_size: int, gap: int = DELTA_RECORD.size):
    """[offset, end) ranges of the new file that differ from the old one, the
    old file's missing tail included. Equal stretches of at most gap bytes stay
    inside a range: a separate record would cost its 12-byte header anyway."""
    ranges = []

    def add(start: int, end: int) -> None:
        if ranges and start - ranges[-1][1] <= gap:
            ranges[-1][1] = end
        else:
            ranges.append([start, end])

    long_equal = re.compile(b"\x00{%d,}" % (gap + 1))
    with open(old_path, "rb") as old, open(new_path, "rb") as new:
        offset = 0
        while offset < new_size:
            b = new.read(min(COPY_CHUNK, new_size - offset))
            if not b:
                raise PublishError(f"{new_path} changed while it was read")
            a = old.read(len(b))
            if a != b:
                # XOR of the common part: zero bytes are equal bytes.
                x = (int.from_bytes(a, "little") ^ int.from_bytes(b[:len(a)], "little")).to_bytes(len(a), "little")
                position = 0
                for match in list(long_equal.finditer(x)) + [None]:
                    end = match.start() if match else len(x)
                    part = x[position:end]
                    lead = len(part) - len(part.lstrip(b"\0"))
                    trail = len(part) - len(part.rstrip(b"\0"))
                    if lead < len(part):
                        add(offset + position + lead, offset + end - trail)
                    position = match.end() if match else len(x)
                if len(a) < len(b):
                    add(offset + len(a), offset + len(b))
            offset += len(b)
    # A new file that is a prefix of the old one still needs one record.
    if not ranges and new_size > 0:
        ranges.append([new_size - 1, new_size])
    split = []
    for start, end in ranges:
        while end - start > DELTA_MAX_RANGE:
            split.append((start, DELTA_MAX_RANGE))
            start += DELTA_MAX_RANGE
        split.append((start, end - start))
    return split


def fit_record_count(ranges):
    """Merges neighbouring ranges, closest first by doubling the allowed gap,
    until the delta has no more records than the launcher reads."""
    gap = DELTA_RECORD.size
    while len(ranges) > DELTA_MAX_RECORDS:
        gap *= 2
        merged = []
        for offset, length in ranges:
            if merged and offset - (merged[-1][0] + merged[-1][1]) <= gap \
                    and offset + length - merged[-1][0] <= DELTA_MAX_RANGE:
                merged[-1][1] = offset + length - merged[-1][0]
            else:
                merged.append([offset, length])
        ranges = [tuple(r) for r in merged]
    return ranges


def delta_size(ranges) -> int:
    return len(DELTA_MAGIC) + 4 + sum(DELTA_RECORD.size + length for _, length in ranges)


def write_delta(new_path: pathlib.Path, ranges, out_path: pathlib.Path) -> None:
    """"ORDELTA1", the record count, then per range its offset, length and the
    new bytes; integers little-endian."""
    with open(new_path, "rb") as new, open(out_path, "wb") as out:
        out.write(DELTA_MAGIC + struct.pack("<I", len(ranges)))
        for offset, length in ranges:
            out.write(DELTA_RECORD.pack(offset, length))
            new.seek(offset)
            while length:
                chunk = new.read(min(COPY_CHUNK, length))
                if not chunk:
                    raise PublishError(f"{new_path} changed while it was read")
                out.write(chunk)
                length -= len(chunk)


def deflate_shrinks(path: pathlib.Path, size: int) -> bool:
    if size == 0:
        return False
    compressor = zlib.compressobj(6, zlib.DEFLATED, -15)
    packed = 0
    with open(path, "rb") as stream:
        for chunk in iter(lambda: stream.read(COPY_CHUNK), b""):
            packed += len(compressor.compress(chunk))
    return packed + len(compressor.flush()) < size


def zip_date_time(path: pathlib.Path):
    stamp = max(315532800, min(path.stat().st_mtime, 4354819199))  # 1980 to 2107, what ZIP can hold
    return time.gmtime(stamp)[:6]


def write_patch_archive(zip_path: pathlib.Path, entries) -> None:
    """entries: (entry name, source file, zipfile compression) in archive order.
    Regular-file Unix modes, so no entry reads as a link."""
    with zipfile.ZipFile(zip_path, "w", allowZip64=True) as archive:
        for name, source, compression in entries:
            info = zipfile.ZipInfo(name, date_time=zip_date_time(source))
            info.compress_type = compression
            info.external_attr = (stat.S_IFREG | 0o644) << 16
            size = source.stat().st_size
            info.file_size = size
            with open(source, "rb") as src, archive.open(info, "w", force_zip64=size >= 0x7FFF0000) as dst:
                shutil.copyfileobj(src, dst, COPY_CHUNK)


def choose_compression(path: pathlib.Path, size: int, mode: str) -> int:
    if mode == "store" or (mode == "auto" and not deflate_shrinks(path, size)):
        return zipfile.ZIP_STORED
    return zipfile.ZIP_DEFLATED


def build_update(new_files, old_files, version, key, out, archive_name, manifest_name, compression="auto",
                 no_delta=False, force_delta=False):
    """Writes the patch archive of every new or changed file, its manifest and
    signature into out. new_files, old_files: managed path -> file. Returns a
    summary: report lines, archive size, file count, and for the game archives
    the bytes shipped as deltas against the bytes they rebuild."""
    old_by_lower = {managed.lower(): path for managed, path in old_files.items()}
    changed = []  # (managed path, size, digest, new file, old file or None)
    for managed in sorted(new_files):
        path = new_files[managed]
        size = path.stat().st_size
        sha256 = file_sha256(path)
        old = old_by_lower.get(managed.lower())
        if old is not None and old.stat().st_size == size and file_sha256(old) == sha256:
            continue
        if "/" not in managed and managed.lower() == RUNNING_LAUNCHER:
            raise PublishError(f"{managed} is the running launcher and cannot be replaced by an update; "
                               "ship the new launcher as Launcher2.exe")
        changed.append((managed, size, sha256, path, old))
    if not changed:
        raise PublishError("no file differs between the old and the new tree")
    if len(changed) > MAX_ARCHIVE_ENTRIES:
        raise PublishError(f"{len(changed)} changed files: one patch archive carries at most "
                           f"{MAX_ARCHIVE_ENTRIES}")

    out = pathlib.Path(out)
    out.mkdir(parents=True, exist_ok=True)
    delta_bytes = delta_whole = 0
    with tempfile.TemporaryDirectory(dir=out, prefix=".make-update-") as work:
        work = pathlib.Path(work)
        entries, report = [], []
        for index, (managed, size, sha256, path, old) in enumerate(changed):
            name, source, note = managed, path, "whole"
            if is_delta_target(managed) and old is not None and size > 0 and not no_delta:
                ranges = fit_record_count(changed_ranges(old, path, size))
                length = delta_size(ranges)
                usable = DELTA_MIN_ENTRY <= length <= size + DELTA_SLACK
                if usable and (length < size or force_delta):
                    name, source = managed + DELTA_SUFFIX, work / f"{index}.ord"
                    write_delta(path, ranges, source)
                    note = f"delta of {len(ranges)} ranges, {length} of {size} bytes"
                    delta_bytes += length
                    delta_whole += size
            if len(name) > LONG_ENTRY_NAME:
                print(f"warning: {name} is {len(name)} bytes long; the launcher extracts only entries whose "
                      "staging path stays under 260 bytes, so deep client folders may fail", file=sys.stderr)
            entry_size = source.stat().st_size
            method = choose_compression(source, entry_size, compression)
            entries.append((name, source, method))
            label = "deflate" if method == zipfile.ZIP_DEFLATED else "store"
            report.append(f"  {label:7} {name} ({note})")

        staged_zip = work / "archive.zip"
        write_patch_archive(staged_zip, entries)
        archive_size = staged_zip.stat().st_size
        manifest = update_manifest_bytes(version, archive_name, file_sha256(staged_zip), archive_size,
                                         [(m, size, sha) for m, size, sha, _, _ in changed])
        signature = sign_update_bytes(key, manifest)
        (work / "manifest").write_bytes(manifest)
        (work / "manifest.sig").write_bytes(signature)
        # The three names appear together: a signal waits until they have.
        stopping = {signal.SIGINT, signal.SIGTERM}
        previous = signal.pthread_sigmask(signal.SIG_BLOCK, stopping)
        try:
            os.replace(staged_zip, out / archive_name)
            os.replace(work / "manifest", out / manifest_name)
            os.replace(work / "manifest.sig", out / (manifest_name + ".sig"))
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, previous)
    return {"report": report, "archive_size": archive_size, "files": len(changed),
            "delta_bytes": delta_bytes, "delta_whole": delta_whole}


def cmd_make_update(args) -> int:
    # A signal ends it like an error: the temporary folder goes with the
    # unwinding of build_update, and one line says what happened.
    handlers = {number: signal.signal(number, stop_on_signal) for number in (signal.SIGINT, signal.SIGTERM)}
    try:
        check_update_version(args.version)
        archive_name = args.archive_name or f"{args.version}.zip"
        check_archive_name(archive_name)
        manifest_name = args.manifest_name or f"{args.version}.manifest"
        if not is_managed_path(manifest_name) or "/" in manifest_name:
            raise PublishError(f"invalid manifest name {manifest_name!r}")
        key = load_private_pem(pathlib.Path(args.sign_with or args.key), passphrase_of(args))
        if not isinstance(key, rsa.RSAPrivateKey) or key.key_size != RSA_BITS:
            raise PublishError(f"the update key must be an RSA-{RSA_BITS} private key")

        new_files, left_out = scan_tree(pathlib.Path(args.new), strict=True)
        old_files, _ = scan_tree(pathlib.Path(args.old), strict=False)
        for name in left_out:
            print(f"left out (never written by an update): {name}", file=sys.stderr)
        new_lower = {m.lower() for m in new_files}
        for lower in sorted({m.lower() for m in old_files} - new_lower):
            print(f"not in the new tree (an update never deletes): {lower}", file=sys.stderr)
        made = build_update(new_files, old_files, args.version, key, args.out, archive_name, manifest_name,
                            args.compression, args.no_delta, args.force_delta)
    except (PublishError, OSError, ValueError) as error:
        print(f"make-update: {error}", file=sys.stderr)
        return 2
    except Stopped as stop:
        print(f"make-update: stopped by {stop}", file=sys.stderr)
        return 128 + stop.number
    finally:
        for number, handler in handlers.items():
            signal.signal(number, handler)
    print("\n".join(made["report"]))
    print(f"wrote {manifest_name}, {manifest_name}.sig and {archive_name} ({made['archive_size']} bytes, "
          f"{made['files']} files) in {args.out}")
    return 0


def offline_script() -> bytes:
    """The script the installer's location message tells players to open."""
    lines = ["@echo off",
             "rem ORVEX yamasi: ORVEX\\Patch\\PatchKur.exe bu client klasorune kurar.",
             "\"%~dp0ORVEX\\Patch\\PatchKur.exe\""]
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def cmd_make_offline(args) -> int:
    try:
        update_dir = pathlib.Path(args.update_dir)
        manifest_path = update_dir / args.manifest_name
        if manifest_path.stat().st_size > MAX_MANIFEST_BYTES:
            raise PublishError("Update metadata is too large.")
        manifest_bytes = manifest_path.read_bytes()
        signature = (update_dir / (args.manifest_name + ".sig")).read_bytes()
        manifest = parse_update_manifest(manifest_bytes)
        if manifest["version"] != OFFLINE_VERSION and not args.allow_version_mismatch:
            raise PublishError(f"the offline installer installs version {OFFLINE_VERSION}; "
                               f"this manifest is for {manifest['version']}")
        if len(signature) != UPDATE_SIGNATURE_SIZE:
            raise PublishError(f"the signature has {len(signature)} bytes, not {UPDATE_SIGNATURE_SIZE}")
        public_key = None
        if args.verify_key:
            public_key = load_private_pem(pathlib.Path(args.verify_key), passphrase_of(args)).public_key()
            try:
                public_key.verify(signature, manifest_bytes, padding.PKCS1v15(), hashes.SHA256())
            except InvalidSignature:
                raise PublishError("Update signature is invalid.") from None
        archive = update_dir / manifest["archive"]
        if archive.stat().st_size != manifest["archive_size"] or file_sha256(archive) != manifest["archive_sha256"]:
            raise PublishError(f"{archive} does not match the size and digest its manifest signs")
        launcher = pathlib.Path(args.launcher)
        # The installer is this launcher under another name: it checks the
        # update with the key it is built with.
        check_launcher_image(launcher, "--launcher", public_key if args.verify_key else None)

        out = pathlib.Path(args.out)
        patch = out.joinpath(*OFFLINE_FOLDER)
        patch.mkdir(parents=True, exist_ok=True)
        stem = str(OFFLINE_VERSION)
        shutil.copyfile(launcher, patch / OFFLINE_INSTALLER)
        (patch / f"{stem}.manifest").write_bytes(manifest_bytes)
        (patch / f"{stem}.manifest.sig").write_bytes(signature)
        shutil.copyfile(archive, patch / f"{stem}.zip")
        (out / OFFLINE_SCRIPT).write_bytes(offline_script())
        layout = [OFFLINE_SCRIPT] + ["/".join(OFFLINE_FOLDER + (name,)) for name in
                                     (OFFLINE_INSTALLER, f"{stem}.manifest", f"{stem}.manifest.sig", f"{stem}.zip")]
        if args.zip:
            entries = [(name, out / name, zipfile.ZIP_STORED) for name in layout]
            entries = [(name, source, choose_compression(source, source.stat().st_size, "auto"))
                       for name, source, _ in entries]
            write_patch_archive(pathlib.Path(args.zip), entries)
    except (PublishError, OSError, ValueError) as error:
        print(f"make-offline: {error}", file=sys.stderr)
        return 2
    for name in layout:
        print(out / name)
    if args.zip:
        print(f"packed into {args.zip}")
    return 0


# --- Signed client manifests: ORVEX/Startup.manifest and ORVEX/Integrity.manifest ---

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
DEV_MANIFEST_KEY = pathlib.Path(__file__).resolve().parents[1] / "testdata" / "dev" / "manifest-private.pem"


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


# --- Releases: everything one version needs, in one folder the service serves ---

RELEASE_RECORD = "release.json"
# With --next-update-key: the client manifests inside the patch, signed with
# the installed launchers' manifest key (client/ holds the next key's).
PATCH_CLIENT_FOLDER = "client-in-patch"
REPAIR_OBJECTS = "objects"
METADATA_PREFIX = "metadata-v4-"


def release_names(version: int) -> dict:
    """The published file names of one version: the launcher derives the first
    three from the version it asks for, the start-up check the next three."""
    return {"manifest": f"{version}.manifest", "signature": f"{version}.manifest.sig", "archive": f"{version}.zip",
            "metadata": f"{METADATA_PREFIX}{version}.manifest",
            "metadata_signature": f"{METADATA_PREFIX}{version}.manifest.sig",
            "metadata_archive": f"{METADATA_PREFIX}{version}.zip", "catalogue": f"{version}.catalogue"}


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


def apply_delta_file(base: pathlib.Path, delta: bytes, size: int) -> bytes:
    """The file an ORDELTA1 entry rebuilds from base (whole in memory: only
    used to check a release, whose game archives are rebuilt here once)."""
    if delta[:8] != DELTA_MAGIC or len(delta) < DELTA_MIN_ENTRY - DELTA_RECORD.size:
        raise PublishError("delta entry has no ORDELTA1 header")
    (count,) = struct.unpack_from("<I", delta, 8)
    if not 1 <= count <= DELTA_MAX_RECORDS:
        raise PublishError("delta entry has too many records")
    target = bytearray(base.read_bytes()[:size])
    target += bytes(size - len(target))
    offset = 12
    for _ in range(count):
        start, length = DELTA_RECORD.unpack_from(delta, offset)
        offset += DELTA_RECORD.size
        if start + length > size or offset + length > len(delta):
            raise PublishError("delta record reaches past its target or entry")
        target[start:start + length] = delta[offset:offset + length]
        offset += length
    if offset != len(delta):
        raise PublishError("delta entry has trailing bytes")
    return bytes(target)


def check_signed_update(folder: pathlib.Path, manifest_name: str, version: int, update_public, base_files,
                        expected_files=None) -> dict:
    """Reads a signed update back as the launcher installs it: manifest rules,
    the raw signature under the update key, the archive's size and digest, one
    entry per listed file (a delta rebuilt from base_files), every file's size
    and SHA-256. expected_files: managed path -> file the update must carry."""
    manifest_bytes = (folder / manifest_name).read_bytes()
    signature = (folder / (manifest_name + ".sig")).read_bytes()
    manifest = parse_update_manifest(manifest_bytes)
    if len(signature) != UPDATE_SIGNATURE_SIZE:
        raise PublishError(f"{manifest_name}.sig has {len(signature)} bytes, not {UPDATE_SIGNATURE_SIZE}")
    try:
        update_public.verify(signature, manifest_bytes, padding.PKCS1v15(), hashes.SHA256())
    except InvalidSignature:
        raise PublishError(f"{manifest_name}: Update signature is invalid.") from None
    if manifest["version"] != version:
        raise PublishError(f"{manifest_name} is signed for version {manifest['version']}, not {version}")
    archive = folder / manifest["archive"]
    if archive.stat().st_size != manifest["archive_size"] or file_sha256(archive) != manifest["archive_sha256"]:
        raise PublishError(f"{archive.name} does not match the size and digest its manifest signs")
    base_by_lower = {managed.lower(): path for managed, path in base_files.items()}
    with zipfile.ZipFile(archive) as bundle:
        infos = {info.filename: info for info in bundle.infolist()}
        if len(infos) != len(bundle.infolist()) or len(infos) != len(manifest["files"]):
            raise PublishError(f"{archive.name} does not hold exactly one entry per listed file")
        for listed in manifest["files"]:
            path = listed["path"]
            if path in infos:
                digest = hashlib.sha256()
                with bundle.open(infos[path]) as stream:
                    for chunk in iter(lambda: stream.read(COPY_CHUNK), b""):
                        digest.update(chunk)
                actual, size = digest.hexdigest(), infos[path].file_size
            elif path + DELTA_SUFFIX in infos and path.lower() in base_by_lower:
                rebuilt = apply_delta_file(base_by_lower[path.lower()], bundle.read(path + DELTA_SUFFIX),
                                           listed["size"])
                actual, size = hashlib.sha256(rebuilt).hexdigest(), len(rebuilt)
            else:
                raise PublishError(f"{archive.name} has no entry for {path}")
            if actual != listed["sha256"] or size != listed["size"]:
                raise PublishError(f"{archive.name}: {path} does not match its signed size and digest")
            if expected_files is not None and (path not in expected_files or
                                               file_sha256(expected_files[path]) != actual):
                raise PublishError(f"{manifest_name}: {path} is not the file of the new tree")
    return manifest


def copy_hashed(source: pathlib.Path, target: pathlib.Path) -> str:
    """Copies source to target and returns the SHA-256 of the bytes copied."""
    digest = hashlib.sha256()
    with open(source, "rb") as src, open(target, "wb") as dst:
        for chunk in iter(lambda: src.read(COPY_CHUNK), b""):
            digest.update(chunk)
            dst.write(chunk)
    return digest.hexdigest()


def write_repair_store(folder: pathlib.Path, version: int, objects, previous: pathlib.Path):
    """The content store of one version: folder/objects/<digest text> for every
    object (digest -> source file) and folder/<version>.catalogue, the digest
    texts ascending, one a line. An object the previous release already holds
    is hard-linked from there once its bytes hash to its name; a damaged one is
    copied from the new tree instead. Returns (object count, bytes, linked
    count, damaged objects of the previous release)."""
    store = folder / REPAIR_OBJECTS
    store.mkdir()
    total = linked = 0
    damaged = []
    for digest, source in sorted(objects.items()):
        target = store / digest
        earlier = previous / REPAIR_OBJECTS / digest if previous else None
        if earlier is not None and earlier.is_file() and not earlier.is_symlink():
            if earlier.stat().st_size != source.stat().st_size or file_sha256(earlier) != digest:
                damaged.append(earlier)
            else:
                try:
                    os.link(earlier, target)
                    linked += 1
                    total += target.stat().st_size
                    continue
                except OSError:
                    pass  # another file system: copy instead
        if copy_hashed(source, target) != digest:
            raise PublishError(f"{source} changed while the release was written")
        total += target.stat().st_size
    (folder / release_names(version)["catalogue"]).write_bytes(
        "".join(digest + "\n" for digest in sorted(objects)).encode("ascii"))
    return len(objects), total, linked, damaged


def check_release(folder: pathlib.Path, version: int, update_public, manifest_public, old_files, new_files,
                  next_keys=None):
    """Everything in a release folder read back with the launcher's rules.
    new_files: managed path -> file the patch must carry when changed.
    next_keys: (update, manifest) public keys of a new launcher built with
    other keys; the metadata package and the published client manifests are
    then read with those, the patch and its own client manifests with the
    installed launchers' keys."""
    names = release_names(version)
    next_update, next_manifest = next_keys or (update_public, manifest_public)
    client = folder / "client" / CLIENT_MANIFEST_FOLDER
    signed = {name: client / name for name in (STARTUP_MANIFEST_NAME, INTEGRITY_MANIFEST_NAME)}
    shipped = {f"{CLIENT_MANIFEST_FOLDER}/{name}": path for name, path in signed.items()}
    in_patch = folder / PATCH_CLIENT_FOLDER / CLIENT_MANIFEST_FOLDER if next_keys else client
    in_patch = {f"{CLIENT_MANIFEST_FOLDER}/{name}": in_patch / name for name in signed}
    patch = check_signed_update(folder, names["manifest"], version, update_public, old_files,
                                {**new_files, **in_patch})
    metadata = check_signed_update(folder, names["metadata"], version, next_update, {}, shipped)
    if sorted(f["path"] for f in metadata["files"]) != sorted(shipped):
        raise PublishError("the metadata package must carry exactly the two client manifests")
    startup = read_client_manifest(signed[STARTUP_MANIFEST_NAME].read_bytes(), next_manifest, False)
    entries = startup + read_client_manifest(signed[INTEGRITY_MANIFEST_NAME].read_bytes(), next_manifest, True)
    if next_keys:
        patch_startup = read_client_manifest(in_patch[f"{CLIENT_MANIFEST_FOLDER}/{STARTUP_MANIFEST_NAME}"]
                                             .read_bytes(), manifest_public, False)
        patch_integrity = read_client_manifest(in_patch[f"{CLIENT_MANIFEST_FOLDER}/{INTEGRITY_MANIFEST_NAME}"]
                                               .read_bytes(), manifest_public, True)
        if patch_startup + patch_integrity != entries:
            raise PublishError("the client manifests in the patch list other files than the published ones")
        startup = patch_startup
    # The swap runs a pending launcher only when it is the Launcher.exe the
    # signed startup manifest in the patch names, byte for byte.
    pending = [f for f in patch["files"] if f["path"].lower() == PENDING_LAUNCHER.lower()]
    named = [(size, digest) for name, size, digest in startup if name.lower() == RUNNING_LAUNCHER]
    if pending and named[:1] != [(pending[0]["size"], pending[0]["sha256"])]:
        raise PublishError(f"{PENDING_LAUNCHER} in the patch is not the Launcher.exe the signed startup manifest "
                           "names: the launcher would refuse to run it")
    sizes = {}
    for name, size, digest in entries:
        if sizes.setdefault(digest, size) != size:
            raise PublishError("Signed repair objects have conflicting sizes.")
    catalogue = (folder / names["catalogue"]).read_text(encoding="ascii").split("\n")
    if catalogue[-1] != "" or catalogue[:-1] != sorted(set(catalogue[:-1])):
        raise PublishError("the repair catalogue is not ascending, unique and line-ended")
    expected = {digest for _, _, digest in entries} | {file_sha256(path) for path in signed.values()}
    if set(catalogue[:-1]) != expected:
        raise PublishError("the repair catalogue does not list exactly the client manifests' objects")
    for digest in sorted(expected):
        stored = folder / REPAIR_OBJECTS / digest
        if not stored.is_file() or (digest in sizes and stored.stat().st_size != sizes[digest]):
            raise PublishError(f"repair object {digest} is missing or has the wrong size")
        if file_sha256(stored) != digest:
            raise PublishError(f"repair object {digest} does not hash to its name")


# --- Launcher images: what --launcher and --offline-launcher must be ---

IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_DLL = 0x2000
IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_PLUS_MAGIC = 0x20B
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2
IMAGE_SCN_CNT_CODE = 0x00000020
IMAGE_SCN_MEM_EXECUTE = 0x20000000
MAX_LAUNCHER_BYTES = 512 * 1024 ** 2
# The optional header of a PE32+ image up to its data directories.
PE32_PLUS_OPTIONAL_MIN = 112


def launcher_image_problem(data: bytes):
    """What keeps data from being a launcher Windows would start, or None: a
    PE32+ executable image for x86-64, GUI subsystem (the launcher is a window;
    a console image would open a console beside it), with at least one code
    section that has bytes in the file. Every offset is checked against the
    length first: a hostile file fails with a message, never an exception."""
    def u16(offset):
        return struct.unpack_from("<H", data, offset)[0] if offset + 2 <= len(data) else None

    def u32(offset):
        return struct.unpack_from("<I", data, offset)[0] if offset + 4 <= len(data) else None

    if len(data) < 64 or data[:2] != b"MZ":
        return "not a Windows executable (no MZ header)"
    pe = u32(0x3C)
    if pe < 64 or pe + 24 > len(data) or data[pe:pe + 4] != b"PE\0\0":
        return "no PE header (an MZ file but not a Windows image)"
    machine, sections, optional_size, characteristics = u16(pe + 4), u16(pe + 6), u16(pe + 20), u16(pe + 22)
    if machine != IMAGE_FILE_MACHINE_AMD64:
        return f"built for machine 0x{machine:04x}, not x86-64 (0x8664)"
    if not characteristics & IMAGE_FILE_EXECUTABLE_IMAGE:
        return "not marked as an executable image"
    if characteristics & IMAGE_FILE_DLL:
        return "a DLL, not an executable"
    optional = pe + 24
    if optional_size < PE32_PLUS_OPTIONAL_MIN or optional + optional_size > len(data):
        return "truncated optional header"
    if u16(optional) != PE32_PLUS_MAGIC:
        return f"optional header magic 0x{u16(optional):x}, not PE32+ (0x20b)"
    subsystem = u16(optional + 68)
    if subsystem != IMAGE_SUBSYSTEM_WINDOWS_GUI:
        return f"subsystem {subsystem}, not the Windows GUI subsystem (2)"
    table = optional + optional_size
    if not 1 <= sections <= 96 or table + 40 * sections > len(data):
        return "truncated or empty section table"
    for index in range(sections):
        entry = table + 40 * index
        raw_size, raw_pointer, flags = u32(entry + 16), u32(entry + 20), u32(entry + 36)
        if flags & (IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE) and raw_size > 0 and raw_pointer > 0 \
                and raw_pointer + raw_size <= len(data):
            return None
    return "no code section with bytes in the file (a debug-information image?)"


def embeds_key_blob(data: bytes, blob: bytes) -> bool:
    """The launcher compiles each public-key blob in as a byte array. The
    compiler keeps it as one run of bytes or, for a small array, builds it from
    64-bit immediates in the code: every aligned 8-byte piece then appears in
    the image on its own."""
    if blob in data:
        return True
    return all(blob[start:start + 8] in data for start in range(0, len(blob), 8))


def check_launcher_image(path, option: str, update_public=None, manifest_public=None) -> bytes:
    """The bytes of a launcher image given with option; PublishError names the
    file and what is wrong with it, including a missing public key (given
    keys only)."""
    path = pathlib.Path(path)
    try:
        if not path.is_file():
            raise PublishError(f"{option} {path}: no such file")
        if path.stat().st_size > MAX_LAUNCHER_BYTES:
            raise PublishError(f"{option} {path}: larger than {human(MAX_LAUNCHER_BYTES)}, not a launcher")
        data = path.read_bytes()
    except OSError as error:
        raise PublishError(f"{option} {path}: {error.strerror}") from None
    problem = launcher_image_problem(data)
    if problem:
        raise PublishError(f"{option} {path} is not a launcher Windows can start: {problem}")
    for kind, public, blob_of in (("update", update_public, rsa_public_blob),
                                  ("manifest", manifest_public, ecc_public_blob)):
        if public is not None and not embeds_key_blob(data, blob_of(public)):
            raise PublishError(f"{option} {path} is not built with the {kind} key this release is signed for "
                               f"(its {kind}-key.blob is not in the image)")
    return data


def release_launcher(new_files, old_files, given, keys=(None, None)):
    """Where the new version's launcher goes: (managed path -> file for the
    signed manifests and repair objects, the same for the patch, the launcher
    shipped as Launcher2.exe or None). given is --launcher, which must be an
    image built with keys (update, manifest public keys); without it a root
    Launcher.exe of the new tree must equal the old tree's."""
    lower = {managed.lower(): managed for managed in new_files}
    if PENDING_LAUNCHER.lower() in lower:
        raise PublishError(f"{lower[PENDING_LAUNCHER.lower()]} in the new tree: a new launcher travels under that "
                           "name; give it as Launcher.exe with --launcher")
    in_tree = new_files.get(lower.get(RUNNING_LAUNCHER))
    old = next((path for managed, path in old_files.items() if managed.lower() == RUNNING_LAUNCHER), None)
    launcher = in_tree
    if given is not None:
        launcher = pathlib.Path(given)
        check_launcher_image(launcher, "--launcher", *keys)
        if in_tree is not None and file_sha256(in_tree) != file_sha256(launcher):
            raise PublishError(f"{lower[RUNNING_LAUNCHER]} of the new tree is not the launcher given with --launcher")
    signed = {managed: path for managed, path in new_files.items() if managed.lower() != RUNNING_LAUNCHER}
    patch = dict(signed)
    if launcher is None:
        return signed, patch, None
    signed["Launcher.exe"] = launcher
    if old is not None and file_sha256(old) == file_sha256(launcher):
        return signed, patch, None
    if given is None:
        raise PublishError(f"{lower[RUNNING_LAUNCHER]} of the new tree is another launcher than the old tree's; "
                           "a new launcher is released with --launcher (it ships as Launcher2.exe)")
    patch[PENDING_LAUNCHER] = launcher
    return signed, patch, launcher


def check_old_tree(previous: pathlib.Path, old_files, manifest_public, excludes) -> int:
    """Refuses an old tree that is not what the clients of the previous release
    hold: every file its signed client manifests list (verified first under the
    manifest key, the one the installed launchers check) must be in the old
    tree with that size and SHA-256, and the old tree must hold no other file
    (the manifests themselves, a pending launcher and the previous release's
    --exclude patterns aside). A root Launcher.exe may be missing: trees are
    often kept without it. Returns the number of files compared."""
    listed = {}
    client = previous / "client" / CLIENT_MANIFEST_FOLDER
    for name, integrity in ((STARTUP_MANIFEST_NAME, False), (INTEGRITY_MANIFEST_NAME, True)):
        try:
            data = (client / name).read_bytes()
        except OSError as error:
            raise PublishError(f"{client / name}: {error.strerror}; the old tree cannot be checked against "
                               f"release {previous.name}") from None
        try:
            entries = read_client_manifest(data, manifest_public, integrity)
        except PublishError as error:
            raise PublishError(f"{client / name} of release {previous.name}: {error} (--manifest-key must be "
                               "the key the installed launchers hold)") from None
        listed.update({entry_name.lower(): (entry_name, size, digest) for entry_name, size, digest in entries})
    old_by_lower = {managed.lower(): (managed, path) for managed, path in old_files.items()}
    for lower in sorted(listed):
        name, size, digest = listed[lower]
        if lower not in old_by_lower:
            if lower == RUNNING_LAUNCHER:
                continue
            raise PublishError(f"--old: {name} is missing; release {previous.name} lists it: the old tree is not "
                               f"the client of {previous.name}")
        path = old_by_lower[lower][1]
        actual_size = path.stat().st_size
        if actual_size != size:
            raise PublishError(f"--old: {name} has {actual_size} bytes, release {previous.name} lists {size}: "
                               f"the old tree is not the client of {previous.name}")
        actual = file_sha256(path)
        if actual != digest:
            raise PublishError(f"--old: {name} has SHA-256 {actual}, release {previous.name} lists {digest}: "
                               f"the old tree is not the client of {previous.name}")
    own = {f"{CLIENT_MANIFEST_FOLDER}/{name}".lower() for name in (STARTUP_MANIFEST_NAME, INTEGRITY_MANIFEST_NAME)}
    for lower in sorted(set(old_by_lower) - set(listed) - own - {PENDING_LAUNCHER.lower()}):
        if any(fnmatch.fnmatchcase(lower, pattern.lower()) for pattern in excludes):
            continue
        raise PublishError(f"--old: {old_by_lower[lower][0]} is not in release {previous.name}: the old tree is not "
                           f"the client of {previous.name}")
    return len(listed)


def outside_links(new_files, old_files):
    """Files of the new tree with more hard links than the two trees hold:
    another name outside them can change the published bytes."""
    seen = collections.Counter()
    for path in {os.path.abspath(p) for p in (*new_files.values(), *old_files.values())}:
        info = os.stat(path)
        seen[(info.st_dev, info.st_ino)] += 1
    found = []
    for managed, path in sorted(new_files.items()):
        info = path.stat()
        if info.st_nlink > seen[(info.st_dev, info.st_ino)]:
            found.append((managed, info.st_nlink))
    return found


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


def human(count: int) -> str:
    for unit in ("bytes", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return f"{count} {unit}" if unit == "bytes" else f"{count:.1f} {unit}"
        count /= 1024


class Stopped(BaseException):
    """SIGINT or SIGTERM while a release is written."""

    def __init__(self, number):
        super().__init__(signal.Signals(number).name)
        self.number = number


def stop_on_signal(number, _frame):
    raise Stopped(number)


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


def cmd_release(args) -> int:
    parent = pathlib.Path(args.out)
    folder = parent / str(args.version)
    work = lock = old_checked = None
    # Both signals end the release like an error: the partial folder goes.
    handlers = {number: signal.signal(number, stop_on_signal) for number in (signal.SIGINT, signal.SIGTERM)}
    try:
        check_update_version(args.version)
        check_update_version(args.previous)
        if args.previous >= args.version:
            raise PublishError(f"version {args.version} must be above the previous version {args.previous}")
        passphrase = passphrase_of(args)
        update_key = load_private_pem(pathlib.Path(args.update_key), passphrase)
        if not isinstance(update_key, rsa.RSAPrivateKey) or update_key.key_size != RSA_BITS:
            raise PublishError(f"--update-key must be an RSA-{RSA_BITS} private key")
        manifest_key = load_private_pem(pathlib.Path(args.manifest_key), passphrase)
        if not isinstance(manifest_key, ec.EllipticCurvePrivateKey) or not isinstance(manifest_key.curve,
                                                                                      ec.SECP256R1):
            raise PublishError("--manifest-key must be a P-256 private key")
        next_update_key, next_manifest_key = update_key, manifest_key
        next_keys = bool(args.next_update_key or args.next_manifest_key)
        if next_keys:
            if not (args.next_update_key and args.next_manifest_key and args.launcher):
                raise PublishError("--next-update-key and --next-manifest-key go together, with the --launcher "
                                   "built with them")
            next_update_key = load_private_pem(pathlib.Path(args.next_update_key), passphrase)
            next_manifest_key = load_private_pem(pathlib.Path(args.next_manifest_key), passphrase)
            if not isinstance(next_update_key, rsa.RSAPrivateKey) or next_update_key.key_size != RSA_BITS:
                raise PublishError(f"--next-update-key must be an RSA-{RSA_BITS} private key")
            if not isinstance(next_manifest_key, ec.EllipticCurvePrivateKey) or \
                    not isinstance(next_manifest_key.curve, ec.SECP256R1):
                raise PublishError("--next-manifest-key must be a P-256 private key")
        for blob_path, expected in ((args.update_blob, rsa_public_blob(update_key.public_key())),
                                    (args.manifest_blob, ecc_public_blob(manifest_key.public_key()))):
            if blob_path and pathlib.Path(blob_path).read_bytes() != expected:
                raise PublishError(f"{blob_path} is not the public key of the signing key given: "
                                   "launchers built with it would refuse this release")

        new_tree, old_tree = pathlib.Path(args.new), pathlib.Path(args.old)
        new_files, left_out = scan_tree(new_tree, strict=True)
        old_files, _ = scan_tree(old_tree, strict=False)
        for name in left_out:
            print(f"left out (never written by an update): {name}", file=sys.stderr)
        own = {f"{CLIENT_MANIFEST_FOLDER}/{name}".lower() for name in (STARTUP_MANIFEST_NAME, INTEGRITY_MANIFEST_NAME)}
        new_files = {m: p for m, p in new_files.items() if m.lower() not in own}
        # The launcher shipped must hold the keys its manifests are signed
        # with; the offline installer checks the patch with the current ones.
        launcher_keys = (next_update_key.public_key(), next_manifest_key.public_key())
        new_files, patch_files, launcher = release_launcher(new_files, old_files, args.launcher, launcher_keys)
        if next_keys and launcher is None:
            raise PublishError(f"--launcher {args.launcher} is the Launcher.exe of the old tree, the launcher players "
                               "already have: it holds none of the next keys, and the client manifests and metadata "
                               "package signed with them would be refused by every installed launcher")
        if args.offline_launcher:
            check_launcher_image(args.offline_launcher, "--offline-launcher", update_key.public_key(),
                                 manifest_key.public_key())
        for managed, links in outside_links(new_files, old_files):
            print(f"warning: {managed} of the new tree has {links} hard links, some outside the old and new trees: "
                  "its bytes are published as read now, whatever is later written through the other names",
                  file=sys.stderr)
        # A Launcher2.exe left in the old tree must not pass for the one shipped.
        patch_base = {m: p for m, p in old_files.items() if m.lower() != PENDING_LAUNCHER.lower()}

        if not parent.is_dir():
            parent.mkdir(parents=True)
            os.chmod(parent, 0o755)
        # One command at a time writes the releases folder; under the lock,
        # partial folders are leftovers and the version's name is final.
        lock = take_publish_lock(parent, f"release {args.version}")
        if folder.exists():
            raise PublishError(f"version {args.version} is already published in {folder}; "
                               "a published version is never rewritten, release a new version instead")
        previous = parent / str(args.previous)
        if previous.is_dir():
            try:
                excludes = json.loads((previous / RELEASE_RECORD).read_text(encoding="utf-8")).get("exclude", [])
            except (OSError, ValueError):
                excludes = []
            old_checked = check_old_tree(previous, old_files, manifest_key.public_key(), excludes)
        # A signal between the folder's creation and its name reaching `work`
        # would leave it behind: hold both signals until the clean-up knows it.
        stopping = {signal.SIGINT, signal.SIGTERM}
        signal.pthread_sigmask(signal.SIG_BLOCK, stopping)
        try:
            work = pathlib.Path(tempfile.mkdtemp(dir=parent, prefix=f".{args.version}.partial-"))
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, stopping)
        names = release_names(args.version)

        # The client manifests of the new tree, signed, ship in the patch and
        # alone in the metadata package that restores them at start-up. A new
        # launcher built with other keys gets the package and the published
        # manifests signed with those: the installed launchers check the patch
        # and the new launcher in it with the old keys, the new launcher
        # finds manifests it cannot verify and restores them from the package.
        startup, integrity = client_manifest_sets(new_tree, args.exclude or [], new_files)

        def signed_manifests(folder, key):
            folder.mkdir(parents=True)
            (folder / STARTUP_MANIFEST_NAME).write_bytes(
                signed_client_manifest(key, startup_manifest_body(startup)))
            (folder / INTEGRITY_MANIFEST_NAME).write_bytes(
                signed_client_manifest(key, integrity_manifest_body(args.build_stamp, integrity)))
            return {f"{CLIENT_MANIFEST_FOLDER}/{name}": folder / name
                    for name in (STARTUP_MANIFEST_NAME, INTEGRITY_MANIFEST_NAME)}

        shipped = signed_manifests(work / "client" / CLIENT_MANIFEST_FOLDER, next_manifest_key)
        in_patch = shipped
        if next_keys:
            in_patch = signed_manifests(work / PATCH_CLIENT_FOLDER / CLIENT_MANIFEST_FOLDER, manifest_key)

        patch = build_update({**patch_files, **in_patch}, patch_base, args.version, update_key, work,
                             names["archive"], names["manifest"], args.compression, args.no_delta)
        metadata = build_update(shipped, {}, args.version, next_update_key, work, names["metadata_archive"],
                                names["metadata"])

        objects = {digest.hex(): new_files[name] for name, _, digest in startup + integrity}
        objects.update({file_sha256(path): path for path in shipped.values()})
        object_count, object_bytes, linked, damaged = write_repair_store(work, args.version, objects,
                                                                         previous if previous.is_dir() else None)
        for path in damaged:
            print(f"warning: {path} does not hash to its name: copied from the new tree instead; "
                  f"repair release {args.previous} with orvex-publish verify --repair", file=sys.stderr)
        check_release(work, args.version, update_key.public_key(), manifest_key.public_key(), patch_base,
                      patch_files, next_keys and (next_update_key.public_key(), next_manifest_key.public_key()))

        if args.offline_launcher:
            with contextlib.redirect_stdout(io.StringIO()):
                status = cmd_make_offline(argparse.Namespace(
                    update_dir=str(work), manifest_name=names["manifest"], launcher=args.offline_launcher,
                    out=str(work / "offline"), verify_key=None, zip=str(work / "offline" / "Patch.zip"),
                    allow_version_mismatch=False))
            if status != 0:
                raise PublishError("the offline bundle was refused (see above)")

        published = {}
        for path in sorted(work.rglob("*")):
            if path.is_file() and path.parent.name != REPAIR_OBJECTS:
                published[path.relative_to(work).as_posix()] = {"size": path.stat().st_size,
                                                                 "sha256": file_sha256(path)}
        record = {"version": args.version, "previous": args.previous, "files": published,
                  "repair_objects": object_count, "repair_bytes": object_bytes, "exclude": args.exclude or []}
        (work / RELEASE_RECORD).write_text(json.dumps(record, indent=1) + "\n", encoding="ascii")
        # Published by one rename: the service never sees half a release, and a
        # second release of the same version finds the folder and stops. Every
        # byte is on disk before the name appears, and the name once it has.
        publish_modes(work)
        flush_tree(work)
        # Past the rename the version is published: a signal must not report otherwise.
        signal.pthread_sigmask(signal.SIG_BLOCK, stopping)
        os.rename(work, folder)
        work = None
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, stopping)
        flush_folder(parent)
    except (PublishError, OSError, ValueError) as error:
        print(f"release: {error}", file=sys.stderr)
        return 2
    except Stopped as stop:
        print(f"release: stopped by {stop}; {args.version} was not published", file=sys.stderr)
        return 128 + stop.number
    finally:
        # A second signal must not cut the clean-up short.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT, signal.SIGTERM})
        if work is not None:
            shutil.rmtree(work, ignore_errors=True)
        if lock is not None:
            os.close(lock)
        for number, handler in handlers.items():
            signal.signal(number, handler)

    saved = patch["delta_whole"] - patch["delta_bytes"]
    total = sum(entry["size"] for entry in published.values()) + object_bytes
    print(f"release {args.version} (patch from {args.previous}) in {folder}")
    if old_checked is None:
        print(f"  old tree  not checked: release {args.previous} is not in {parent} (the first release there); "
              "the patch is made against --old as given")
    else:
        print(f"  old tree  the client of {args.previous}: all {old_checked} files its signed client manifests list")
    print(f"  patch     {names['archive']}: {patch['files']} files, {human(patch['archive_size'])}; "
          f"{names['manifest']} + .sig")
    print("\n".join("  " + line for line in patch["report"]))
    print(f"  deltas    {human(patch['delta_bytes'])} instead of {human(patch['delta_whole'])} "
          f"(saved {human(saved)})")
    print(f"  metadata  {names['metadata_archive']}: {metadata['files']} files; {names['metadata']} + .sig")
    print(f"  client    client/ORVEX/{STARTUP_MANIFEST_NAME}: {len(startup)} files; "
          f"client/ORVEX/{INTEGRITY_MANIFEST_NAME}: {len(integrity)} data tables")
    print(f"  repair    {names['catalogue']}: {object_count} objects, {human(object_bytes)}"
          f"{f' ({linked} linked from {args.previous})' if linked else ''}")
    if launcher is not None:
        print(f"  launcher  {launcher} as {PENDING_LAUNCHER}, named Launcher.exe in the signed manifests "
              "(the running launcher swaps it in)")
    if args.offline_launcher:
        print("  offline   offline/Patch.zip")
    print(f"  total     {len(published) + object_count} files, {human(total)}; checked with the launcher's rules")
    return 0


# --- verify: every published byte of a releases folder against its record ---

def release_folders(parent: pathlib.Path):
    return sorted((path for path in parent.iterdir() if path.name.isdigit() and path.is_dir()),
                  key=lambda path: int(path.name))


def repair_object(target: pathlib.Path, digest: str, source: pathlib.Path) -> bool:
    """Writes source's bytes as target when they hash to digest: a new file
    (0644) renamed over target, so the damaged inode, which other releases may
    share as a hard link, is replaced, never written through."""
    descriptor, temporary = tempfile.mkstemp(dir=target.parent, prefix=f".{digest[:16]}.repair-")
    try:
        with os.fdopen(descriptor, "wb") as stream:
            hashed = copy_into(source, stream)
            stream.flush()
            os.fsync(stream.fileno())
        if hashed != digest:
            os.unlink(temporary)
            return False
        os.chmod(temporary, 0o644)
        os.replace(temporary, target)
        flush_folder(target.parent)
        return True
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def copy_into(source: pathlib.Path, stream) -> str:
    digest = hashlib.sha256()
    with open(source, "rb") as src:
        for chunk in iter(lambda: src.read(COPY_CHUNK), b""):
            digest.update(chunk)
            stream.write(chunk)
    return digest.hexdigest()


def cmd_verify(args) -> int:
    """Every release folder under --out: each published file against the size
    and SHA-256 release.json records, each signed update's archive against its
    manifest, each catalogue entry present, each object hashing to its name.
    With --repair a damaged or missing object is rewritten from a good copy
    (another release's object, or a file of a --from tree with that digest)."""
    parent = pathlib.Path(args.out)
    if not parent.is_dir():
        raise PublishError(f"{parent} is not a folder")
    lock = take_publish_lock(parent, "verify --repair") if args.repair else None
    try:
        if lock is not None:
            # Under the lock, a repair's temporary file is a leftover of one that was killed.
            for stale in sorted(parent.glob(f"*/{REPAIR_OBJECTS}/.*.repair-*")):
                stale.unlink()
                print(f"verify: removed {stale}: left by a repair that did not finish", file=sys.stderr)
        problems, bad_objects = [], []  # bad_objects: (release folder, digest)
        hashed = {}  # (device, inode) -> digest: objects hard-linked across releases are read once
        good = {}  # digest -> an object file that hashes to it
        folders = release_folders(parent)
        for folder in folders:
            try:
                record = json.loads((folder / RELEASE_RECORD).read_text(encoding="utf-8"))
                files = record["files"]
            except (OSError, ValueError, KeyError, TypeError) as error:
                problems.append(f"{folder / RELEASE_RECORD}: unreadable ({error})")
                files = {}
            for name, entry in sorted(files.items()):
                path = folder / name
                if not path.is_file():
                    problems.append(f"{path}: missing")
                elif path.stat().st_size != entry.get("size"):
                    problems.append(f"{path}: {path.stat().st_size} bytes, release.json records {entry.get('size')}")
                elif "sha256" in entry and file_sha256(path) != entry["sha256"]:
                    problems.append(f"{path}: does not hash to the SHA-256 release.json records")
            names = release_names(int(folder.name))
            for manifest_name in (names["manifest"], names["metadata"]):
                try:
                    manifest = parse_update_manifest((folder / manifest_name).read_bytes())
                    archive = folder / manifest["archive"]
                    if archive.stat().st_size != manifest["archive_size"] or \
                            file_sha256(archive) != manifest["archive_sha256"]:
                        problems.append(f"{archive}: does not match the size and SHA-256 {manifest_name} signs")
                except (OSError, PublishError) as error:
                    problems.append(f"{folder / manifest_name}: {error}")
            try:
                catalogue = (folder / names["catalogue"]).read_text(encoding="ascii").split()
            except (OSError, ValueError) as error:
                problems.append(f"{folder / names['catalogue']}: {error}")
                catalogue = []
            store = folder / REPAIR_OBJECTS
            present = {path.name: path for path in store.iterdir()} if store.is_dir() else {}
            for digest in sorted(set(catalogue) | set(present)):
                path = store / digest
                if digest not in present:
                    problems.append(f"{path}: missing (listed in {names['catalogue']})")
                    bad_objects.append((folder, digest))
                    continue
                if not is_hex_digest(digest) or not path.is_file() or path.is_symlink():
                    problems.append(f"{path}: not an object")
                    continue
                info = path.stat()
                actual = hashed.get((info.st_dev, info.st_ino))
                if actual is None:
                    actual = hashed[(info.st_dev, info.st_ino)] = file_sha256(path)
                if actual == digest:
                    good.setdefault(digest, path)
                else:
                    problems.append(f"{path}: does not hash to its name")
                    bad_objects.append((folder, digest))
                if digest not in catalogue:
                    problems.append(f"{path}: not listed in {names['catalogue']}")
        for problem in problems:
            print(f"verify: {problem}", file=sys.stderr)
        if not args.repair or not bad_objects:
            print(f"verify: {len(folders)} releases, {len(good)} objects checked; "
                  f"{len(problems)} problems" + ("" if problems else ", every byte as published"))
            return 1 if problems else 0

        in_tree = {}
        if args.source:
            files, _ = scan_tree(pathlib.Path(args.source), strict=False)
            wanted = {digest for _, digest in bad_objects}
            for path in files.values():
                digest = file_sha256(path)
                if digest in wanted:
                    in_tree.setdefault(digest, path)
        unrepaired = 0
        for folder, digest in bad_objects:
            target = folder / REPAIR_OBJECTS / digest
            repaired = None
            for source in (good.get(digest), in_tree.get(digest)):
                try:
                    if source is not None and repair_object(target, digest, source):
                        repaired = source
                        break
                except OSError as error:
                    print(f"verify: {target}: not repaired from {source}: {error}", file=sys.stderr)
            if repaired is not None:
                print(f"verify: repaired {target} from {repaired}")
            else:
                unrepaired += 1
                print(f"verify: {target}: no good copy (give the client tree that holds it with --from)",
                      file=sys.stderr)
        others = len(problems) - len(bad_objects)
        print(f"verify: {len(bad_objects) - unrepaired} of {len(bad_objects)} objects repaired; "
              f"{others} other problems")
        return 1 if unrepaired or others else 0
    finally:
        if lock is not None:
            os.close(lock)


# --- Deployment values a launcher build compiles in ---

def dotted_ipv4(text: str) -> bool:
    """Four decimal numbers 0 to 255 without leading zeros: the launcher
    compares these addresses character for character."""
    parts = text.split(".")
    return len(parts) == 4 and all(part.isascii() and part.isdigit() and str(int(part)) == part
                                   and int(part) <= 255 for part in parts)


def url_problem(name: str, url: str, path_rule, port=None):
    """What is wrong with an https URL for the launcher, or None."""
    parsed = urllib.parse.urlsplit(url)
    try:
        actual_port = parsed.port
    except ValueError:
        return f"{name} {url!r} has an invalid port"
    if parsed.scheme != "https" or not parsed.hostname or parsed.username or parsed.password:
        return f"{name} {url!r} must be an https URL with a host and without credentials"
    if parsed.query or parsed.fragment or "?" in url or "#" in url:
        return f"{name} {url!r} must not carry a query or fragment"
    if port is not None and actual_port != port:
        return f"{name} {url!r} must name port {port} explicitly"
    return path_rule(parsed.path)


def key_blob_problem(name: str, path: pathlib.Path, kind: str):
    """Parses a public-key blob the way BCrypt imports it; None when sound."""
    try:
        data = path.read_bytes()
    except OSError as error:
        return f"{name} {path}: {error.strerror}"
    try:
        if kind == "rsa":
            magic, bits, exponent_size, modulus_size, prime1, prime2 = struct.unpack_from("<6I", data)
            if magic != RSA_PUBLIC_MAGIC or bits != RSA_BITS or modulus_size != RSA_BITS // 8 or prime1 or prime2 \
                    or not 1 <= exponent_size <= 8 or len(data) != 24 + exponent_size + modulus_size:
                return f"{name} {path} is not an RSA-{RSA_BITS} RSAPUBLICBLOB (RSA1 header, exponent, modulus)"
            exponent = int.from_bytes(data[24:24 + exponent_size], "big")
            modulus = int.from_bytes(data[24 + exponent_size:], "big")
            if modulus.bit_length() != RSA_BITS:
                return f"{name} {path}: the modulus is not {RSA_BITS} bits long"
            rsa.RSAPublicNumbers(exponent, modulus).public_key()
        else:
            magic, size = struct.unpack_from("<2I", data)
            if magic != ECDSA_P256_PUBLIC_MAGIC or size != 32 or len(data) != 72:
                return f"{name} {path} is not a P-256 ECCPUBLICBLOB (ECS1 header, X, Y)"
            ec.EllipticCurvePublicNumbers(int.from_bytes(data[8:40], "big"), int.from_bytes(data[40:], "big"),
                                          ec.SECP256R1()).public_key()
    except (struct.error, ValueError) as error:
        return f"{name} {path} does not hold a valid public key: {error}"
    return None


def cmd_check_deployment(args) -> int:
    problems = []
    if args.login_host is not None and not dotted_ipv4(args.login_host):
        problems.append(f"login host {args.login_host!r} must be a dotted IPv4 address such as 203.0.113.5")
    for host in args.fallback_host or []:
        if not dotted_ipv4(host):
            problems.append(f"fallback host {host!r} must be a dotted IPv4 address")
    exact_cdn = lambda path: None if path == "/orvex-patch/" else "the path must be exactly /orvex-patch/"
    ends_cdn = lambda path: None if path.endswith("/orvex-patch/") else "the path must end in /orvex-patch/"
    exact_retired = lambda path: None if path == "/patch/" else "the path must be exactly /patch/"
    for name, url, rule, port in (("CDN URL", args.cdn_url, exact_cdn, None),
                                  ("patch base URL", args.base_url, ends_cdn, None),
                                  ("retired patch URL", args.retired_url, exact_retired, 5443)):
        if url is not None:
            problem = url_problem(name, url, rule, port)
            if problem:
                problems.append(problem if problem.startswith(name) else f"{name} {url!r}: {problem}")
    for name, path, kind in (("update key", args.update_key, "rsa"), ("manifest key", args.manifest_key, "ecc")):
        if path is not None:
            problem = key_blob_problem(name, pathlib.Path(path), kind)
            if problem:
                problems.append(problem)
    for problem in problems:
        print(f"check-deployment: {problem}", file=sys.stderr)
    return 2 if problems else 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)

    p = sub.add_parser("keygen", help="generate the update and manifest signing keys and their public blobs")
    p.add_argument("--out", required=True, help="output folder")
    p.set_defaults(func=cmd_keygen)

    p = sub.add_parser("devcert", help="self-signed loopback TLS certificate and its SHA-256 pin")
    p.add_argument("--out", required=True, help="output folder")
    p.add_argument("--host", default="127.0.0.1", help="common name (default 127.0.0.1)")
    p.add_argument("--name", default="fallback", help="file name stem (default fallback)")
    p.set_defaults(func=cmd_devcert)

    p = sub.add_parser("devca", help="development CA and a loopback server certificate issued by it")
    p.add_argument("--out", required=True, help="output folder")
    p.add_argument("--host", default="127.0.0.1", help="common name of the server certificate (default 127.0.0.1)")
    p.add_argument("--name", default="cdn", help="file name stem of the server certificate (default cdn)")
    p.add_argument("--ca-name", default="ORVEX Development Test CA", help="common name of the CA")
    p.set_defaults(func=cmd_devca)

    p = sub.add_parser("sign-update", help="sign an update manifest (raw 384-byte RSA signature)")
    p.add_argument("--key", required=True, help="update-private.pem")
    p.add_argument("--out", help="signature file (default: manifest path + .sig)")
    p.add_argument("manifest", help="manifest file to sign")
    p.set_defaults(func=cmd_sign_update)

    p = sub.add_parser("sign-raw-ecdsa", help="sign a file with the P-256 manifest key (raw 64-byte r||s signature)")
    p.add_argument("--key", required=True, help="manifest-private.pem")
    p.add_argument("--out", help="signature file (default: file path + .sig)")
    p.add_argument("file", help="file to sign")
    p.set_defaults(func=cmd_sign_raw_ecdsa)

    p = sub.add_parser(
        "make-update", formatter_class=argparse.RawDescriptionHelpFormatter,
        help="signed update (manifest, signature, patch ZIP) from an old and a new client tree",
        description="Compares two client trees and writes, into --out, the patch archive of every file that\n"
                    "is new or changed (stored or deflated per file), the update manifest ORVEX-UPDATE-1 that\n"
                    "lists them with sizes and SHA-256, and its raw 384-byte signature. A changed game archive\n"
                    "(ui/ui.src, fx/fx.src, object/object.src, item/item.src) travels as a .ord delta entry\n"
                    "when that is smaller than the whole file.",
        epilog="outputs: OUT/N.manifest, OUT/N.manifest.sig, OUT/N.zip (see --manifest-name, --archive-name)\n"
               "left out: the protected root settings files and the .orvex-update folder;\n"
               "refused: names the launcher refuses, case collisions, a changed root Launcher.exe")
    p.add_argument("--old", required=True, help="the client tree players have now")
    p.add_argument("--new", required=True, help="the client tree after the update")
    p.add_argument("--version", required=True, type=int, help="client version the update produces (1-32767)")
    p.add_argument("--key", required=True, help="update-private.pem (RSA-3072)")
    p.add_argument("--out", required=True, help="output folder")
    p.add_argument("--archive-name", help="patch archive file name (default N.zip)")
    p.add_argument("--manifest-name", help="manifest file name (default N.manifest; signature: name + .sig)")
    packing = p.add_mutually_exclusive_group()
    packing.add_argument("--store", dest="compression", action="store_const", const="store",
                         help="store every entry uncompressed")
    packing.add_argument("--deflate", dest="compression", action="store_const", const="deflate",
                         help="deflate every entry (default: deflate each entry only when that shrinks it)")
    p.set_defaults(compression="auto")
    deltas = p.add_mutually_exclusive_group()
    deltas.add_argument("--no-delta", action="store_true", help="always ship whole game archives")
    deltas.add_argument("--force-delta", action="store_true",
                        help="use a delta for every changed game archive that has a base, even when not smaller")
    p.add_argument("--sign-with", metavar="PEM",
                   help="sign with this RSA-3072 key instead of --key (test packages with a foreign signature)")
    p.set_defaults(func=cmd_make_update)

    p = sub.add_parser(
        "make-offline", formatter_class=argparse.RawDescriptionHelpFormatter,
        help="lay out the offline installer (ORVEX/Patch with PatchKur.exe) for a signed update",
        description="Copies a signed update made by make-update and the launcher into the layout the offline\n"
                    "installer expects under --out (a client folder, or the root of Patch.zip):\n"
                    + "".join(f"  {name:31} {role}\n" for name, role in (
                        (f"ORVEX/Patch/{OFFLINE_INSTALLER}", "copy of the launcher"),
                        (f"ORVEX/Patch/{OFFLINE_VERSION}.manifest", "the signed manifest"),
                        (f"ORVEX/Patch/{OFFLINE_VERSION}.manifest.sig", "its signature"),
                        (f"ORVEX/Patch/{OFFLINE_VERSION}.zip", "the patch archive"),
                        (OFFLINE_SCRIPT, "starts the installer")))
                    + "The manifest is read back and the archive checked against it first.")
    p.add_argument("--update-dir", required=True, help="folder written by make-update")
    p.add_argument("--launcher", required=True, help="Launcher.exe to ship as PatchKur.exe")
    p.add_argument("--out", required=True, help="client folder or root of the offline package")
    p.add_argument("--manifest-name", default=f"{OFFLINE_VERSION}.manifest",
                   help=f"manifest in --update-dir (default {OFFLINE_VERSION}.manifest)")
    p.add_argument("--verify-key", metavar="PEM", help="also verify the signature with this update key")
    p.add_argument("--zip", metavar="PATCH_ZIP", help="also pack the layout into this archive (Patch.zip)")
    p.add_argument("--allow-version-mismatch", action="store_true",
                   help=f"ship a manifest for another version than {OFFLINE_VERSION} (test packages)")
    p.set_defaults(func=cmd_make_offline)

    p = sub.add_parser(
        "make-client-manifests", formatter_class=argparse.RawDescriptionHelpFormatter,
        help="signed client manifests ORVEX/Startup.manifest and ORVEX/Integrity.manifest of a client tree",
        description="Lists every file of --tree with its size and SHA-256 and writes, under --out/ORVEX, the\n"
                    "two binary client manifests, each signed with the P-256 manifest key (raw 64-byte r||s\n"
                    "over everything before it):\n"
                    "  Startup.manifest    \"ORBOOT03\": every file except the data tables (7 to 30000)\n"
                    "  Integrity.manifest  \"ORVEXTB1\": the tables directly under data/ named *.tbl (1 to 4096)\n"
                    "Files are listed by name, ASCII case ignored; the two manifests themselves, the protected\n"
                    "root settings files and the .orvex-update folder are left out.",
        epilog="refused: fewer than 7 start-up files, no data table, a name the launcher refuses, case\n"
               "collisions, sizes beyond the launcher's limits")
    p.add_argument("--tree", required=True, help="the client tree to describe")
    p.add_argument("--out", required=True, help="folder that receives ORVEX/Startup.manifest and ORVEX/Integrity.manifest")
    p.add_argument("--key", default=str(DEV_MANIFEST_KEY),
                   help="P-256 manifest-private.pem (default: the development key testdata/dev/manifest-private.pem)")
    p.add_argument("--build-stamp", type=int, default=INTEGRITY_MIN_BUILD_STAMP,
                   help=f"build stamp of the integrity manifest (at least {INTEGRITY_MIN_BUILD_STAMP}, the default)")
    p.add_argument("--exclude", action="append", metavar="PATTERN",
                   help="leave out files whose name matches this glob, ASCII case ignored (repeatable)")
    p.set_defaults(func=cmd_make_client_manifests)

    p = sub.add_parser(
        "release", formatter_class=argparse.RawDescriptionHelpFormatter,
        help="everything one version needs, in one new release folder OUT/VERSION",
        description="Writes OUT/VERSION (and refuses when it exists: a published version is never rewritten):\n"
                    "  N.manifest, N.manifest.sig, N.zip   the patch from --previous (deltas where smaller)\n"
                    "  metadata-v4-N.manifest, .sig, .zip  the metadata package: the two client manifests\n"
                    "  client/ORVEX/Startup.manifest, client/ORVEX/Integrity.manifest\n"
                    "                                      the signed client manifests of the new tree\n"
                    "  client-in-patch/ORVEX/...           with --next-*-key: those the patch carries, signed\n"
                    "                                      with the keys of the installed launchers\n"
                    "  N.catalogue, objects/<sha256>       the repair catalogue and its content-addressed objects\n"
                    "  offline/Patch.zip                   the offline bundle (with --offline-launcher)\n"
                    "  release.json                        what was written (sizes and SHA-256)\n"
                    "Everything is read back with the launcher's rules before the folder appears under its\n"
                    "name (one rename); orvex-patch-service serves OUT. With OUT/PREVIOUS published, --old\n"
                    "must be exactly the client its signed client manifests list. --launcher and\n"
                    "--offline-launcher must be x86-64 GUI executables built with the keys the release is\n"
                    "signed for. One command at a time writes OUT (lock: OUT/.publish.lock).")
    p.add_argument("--old", required=True, help="the client tree of the previous version")
    p.add_argument("--new", required=True, help="the client tree of this version")
    p.add_argument("--previous", required=True, type=int, help="the previous version (the patch applies to it)")
    p.add_argument("--version", required=True, type=int, help="this version (1-32767, above --previous)")
    p.add_argument("--update-key", required=True, help="update-private.pem (RSA-3072)")
    p.add_argument("--manifest-key", required=True, help="manifest-private.pem (P-256)")
    p.add_argument("--update-blob", help="update-key.blob the launcher is built with: refuse a key that differs")
    p.add_argument("--manifest-blob", help="manifest-key.blob the launcher is built with: refuse a key that differs")
    p.add_argument("--out", required=True, help="the releases folder (one subfolder per version)")
    p.add_argument("--build-stamp", type=int, default=INTEGRITY_MIN_BUILD_STAMP,
                   help=f"build stamp of the integrity manifest (default {INTEGRITY_MIN_BUILD_STAMP})")
    p.add_argument("--exclude", action="append", metavar="PATTERN",
                   help="leave files matching this glob out of the client manifests (repeatable)")
    p.add_argument("--offline-launcher", metavar="EXE",
                   help=f"also write the offline bundle with this Launcher.exe (version {OFFLINE_VERSION} only)")
    p.add_argument("--no-delta", action="store_true", help="always ship whole game archives")
    p.add_argument("--launcher", metavar="EXE",
                   help="a new Launcher.exe for this version: the patch carries it as Launcher2.exe and the signed "
                        "manifests name it as Launcher.exe, so the running launcher swaps it in")
    p.add_argument("--next-update-key", metavar="PEM",
                   help="with --launcher built with other keys: the update key it is built with, which signs the "
                        "metadata package (the patch stays signed with --update-key)")
    p.add_argument("--next-manifest-key", metavar="PEM",
                   help="with --launcher built with other keys: the manifest key it is built with, which signs the "
                        "client manifests of the metadata package (those in the patch: --manifest-key)")
    p.set_defaults(func=cmd_release, compression="auto")

    p = sub.add_parser(
        "verify", formatter_class=argparse.RawDescriptionHelpFormatter,
        help="check every published file and repair object of a releases folder",
        description="Reads every release folder under --out back: each published file against the size and\n"
                    "SHA-256 its release.json records, each signed update's archive against its manifest, each\n"
                    "object of the catalogue present and hashing to its name. Exits 1 naming every mismatch.\n"
                    "With --repair, a damaged or missing object is written anew from a good copy: the same\n"
                    "object of another release, or a file of the --from tree with that SHA-256 (checked before\n"
                    "it is written; a new file renamed into place, so releases sharing the damaged one as a\n"
                    "hard link keep theirs until repaired in turn). Other files are never rewritten: publish\n"
                    "a new version instead.")
    p.add_argument("--out", required=True, help="the releases folder")
    p.add_argument("--repair", action="store_true", help="rewrite damaged or missing objects from a good copy")
    p.add_argument("--from", dest="source", metavar="TREE", help="with --repair: a client tree to take objects from")
    p.set_defaults(func=cmd_verify)

    p = sub.add_parser(
        "check-deployment", formatter_class=argparse.RawDescriptionHelpFormatter,
        help="check the deployment values a launcher build compiles in (CMake runs it at configure time)",
        description="Refuses values that a launcher would silently mishandle: a login host or fallback host\n"
                    "that is not a dotted IPv4 address, a CDN URL that is not https with the path /orvex-patch/,\n"
                    "a patch base URL whose path does not end in /orvex-patch/, a retired URL without port 5443\n"
                    "and the path /patch/, and key files that do not parse as the public-key blobs they claim to\n"
                    "be (RSA-3072 RSAPUBLICBLOB, P-256 ECCPUBLICBLOB). Only the values given are checked.")
    p.add_argument("--login-host", help="ORVEX_LOGIN_HOST")
    p.add_argument("--fallback-host", action="append", help="one entry of ORVEX_FALLBACK_HOSTS (repeatable)")
    p.add_argument("--cdn-url", help="ORVEX_PATCH_CDN_URL")
    p.add_argument("--base-url", help="ORVEX_PATCH_BASE_URL")
    p.add_argument("--retired-url", help="ORVEX_RETIRED_PATCH_URL")
    p.add_argument("--update-key", help="ORVEX_UPDATE_KEY (update-key.blob)")
    p.add_argument("--manifest-key", help="ORVEX_MANIFEST_KEY (manifest-key.blob)")
    p.set_defaults(func=cmd_check_deployment)

    for name, example in EXAMPLES.items():
        command = sub.choices[name]
        command.formatter_class = argparse.RawDescriptionHelpFormatter
        command.epilog = (command.epilog + "\n\n" if command.epilog else "") + "example:\n  " + example

    for name in ("keygen", "devcert", "devca"):
        add_passphrase_options(sub.choices[name], writes=True)
    for name in ("sign-update", "sign-raw-ecdsa", "make-update", "make-offline", "make-client-manifests", "release"):
        add_passphrase_options(sub.choices[name], writes=False)

    args = parser.parse_args(argv)
    try:
        return args.func(args)
    except PublishError as error:
        print(f"{args.command}: {error}", file=sys.stderr)
        return 2


EXAMPLES = {
    "keygen": "orvex-publish keygen --out keys",
    "devcert": "orvex-publish devcert --out certs --host 127.0.0.1 --name fallback",
    "devca": "orvex-publish devca --out certs --host 127.0.0.1 --name cdn",
    "sign-update": "orvex-publish sign-update --key keys/update-private.pem 2372.manifest",
    "sign-raw-ecdsa": "orvex-publish sign-raw-ecdsa --key keys/manifest-private.pem ORVEX/Startup.manifest",
    "make-update": "orvex-publish make-update --old trees/2371 --new trees/2372 --version 2372 "
                   "--key keys/update-private.pem --out patch-root",
    "make-offline": "orvex-publish make-offline --update-dir updates/2384 --launcher Launcher.exe "
                    "--out offline --zip Patch.zip",
    "make-client-manifests": "orvex-publish make-client-manifests --tree trees/2372 --out trees/2372 "
                             "--key keys/manifest-private.pem",
    "check-deployment": "orvex-publish check-deployment --login-host 203.0.113.5 --cdn-url "
                        "https://cdn.example.com/orvex-patch/ --update-key keys/update-key.blob",
    "verify": "orvex-publish verify --out releases --repair --from trees/2384",
    "release": "orvex-publish release --old trees/2371 --new trees/2372 --previous 2371 --version 2372 "
               "--update-key keys/update-private.pem --manifest-key keys/manifest-private.pem --out releases",
}


if __name__ == "__main__":
    sys.exit(main())
