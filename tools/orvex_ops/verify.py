"""verify: every published file and repair object of a releases folder read
back against its record; --repair rewrites damaged objects from a good copy.
"""
import contextlib
import hashlib
import json
import os
import pathlib
import sys
import tempfile

from orvex_ops.errors import PublishError
from orvex_ops.files import COPY_CHUNK, file_sha256, flush_folder
from orvex_ops.lock import take_publish_lock
from orvex_ops.packages import is_hex_digest, parse_update_manifest, scan_tree
from orvex_ops.releases import RELEASE_RECORD, REPAIR_OBJECTS, release_names


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
