"""A disk that fills up during an update, on real size-limited volumes.

Each case puts the client on its own tmpfs, which Wine reaches through a drive
letter of the test prefix (a mount point on a Z: path looks like a junction to
Wine, which the update rightly refuses). The install driver's download command
runs DownloadSignedUpdate against the stand-in patch server, as the launcher
does, and its --fill-at fills the volume at one step, as another program
writing to the same disk would: up to the last byte, or up to the last file
entry (nr_inodes). The volume is otherwise large enough for the installer's
own space check, so the steps after it are reached with the check unchanged.

Every case checks the text of that step, that the failure is not one the
session would retry as a network failure, that the client is wholly the old
one with Server.ini as it was, and that the next attempt, once there is room
again, installs the new client.
"""
import contextlib
import os
import pathlib
import shutil
import subprocess
from typing import NamedTuple

import pytest

from fixtures import (INSTALL_DRIVER, UPDATE_AREA, files_only, ini_sections, make_update, pseudo_random, snapshot,
                      write_tree)
from harness import PatchServer, wine_environment

VERSION = 2370
BASE_URL = "https://127.0.0.1:5444/orvex-patch/"
SERVER_INI = ("[Version]\r\nFiles=2369\r\n[Server]\r\nCount=1\r\nIP0=10.1.2.3\r\n"
              "[ORVEX_UPDATE]\r\nBaseURL=https://cdn.example/orvex-patch/\r\n").encode("ascii")
NEW_SERVER_INI_SECTIONS = {"Server": {"Count": "1", "IP0": "10.1.2.3"},
                           "ORVEX_UPDATE": {"BaseURL": "https://cdn.example/orvex-patch/"}}

OLD_FILES = {
    "Vantrell.exe": pseudo_random("vantrell", 6000),
    "Data/item.tbl": pseudo_random("item", 3000),
    "Data/skill.tbl": pseudo_random("skill", 2000),
    "Misc/readme.txt": b"unchanged by the update\n",
}
NEW_FILES = {
    **OLD_FILES,
    "Vantrell.exe": pseudo_random("vantrell-2370", 6100),
    "Data/item.tbl": pseudo_random("item-2370", 3500),
    "Data/new.tbl": pseudo_random("new", 700),
    # Added in a folder the client does not have yet, and large enough that
    # the archive alone does not fit on the small volume.
    "Texture/Npc/big.dds": pseudo_random("big", 3 << 20),
}

# Room for the client, the archive and everything the installer's own check
# asks for (twice the archive, 256 MiB, the new files and their backups).
ROOMY = "320m"
ENTRIES = 300  # file entries: the client and an update take far fewer
VOLUME_NAME = "orvex-disk-volume"

DOWNLOAD_WRITE = "Cannot write download; check disk space."
DOWNLOAD_CREATE = "Cannot create downloaded file; check disk space."
PREFLIGHT = "Not enough disk space for staging and rollback."
EXTRACTION = "Patch extraction failed; check disk space."
JOURNAL_CREATE = "Cannot create update journal; check disk space."
JOURNAL_WRITE = "Cannot persist update journal; check disk space."
REPLACE = "Cannot replace client file; check disk space."
VERSION_SAVE = "Cannot save client version; check disk space."
DISK_FULL = "112"  # ERROR_DISK_FULL, for want of bytes and of file entries alike


def sweep_volumes_of_a_killed_run(env):
    """A run ended by force (a timeout's kill) leaves its drive letter and
    mount behind: both go before this run maps its own."""
    for link in (pathlib.Path(env["WINEPREFIX"]) / "dosdevices").glob("?:"):
        target = os.readlink(link) if link.is_symlink() else ""
        if "/pytest-of-" in target and target.endswith("/" + VOLUME_NAME):
            subprocess.run(["umount", "-l", target], capture_output=True)
            link.unlink()


@pytest.fixture(scope="module")
def can_mount(tmp_path_factory, wine_env):
    sweep_volumes_of_a_killed_run(wine_env)
    probe = tmp_path_factory.mktemp("mount-probe")
    result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,nr_inodes=16", "tmpfs", str(probe)],
                            capture_output=True, text=True)
    if result.returncode != 0:
        pytest.skip("cannot mount a tmpfs here (needs root or CAP_SYS_ADMIN): " + result.stderr.strip())
    subprocess.run(["umount", str(probe)], check=True)


@pytest.fixture(scope="module")
def trees(tmp_path_factory):
    """Digests of the old and the new game files, and the folder the patch server serves."""
    root = tmp_path_factory.mktemp("trees")
    old = write_tree(root / "old", OLD_FILES)
    new = write_tree(root / "new", NEW_FILES)
    package = make_update(old, new, VERSION, tmp_path_factory.mktemp("served"))
    return files_only(snapshot(old)), files_only(snapshot(new)), package.manifest.parent


@pytest.fixture(scope="module")
def patch_server(trees, tmp_path_factory):
    with PatchServer(tmp_path_factory.mktemp("server"), trees[2]) as server:
        yield server


@pytest.fixture(scope="module")
def wine_env():
    return wine_environment()


class Volume(NamedTuple):
    mount: pathlib.Path
    drive: str  # "X:"

    def client(self):
        return self.mount / "client"

    def fill(self):
        return self.mount / "fill"

    def win(self, path):
        return self.drive + "\\" + "\\".join(pathlib.Path(path).relative_to(self.mount).parts)

    def remount(self, size):
        subprocess.run(["mount", "-o", f"remount,size={size}", str(self.mount)], check=True)


@contextlib.contextmanager
def volume(workdir, env, size):
    """A tmpfs of that size and ENTRIES file entries with an old client on it,
    on a free drive letter of the prefix; unmapped and unmounted however the
    block ends."""
    mount = pathlib.Path(workdir) / VOLUME_NAME
    mount.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size},nr_inodes={ENTRIES}", "tmpfs", str(mount)],
                   check=True)
    link = None
    try:
        devices = pathlib.Path(env["WINEPREFIX"]) / "dosdevices"
        free = [letter for letter in "yxwvutsrqponmlkjih" if not os.path.lexists(devices / f"{letter}:")]
        link = devices / f"{free[0]}:"
        link.symlink_to(mount)
        disk = Volume(mount, free[0].upper() + ":")
        write_tree(disk.client(), OLD_FILES)
        (disk.client() / "Server.ini").write_bytes(SERVER_INI)
        disk.fill().mkdir()
        yield disk
    finally:
        if link is not None:
            link.unlink(missing_ok=True)
        if subprocess.run(["umount", str(mount)], capture_output=True).returncode != 0:
            subprocess.run(["umount", "-l", str(mount)], capture_output=True)


def download(env, disk, *fill):
    """The driver's download command: (result line, the session's retry
    decision and the system code of a failure, or None and None)."""
    result = subprocess.run(["wine", str(INSTALL_DRIVER), "download", disk.win(disk.client()), BASE_URL,
                             f"{VERSION}.manifest", str(VERSION), "2369", *fill], env=env, stdin=subprocess.DEVNULL,
                            capture_output=True, timeout=120)
    lines = result.stdout.decode("utf-8", "replace").splitlines()
    told = dict(line.split(": ", 1) for line in lines if line.startswith(("RETRY: ", "CODE: ")))
    return (lines[-1] if lines else ""), told.get("RETRY"), told.get("CODE")


def game_files(client):
    return files_only(snapshot(client, skip=(UPDATE_AREA, "Server.ini")))


def assert_new_client(disk, trees):
    assert game_files(disk.client()) == trees[1]
    sections = ini_sections(disk.client() / "Server.ini")
    assert sections == {"Version": {"Files": str(VERSION)}, **NEW_SERVER_INI_SECTIONS}
    assert not (disk.client() / UPDATE_AREA / "current").exists()


class Case(NamedTuple):
    step: str
    point: str
    kind: str
    text: str
    code: str = DISK_FULL


CASES = [
    Case("download", "archive", "bytes", DOWNLOAD_WRITE),
    Case("download", "archive", "entries", DOWNLOAD_CREATE),
    Case("preflight", "hashed", "bytes", PREFLIGHT, code="0"),  # a check, no failed call
    Case("staging", "extract", "bytes", EXTRACTION),
    Case("staging", "extract", "entries", EXTRACTION),
    Case("journal", "journal", "bytes", JOURNAL_WRITE),
    Case("journal", "journal", "entries", JOURNAL_CREATE),
    Case("replace", "replace", "entries", REPLACE),
    Case("replace", "replace-half", "entries", REPLACE),
    Case("version save", "verify", "bytes", VERSION_SAVE),
    Case("version save", "verify", "entries", VERSION_SAVE),
]


@pytest.mark.parametrize("case", CASES, ids=[f"{c.step}-{c.point}-{c.kind}" for c in CASES])
def test_a_full_disk_fails_its_step_keeps_the_old_client_and_the_next_attempt_installs(
        case, can_mount, trees, patch_server, wine_env, tmp_path):
    with volume(tmp_path, wine_env, ROOMY) as disk:
        line, retry, code = download(wine_env, disk, "--fill-at", case.point, case.kind, disk.win(disk.fill()))
        assert (line, code, retry) == ("ERROR: " + case.text, case.code, "no")
        assert game_files(disk.client()) == trees[0]
        assert (disk.client() / "Server.ini").read_bytes() == SERVER_INI

        shutil.rmtree(disk.fill())
        assert download(wine_env, disk) == ("OK", None, None)
        assert_new_client(disk, trees)


def test_an_archive_larger_than_the_volume_fails_and_installs_once_the_volume_grows(
        can_mount, trees, patch_server, wine_env, tmp_path):
    with volume(tmp_path, wine_env, "2m") as disk:
        assert download(wine_env, disk) == ("ERROR: " + DOWNLOAD_WRITE, "no", DISK_FULL)
        assert game_files(disk.client()) == trees[0]
        assert (disk.client() / "Server.ini").read_bytes() == SERVER_INI

        disk.remount(ROOMY)
        assert download(wine_env, disk) == ("OK", None, None)
        assert_new_client(disk, trees)
