"""Releases: everything one version needs, in one new folder of the releases
folder the patch service serves (the command release), checked with the
launcher's rules before its name appears.
"""
import argparse
import collections
import contextlib
import fnmatch
import hashlib
import io
import json
import os
import pathlib
import shutil
import signal
import sys
import tempfile
import zipfile

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

from orvex_ops.client_manifests import (CLIENT_MANIFEST_FOLDER, INTEGRITY_MANIFEST_NAME, STARTUP_MANIFEST_NAME,
                                        client_manifest_sets, integrity_manifest_body, read_client_manifest,
                                        signed_client_manifest, startup_manifest_body)
from orvex_ops.deltas import DELTA_SUFFIX, apply_delta_file
from orvex_ops.errors import PublishError, Stopped, stop_on_signal
from orvex_ops.files import COPY_CHUNK, file_sha256, flush_folder, flush_tree, human, publish_modes
from orvex_ops.keys import RSA_BITS, ecc_public_blob, load_private_pem, passphrase_of, rsa_public_blob
from orvex_ops.launcher_image import check_launcher_image
from orvex_ops.lock import take_publish_lock
from orvex_ops.packages import (PENDING_LAUNCHER, RUNNING_LAUNCHER, UPDATE_SIGNATURE_SIZE, build_update,
                                check_update_version, cmd_make_offline, parse_update_manifest, scan_tree)


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


class ReleaseKeys:
    """The keys a release is signed with. With --next-update-key and
    --next-manifest-key (rotating) the launcher shipped holds the next keys,
    and the client manifests and the metadata package are signed with them;
    otherwise the next keys are the current ones."""

    def __init__(self, update, manifest, next_update, next_manifest, rotating: bool):
        self.update, self.manifest = update, manifest
        self.next_update, self.next_manifest = next_update, next_manifest
        self.rotating = rotating


def check_rsa_key(key, option: str) -> None:
    if not isinstance(key, rsa.RSAPrivateKey) or key.key_size != RSA_BITS:
        raise PublishError(f"{option} must be an RSA-{RSA_BITS} private key")


def check_p256_key(key, option: str) -> None:
    if not isinstance(key, ec.EllipticCurvePrivateKey) or not isinstance(key.curve, ec.SECP256R1):
        raise PublishError(f"{option} must be a P-256 private key")


def load_release_keys(args) -> ReleaseKeys:
    passphrase = passphrase_of(args)
    update_key = load_private_pem(pathlib.Path(args.update_key), passphrase)
    check_rsa_key(update_key, "--update-key")
    manifest_key = load_private_pem(pathlib.Path(args.manifest_key), passphrase)
    check_p256_key(manifest_key, "--manifest-key")
    next_update_key, next_manifest_key = update_key, manifest_key
    rotating = bool(args.next_update_key or args.next_manifest_key)
    if rotating:
        if not (args.next_update_key and args.next_manifest_key and args.launcher):
            raise PublishError("--next-update-key and --next-manifest-key go together, with the --launcher "
                               "built with them")
        next_update_key = load_private_pem(pathlib.Path(args.next_update_key), passphrase)
        next_manifest_key = load_private_pem(pathlib.Path(args.next_manifest_key), passphrase)
        check_rsa_key(next_update_key, "--next-update-key")
        check_p256_key(next_manifest_key, "--next-manifest-key")
    for blob_path, expected in ((args.update_blob, rsa_public_blob(update_key.public_key())),
                                (args.manifest_blob, ecc_public_blob(manifest_key.public_key()))):
        if blob_path and pathlib.Path(blob_path).read_bytes() != expected:
            raise PublishError(f"{blob_path} is not the public key of the signing key given: "
                               "launchers built with it would refuse this release")
    return ReleaseKeys(update_key, manifest_key, next_update_key, next_manifest_key, rotating)


class ReleaseTrees:
    """What the old and new client trees give a release: new_files (the new
    tree without its own client manifests, the launcher as given), old_files,
    patch_files (what the patch writes), patch_base (what it is made against)
    and launcher (the Launcher.exe shipped as Launcher2.exe, or None)."""

    def __init__(self, args, keys: ReleaseKeys):
        self.new_tree, old_tree = pathlib.Path(args.new), pathlib.Path(args.old)
        new_files, left_out = scan_tree(self.new_tree, strict=True)
        self.old_files, _ = scan_tree(old_tree, strict=False)
        for name in left_out:
            print(f"left out (never written by an update): {name}", file=sys.stderr)
        own = {f"{CLIENT_MANIFEST_FOLDER}/{name}".lower() for name in (STARTUP_MANIFEST_NAME, INTEGRITY_MANIFEST_NAME)}
        new_files = {m: p for m, p in new_files.items() if m.lower() not in own}
        # The launcher shipped must hold the keys its manifests are signed
        # with; the offline installer checks the patch with the current ones.
        launcher_keys = (keys.next_update.public_key(), keys.next_manifest.public_key())
        self.new_files, self.patch_files, self.launcher = release_launcher(new_files, self.old_files, args.launcher,
                                                                           launcher_keys)
        if keys.rotating and self.launcher is None:
            raise PublishError(f"--launcher {args.launcher} is the Launcher.exe of the old tree, the launcher players "
                               "already have: it holds none of the next keys, and the client manifests and metadata "
                               "package signed with them would be refused by every installed launcher")
        if args.offline_launcher:
            check_launcher_image(args.offline_launcher, "--offline-launcher", keys.update.public_key(),
                                 keys.manifest.public_key())
        for managed, links in outside_links(self.new_files, self.old_files):
            print(f"warning: {managed} of the new tree has {links} hard links, some outside the old and new trees: "
                  "its bytes are published as read now, whatever is later written through the other names",
                  file=sys.stderr)
        # A Launcher2.exe left in the old tree must not pass for the one shipped.
        self.patch_base = {m: p for m, p in self.old_files.items() if m.lower() != PENDING_LAUNCHER.lower()}


def write_release(work: pathlib.Path, args, keys: ReleaseKeys, trees: ReleaseTrees, previous) -> dict:
    """Everything of version args.version in work, checked with the launcher's
    rules, and its record; returns what the summary reports."""
    names = release_names(args.version)
    # The client manifests of the new tree, signed, ship in the patch and
    # alone in the metadata package that restores them at start-up. A new
    # launcher built with other keys gets the package and the published
    # manifests signed with those: the installed launchers check the patch
    # and the new launcher in it with the old keys, the new launcher
    # finds manifests it cannot verify and restores them from the package.
    startup, integrity = client_manifest_sets(trees.new_tree, args.exclude or [], trees.new_files)

    def signed_manifests(folder, key):
        folder.mkdir(parents=True)
        (folder / STARTUP_MANIFEST_NAME).write_bytes(
            signed_client_manifest(key, startup_manifest_body(startup)))
        (folder / INTEGRITY_MANIFEST_NAME).write_bytes(
            signed_client_manifest(key, integrity_manifest_body(args.build_stamp, integrity)))
        return {f"{CLIENT_MANIFEST_FOLDER}/{name}": folder / name
                for name in (STARTUP_MANIFEST_NAME, INTEGRITY_MANIFEST_NAME)}

    shipped = signed_manifests(work / "client" / CLIENT_MANIFEST_FOLDER, keys.next_manifest)
    in_patch = shipped
    if keys.rotating:
        in_patch = signed_manifests(work / PATCH_CLIENT_FOLDER / CLIENT_MANIFEST_FOLDER, keys.manifest)

    patch = build_update({**trees.patch_files, **in_patch}, trees.patch_base, args.version, keys.update, work,
                         names["archive"], names["manifest"], args.compression, args.no_delta)
    metadata = build_update(shipped, {}, args.version, keys.next_update, work, names["metadata_archive"],
                            names["metadata"])

    objects = {digest.hex(): trees.new_files[name] for name, _, digest in startup + integrity}
    objects.update({file_sha256(path): path for path in shipped.values()})
    object_count, object_bytes, linked, damaged = write_repair_store(work, args.version, objects, previous)
    for path in damaged:
        print(f"warning: {path} does not hash to its name: copied from the new tree instead; "
              f"repair release {args.previous} with orvex-publish verify --repair", file=sys.stderr)
    check_release(work, args.version, keys.update.public_key(), keys.manifest.public_key(), trees.patch_base,
                  trees.patch_files, keys.rotating and (keys.next_update.public_key(), keys.next_manifest.public_key()))

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
    return {"names": names, "patch": patch, "metadata": metadata, "startup": len(startup),
            "integrity": len(integrity), "published": published, "objects": object_count,
            "object_bytes": object_bytes, "linked": linked}


def print_release(args, folder: pathlib.Path, old_checked, launcher, summary: dict) -> None:
    names, patch, metadata = summary["names"], summary["patch"], summary["metadata"]
    object_count, object_bytes, linked = summary["objects"], summary["object_bytes"], summary["linked"]
    saved = patch["delta_whole"] - patch["delta_bytes"]
    total = sum(entry["size"] for entry in summary["published"].values()) + object_bytes
    print(f"release {args.version} (patch from {args.previous}) in {folder}")
    if old_checked is None:
        print(f"  old tree  not checked: release {args.previous} is not in {folder.parent} (the first release there); "
              "the patch is made against --old as given")
    else:
        print(f"  old tree  the client of {args.previous}: all {old_checked} files its signed client manifests list")
    print(f"  patch     {names['archive']}: {patch['files']} files, {human(patch['archive_size'])}; "
          f"{names['manifest']} + .sig")
    print("\n".join("  " + line for line in patch["report"]))
    print(f"  deltas    {human(patch['delta_bytes'])} instead of {human(patch['delta_whole'])} "
          f"(saved {human(saved)})")
    print(f"  metadata  {names['metadata_archive']}: {metadata['files']} files; {names['metadata']} + .sig")
    print(f"  client    client/ORVEX/{STARTUP_MANIFEST_NAME}: {summary['startup']} files; "
          f"client/ORVEX/{INTEGRITY_MANIFEST_NAME}: {summary['integrity']} data tables")
    print(f"  repair    {names['catalogue']}: {object_count} objects, {human(object_bytes)}"
          f"{f' ({linked} linked from {args.previous})' if linked else ''}")
    if launcher is not None:
        print(f"  launcher  {launcher} as {PENDING_LAUNCHER}, named Launcher.exe in the signed manifests "
              "(the running launcher swaps it in)")
    if args.offline_launcher:
        print("  offline   offline/Patch.zip")
    print(f"  total     {len(summary['published']) + object_count} files, {human(total)}; "
          "checked with the launcher's rules")


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
        keys = load_release_keys(args)
        trees = ReleaseTrees(args, keys)

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
            old_checked = check_old_tree(previous, trees.old_files, keys.manifest.public_key(), excludes)
        # A signal between the folder's creation and its name reaching `work`
        # would leave it behind: hold both signals until the clean-up knows it.
        stopping = {signal.SIGINT, signal.SIGTERM}
        signal.pthread_sigmask(signal.SIG_BLOCK, stopping)
        try:
            work = pathlib.Path(tempfile.mkdtemp(dir=parent, prefix=f".{args.version}.partial-"))
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, stopping)
        summary = write_release(work, args, keys, trees, previous if previous.is_dir() else None)
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

    print_release(args, folder, old_checked, trees.launcher, summary)
    return 0
