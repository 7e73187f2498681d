"""The transactional installer and the crash recovery on real client folders
under Wine: packages from tools/orvex_ops/publish.py, hostile archives written
byte by byte, and the install driver killed at every checkpoint."""
import contextlib
import pathlib
import shutil
import struct
import subprocess
import time
import zipfile
import zlib
from typing import Callable, NamedTuple, Optional

import pytest

from fixtures import (MADE_ON_UNIX, UNIX_SYMLINK, UPDATE_AREA, Driver, Package, ZipEntry, client_version, copy_tree,
                      deflated, files_only, ini_sections, keygen, make_update, overlapping_zip_bytes, pseudo_random,
                      sha256_hex, signed_package, snapshot, unwritable, win_path, write_tree, zip_bytes)

NEW_VERSION = 2370
SERVER_INI = ("[Version]\r\nFiles=2369\r\n[Server]\r\nCount=1\r\nIP0=10.1.2.3\r\n"
              "[ORVEX_UPDATE]\r\nBaseURL=https://cdn.example/orvex-patch/\r\n")
YONETIM = "ChrSelect/upc_ka_wt_ma_Y\u00f6netim.v7anim"
YONETIM_MANAGED = "ChrSelect/upc_ka_wt_ma_Y%c3%b6netim.v7anim"
UI_SIZE = 200_000

OLD_FILES = {
    "Vantrell.exe": pseudo_random("vantrell", 6000),
    "Data/item.tbl": pseudo_random("item", 3000),
    "Data/skill.tbl": pseudo_random("skill", 2000),
    "ui/ui.src": pseudo_random("ui", UI_SIZE),
    "fx/fx.src": pseudo_random("fx", 50_000),
    YONETIM: pseudo_random("yonetim", 1000),
    "Misc/readme.txt": b"unchanged by every update\n",
}


def _new_files():
    ui = bytearray(OLD_FILES["ui/ui.src"])
    ui[100_000:100_016] = b"patched-ui-bytes"
    changed = {
        "Vantrell.exe": pseudo_random("vantrell-2370", 6100),
        "Data/item.tbl": pseudo_random("item-2370", 3500),
        "Data/new.tbl": pseudo_random("new", 700),
        "Texture/Npc/new.dds": pseudo_random("dds", 900),
        "ui/ui.src": bytes(ui),
        "fx/fx.src": OLD_FILES["fx/fx.src"] + pseudo_random("fx-tail", 1000),
        YONETIM: pseudo_random("yonetim-2370", 1200),
    }
    return {**OLD_FILES, **changed}


NEW_FILES = _new_files()
ITEM = NEW_FILES["Data/item.tbl"]

REFUSED_VERSION = "ERROR: Update version is invalid or older than the installed client."
REFUSED_ARCHIVE = "ERROR: Downloaded archive hash or size is invalid."
NOT_IN_MANIFEST = "ERROR: Archive contents do not match the signed manifest."
UNSAFE_ENTRY = "ERROR: Unsafe archive entry."
EXTRACTION_FAILED = "ERROR: Patch extraction failed."


@pytest.fixture(scope="module")
def driver():
    return Driver()


@pytest.fixture(scope="module")
def trees(tmp_path_factory):
    root = tmp_path_factory.mktemp("trees")
    old = write_tree(root / "2369", OLD_FILES)
    (old / "Server.ini").write_bytes(SERVER_INI.encode("ascii"))
    new = write_tree(root / "2370", NEW_FILES)
    return old, new


@pytest.fixture(scope="module")
def package(trees, tmp_path_factory):
    old, new = trees
    return make_update(old, new, NEW_VERSION, tmp_path_factory.mktemp("pkg2370"))


def fresh_client(trees, folder):
    return copy_tree(trees[0], folder)


def game_files(client):
    """Every file of the client except Server.ini and the update area."""
    return files_only(snapshot(client, skip=(UPDATE_AREA, "Server.ini")))


def everything(client):
    """Every file and folder of the client, the update area included, except
    the lock file that the recovery creates."""
    tree = snapshot(client, skip=())
    tree.pop(f"{UPDATE_AREA}/update.lock", None)
    return tree


def settings_without_version(client):
    sections = ini_sections(pathlib.Path(client) / "Server.ini")
    sections["Version"].pop("Files", None)
    return sections


# ---------------------------------------------------------------- installs


def test_update_installs_the_new_tree_and_keeps_the_settings(driver, trees, package, tmp_path):
    names = zipfile.ZipFile(package.archive).namelist()
    # Both delta targets travel as deltas: one changed inside, one grown.
    assert {"ui/ui.src.ord", "fx/fx.src.ord"} <= set(names) and not {"ui/ui.src", "fx/fx.src"} & set(names)
    assert YONETIM_MANAGED in [path for path, _, _ in package.files()]

    client = fresh_client(trees, tmp_path / "client")
    assert driver.run(*package.install_args(client)) == (0, "OK")

    # The non-ASCII client file is replaced under its real name, the delta
    # targets are rebuilt, unchanged files stay, nothing is left over.
    assert game_files(client) == files_only(snapshot(trees[1]))
    sections = ini_sections(client / "Server.ini")
    assert sections["Version"] == {"Files": "2370"}
    assert sections["Server"] == {"Count": "1", "IP0": "10.1.2.3"}
    assert sections["ORVEX_UPDATE"] == {"BaseURL": "https://cdn.example/orvex-patch/"}
    assert not (client / UPDATE_AREA / "current").exists()

    # Reinstalling the same version over itself: every delta target already
    # equals its target, the files and the version stay as they are.
    installed = snapshot(client)
    assert driver.run(*package.install_args(client, installed=NEW_VERSION), "--allow-same") == (0, "OK")
    assert snapshot(client) == installed
    assert client_version(client) == "2370"


def test_version_rules(driver, trees, tmp_path):
    package = make_update(trees[0], trees[1], 2384, tmp_path / "pkg2384")
    client = fresh_client(trees, tmp_path / "client")
    before = snapshot(client, skip=())
    results = driver.batch([
        package.install_args(client, installed=2384),
        package.install_args(client, installed=2385) + ["--allow-same"],
        package.install_args(client, target=2385, installed=2369),  # manifest says 2384
        package.install_args(client, target=2383, installed=2369) + ["--allow-same"],
    ], tmp_path)
    assert results == [REFUSED_VERSION] * 4
    assert snapshot(client, skip=()) == before  # nothing written, not even the update area

    results = driver.batch([
        package.install_args(client, installed=2369),
        package.install_args(client, installed=2384),
        package.install_args(client, installed=2384) + ["--allow-same"],
    ], tmp_path)
    assert results == ["OK", REFUSED_VERSION, "OK"]
    assert client_version(client) == "2384"
    assert game_files(client) == files_only(snapshot(trees[1]))


# The manifest spells the name in another letter case than the file on disk:
# Windows names the same file either way.
@pytest.mark.parametrize("running, listed", [("Launcher.exe", "LAUNCHER.exe"),
                                             ("ORVEX/Patch/PatchKur.exe", "ORVEX/Patch/patchkur.EXE")],
                         ids=["at-root", "in-subfolder-named-with-slashes"])
def test_package_replacing_the_running_program_is_refused_before_anything_is_written(driver, trees, tmp_path,
                                                                                      running, listed):
    client = fresh_client(trees, tmp_path / "client")
    (client / running).parent.mkdir(parents=True, exist_ok=True)
    shutil.copy2(driver.exe, client / running)
    package = signed_package(tmp_path / "pkg", NEW_VERSION,
                             zip_bytes([ZipEntry("Data/item.tbl", ITEM), ZipEntry(listed, b"new program")]),
                             [("Data/item.tbl", ITEM), (listed, b"new program")])
    before = snapshot(tmp_path, skip=())
    code, line = driver.run(*package.install_args(client), exe=client / running)
    assert (code, line) == (1, "ERROR: This package replaces the running launcher; use a standalone launcher installer.")
    assert snapshot(tmp_path, skip=()) == before


def test_data_folder_that_is_a_symbolic_link_elsewhere_is_refused(driver, trees, package, tmp_path):
    # A real link, not the test seam: Wine reports a Unix symbolic link to a
    # folder as a reparse point (one to a file it does not).
    client = fresh_client(trees, tmp_path / "client")
    elsewhere = tmp_path / "elsewhere"
    (client / "Data").rename(elsewhere)
    (client / "Data").symlink_to(elsewhere, target_is_directory=True)
    before = snapshot(tmp_path, skip=())
    assert driver.run(*package.install_args(client)) == (
        1, "ERROR: Update path contains a junction or symbolic link.")
    assert snapshot(tmp_path, skip=()) == before
    assert (elsewhere / "item.tbl").read_bytes() == OLD_FILES["Data/item.tbl"]


def test_rollback_completes_when_server_ini_is_read_only(driver, trees, package, tmp_path):
    # The install replaces every file and then cannot record the new version;
    # the rollback must not need to write the version that is already there,
    # or the client stays in a recovery that fails at every start.
    client = fresh_client(trees, tmp_path / "client")
    settings = (client / "Server.ini").read_bytes()
    with unwritable(client / "Server.ini"):
        results = driver.batch([package.install_args(client), ["recover", win_path(client)]], tmp_path)
        assert results == ["ERROR: Cannot save client version.", "OK"]
    assert game_files(client) == game_files(trees[0])
    assert (client / "Server.ini").read_bytes() == settings
    assert not (client / UPDATE_AREA / "current").exists()


# ---------------------------------------------------------------- refused packages
#
# Each case gets its own client folder (a copy of the 2369 tree) and package.
# All installs run in one driver process, then all recoveries in another.
# "early" cases must be refused before anything is written (no update area at
# all); "staged" cases may leave the transaction directory with the manifest
# copy and staged files, and nothing else anywhere.


class Case(NamedTuple):
    build: Callable  # (case folder, shared packages) -> Package
    line: str  # the driver's expected result line
    stage: str  # "early" or "staged"
    prepare: Optional[Callable] = None  # changes the client folder before the install
    staging_stays_empty: bool = False  # refused before the first byte is extracted
    args: tuple = ()  # more install driver arguments


def shared(name):
    return lambda work, base: base[name]


def entries_package(entries, files, comment=b""):
    return lambda work, base: signed_package(work / "pkg", NEW_VERSION, zip_bytes(entries, comment), files)


def with_item(*extra):
    """An archive with the new Data/item.tbl first and the given entries after it."""
    return entries_package([ZipEntry("Data/item.tbl", ITEM), *extra], [("Data/item.tbl", ITEM)])


def publisher_package_changed(change):
    """The publisher's 2370 package with its archive bytes changed after signing."""
    def build(work, base):
        original = base["package"]
        shutil.copytree(original.manifest.parent, work / "pkg")
        package = Package(*(work / "pkg" / p.name for p in (original.manifest, original.signature, original.archive)),
                          original.version)
        data = bytearray(package.archive.read_bytes())
        change(data)
        package.archive.write_bytes(bytes(data))
        return package
    return build


def flip_middle_byte(data):
    data[len(data) // 2] ^= 0x01


def hostile_end_record(data):
    """Entry count, central directory size and offset of the end record made
    absurd: nothing may read them before the digest has refused the file."""
    end = data.rindex(b"PK\x05\x06")
    data[end + 8:end + 20] = struct.pack("<HHII", 0xFFFF, 0xFFFF, 0xFFFFFFF0, len(data) - 1)


def delta_bytes(length):
    """An ORDELTA1 entry of one record at offset 0 (valid whenever length >= 24)."""
    body = b"ORDELTA1" + struct.pack("<I", 1) + struct.pack("<QI", 0, length - 24)
    return body + b"\x5a" * (length - len(body))


def many_entries(count):
    names = [f"many/{i:05d}.dat" for i in range(count)]
    return entries_package([ZipEntry(name) for name in names], [(name, b"") for name in names])


def read_only(client):
    (client / "Data" / "item.tbl").chmod(0o444)


def folder_in_the_way(client):
    (client / "Data" / "new.tbl").mkdir()


def other_ui_base(client):
    data = bytearray((client / "ui" / "ui.src").read_bytes())
    data[10] ^= 0xFF  # outside the ranges the delta carries
    (client / "ui" / "ui.src").write_bytes(bytes(data))


def no_ui_base(client):
    (client / "ui" / "ui.src").unlink()


NEW_UI = NEW_FILES["ui/ui.src"]
SYMLINK = ZipEntry("Data/link.tbl", b"../../../../x", external=UNIX_SYMLINK, made_by=MADE_ON_UNIX)

CASES = {
    # The archive file against the signed size and digest.
    "archive-one-byte-longer": Case(publisher_package_changed(lambda data: data.append(0)), REFUSED_ARCHIVE, "early"),
    "archive-one-bit-changed": Case(publisher_package_changed(flip_middle_byte), REFUSED_ARCHIVE, "early"),
    # The driver fails the install if the archive is opened for parsing at all.
    "archive-with-hostile-end-record-never-parsed": Case(publisher_package_changed(hostile_end_record),
                                                         REFUSED_ARCHIVE, "early", args=("--forbid-parse",)),
    "signed-with-another-key": Case(shared("foreign"), "ERROR: Update signature is invalid.", "early"),
    # Destinations in the client folder.
    "read-only-destination": Case(shared("package"), "ERROR: Update destination is read-only.",
                              "early", read_only),
    "folder-where-a-file-goes": Case(shared("package"),
                                 "ERROR: Update destination is not a regular file.", "early", folder_in_the_way),
    # Archive listing against the manifest.
    "entry-not-in-manifest": Case(with_item(ZipEntry("Data/extra.tbl", b"x")), NOT_IN_MANIFEST, "staged"),
    "entry-in-another-letter-case": Case(entries_package([ZipEntry("data/ITEM.tbl", ITEM)], [("Data/item.tbl", ITEM)]),
                                     NOT_IN_MANIFEST, "staged"),
    "entries-differ-only-in-case": Case(with_item(ZipEntry("Data/Item.tbl", ITEM)), NOT_IN_MANIFEST, "staged"),
    "same-entry-twice": Case(with_item(ZipEntry("Data/item.tbl", ITEM)), NOT_IN_MANIFEST, "staged"),
    "file-and-its-delta": Case(entries_package([ZipEntry("ui/ui.src", NEW_UI), ZipEntry("ui/ui.src.ord", delta_bytes(40))],
                                           [("ui/ui.src", NEW_UI)]), NOT_IN_MANIFEST, "staged"),
    "delta-of-23-bytes": Case(entries_package([ZipEntry("ui/ui.src.ord", delta_bytes(40)[:23])], [("ui/ui.src", NEW_UI)]),
                          "ERROR: Invalid delta archive size.", "staged"),
    "delta-2-mib-larger-than-its-target": Case(
        entries_package([ZipEntry("ui/ui.src.ord", delta_bytes(UI_SIZE + 2 * 1024 * 1024 + 1), method=8)],
                        [("ui/ui.src", NEW_UI)]), "ERROR: Invalid delta archive size.", "staged"),
    "missing-signed-file": Case(entries_package([ZipEntry("Data/item.tbl", ITEM)],
                                            [("Data/item.tbl", ITEM), ("Data/new.tbl", b"new")]),
                            "ERROR: Archive is missing signed files.", "staged"),
    "content-differs-from-manifest": Case(
        entries_package([ZipEntry("Data/item.tbl", ITEM[:-1] + b"!")], [("Data/item.tbl", ITEM)]),
        "ERROR: Extracted file hash mismatch.", "staged"),
    # Large enough that its digest is taken in the archive's hash pass.
    "large-stored-content-differs-from-manifest": Case(
        entries_package([ZipEntry("Data/big.tbl", pseudo_random("big", 2 << 20))],
                        [("Data/big.tbl", pseudo_random("other", 2 << 20))]),
        "ERROR: Extracted file hash mismatch.", "staged"),
    "delta-on-another-base": Case(shared("package"), "ERROR: This patch requires a compatible "
                              "ORVEX/Halvane 2369 base. The existing game archive was left intact.", "staged",
                              other_ui_base),
    "delta-without-its-base": Case(shared("package"),
                               "ERROR: The patch needs the original game archive in the client folder.", "staged",
                               no_ui_base),
    "size-differs-from-manifest": Case(entries_package([ZipEntry("Data/item.tbl", ITEM + b"!")], [("Data/item.tbl", ITEM)]),
                                   "ERROR: Archive file size does not match the signed manifest.", "staged"),
    # Names no archive may use.
    "server-ini-at-root": Case(with_item(ZipEntry("Server.ini", b"[Version]\r\nFiles=9999\r\n")), UNSAFE_ENTRY, "staged"),
    "update-area-entry": Case(with_item(ZipEntry(".orvex-update/current/committed", b"1\n")), UNSAFE_ENTRY, "staged"),
    "parent-slash": Case(with_item(ZipEntry("../x", b"x")), UNSAFE_ENTRY, "staged"),
    "parent-backslash": Case(with_item(ZipEntry("..\\x", b"x")), UNSAFE_ENTRY, "staged"),
    "parents-out-of-the-client": Case(with_item(ZipEntry("Data/../../../../../x", b"x")), UNSAFE_ENTRY, "staged"),
    "absolute-slash": Case(with_item(ZipEntry("/tmp/x", b"x")), UNSAFE_ENTRY, "staged"),
    "absolute-backslash-unc": Case(with_item(ZipEntry("\\\\server\\share\\x", b"x")), UNSAFE_ENTRY, "staged"),
    "drive-absolute": Case(with_item(ZipEntry("C:/x", b"x")), UNSAFE_ENTRY, "staged"),
    "drive-relative": Case(with_item(ZipEntry("C:x", b"x")), UNSAFE_ENTRY, "staged"),
    "device-name": Case(with_item(ZipEntry("a/CON", b"x")), UNSAFE_ENTRY, "staged"),
    "device-name-with-extension": Case(with_item(ZipEntry("a/lpt1.log", b"x")), UNSAFE_ENTRY, "staged"),
    "stream-colon": Case(with_item(ZipEntry("a:b", b"x")), UNSAFE_ENTRY, "staged"),
    "name-ending-in-a-dot": Case(with_item(ZipEntry("Data/item.tbl.", b"x")), UNSAFE_ENTRY, "staged"),
    "name-ending-in-a-space": Case(with_item(ZipEntry("Data/item.tbl ", b"x")), UNSAFE_ENTRY, "staged"),
    "non-ascii-name": Case(with_item(ZipEntry(b"Data/\xc3\xb6.tbl", b"x")), UNSAFE_ENTRY, "staged"),
    # Container tricks that only the extraction or the reader can see.
    "unix-symlink-entry-last": Case(entries_package([ZipEntry("Data/item.tbl", ITEM), SYMLINK],
                                                [("Data/item.tbl", ITEM), ("Data/link.tbl", SYMLINK.data)]),
                                EXTRACTION_FAILED, "staged", staging_stays_empty=True),
    "unix-symlink-entry-first": Case(entries_package([SYMLINK, ZipEntry("Data/item.tbl", ITEM)],
                                                 [("Data/item.tbl", ITEM), ("Data/link.tbl", SYMLINK.data)]),
                                 EXTRACTION_FAILED, "staged", staging_stays_empty=True),
    "stored-entry-with-wrong-crc": Case(
        entries_package([ZipEntry("Data/item.tbl", ITEM, crc=zlib.crc32(ITEM) ^ 1)], [("Data/item.tbl", ITEM)]),
        EXTRACTION_FAILED, "staged"),
    "deflated-data-longer-than-declared": Case(
        # Declares 64 bytes, inflates to 65.
        entries_package([ZipEntry("Data/new.tbl", b"\0" * 64, method=8, stream=deflated(b"\0" * 65))],
                        [("Data/new.tbl", b"\0" * 64)]),
        EXTRACTION_FAILED, "staged"),
    "local-name-differs-from-central": Case(
        entries_package([ZipEntry("Data/item.tbl", ITEM, local_name="../../../x.tbl")], [("Data/item.tbl", ITEM)]),
        EXTRACTION_FAILED, "staged", staging_stays_empty=True),
    "entries-share-bytes": Case(
        lambda work, base: _overlapping(work), "ERROR: Cannot open patch archive.", "staged", staging_stays_empty=True),
    "10001-entries": Case(many_entries(10001), EXTRACTION_FAILED, "staged", staging_stays_empty=True),
}


def _overlapping(work):
    inner = ZipEntry("Data/new.tbl", b"inner data")
    outer = ZipEntry("Data/item.tbl")
    archive = overlapping_zip_bytes(outer, inner)
    return signed_package(work / "pkg", NEW_VERSION, archive,
                          [("Data/item.tbl", outer.data), ("Data/new.tbl", inner.data)])


def allowed_in_update_area(path):
    """What a refused install may leave: the transaction directory with the
    manifest copy and staged files (the recovery removes them)."""
    current = f"client/{UPDATE_AREA}/current/"
    return path in (f"client/{UPDATE_AREA}/", current, current + "manifest", current + "signature",
                    current + "files/") or path.startswith(current + "files/")


@pytest.fixture(scope="module")
def refused(driver, trees, package, tmp_path_factory):
    """Every case installed (one batch), inspected, then recovered (one batch)."""
    root = tmp_path_factory.mktemp("refused")
    foreign_key = keygen(root / "foreign-key")
    base = {"package": package,
            "foreign": make_update(trees[0], trees[1], NEW_VERSION, root / "foreign", "--sign-with", foreign_key)}
    work, packages, before = {}, {}, {}
    for name, case in CASES.items():
        folder = root / name
        folder.mkdir()
        client = fresh_client(trees, folder / "client")
        packages[name] = case.build(folder, base)
        if case.prepare:
            case.prepare(client)
        work[name] = folder
        before[name] = snapshot(folder, skip=())
    names = list(CASES)
    installed = dict(zip(names, driver.batch([packages[n].install_args(work[n] / "client") + list(CASES[n].args)
                                              for n in names], root)))
    after_install = {name: snapshot(work[name], skip=()) for name in names}
    recovered = dict(zip(names, driver.batch([["recover", win_path(work[n] / "client")] for n in names], root)))
    return {name: {"line": installed[name], "before": before[name], "after_install": after_install[name],
                   "recovered": recovered[name], "after_recover": snapshot(work[name], skip=()),
                   "client": work[name] / "client"} for name in names}


@pytest.mark.parametrize("name", list(CASES))
def test_refused_package_leaves_the_client_unchanged(refused, name):
    case = CASES[name]
    result = refused[name]
    assert result["line"] == case.line

    before, after = result["before"], result["after_install"]
    changed = {path for path in before.keys() | after.keys() if before.get(path) != after.get(path)}
    if case.stage == "early":
        assert not changed, changed
    else:
        # Nothing outside the transaction directory, nothing escaped the
        # staging folder, and no client file was touched (no journal).
        assert {path for path in changed if not allowed_in_update_area(path)} == set()
        assert f"client/{UPDATE_AREA}/current/manifest" in after
    if case.staging_stays_empty:
        staging = f"client/{UPDATE_AREA}/current/files/"
        assert [p for p in after if p.startswith(staging)] == [staging]

    # The recovery removes what the install left and changes nothing else.
    assert result["recovered"] == "OK"
    assert not (result["client"] / UPDATE_AREA / "current").exists()
    settled = {path: digest for path, digest in result["after_recover"].items()
               if not path.startswith(f"client/{UPDATE_AREA}/")}
    assert settled == before


def test_delta_large_enough_to_be_flushed_early_is_rebuilt_while_a_flush_is_slow(driver, trees, tmp_path):
    # From 8 MiB on, staged files are flushed behind the extraction; a delta
    # is only read by its rebuild, which a flush's handle shut out for as long
    # as the flush took, failing the install with a text about the client.
    size = 9 * 1024 * 1024
    rebuilt = b"\x5a" * size
    package = signed_package(tmp_path / "pkg", NEW_VERSION, zip_bytes([ZipEntry("ui/ui.src.ord", delta_bytes(size + 24))]),
                             [("ui/ui.src", rebuilt)])
    client = fresh_client(trees, tmp_path / "client")
    assert driver.run(*package.install_args(client), "--slow-flush-ahead", "4000") == (0, "OK")
    assert (client / "ui" / "ui.src").read_bytes() == rebuilt


def test_patch_of_many_large_files_in_many_folders_keeps_within_a_small_descriptor_limit(driver, trees, tmp_path):
    # Under Wine every open handle is one of the wineserver's descriptors:
    # with a hard limit of 1,024 a process gets about 800. Every file of this
    # patch counts as large (--held-from 1) and has a folder of its own half
    # the time; an install that kept a handle for each of them ran out.
    files = [(f"many/d{i // 2:03d}/f{i:04d}.dat", pseudo_random(f"many-{i}", 64)) for i in range(900)]
    package = signed_package(tmp_path / "pkg", NEW_VERSION, zip_bytes([ZipEntry(p, d) for p, d in files]), files)
    client = fresh_client(trees, tmp_path / "client")
    env = {**driver.env, "WINEPREFIX": str(tmp_path / "prefix")}
    command = " ".join(f"'{a}'" for a in ["wine", driver.exe, *package.install_args(client), "--held-from", "1"])
    result = subprocess.run(["bash", "-c", f"ulimit -n 1024 && wineboot -i >/dev/null 2>&1 && {command}; "
                             "code=$?; wineserver -k; exit $code"], env=env, capture_output=True, timeout=240)
    assert (result.returncode, result.stdout.decode().splitlines()[-1:]) == (0, ["OK"]), result.stderr[-2000:]
    assert all((client / path).read_bytes() == data for path, data in files)


def test_archive_with_a_65535_byte_comment_installs(driver, trees, tmp_path):
    client = fresh_client(trees, tmp_path / "client")
    comment = (b"PK\x05\x06" + b"c" * 100) * 600
    comment = comment[:65535]
    package = signed_package(tmp_path / "pkg", NEW_VERSION, zip_bytes([ZipEntry("Data/item.tbl", ITEM, method=8)],
                                                                      comment=comment), [("Data/item.tbl", ITEM)])
    assert driver.run(*package.install_args(client)) == (0, "OK")
    assert (client / "Data" / "item.tbl").read_bytes() == ITEM
    assert client_version(client) == "2370"


# ---------------------------------------------------------------- crashes

# "before-commit": the crash came after the new version was saved but before
# the commit marker reached the disk (there is no checkpoint between them; the
# marker of a crash at "committed" is removed instead).
CHECKPOINTS = ["journal", "replace", "replace-half", "before-commit", "committed"]


def crash(driver, package, client, checkpoint):
    code, line = driver.run(*package.install_args(client), "--crash-at",
                            "committed" if checkpoint == "before-commit" else checkpoint)
    assert code == 99 and line == "", (code, line)
    current = client / UPDATE_AREA / "current"
    if checkpoint == "before-commit":
        (current / "committed").unlink()
    return current


@pytest.mark.parametrize("checkpoint", CHECKPOINTS)
def test_recovery_after_a_crash_gives_the_old_or_the_new_client(driver, trees, package, tmp_path, checkpoint):
    old_files, new_files = game_files(trees[0]), files_only(snapshot(trees[1]))
    client = fresh_client(trees, tmp_path / "client")
    settings = settings_without_version(client)
    current = crash(driver, package, client, checkpoint)

    crashed = game_files(client)
    if checkpoint == "replace-half":
        # A real mix: a replaced file, a file the patch added, files moved
        # into the backup whose new files have not arrived yet.
        assert crashed["Data/item.tbl"] == new_files["Data/item.tbl"]
        assert "Data/new.tbl" in crashed and "Texture/Npc/new.dds" not in crashed
        assert "ui/ui.src" not in crashed and (current / "backup" / "ui" / "ui.src").is_file()
    elif checkpoint in ("before-commit", "committed"):
        assert crashed == new_files and client_version(client) == "2370"
    else:
        assert crashed == old_files
        assert (current / "journal").exists() == (checkpoint == "replace")

    assert driver.run("recover", win_path(client)) == (0, "OK")
    expected_files, expected_version = (new_files, "2370") if checkpoint == "committed" else (old_files, "2369")
    assert game_files(client) == expected_files
    assert client_version(client) == expected_version
    assert settings_without_version(client) == settings
    assert not current.exists()

    once = snapshot(client, skip=())
    assert driver.run("recover", win_path(client)) == (0, "OK")
    assert snapshot(client, skip=()) == once


def test_journal_on_disk_after_a_crash_at_replace(driver, trees, package, tmp_path):
    client = fresh_client(trees, tmp_path / "client")
    current = crash(driver, package, client, "replace")
    assert not (current / "journal.tmp").exists()
    assert (current / "manifest").read_bytes() == package.manifest.read_bytes()
    assert (current / "signature").read_bytes() == package.signature.read_bytes()

    lines = ["ORVEX-JOURNAL-1", "2369"]
    for path, _, _ in package.files():
        client_name = YONETIM if path == YONETIM_MANAGED else path
        old = OLD_FILES.get(client_name)
        if old is None:
            lines.append(f"{path}\t0\t0\t-")
        else:
            lines.append(f"{path}\t1\t{len(old)}\t{sha256_hex(old)}")
            # Still in place: the client file becomes its own backup only
            # when it is replaced.
            assert (client / client_name).read_bytes() == old and not (current / "backup" / path).exists()
    assert (current / "journal").read_bytes() == ("\n".join(lines) + "\n").encode("ascii")
    assert "\t1\t" in lines[2] and any(line.endswith("\t0\t0\t-") for line in lines)


@pytest.mark.parametrize("backup_gone", [False, True])
def test_committed_update_changed_since_comes_back_whole(driver, trees, package, tmp_path, backup_gone):
    client = fresh_client(trees, tmp_path / "client")
    current = crash(driver, package, client, "committed")
    (client / "Data" / "new.tbl").write_bytes(b"damaged after the crash")
    if backup_gone:
        (current / "backup" / "Vantrell.exe").unlink()
    before = game_files(client)
    # The backups go only once the committed files are verified. With every
    # old copy there, the old client comes back whole and the update is
    # installed again; without one, the update stands and repair fixes the
    # changed file. Neither refuses the start.
    assert driver.run("recover", win_path(client)) == (0, "OK")
    if backup_gone:
        assert game_files(client) == before and client_version(client) == "2370"
    else:
        assert game_files(client) == game_files(trees[0]) and client_version(client) == "2369"
    assert not current.exists()


def test_commit_marker_never_completely_written_is_rolled_back(driver, trees, package, tmp_path):
    # Its write or flush failed, and the install reported the failure: the
    # recovery must not keep the update as committed.
    client = fresh_client(trees, tmp_path / "client")
    current = crash(driver, package, client, "committed")
    (current / "committed").write_bytes(b"")
    assert driver.run("recover", win_path(client)) == (0, "OK")
    assert game_files(client) == game_files(trees[0]) and client_version(client) == "2369"
    assert not current.exists()


@pytest.mark.parametrize("scheme", ["moved", "copied"])
def test_changed_backup_goes_back_as_it_is_unless_the_install_made_it(driver, trees, package, tmp_path, scheme):
    client = fresh_client(trees, tmp_path / "client")
    current = crash(driver, package, client, "replace-half")
    # A backup of a file not yet replaced, changed by another program.
    backup = current / "backup" / "ui" / "ui.src"
    damaged = bytearray(backup.read_bytes())
    damaged[0] ^= 0xFF
    backup.write_bytes(bytes(damaged))
    if scheme == "moved":
        # The install moved the player's own file aside: it goes back as it
        # is, and the start-up check repairs it.
        assert driver.run("recover", win_path(client)) == (0, "OK")
        assert game_files(client) == {**game_files(trees[0]), "ui/ui.src": sha256_hex(bytes(damaged))}
        assert client_version(client) == "2369" and not current.exists()
    else:
        # A journal without the record of moved backups is one of copies the
        # transaction made itself: a changed one lost the old bytes, and the
        # rollback must not start.
        (current / "backup-scheme").unlink()
        before = everything(client)
        assert driver.run("recover", win_path(client)) == (
            1, "ERROR: Update backup is damaged; manual recovery required.")
        assert everything(client) == before
        assert client_version(client) == "2369"


def move_into_backup(client, current, *paths):
    for path in paths:
        (current / "backup" / path).parent.mkdir(parents=True, exist_ok=True)
        (client / path).rename(current / "backup" / path)


def copies_in_backup_and_half_replaced(client, current):
    # As an older launcher left it: every replaced file copied into the
    # backup before the journal, then some of them replaced.
    for path in ("Vantrell.exe", "Data/item.tbl", "ui/ui.src", "fx/fx.src", YONETIM_MANAGED):
        (current / "backup" / path).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(client / (YONETIM if path == YONETIM_MANAGED else path), current / "backup" / path)
    (client / "Data" / "item.tbl").write_bytes(ITEM)
    (client / "Data" / "new.tbl").write_bytes(NEW_FILES["Data/new.tbl"])
    (current / "backup-scheme").unlink()


# What a crash after the journal can leave of each replaced file, and what
# the recovery makes of it: the old client, where another program changed or
# removed a file the install never moved, with that file as the program left
# it (the start-up check repairs it).
BACKUP_STATES = {
    "no-file-reached": (lambda client, current: None, {}),
    "moved-before-their-new-files-arrived":
        (lambda client, current: move_into_backup(client, current, "Data/item.tbl", "ui/ui.src"), {}),
    "moved-and-replaced": (lambda client, current: (move_into_backup(client, current, "Data/item.tbl"),
                                                    (client / "Data" / "item.tbl").write_bytes(ITEM),
                                                    (client / "Data" / "new.tbl").write_bytes(b"added")), {}),
    "backups-as-copies-half-replaced": (copies_in_backup_and_half_replaced, {}),
    "not-moved-but-changed-since-the-journal":
        (lambda client, current: (client / "Vantrell.exe").write_bytes(b"changed"),
         {"Vantrell.exe": sha256_hex(b"changed")}),
    "not-moved-and-gone": (lambda client, current: (client / "Vantrell.exe").unlink(), {"Vantrell.exe": None}),
}


@pytest.fixture(scope="module")
def journal_only(driver, trees, package, tmp_path_factory):
    """A client after a crash once its journal was on disk, before its first
    replaced file was moved: the journal and no backup."""
    client = fresh_client(trees, tmp_path_factory.mktemp("journal-only") / "client")
    current = crash(driver, package, client, "replace")
    shutil.rmtree(current / "backup", ignore_errors=True)
    return client


@pytest.mark.parametrize("state", list(BACKUP_STATES))
def test_rollback_restores_the_backups_and_leaves_files_never_moved(driver, trees, journal_only, tmp_path, state):
    client = copy_tree(journal_only, tmp_path / "client")
    current = client / UPDATE_AREA / "current"
    change, left_as_they_are = BACKUP_STATES[state]
    change(client, current)
    expected = {**game_files(trees[0]), **left_as_they_are}
    assert driver.run("recover", win_path(client)) == (0, "OK")
    assert game_files(client) == {path: digest for path, digest in expected.items() if digest is not None}
    assert client_version(client) == "2369" and not current.exists()


LEFTOVERS = ["no journal", "a file instead of the transaction folder", "a folder instead of the journal",
             "a folder instead of the lock file"]


@pytest.mark.parametrize("leftover", LEFTOVERS)
def test_leftovers_holding_no_transaction_are_cleared_unread(driver, trees, tmp_path, leftover):
    client = fresh_client(trees, tmp_path / "client")
    area = client / UPDATE_AREA
    current = area / "current"
    if leftover == "a file instead of the transaction folder":
        area.mkdir()
        current.write_bytes(b"stray")
    else:
        write_tree(current, {"manifest": b"not a manifest", "signature": b"short",
                             "files/Data/item.tbl": b"half-staged", "backup/Data/item.tbl": b"stray"})
    if leftover == "a folder instead of the journal":
        (current / "journal" / "x").mkdir(parents=True)
    if leftover == "a folder instead of the lock file":
        (area / "update.lock" / "x").mkdir(parents=True)
    before = game_files(client), (client / "Server.ini").read_bytes()
    assert driver.run("recover", win_path(client)) == (0, "OK")
    assert not current.exists() and (area / "update.lock").is_file()
    assert (game_files(client), (client / "Server.ini").read_bytes()) == before


def test_read_only_client_folder_without_a_transaction_recovers_nothing_and_goes_on(driver, trees, tmp_path):
    client = fresh_client(trees, tmp_path / "client")
    # Immutable: not even root may create the update area in it.
    subprocess.run(["chattr", "+i", str(client)], check=True)
    try:
        assert driver.run("recover", win_path(client)) == (0, "OK")
    finally:
        subprocess.run(["chattr", "-i", str(client)], check=True)
    assert not (client / UPDATE_AREA).exists()


# ------------------------------------------------- files held for a moment


def wait_until_free(timeout=15.0):
    """Waits for the driver's holder processes (started with "hold") to end."""
    def holders():
        found = []
        for proc in pathlib.Path("/proc").iterdir():
            with contextlib.suppress(OSError):
                if proc.name.isdigit() and b"\0hold\0" in (proc / "cmdline").read_bytes():
                    found.append(proc.name)
        return found
    end = time.monotonic() + timeout
    while holders():
        assert time.monotonic() < end, "a holder process did not end"
        time.sleep(0.1)


def test_a_holder_that_meets_another_open_of_its_file_waits_for_it(driver, tmp_path):
    # The holder's open without sharing gave up at the first sharing
    # violation (its starter's probe could cause one), so that nothing was
    # held where a test meant a hold. Two holders of one file in turn: the
    # second waits for the first instead of ending at once.
    target = tmp_path / "held.bin"
    target.write_bytes(b"held")
    no_starter = "4294967281"  # no process has this id
    first = subprocess.Popen(["wine", str(driver.exe), "hold", win_path(target), "1500", no_starter], env=driver.env,
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    second = driver.run("hold", win_path(target), "100", no_starter)[0]
    assert (first.wait(timeout=30), second) == (0, 0)


def test_a_client_file_held_for_a_moment_is_replaced_after_retries(driver, trees, package, tmp_path):
    client = fresh_client(trees, tmp_path / "client")
    held = win_path(client / "Data" / "item.tbl")
    # Held from the moment the journal is in place, for about a second.
    assert driver.run(*package.install_args(client), "--hold-at", "replace", held, "1000") == (0, "OK")
    assert game_files(client) == files_only(snapshot(trees[1]))

    # Held for longer than the retries last: the Part's message, and the
    # recovery puts the old client back.
    client = fresh_client(trees, tmp_path / "client2")
    held = win_path(client / "Data" / "item.tbl")
    assert driver.run(*package.install_args(client), "--hold-at", "replace", held, "60000") == (
        1, "ERROR: Cannot replace client file; close the game and retry.")
    wait_until_free()
    assert driver.run("recover", win_path(client)) == (0, "OK")
    assert game_files(client) == game_files(trees[0]) and client_version(client) == "2369"


# Another program changes a file between its check at staging and the check
# after the swap, and puts its write time back: the installed file no longer
# has the signed bytes, and the check after the swap must read it again
# rather than trust the staging hash or the file's identity. A staged file
# that the extraction or a rebuild holds open (large ones; all with
# --held-from 0) cannot be written by anyone else: the writer is shut out and
# the install goes on.
@pytest.mark.parametrize("change, checkpoint, where, held, outcome", [
    ("--write-at", "journal", f"{UPDATE_AREA}/current/files/Data/item.tbl", (), "caught"),
    # Same size and write time, another file object: nothing but its bytes tells.
    ("--rename-over-at", "verify", "Data/item.tbl", (), "caught"),
    ("--write-at", "journal", f"{UPDATE_AREA}/current/files/Data/item.tbl", ("--held-from", "0"), "shut out"),
    # A rebuilt game archive is held by its rebuild the same way.
    ("--write-at", "journal", f"{UPDATE_AREA}/current/files/ui/ui.src", ("--held-from", "0"), "shut out"),
], ids=["staged-file-written", "installed-file-renamed-over", "held-staged-file-written",
        "held-rebuilt-file-written"])
def test_file_changed_after_its_check_is_caught_after_the_swap(driver, trees, package, tmp_path, change, checkpoint,
                                                               where, held, outcome):
    client = fresh_client(trees, tmp_path / "client")
    result = driver.run(*package.install_args(client), change, checkpoint, win_path(client / where), *held)
    if outcome == "shut out":
        assert result == (0, "OK")
        assert game_files(client) == files_only(snapshot(trees[1])) and client_version(client) == "2370"
        return
    assert result == (1, "ERROR: Installed file verification failed.")
    assert driver.run("recover", win_path(client)) == (0, "OK")
    assert game_files(client) == game_files(trees[0]) and client_version(client) == "2369"


def test_a_client_file_that_cannot_be_read_fails_the_install_before_any_change(driver, trees, package, tmp_path):
    # The replaced files are hashed for the journal on threads beside the
    # extraction; a file held past the retries must still fail the install,
    # with nothing replaced and no journal.
    client = fresh_client(trees, tmp_path / "client")
    held = win_path(client / "Data" / "item.tbl")
    assert driver.run(*package.install_args(client), "--hold-at", "hashed", held, "60000") == (
        1, "ERROR: Cannot hash update file.")
    assert not (client / UPDATE_AREA / "current" / "journal").exists()
    assert not (client / UPDATE_AREA / "current" / "backup").exists()
    wait_until_free()
    assert driver.run("recover", win_path(client)) == (0, "OK")
    assert game_files(client) == game_files(trees[0]) and client_version(client) == "2369"


def test_install_without_worker_threads_still_installs(driver, trees, package, tmp_path):
    # A system out of threads: every step does its work on the install's own
    # thread instead of failing with the platform's text.
    client = fresh_client(trees, tmp_path / "client")
    assert driver.run(*package.install_args(client), "--no-threads") == (0, "OK")
    assert game_files(client) == files_only(snapshot(trees[1])) and client_version(client) == "2370"


def test_clean_up_held_after_the_commit_still_reports_the_install(driver, trees, package, tmp_path):
    client = fresh_client(trees, tmp_path / "client")
    backup = client / UPDATE_AREA / "current" / "backup" / "Data" / "item.tbl"
    assert driver.run(*package.install_args(client), "--hold-at", "committed", win_path(backup), "60000") == (0, "OK")
    assert game_files(client) == files_only(snapshot(trees[1])) and client_version(client) == "2370"
    # The leftovers go with the next recovery.
    wait_until_free()
    assert driver.run("recover", win_path(client)) == (0, "OK")
    assert not (client / UPDATE_AREA / "current").exists()
