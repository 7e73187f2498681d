#!/usr/bin/env python3
"""Deterministic sample ORVEX clients and the signed patches between them.

Five client trees, the same bytes on every run:

  2369  the client a player has: Vantrell.exe (placeholder bytes), Data/*.tbl,
        ui/ui.src (384 KiB), fx/fx.src, sound/, readme.txt, Server.ini
  2370  Vantrell.exe and Data/item.tbl changed, Data/event.tbl added
  2371  ui/ui.src changed in three short places (the patch ships ui/ui.src.ord,
        a delta), Data/skill.tbl changed, map/zone01.map added
  2372  fx/fx.src rewritten (shipped whole), ui/ui.src changed in one more
        place (a delta over the 2371 file), Data/item.tbl changed again,
        sound/theme.wav added
  2384  the offline installer's target, made against 2369

build(bulk_mib=N) adds to 2372 a new file Data/terrain.pak of N MiB, almost all
zeros: written sparse in the tree and tiny in the archive, it still takes the
launcher a visible while to verify after the swap (tests that watch the status
line use it).

The patches 2370, 2371 and 2372 are made one after the other with
tools/orvex_ops/publish.py make-update into one patch-server root, the folder that
tools/test_servers/patch_server.py --root serves under /orvex-patch/. The 2384 update is laid
out for the offline installer with make-offline (ORVEX/Patch/PatchKur.exe and
2384.manifest, .sig, .zip) when a launcher executable is given.

    sample_client.py OUT [--launcher Launcher.exe] [--client FOLDER]

writes OUT/trees/<version>/, OUT/patch-root/, OUT/updates/2384/, OUT/offline/
and, with --client, a 2369 client (tree plus Launcher.exe) in FOLDER.
"""
import argparse
import hashlib
import os
import pathlib
import random
import shutil
import subprocess
import sys
from dataclasses import dataclass, field

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2]
PUBLISH = SOURCE_DIR / "tools" / "orvex_ops" / "publish.py"
UPDATE_KEY = SOURCE_DIR / "testdata" / "dev" / "update-private.pem"
MANIFEST_KEY = SOURCE_DIR / "testdata" / "dev" / "manifest-private.pem"
PYTHON = "/usr/bin/python3"

BASE_VERSION = 2369
PATCH_VERSIONS = (2370, 2371, 2372)
OFFLINE_VERSION = 2384
TREE_VERSIONS = (BASE_VERSION, *PATCH_VERSIONS, OFFLINE_VERSION)
# The folders that the launcher writes and that no tree holds.
UPDATE_AREA = ".orvex-update"

# Every tree file carries this modification time, so that the whole-file
# entries of the patch archives come out the same on every run.
TREE_MTIME = 1709294400  # 2024-03-01 12:00 UTC
UI_SIZE = 384 * 1024
FX_SIZE = 96 * 1024


def blob(name, size):
    """size pseudo-random bytes that depend only on name."""
    return random.Random(f"orvex-sample:{name}").randbytes(size)


def table(name, rows):
    """A tab-separated game table of rows lines, the same for the same name."""
    rng = random.Random(f"orvex-table:{name}")
    lines = ["id\tname\tlevel\tvalue"]
    for row in range(1, rows + 1):
        lines.append(f"{row}\t{name}_{row:04}\t{rng.randrange(1, 80)}\t{rng.randrange(10, 99999)}")
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def edited(data, edits):
    """data with each (offset, length, salt) range overwritten by fresh bytes."""
    out = bytearray(data)
    for offset, length, salt in edits:
        out[offset:offset + length] = blob(f"edit:{salt}", length)
    return bytes(out)


def server_ini(version):
    return f"[Version]\r\nFiles={version}\r\n[Server]\r\nCount=1\r\nIP0=127.0.0.1\r\n".encode("ascii")


def tree_files(version):
    """Managed path -> bytes of the client tree of one version."""
    ui_2369 = blob("ui/ui.src", UI_SIZE)
    ui_2371 = edited(ui_2369, [(4096, 48, "ui-2371-a"), (150000, 96, "ui-2371-b"), (UI_SIZE - 200, 64, "ui-2371-c")])
    files = {
        "Vantrell.exe": b"MZ" + blob("Vantrell.exe:2369", 48 * 1024),
        "Data/item.tbl": table("item-2369", 300),
        "Data/skill.tbl": table("skill-2369", 200),
        "Data/zone.tbl": table("zone-2369", 60),
        "ui/ui.src": ui_2369,
        "fx/fx.src": blob("fx/fx.src:2369", FX_SIZE),
        "sound/click.wav": b"RIFF" + blob("sound/click.wav", 12 * 1024),
        "readme.txt": b"ORVEX sample client\r\n",
        "D3DX9_43.dll": b"MZ" + blob("D3DX9_43.dll", 4 * 1024),
        "ORVEX/Launcher/launcher.lang": b"tr-TR\r\n",
    }
    if version == OFFLINE_VERSION:
        files.update({
            "Vantrell.exe": b"MZ" + blob("Vantrell.exe:2384", 52 * 1024),
            "Data/item.tbl": table("item-2384", 340),
            "Data/quest.tbl": table("quest-2384", 120),
            "ui/ui.src": edited(ui_2369, [(777, 32, "ui-2384-a"), (250000, 128, "ui-2384-b")]),
            "map/zone02.map": blob("map/zone02.map", 20 * 1024),
        })
    elif version >= 2370:
        files.update({
            "Vantrell.exe": b"MZ" + blob("Vantrell.exe:2370", 50 * 1024),
            "Data/item.tbl": table("item-2370", 320),
            "Data/event.tbl": table("event-2370", 40),
        })
        if version >= 2371:
            files.update({
                "ui/ui.src": ui_2371,
                "Data/skill.tbl": table("skill-2371", 210),
                "map/zone01.map": blob("map/zone01.map", 24 * 1024),
            })
        if version >= 2372:
            files.update({
                "fx/fx.src": blob("fx/fx.src:2372", FX_SIZE + 4096),
                "ui/ui.src": edited(ui_2371, [(200000, 40, "ui-2372-a")]),
                "Data/item.tbl": table("item-2372", 330),
                "sound/theme.wav": b"RIFF" + blob("sound/theme.wav", 16 * 1024),
            })
    files["Server.ini"] = server_ini(version)
    return files


BULK_FILE = "Data/terrain.pak"
BULK_VERSION = 2372


def write_tree(folder, version, bulk_mib=0):
    """Writes the tree of one version into folder (bulk_mib: see build)."""
    folder = pathlib.Path(folder)
    for relative, data in tree_files(version).items():
        path = folder / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        os.utime(path, (TREE_MTIME, TREE_MTIME))
    if bulk_mib and version == BULK_VERSION:
        path = folder / BULK_FILE
        with open(path, "wb") as stream:
            stream.write(b"PAK1" + blob(BULK_FILE, 60))
            stream.truncate(bulk_mib * 1024 * 1024)
        os.utime(path, (TREE_MTIME, TREE_MTIME))
    return folder


# Signed for every version's tree (patches carry them) and again for a client
# folder by make_client, whose Launcher.exe they then list as well.
CLIENT_MANIFESTS = ("ORVEX/Startup.manifest", "ORVEX/Integrity.manifest")


def write_client_manifests(folder):
    """Signs the two client manifests for the files now in folder (its
    Launcher.exe included), so that the launcher's start-up check passes."""
    run_publisher("make-client-manifests", "--tree", folder, "--out", folder)


def file_digests(folder, skip=("Server.ini",)):
    """Relative "/" path -> SHA-256 of every file under folder, the update area,
    the two client manifests and the names in skip (compared
    case-insensitively) left out."""
    folder = pathlib.Path(folder)
    skipped = {name.lower() for name in (*skip, *CLIENT_MANIFESTS)}
    digests = {}
    for path in sorted(folder.rglob("*")):
        relative = path.relative_to(folder).as_posix()
        if relative.split("/")[0].lower() == UPDATE_AREA or relative.lower() in skipped or not path.is_file():
            continue
        with open(path, "rb") as stream:
            digests[relative] = hashlib.file_digest(stream, "sha256").hexdigest()
    return digests


def run_publisher(*args):
    result = subprocess.run([PYTHON, str(PUBLISH), *map(str, args)], capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"orvex-publish {args[0]} failed:\n{result.stdout}{result.stderr}")
    return result.stdout


def make_update(old_tree, new_tree, version, out, sign_with=None):
    """Signed update N.manifest, N.manifest.sig, N.zip from two trees into out;
    sign_with signs with another RSA-3072 key than the development key."""
    args = ["make-update", "--old", old_tree, "--new", new_tree, "--version", version, "--key", UPDATE_KEY,
            "--out", out]
    if sign_with:
        args += ["--sign-with", sign_with]
    return run_publisher(*args)


def write_foreign_key(path):
    """An RSA-3072 private key that the launcher does not trust, as PEM."""
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import rsa
    key = rsa.generate_private_key(public_exponent=65537, key_size=3072)
    pathlib.Path(path).write_bytes(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                                     serialization.NoEncryption()))
    return pathlib.Path(path)


@dataclass
class Sample:
    """What build() wrote: trees by version, the patch-server root, the offline layout."""
    folder: pathlib.Path
    trees: dict = field(default_factory=dict)
    patch_root: pathlib.Path = None
    reports: dict = field(default_factory=dict)
    offline: pathlib.Path = None
    releases: pathlib.Path = None

    def make_client(self, folder, launcher, version=BASE_VERSION):
        """A client folder: the tree of version and the launcher as Launcher.exe."""
        folder = pathlib.Path(folder)
        shutil.copytree(self.trees[version], folder)
        shutil.copy2(launcher, folder / "Launcher.exe")
        write_client_manifests(folder)
        return folder


def build(folder, launcher=None, bulk_mib=0, releases=False):
    """Writes the trees, the three patches and (with a launcher) the offline
    layout; bulk_mib > 0 adds the file BULK_FILE of that many MiB to 2372;
    releases also publishes 2370 to 2372 with orvex-publish release into
    the folder releases/ that tools/orvex_ops/patch_service.py serves."""
    folder = pathlib.Path(folder)
    sample = Sample(folder)
    for version in TREE_VERSIONS:
        sample.trees[version] = write_tree(folder / "trees" / str(version), version, bulk_mib)
        # Every version ships its own signed client manifests, as the publisher
        # does, so a patched client still verifies in the background.
        write_client_manifests(sample.trees[version])
    sample.patch_root = folder / "patch-root"
    previous = BASE_VERSION
    for version in PATCH_VERSIONS:
        sample.reports[version] = make_update(sample.trees[previous], sample.trees[version], version,
                                              sample.patch_root)
        previous = version
    if releases:
        sample.releases = folder / "releases"
        previous = BASE_VERSION
        for version in PATCH_VERSIONS:
            run_publisher("release", "--old", sample.trees[previous], "--new", sample.trees[version], "--previous",
                          previous, "--version", version, "--update-key", UPDATE_KEY, "--manifest-key", MANIFEST_KEY,
                          "--out", sample.releases)
            previous = version
    updates = folder / "updates" / str(OFFLINE_VERSION)
    sample.reports[OFFLINE_VERSION] = make_update(sample.trees[BASE_VERSION], sample.trees[OFFLINE_VERSION],
                                                  OFFLINE_VERSION, updates)
    if launcher:
        sample.offline = folder / "offline"
        run_publisher("make-offline", "--update-dir", updates, "--launcher", launcher, "--out", sample.offline,
                      "--verify-key", UPDATE_KEY)
    return sample


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out", help="output folder (emptied first)")
    parser.add_argument("--launcher", help="Launcher.exe for the offline layout and the client")
    parser.add_argument("--client", help="also write a 2369 client with the launcher here")
    args = parser.parse_args()
    if args.client and not args.launcher:
        parser.error("--client needs --launcher")
    out = pathlib.Path(args.out)
    shutil.rmtree(out, ignore_errors=True)
    sample = build(out, args.launcher)
    for version, report in sample.reports.items():
        print(f"{version}:\n{report}", end="")
    if args.client:
        sample.make_client(args.client, args.launcher)
        print(f"client {BASE_VERSION}: {args.client}")
    print(f"patch-server root: {sample.patch_root}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
