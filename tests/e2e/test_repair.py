"""Batch repair on real client folders under Wine: the install driver's repair
command (RepairManagedFiles) against the stand-in patch server's repair
endpoint, on clients whose signed manifests come from tools/orvex_ops/publish.py."""
import hashlib
import importlib.util
import os
import pathlib
import shutil
import struct
import subprocess

import pytest

from fixtures import INSTALL_DRIVER, PUBLISH, UPDATE_AREA, pseudo_random, sha256_hex, snapshot, win_path, \
    write_tree
from harness import PYTHON, SOURCE_DIR, PatchServer, wine_environment

VERSION = 2372
SHARED = pseudo_random("shared", 4000)
FILES = {
    "Launcher.exe": pseudo_random("launcher", 3000),
    "Vantrell.exe": pseudo_random("vantrell", 5000),
    "ORVEX/Launcher/ui.dll": pseudo_random("ui", 2500),
    "ORVEX/Launcher/skin.dat": pseudo_random("skin", 700),
    "Misc/copy-a.bin": SHARED,
    "Misc/copy-b.bin": SHARED,
    "Misc/empty.txt": b"",
    "Misc/readme.txt": b"left alone by every repair\n",
    "data/item.tbl": pseudo_random("item", 3000),
    "data/skill.tbl": pseudo_random("skill", 2000),
}
CATALOGUE_409 = ("Onarim katalogu bu surumle eslesmiyor (HTTP 409). "
                 "Guncel surumun sunucuda yayinlanmasi gerekiyor.")
RETRY = "Connection interrupted. Retrying download..."


def file_sha256(path):
    with open(path, "rb") as stream:
        return hashlib.file_digest(stream, "sha256").hexdigest()


def manifest_entries(path, integrity):
    """(name, size, digest text) of a client manifest read back in Python."""
    body = pathlib.Path(path).read_bytes()[:-64]
    offset = 16 if integrity else 12
    (count,) = struct.unpack_from("<I", body, offset - 4)
    entries = []
    for _ in range(count):
        (length,) = struct.unpack_from("<H", body, offset)
        name = body[offset + 2:offset + 2 + length].decode()
        (size,) = struct.unpack_from("<Q", body, offset + 2 + length)
        digest = body[offset + 10 + length:offset + 42 + length].hex()
        entries.append((name, size, digest))
        offset += 42 + length
    assert offset == len(body)
    return entries


@pytest.fixture(scope="module")
def sound_client(tmp_path_factory):
    """A client tree with its two signed manifests, and the catalogue of it."""
    client = write_tree(tmp_path_factory.mktemp("sound") / "client", FILES)
    subprocess.run([PYTHON, str(PUBLISH), "make-client-manifests", "--tree", str(client), "--out", str(client)],
                   check=True, capture_output=True)
    orvex = client / "ORVEX"
    entries = manifest_entries(orvex / "Integrity.manifest", True) + manifest_entries(orvex / "Startup.manifest",
                                                                                      False)
    catalogue = sorted({digest for _, _, digest in entries} |
                       {sha256_hex((orvex / name).read_bytes()) for name in ("Startup.manifest", "Integrity.manifest")})
    return client, entries, catalogue


@pytest.fixture(scope="module")
def store(sound_client, tmp_path_factory):
    """The server's content store: every object of the client by digest, and
    the catalogue of VERSION."""
    client, _, catalogue = sound_client
    root = tmp_path_factory.mktemp("store")
    (root / "objects").mkdir()
    for path in client.rglob("*"):
        if path.is_file():
            (root / "objects" / sha256_hex(path.read_bytes())).write_bytes(path.read_bytes())
    (root / f"{VERSION}.catalogue").write_text("".join(d + "\n" for d in catalogue))
    return root


def damage(client):
    """Changed bytes, a missing file, a truncated file, a non-empty empty file
    and one shared content damaged at both of its paths."""
    vantrell = bytearray(FILES["Vantrell.exe"])
    vantrell[1234] ^= 0x40
    (client / "Vantrell.exe").write_bytes(bytes(vantrell))
    (client / "data" / "item.tbl").unlink()
    (client / "ORVEX" / "Launcher" / "ui.dll").write_bytes(FILES["ORVEX/Launcher/ui.dll"][:1000])
    (client / "Misc" / "copy-a.bin").write_bytes(b"not the shared content")
    (client / "Misc" / "copy-b.bin").unlink()
    (client / "Misc" / "empty.txt").write_bytes(b"x")
    return {"Vantrell.exe", "data/item.tbl", "ORVEX/Launcher/ui.dll", "Misc/copy-a.bin", "Misc/copy-b.bin",
            "Misc/empty.txt"}


def damaged_client(sound_client, tmp_path):
    client = pathlib.Path(shutil.copytree(sound_client[0], tmp_path / "client"))
    return client, damage(client)


def run_repair(client, version=VERSION, exe=INSTALL_DRIVER, extra=()):
    """(exit code, output lines) of one repair under Wine."""
    result = subprocess.run(["wine", str(exe), "repair", win_path(client), str(version), *extra], env=wine_environment(),
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=90)
    return result.returncode, result.stdout.decode("utf-8", "replace").splitlines()


def statuses(lines):
    return [line[len("STATUS: "):] for line in lines if line.startswith("STATUS: ")]


def progress(lines):
    return [tuple(map(int, line.split()[1:])) for line in lines if line.startswith("PROGRESS: ")]


def expected_bitmap(catalogue, digests):
    bitmap = bytearray((len(catalogue) + 7) // 8)
    for index, digest in enumerate(catalogue):
        if digest in digests:
            bitmap[index // 8] |= 1 << (index % 8)
    return bytes(bitmap).hex()


def test_damaged_files_are_fetched_once_verified_and_installed(sound_client, store, tmp_path):
    client, damaged = damaged_client(sound_client, tmp_path)
    _, entries, catalogue = sound_client
    wanted = {sha256_hex(FILES[name]) for name in damaged}
    # Each distinct content once: the shared one counts once, the empty file adds nothing.
    total = sum(len(content) for content in {FILES[name] for name in damaged})
    assert len(wanted) == 5

    with PatchServer(tmp_path, tmp_path, extra_args=["--repair-root", str(store)]) as server:
        code, lines = run_repair(client)
        posts = server.posts()

    assert (code, lines[-1]) == (0, "OK"), lines
    assert snapshot(client, skip=(UPDATE_AREA, "ORVEX")) == snapshot(sound_client[0], skip=(UPDATE_AREA, "ORVEX"))
    assert not (client / UPDATE_AREA / "download").exists()

    # One request: the shared content and the empty file are one object each.
    assert len(posts) == 1 and posts[0]["path"] == "/orvex-patch/repair-batch-v4.php"
    catalogue_digest = hashlib.sha256("".join(d + "\n" for d in catalogue).encode()).hexdigest()
    assert posts[0]["body"] == (f"{VERSION}\nBITS\n{catalogue_digest}\n{expected_bitmap(catalogue, wanted)}\n"
                                f"0\n{total}\n")
    assert dict((k.lower(), v) for k, v in posts[0]["headers"])["content-type"].startswith("text/plain")

    texts = statuses(lines)
    assert texts[0] == "Checking files... Please wait."
    assert texts[1] == f"Checking files... 1/{len(entries)} - data/item.tbl"
    assert texts[-3:] == ["Downloading files... 6 files to repair.", "Verifying downloaded files...",
                          "Installing verified files..."]
    # Verification ends before the before-install callback, which comes before any replacement.
    assert lines.index("BEFORE-INSTALL") == lines.index("STATUS: Installing verified files...") - 1
    assert lines.index("BEFORE-INSTALL") > lines.index("STATUS: Verifying downloaded files...")
    steps = progress(lines)
    assert steps[-1] == (0, 0) and (total, total) in steps
    assert all(done <= total for done, _ in steps[:-1])

    # The repaired client is sound: a second pass downloads nothing.
    with PatchServer(tmp_path, tmp_path, extra_args=["--repair-root", str(store)]) as server:
        code, lines = run_repair(client)
        assert server.posts() == []
    assert (code, lines[-1]) == (0, "OK")
    assert statuses(lines)[-1] == "All game files verified."
    assert "BEFORE-INSTALL" not in lines and progress(lines) == []
    assert not (client / UPDATE_AREA / "download").exists()


def test_files_held_for_a_moment_are_retried_and_a_held_clean_up_keeps_the_repair(sound_client, store, tmp_path):
    client, _ = damaged_client(sound_client, tmp_path)
    download = client / UPDATE_AREA / "download"
    stale = download / "stale.bin"
    stale.parent.mkdir(parents=True)
    stale.write_bytes(b"left by an earlier run")
    expected = snapshot(sound_client[0], skip=(UPDATE_AREA, "ORVEX"))
    with PatchServer(tmp_path, tmp_path, extra_args=["--repair-root", str(store)]):
        # A scanner holds the old download folder's file and then a damaged
        # client file, each for about a second: both are retried.
        code, lines = run_repair(client, extra=["--hold", win_path(stale), "1000", "--hold-before-install",
                                                win_path(client / "Vantrell.exe"), "1000"])
        assert (code, lines[-1]) == (0, "OK"), lines
        assert snapshot(client, skip=(UPDATE_AREA, "ORVEX")) == expected
        assert not download.exists()

        # The batch held past the retries: every file is repaired all the
        # same, so the repair succeeds and leaves the folder to the next one.
        damage(client)
        code, lines = run_repair(client, extra=["--hold-before-install", win_path(download / "batch"), "60000"])
        assert (code, lines[-1]) == (0, "OK"), lines
        assert snapshot(client, skip=(UPDATE_AREA, "ORVEX")) == expected
        assert (download / "batch").exists()


def test_failed_replacement_keeps_what_was_done_and_the_next_pass_fetches_the_rest(sound_client, store, tmp_path):
    client = pathlib.Path(shutil.copytree(sound_client[0], tmp_path / "client"))
    catalogue = sound_client[2]
    names = ["Vantrell.exe", "data/item.tbl", "data/skill.tbl", "ORVEX/Launcher/ui.dll", "ORVEX/Launcher/skin.dat"]
    # Objects are installed in catalogue order, which is ascending digest order.
    names.sort(key=lambda name: sha256_hex(FILES[name]))
    for name in names:
        (client / name).write_bytes(b"damaged " + name.encode())
    # A folder where the third file belongs: no file can be moved over it.
    # (Wine, unlike Windows, moves a file over a read-only one.)
    stuck = client / names[2]
    stuck.unlink()
    stuck.mkdir()

    with PatchServer(tmp_path, tmp_path, extra_args=["--repair-root", str(store)]) as server:
        code, lines = run_repair(client)
        repaired = [(client / name).is_file() and (client / name).read_bytes() == FILES[name] for name in names]
        stuck.rmdir()
        code_again, lines_again = run_repair(client)
        posts = server.posts()

    assert (code, lines[-1]) == (1, "ERROR: Cannot replace client file; close the game and retry."), lines
    assert repaired == [True, True, False, False, False]
    # The second pass asks for exactly the three files still damaged.
    assert (code_again, lines_again[-1]) == (0, "OK"), lines_again
    assert len(posts) == 2
    assert posts[1]["body"].split("\n")[3] == expected_bitmap(catalogue, {sha256_hex(FILES[n]) for n in names[2:]})
    assert snapshot(client, skip=(UPDATE_AREA,)) == snapshot(sound_client[0], skip=(UPDATE_AREA,))
    assert not (client / UPDATE_AREA / "download").exists()


SEGMENT = 134217728
BIG_NAME = "Misc/terrain.pak"


def test_repair_above_one_segment_is_fetched_in_two(tmp_path):
    # One object 1000 bytes above a segment, almost all zeros: sparse in the
    # tree and the store, written out in full only by the repair.
    tree = write_tree(tmp_path / "tree", FILES)
    with open(tree / BIG_NAME, "wb") as stream:
        stream.write(b"PAK1 head")
        stream.seek(SEGMENT + 1000 - 9)
        stream.write(b"PAK1 tail")
    subprocess.run([PYTHON, str(PUBLISH), "make-client-manifests", "--tree", str(tree), "--out", str(tree)],
                   check=True, capture_output=True)
    big_digest = file_sha256(tree / BIG_NAME)
    store = tmp_path / "store"
    (store / "objects").mkdir(parents=True)
    os.link(tree / BIG_NAME, store / "objects" / big_digest)
    catalogue = sorted({file_sha256(path) for path in tree.rglob("*") if path.is_file()})
    (store / f"{VERSION}.catalogue").write_text("".join(d + "\n" for d in catalogue))
    client = pathlib.Path(shutil.copytree(tree, tmp_path / "client", ignore=shutil.ignore_patterns("terrain.pak")))

    with PatchServer(tmp_path, tmp_path, extra_args=["--repair-root", str(store)]) as server:
        code, lines = run_repair(client)
        posts = server.posts()

    assert (code, lines[-1]) == (0, "OK"), lines
    assert [post["body"].split("\n")[4:6] for post in posts] == [["0", str(SEGMENT)], [str(SEGMENT), "1000"]]
    assert statuses(lines).count("Downloading files...") == 2
    assert file_sha256(client / BIG_NAME) == big_digest
    assert not (client / UPDATE_AREA / "download").exists()


def test_wrong_bytes_from_the_server_leave_the_client_untouched(sound_client, store, tmp_path):
    client, _ = damaged_client(sound_client, tmp_path)
    bad_store = pathlib.Path(shutil.copytree(store, tmp_path / "bad-store"))
    served = bytearray(FILES["Vantrell.exe"])
    served[10] ^= 1  # right size, wrong content
    (bad_store / "objects" / sha256_hex(FILES["Vantrell.exe"])).write_bytes(bytes(served))
    before = snapshot(client, skip=(UPDATE_AREA,))

    with PatchServer(tmp_path, tmp_path, extra_args=["--repair-root", str(bad_store)]) as server:
        code, lines = run_repair(client)
        posts = server.posts()

    assert (code, lines[-1]) == (1, "ERROR: Repair batch failed SHA-256 verification."), lines
    assert len(posts) == 1  # a complete answer that fails verification is not fetched again
    assert snapshot(client, skip=(UPDATE_AREA,)) == before
    assert "BEFORE-INSTALL" not in lines and "STATUS: Installing verified files..." not in lines
    assert progress(lines)[-1] == (0, 0)
    # A failed repair removes its download area.
    assert not (client / UPDATE_AREA / "download").exists()


def test_catalogue_mismatch_is_retried_then_reported(sound_client, store, tmp_path):
    client, _ = damaged_client(sound_client, tmp_path)
    other = pathlib.Path(shutil.copytree(store, tmp_path / "other-store"))
    catalogue_file = other / f"{VERSION}.catalogue"
    catalogue_file.write_text(catalogue_file.read_text() + "f" * 64 + "\n")
    before = snapshot(client, skip=(UPDATE_AREA,))

    with PatchServer(tmp_path, tmp_path, extra_args=["--repair-root", str(other)]) as server:
        code, lines = run_repair(client)
        posts = server.posts()

    assert (code, lines[-1]) == (1, "ERROR: " + CATALOGUE_409), lines
    assert len(posts) == 3 and len({post["body"] for post in posts}) == 1
    assert statuses(lines).count(RETRY) == 2
    assert snapshot(client, skip=(UPDATE_AREA,)) == before
    assert progress(lines)[-1] == (0, 0)


def test_damaged_running_launcher_stops_before_any_request(sound_client, store, tmp_path):
    client = pathlib.Path(shutil.copytree(sound_client[0], tmp_path / "client"))
    # The driver itself runs as the client's Launcher.exe, whose content the
    # manifest does not know.
    shutil.copy2(INSTALL_DRIVER, client / "Launcher.exe")
    (client / "Vantrell.exe").write_bytes(b"damaged too")
    before = snapshot(client, skip=(UPDATE_AREA,))

    with PatchServer(tmp_path, tmp_path, extra_args=["--repair-root", str(store)]) as server:
        code, lines = run_repair(client, exe=client / "Launcher.exe")
        posts = server.posts()

    assert (code, lines[-1]) == (1, "ERROR: The running Launcher is damaged. Replace it with the signed "
                                    "standalone Launcher."), lines
    assert posts == []
    assert snapshot(client, skip=(UPDATE_AREA,)) == before


def test_managed_name_that_is_a_link_to_a_folder_elsewhere_is_refused(sound_client, tmp_path):
    # The check opens each file itself; a name it cannot open as a file is
    # still asked whether it is a link before anything reads through it.
    client = pathlib.Path(shutil.copytree(sound_client[0], tmp_path / "client"))
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (client / "Vantrell.exe").unlink()
    (client / "Vantrell.exe").symlink_to(elsewhere, target_is_directory=True)
    before = snapshot(client, skip=(UPDATE_AREA,))
    assert run_repair(client)[1][-1] == "ERROR: Update path contains a junction or symbolic link."
    assert snapshot(client, skip=(UPDATE_AREA,)) == before


def test_version_out_of_range_and_unsigned_manifests_are_refused(sound_client, tmp_path):
    client = pathlib.Path(shutil.copytree(sound_client[0], tmp_path / "client"))
    assert run_repair(client, version=32768)[1][-1] == "ERROR: Invalid repair version."
    manifest = client / "ORVEX" / "Integrity.manifest"
    data = bytearray(manifest.read_bytes())
    data[20] ^= 1
    manifest.write_bytes(bytes(data))
    assert run_repair(client)[1][-1] == "ERROR: Signed client manifests are invalid."


def load_patch_server():
    source = importlib.util.spec_from_file_location("patch_server",
                                                     SOURCE_DIR / "tools" / "test_servers" / "patch_server.py")
    module = importlib.util.module_from_spec(source)
    source.loader.exec_module(module)
    return module


def test_stand_in_repair_endpoint_answers_by_the_catalogue(sound_client, store):
    answer = load_patch_server().answer_repair
    catalogue = sound_client[2]
    digest = hashlib.sha256("".join(d + "\n" for d in catalogue).encode()).hexdigest()
    first, last = catalogue[0], catalogue[-1]
    content = (store / "objects" / first).read_bytes() + (store / "objects" / last).read_bytes()
    bitmap = expected_bitmap(catalogue, {first, last})

    def body(bits=bitmap, offset=0, length=len(content), catalogue_digest=digest, version=VERSION):
        return f"{version}\nBITS\n{catalogue_digest}\n{bits}\n{offset}\n{length}\n".encode()

    assert answer(store, body()) == (200, content)
    assert answer(store, body(offset=3, length=5)) == (200, content[3:8])
    assert answer(store, body(catalogue_digest="0" * 64))[0] == 409
    assert answer(store, body(version=VERSION + 1))[0] == 404
    assert answer(store, body(length=len(content) + 1))[0] == 400
    assert answer(store, body(bits=bitmap + "00"))[0] == 400
    assert answer(store, body()[:-1])[0] == 400
