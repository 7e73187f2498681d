"""Update packages: client trees read under the launcher's path rules, the
"ORVEX-UPDATE-1" manifest and its signature, the patch ZIP with its delta
entries, and the commands make-update and make-offline.
"""
import os
import pathlib
import re
import shutil
import signal
import stat
import sys
import tempfile
import time
import unicodedata
import zipfile
import zlib

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding, rsa

from orvex_ops.deltas import (DELTA_MIN_ENTRY, DELTA_SLACK, DELTA_SUFFIX, DELTA_TARGETS, changed_ranges, delta_size,
                              fit_record_count, write_delta)
from orvex_ops.errors import PublishError, Stopped, stop_on_signal
from orvex_ops.files import COPY_CHUNK, file_sha256
from orvex_ops.keys import RSA_BITS, load_private_pem, passphrase_of
from orvex_ops.launcher_image import check_launcher_image


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

OFFLINE_VERSION = 2384
OFFLINE_FOLDER = ("ORVEX", "Patch")
OFFLINE_INSTALLER = "PatchKur.exe"
OFFLINE_SCRIPT = "PATCH_KUR.cmd"
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
