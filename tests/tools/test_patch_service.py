"""orvex-publish release and orvex-patch-service under gunicorn, checked with
plain HTTP clients: the release folder read back, byte ranges, repair segments
cut across object files, and every refusal a bad request gets."""
import contextlib
import grp
import hashlib
import http.client
import json
import os
import pathlib
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import types
import zipfile

import pytest

import pe_image

ROOT = pathlib.Path(__file__).resolve().parents[2]
PUBLISH = ROOT / "tools" / "orvex_ops" / "publish.py"
SERVICE = ROOT / "tools" / "orvex_ops" / "patch_service.py"
DEPLOY = ROOT / "deploy"
DEV = ROOT / "testdata" / "dev"
KEYS = ["--update-key", DEV / "update-private.pem", "--manifest-key", DEV / "manifest-private.pem"]

sys.path.insert(0, str(ROOT / "tools"))
from orvex_ops import client_manifests, packages, patch_service, publish  # noqa: E402
from orvex_ops.errors import PublishError  # noqa: E402
from orvex_ops import keys as orvex_keys  # noqa: E402
from orvex_ops import releases as orvex_releases  # noqa: E402


def blob(name, size):
    out = bytearray()
    while len(out) < size:
        out += hashlib.sha256(f"{name}:{len(out)}".encode()).digest()
    return bytes(out[:size])


def tree(root, version):
    files = {"Vantrell.exe": blob(f"game{version}", 70000), "D3DX9_43.dll": blob("d3dx", 3000),
             "ORVEX/Launcher/skin.dat": blob("skin", 500), "readme.txt": b"readme\r\n", "sound/a.wav": blob("a", 900),
             "sound/b.wav": blob("a", 900), "sound/empty.wav": b"", "data/item.tbl": blob(f"item{version}", 4000),
             "ui/ui.src": blob("ui", 200000)[:150000] + blob(f"ui{version}", 64) + blob("ui", 200000)[150064:]}
    for relative, data in files.items():
        (root / relative).parent.mkdir(parents=True, exist_ok=True)
        (root / relative).write_bytes(data)
    return root


def release(out, old, new, previous, version, *extra):
    return subprocess.run([sys.executable, str(PUBLISH), "release", "--old", old, "--new", new, "--previous",
                           str(previous), "--version", str(version), *map(str, KEYS), "--out", out,
                           *map(str, extra)], capture_output=True, text=True)


@pytest.fixture(scope="module")
def releases(tmp_path_factory):
    work = tmp_path_factory.mktemp("releases")
    for version in (2370, 2371):
        tree(work / "trees" / str(version), version)
    out = work / "releases"
    first = release(out, work / "trees/2370", work / "trees/2370", 2369, 2370)
    second = release(out, work / "trees/2370", work / "trees/2371", 2370, 2371, "--update-blob",
                     DEV / "update-key.blob", "--manifest-blob", DEV / "manifest-key.blob")
    assert first.returncode == 0 and second.returncode == 0, first.stderr + second.stderr
    return out, second.stdout


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def server_user():
    """Popen's arguments that run a server as an unprivileged user (nobody),
    as production runs the service as its own user: as root the tests would
    read what the service cannot."""
    if os.geteuid() != 0:
        return {}
    user = pwd.getpwnam("nobody")
    return {"user": user.pw_uid, "group": user.pw_gid, "extra_groups": []}


@contextlib.contextmanager
def running(releases, log, *options):
    """An instance under gunicorn serving releases, as the server user, which
    may pass through pytest's folders (0700) and writes only log's folder:
    yields (the gunicorn master, its port)."""
    user = server_user()
    for folder in [releases, *releases.parents]:
        if folder == pathlib.Path(tempfile.gettempdir()):
            break
        folder.chmod(folder.stat().st_mode | 0o001)
    if user:
        os.chown(log.parent, user["user"], user["group"])
    port = free_port()
    with open(log.parent / "gunicorn.err", "wb") as errors:
        process = subprocess.Popen([sys.executable, str(SERVICE), "--releases", str(releases), "--bind",
                                    f"127.0.0.1:{port}", "--log", str(log), *options],
                                   stdout=subprocess.DEVNULL, stderr=errors, start_new_session=True, **user)
    try:
        deadline = time.monotonic() + 20
        while True:
            try:
                if fetch(port, "GET", "/healthz")[0] == 200:
                    break
            except OSError:
                pass
            assert process.poll() is None and time.monotonic() < deadline, (log.parent / "gunicorn.err").read_text()
            time.sleep(0.1)
        yield process, port
    finally:
        process.terminate()
        process.wait(20)


@pytest.fixture(scope="module")
def service(releases, tmp_path_factory):
    log = tmp_path_factory.mktemp("service") / "requests.jsonl"
    with running(releases[0], log, "--workers", "2", "--threads", "4") as (_, port):
        yield port, log


def fetch(port, method, path, body=None, headers=None, source="127.0.0.1"):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=20, source_address=(source, 0))
    try:
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        return response.status, dict(response.getheaders()), response.read()
    finally:
        connection.close()


# ---------------------------------------------------------------- release

def test_release_folder_holds_what_the_launcher_and_the_service_need(releases):
    out, summary = releases
    folder = out / "2371"
    names = {p.relative_to(folder).as_posix() for p in folder.rglob("*") if p.is_file()}
    assert {"2371.manifest", "2371.manifest.sig", "2371.zip", "metadata-v4-2371.manifest",
            "metadata-v4-2371.manifest.sig", "metadata-v4-2371.zip", "2371.catalogue", "release.json",
            "client/ORVEX/Startup.manifest", "client/ORVEX/Integrity.manifest"} <= names
    with zipfile.ZipFile(folder / "2371.zip") as archive:
        # The changed game archive travels as a delta; the signed manifests ride along.
        assert sorted(archive.namelist()) == ["ORVEX/Integrity.manifest", "ORVEX/Startup.manifest",
                                              "Vantrell.exe", "data/item.tbl", "ui/ui.src.ord"]
    with zipfile.ZipFile(folder / "metadata-v4-2371.zip") as archive:
        assert sorted(archive.namelist()) == ["ORVEX/Integrity.manifest", "ORVEX/Startup.manifest"]
        assert archive.read("ORVEX/Startup.manifest") == (folder / "client/ORVEX/Startup.manifest").read_bytes()
    catalogue = (folder / "2371.catalogue").read_text().split()
    assert catalogue == sorted(set(catalogue))
    for digest in catalogue:
        assert hashlib.sha256((folder / "objects" / digest).read_bytes()).hexdigest() == digest
    # Objects unchanged since 2370 are the same files, not copies.
    unchanged = hashlib.sha256(blob("d3dx", 3000)).hexdigest()
    assert (folder / "objects" / unchanged).stat().st_ino == (out / "2370" / "objects" / unchanged).stat().st_ino
    assert "deltas" in summary and "saved" in summary and "checked with the launcher's rules" in summary
    assert "old tree  the client of 2370: all 9 files its signed client manifests list" in summary
    # Readable by the front's and the service's own unprivileged users.
    modes = {oct(p.stat().st_mode & 0o7777) for p in (folder, *folder.rglob("*")) if p.is_dir()}
    modes |= {oct(p.stat().st_mode & 0o7777) for p in folder.rglob("*") if p.is_file()}
    assert modes == {"0o755", "0o644"}


def test_a_published_version_is_never_rewritten(releases, tmp_path):
    out, _ = releases
    before = (out / "2371" / "2371.manifest").read_bytes()
    again = release(out, out.parent / "trees/2370", out.parent / "trees/2371", 2370, 2371)
    assert again.returncode == 2 and "already published" in again.stderr
    assert (out / "2371" / "2371.manifest").read_bytes() == before
    assert leftovers(out) == ["2370", "2371"]


def leftovers(out):
    """What a releases folder holds besides the lock file every release takes."""
    return sorted(p.name for p in out.iterdir() if p.name != ".publish.lock") if out.exists() else []


def new_launcher(folder, data=None, name="next"):
    (folder / name).mkdir(exist_ok=True)
    (folder / name / "Launcher.exe").write_bytes(pe_image.built_with(DEV) if data is None else data)
    return folder / name / "Launcher.exe"


@pytest.fixture(scope="module")
def next_keys(tmp_path_factory):
    keys = tmp_path_factory.mktemp("keys-next")
    assert publish.main(["keygen", "--out", str(keys)]) == 0
    return keys


def previous_release(new, change_old=lambda old: None, change_previous=lambda folder: None):
    """Release 2370 in the out folder of the case, and the old tree "old" (2370's, as changed)."""
    change_previous(shutil.copytree(new.parent / "2370-release", new.parent / "out" / "2370", symlinks=True))
    change_old(new.parent / "old")


def flip_last_byte(path):
    data = path.read_bytes()
    path.write_bytes(data[:-1] + bytes([data[-1] ^ 1]))


ROTATION = ["--next-update-key", "next-keys/update-private.pem", "--next-manifest-key", "next-keys/manifest-private.pem"]


@pytest.mark.parametrize("change, extra, message", [
    (lambda t: (t / "readme.txt").unlink() or (t / "sound/empty.wav").unlink(), [], "start-up files"),
    (lambda t: None, ["--update-blob", DEV / "manifest-key.blob"], "not the public key"),
    (lambda t: (t / "Launcher.exe").write_bytes(b"MZ another"), [], "a new launcher is released with --launcher"),
    (lambda t: new_launcher(t.parent) and (t / "Launcher.exe").write_bytes(b"MZ another"), ["--launcher", "next"],
     "Launcher.exe of the new tree is not the launcher given with --launcher"),
    (lambda t: (t / "launcher2.EXE").write_bytes(b"MZ pending"), [], "launcher2.EXE in the new tree"),
    # --launcher: a Windows image of the right kind, built with the keys the release is signed for.
    (lambda t: new_launcher(t.parent, b"#!/bin/sh"), ["--launcher", "next"], "no MZ header"),
    (lambda t: new_launcher(t.parent, b"MZ" + bytes(200)), ["--launcher", "next"], "no PE header"),
    (lambda t: new_launcher(t.parent, pe_image.image(machine=0x14C)), ["--launcher", "next"], "not x86-64"),
    (lambda t: new_launcher(t.parent, pe_image.image(characteristics=0x2022)), ["--launcher", "next"], "a DLL"),
    (lambda t: new_launcher(t.parent, pe_image.image(characteristics=0x0020)), ["--launcher", "next"],
     "not marked as an executable image"),
    (lambda t: new_launcher(t.parent, pe_image.image(magic=0x10B)), ["--launcher", "next"], "not PE32+"),
    (lambda t: new_launcher(t.parent, pe_image.image(subsystem=3)), ["--launcher", "next"], "not the Windows GUI"),
    (lambda t: new_launcher(t.parent, pe_image.image(code_size=0)), ["--launcher", "next"], "no code section"),
    (lambda t: new_launcher(t.parent, pe_image.built_with(DEV)[:400]), ["--launcher", "next"], "truncated"),
    (lambda t: new_launcher(t.parent, pe_image.image((DEV / "update-key.blob").read_bytes())), ["--launcher", "next"],
     "not built with the manifest key"),
    (lambda t: new_launcher(t.parent, pe_image.image(characteristics=0x2022)), ["--offline-launcher", "next"],
     "--offline-launcher"),
    # A key rotation needs a launcher built with the next keys, never the one players have.
    (lambda t: new_launcher(t.parent), ["--launcher", "next", *ROTATION], "not built with the update key"),
    (lambda t: new_launcher(t.parent, pe_image.built_with(t.parent / "next-keys")) and shutil.copy(
        t.parent / "next/Launcher.exe", t.parent / "old/Launcher.exe"), ["--launcher", "next", "--old", "old", *ROTATION],
     "the launcher players already have"),
    # With the previous release in --out, the old tree must be its client.
    (lambda t: previous_release(t, lambda old: flip_last_byte(old / "ui/ui.src")), ["--old", "old"],
     "--old: ui/ui.src has SHA-256"),
    (lambda t: previous_release(t, lambda old: (old / "Vantrell.exe").unlink()), ["--old", "old"],
     "--old: Vantrell.exe is missing"),
    (lambda t: previous_release(t, lambda old: (old / "sound/c.wav").write_bytes(b"c")), ["--old", "old"],
     "--old: sound/c.wav is not in release 2370"),
    (lambda t: previous_release(t, change_previous=lambda f: flip_last_byte(f / "client/ORVEX/Startup.manifest")),
     ["--old", "old"], "signature does not verify"),
])
def test_refused_releases_leave_nothing_behind(releases, next_keys, tmp_path, change, extra, message):
    new = shutil.copytree(releases[0].parent / "trees/2371", tmp_path / "new")
    shutil.copytree(releases[0].parent / "trees/2370", tmp_path / "old")
    shutil.copytree(releases[0] / "2370", tmp_path / "2370-release")
    shutil.copytree(next_keys, tmp_path / "next-keys")
    change(new)
    out = tmp_path / "out"
    before = leftovers(out)
    places = {"next": tmp_path / "next" / "Launcher.exe"}
    extra = [places.get(value, tmp_path / value if value in ("old", *ROTATION[1::2]) else value) for value in extra]
    result = release(out, releases[0].parent / "trees/2370", new, 2370, 2371, "--update-blob",
                     DEV / "update-key.blob", *extra)
    assert result.returncode == 2 and message in result.stderr, result.stderr
    assert "Traceback" not in result.stderr
    assert leftovers(out) == before


def test_a_new_launcher_ships_as_launcher2_and_is_named_launcher_exe_in_the_signed_manifests(releases, tmp_path):
    launcher = new_launcher(tmp_path)
    data, digest = launcher.read_bytes(), hashlib.sha256(launcher.read_bytes()).hexdigest()
    out = tmp_path / "out"
    result = release(out, releases[0].parent / "trees/2370", releases[0].parent / "trees/2371", 2370, 2371,
                     "--launcher", launcher)
    assert result.returncode == 0 and "as Launcher2.exe" in result.stdout, result.stderr
    folder = out / "2371"
    with zipfile.ZipFile(folder / "2371.zip") as archive:
        assert archive.read("Launcher2.exe") == data and "Launcher.exe" not in archive.namelist()
    manifest_key = orvex_keys.load_private_pem(DEV / "manifest-private.pem").public_key()
    startup = client_manifests.read_client_manifest((folder / "client/ORVEX/Startup.manifest").read_bytes(), manifest_key, False)
    assert ("Launcher.exe", len(data), digest) in startup
    assert not [name for name, _, _ in startup if name.lower() == "launcher2.exe"]
    assert digest in (folder / "2371.catalogue").read_text().split()
    assert (folder / "objects" / digest).read_bytes() == data


def test_a_damaged_object_of_the_previous_release_is_never_linked(releases, tmp_path):
    out = tmp_path / "out"
    shutil.copytree(releases[0] / "2370", out / "2370")
    unchanged = hashlib.sha256(blob("d3dx", 3000)).hexdigest()
    damaged = out / "2370" / "objects" / unchanged
    damaged.write_bytes(b"X" + damaged.read_bytes()[1:])
    result = release(out, releases[0].parent / "trees/2370", releases[0].parent / "trees/2371", 2370, 2371)
    assert result.returncode == 0 and f"{damaged} does not hash to its name" in result.stderr, result.stderr
    stored = out / "2371" / "objects" / unchanged
    assert hashlib.sha256(stored.read_bytes()).hexdigest() == unchanged
    assert stored.stat().st_ino != damaged.stat().st_ino


@pytest.mark.parametrize("holder, message", [
    ("release 2371", "version 2371 is being published (process 4242)"),
    ("release 2372", "the release 2372 (process 4242) holds"),
])
def test_one_release_at_a_time_and_leftovers_of_a_killed_one_are_removed(releases, tmp_path, holder, message):
    import fcntl
    out = tmp_path / "out"
    out.mkdir()
    trees = releases[0].parent / "trees"
    with open(out / ".publish.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        lock.write(f"{holder} 4242\n")
        lock.flush()
        held = release(out, trees / "2370", trees / "2371", 2370, 2371)
    assert held.returncode == 2 and message in held.stderr, held.stderr
    stale = out / ".2371.partial-x1y2"
    (stale / "objects").mkdir(parents=True)
    (stale / "2371.zip").write_bytes(b"half")
    done = release(out, trees / "2370", trees / "2371", 2370, 2371)
    assert done.returncode == 0 and f"removed {stale}: left by a release that did not finish" in done.stderr
    assert leftovers(out) == ["2371"]


def test_a_new_tree_file_linked_from_outside_both_trees_is_named(releases, tmp_path):
    trees = releases[0].parent / "trees"
    new = shutil.copytree(trees / "2371", tmp_path / "new")
    (tmp_path / "elsewhere.bin").write_bytes(b"shared bytes")
    os.link(tmp_path / "elsewhere.bin", new / "sound" / "linked.wav")
    (new / "sound" / "a.wav").unlink()
    os.link(trees / "2370" / "sound" / "a.wav", new / "sound" / "a.wav")  # trees made with cp -al
    result = release(tmp_path / "out", trees / "2370", new, 2370, 2371)
    assert result.returncode == 0, result.stderr
    warned = [line for line in result.stderr.splitlines() if "hard links" in line]
    assert len(warned) == 1 and "sound/linked.wav of the new tree has 2 hard links" in warned[0], result.stderr


def test_verify_names_every_damaged_file_and_repair_replaces_objects_not_their_links(releases, tmp_path):
    out = tmp_path / "out"
    subprocess.run(["cp", "-a", str(releases[0]), str(out)], check=True)  # keeps the objects' hard links
    verify = lambda *extra: subprocess.run([sys.executable, str(PUBLISH), "verify", "--out", out, *map(str, extra)],
                                           capture_output=True, text=True)
    assert verify().returncode == 0
    shared = out / "2371" / "objects" / hashlib.sha256(blob("d3dx", 3000)).hexdigest()
    assert shared.stat().st_nlink == 2
    os.link(shared, tmp_path / "outside-name")
    flip_last_byte(shared)  # through the link: 2370's copy too
    alone = out / "2370" / "objects" / hashlib.sha256(blob("item2370", 4000)).hexdigest()
    alone.write_bytes(b"junk")
    flip_last_byte(out / "2371" / "2371.zip")
    flip_last_byte(out / "2371" / "2371.manifest.sig")  # no archive to compare: release.json's digest
    result = verify()
    assert result.returncode == 1
    for path in (shared, out / "2370" / "objects" / shared.name, alone, out / "2371" / "2371.zip",
                 out / "2371" / "2371.manifest.sig"):
        assert str(path) in result.stderr, result.stderr
    killed = out / "2370" / "objects" / f".{alone.name[:16]}.repair-k1ll3d"  # of a repair that was killed
    killed.write_bytes(b"half")
    # 2370's item table has no good copy anywhere; d3dx comes from the client tree.
    result = verify("--repair", "--from", releases[0].parent / "trees/2371")
    assert result.returncode == 1 and f"{alone}: no good copy" in result.stderr, result.stderr
    assert f"removed {killed}" in result.stderr and not killed.exists()
    for path in (shared, out / "2370" / "objects" / shared.name):
        assert hashlib.sha256(path.read_bytes()).hexdigest() == shared.name
        assert path.stat().st_mode & 0o7777 == 0o644
    assert (tmp_path / "outside-name").read_bytes() != shared.read_bytes()
    result = verify("--repair", "--from", releases[0].parent / "trees/2370")
    assert f"repaired {alone}" in result.stdout and "2371.zip" in result.stderr
    flip_last_byte(out / "2371" / "2371.zip")
    flip_last_byte(out / "2371" / "2371.manifest.sig")
    assert verify().returncode == 0


@pytest.mark.skipif(not os.environ.get("ORVEX_LAUNCHER_EXE"), reason="needs the built Launcher.exe")
def test_the_built_launcher_ships_and_its_debug_image_does_not(releases, tmp_path):
    built = pathlib.Path(os.environ["ORVEX_LAUNCHER_EXE"])
    # Another build: the same image with data after its last section, as the swap test ships it.
    launcher = new_launcher(tmp_path, built.read_bytes() + b"ORVEX next launcher build\x00")
    trees = releases[0].parent / "trees"
    shipped = release(tmp_path / "a", trees / "2370", trees / "2371", 2370, 2371, "--launcher", launcher)
    assert shipped.returncode == 0, shipped.stderr
    if not pathlib.Path(str(built) + ".debug").is_file():
        return
    debug = new_launcher(tmp_path, pathlib.Path(str(built) + ".debug").read_bytes(), name="debug")
    refused = release(tmp_path / "b", trees / "2370", trees / "2371", 2370, 2371, "--launcher", debug)
    assert refused.returncode == 2 and "no code section" in refused.stderr, refused.stderr


def test_the_final_check_hashes_every_stored_object(releases, tmp_path):
    folder = shutil.copytree(releases[0] / "2371", tmp_path / "2371")
    keys = [orvex_keys.load_private_pem(DEV / name).public_key() for name in ("update-private.pem", "manifest-private.pem")]
    trees = [packages.scan_tree(releases[0].parent / "trees" / version, strict=True)[0] for version in ("2370", "2371")]
    orvex_releases.check_release(folder, 2371, *keys, *trees)
    victim = sorted((folder / "objects").iterdir())[-1]
    victim.write_bytes(bytes([victim.read_bytes()[0] ^ 1]) + victim.read_bytes()[1:])
    with pytest.raises(PublishError, match=f"repair object {victim.name} does not hash to its name"):
        orvex_releases.check_release(folder, 2371, *keys, *trees)


def test_everything_is_flushed_before_the_publishing_rename_and_the_name_after(releases, tmp_path, monkeypatch):
    events = []
    real_fsync, real_rename = os.fsync, os.rename
    monkeypatch.setattr(os, "fsync", lambda fd: events.append(
        ("fsync", os.readlink(f"/proc/self/fd/{fd}"))) or real_fsync(fd))
    monkeypatch.setattr(os, "rename", lambda a, b: events.append(("rename", str(a), str(b))) or real_rename(a, b))
    out = tmp_path / "out"
    trees = releases[0].parent / "trees"
    assert publish.main(["release", "--old", str(trees / "2370"), "--new", str(trees / "2371"), "--previous", "2370",
                      "--version", "2371", *map(str, KEYS), "--out", str(out)]) == 0
    renames = [event for event in events if event[0] == "rename"]
    assert len(renames) == 1
    _, work, final = renames[0]
    at = events.index(renames[0])
    flushed = {path.replace(work, final, 1) for kind, path in events[:at]}
    published = {str(path) for path in (out / "2371").rglob("*")} | {final}
    assert published - flushed == set()
    assert ("fsync", str(out.resolve())) in events[at + 1:]


@pytest.mark.parametrize("command, number", [("release", signal.SIGTERM), ("release", signal.SIGINT),
                                             ("make-update", signal.SIGTERM)])
def test_a_signal_leaves_nothing_behind_and_says_so_in_one_line(releases, tmp_path, command, number):
    new = shutil.copytree(releases[0].parent / "trees/2371", tmp_path / "new")
    with open(new / "bulk.pak", "wb") as stream:  # keeps the tool busy a while
        stream.truncate(1024 ** 3)
    out = tmp_path / "out"
    arguments = ["--previous", "2370", *KEYS] if command == "release" else ["--key", KEYS[1]]
    process = subprocess.Popen([sys.executable, str(PUBLISH), command, "--old", releases[0].parent / "trees/2370",
                                "--new", new, "--version", "2371", *arguments, "--out", out],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not leftovers(out):
        assert process.poll() is None and time.monotonic() < deadline
        time.sleep(0.01)
    process.send_signal(number)
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == 128 + number
    said = {"release": "; 2371 was not published", "make-update": ""}[command]
    assert stderr.splitlines() == [f"{command}: stopped by {signal.Signals(number).name}{said}"]
    assert leftovers(out) == []


def test_a_launcher_built_with_new_keys_is_shipped_under_the_old_ones_and_restores_with_the_new(releases, tmp_path):
    assert publish.main(["keygen", "--out", str(tmp_path / "next")]) == 0
    launcher = new_launcher(tmp_path, pe_image.built_with(tmp_path / "next"), name="build-next")
    out = tmp_path / "out"
    result = release(out, releases[0].parent / "trees/2370", releases[0].parent / "trees/2371", 2370, 2371,
                     "--launcher", launcher, "--next-update-key", tmp_path / "next/update-private.pem",
                     "--next-manifest-key", tmp_path / "next/manifest-private.pem")
    assert result.returncode == 0, result.stderr
    folder = out / "2371"
    old, new = [(orvex_keys.load_private_pem(key_folder / "update-private.pem").public_key(),
                 orvex_keys.load_private_pem(key_folder / "manifest-private.pem").public_key())
                for key_folder in (DEV, tmp_path / "next")]
    launcher_entry = ("Launcher.exe", launcher.stat().st_size, hashlib.sha256(launcher.read_bytes()).hexdigest())
    for name, (update_key, manifest_key) in (("2371", old), ("metadata-v4-2371", new)):
        base = packages.scan_tree(releases[0].parent / "trees/2370", strict=True)[0]
        manifest = orvex_releases.check_signed_update(folder, f"{name}.manifest", 2371, update_key, base)
        with zipfile.ZipFile(folder / manifest["archive"]) as archive:
            startup = client_manifests.read_client_manifest(archive.read("ORVEX/Startup.manifest"), manifest_key, False)
        assert launcher_entry in startup, name
    published = (folder / "client/ORVEX/Startup.manifest").read_bytes()
    assert launcher_entry in client_manifests.read_client_manifest(published, new[1], False)
    assert hashlib.sha256(published).hexdigest() in (folder / "2371.catalogue").read_text().split()
    with pytest.raises(PublishError):
        client_manifests.read_client_manifest(published, old[1], False)


def test_pip_install_gives_both_commands(tmp_path):
    # A copy, so that the build leaves nothing in the source tree.
    source = tmp_path / "tools"
    shutil.copytree(ROOT / "tools" / "orvex_ops", source / "orvex_ops",
                    ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy(ROOT / "tools" / "pyproject.toml", source)
    target = tmp_path / "site"
    subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-deps", "--no-index",
                    "--no-build-isolation", "--target", str(target), str(source)], check=True, capture_output=True)
    environment = dict(os.environ, PYTHONPATH=str(target))
    for command in ("orvex-publish", "orvex-patch-service"):
        result = subprocess.run([str(target / "bin" / command), "--help"], capture_output=True, text=True,
                                env=environment)
        assert result.returncode == 0 and "usage:" in result.stdout, result.stderr


# ---------------------------------------------------------------- published files

def test_health_names_the_versions(service):
    status, headers, body = fetch(service[0], "GET", "/healthz")
    assert status == 200 and json.loads(body) == {"status": "ok", "versions": [2370, 2371]}


@pytest.mark.parametrize("prefix", ["/orvex-patch/", "/patch/"])
def test_published_files_under_both_prefixes(service, releases, prefix):
    for name in ("2371.manifest", "2371.manifest.sig", "2371.zip", "metadata-v4-2370.zip"):
        status, headers, body = fetch(service[0], "GET", prefix + name)
        version = name.split(".")[0].split("-")[-1]
        assert status == 200 and body == (releases[0] / version / name).read_bytes(), name
        assert headers["Accept-Ranges"] == "bytes"


@pytest.mark.parametrize("name", ["2372.zip", "2371.catalogue", "release.json", "client/ORVEX/Startup.manifest",
                                  "../2371/2371.zip", "2371/2371.zip", "02371.zip", "objects"])
def test_only_published_files_are_served(service, name):
    assert fetch(service[0], "GET", "/orvex-patch/" + name)[0] == 404


@pytest.mark.parametrize("header, status, first, last", [
    ("bytes=0-99", 206, 0, 99),
    ("bytes=100-", 206, 100, None),
    ("bytes=-10", 206, -10, None),
    ("bytes=5000-9999999", 206, 5000, None),
    ("bytes=999999999-", 416, None, None),
    ("bytes=-0", 416, None, None),
    ("bytes=9-3", 200, 0, None),          # malformed: the whole file
    ("bytes=0-1,5-6", 200, 0, None),      # several ranges: the whole file
    ("items=0-1", 200, 0, None),
    ("bytes=\u00b9-2", 200, 0, None),
])
def test_byte_ranges(service, releases, header, status, first, last):
    data = (releases[0] / "2371" / "2371.zip").read_bytes()
    got, headers, body = fetch(service[0], "GET", "/orvex-patch/2371.zip",
                               headers={"Range": header.encode("utf-8").decode("latin-1")})
    assert got == status
    if status == 416:
        assert headers["Content-Range"] == f"bytes */{len(data)}"
        return
    start = first % len(data)
    end = len(data) - 1 if last is None else last
    assert body == data[start:end + 1]
    if status == 206:
        assert headers["Content-Range"] == f"bytes {start}-{end}/{len(data)}"


def test_a_stale_if_range_gets_the_whole_file(service, releases):
    data = (releases[0] / "2371" / "2371.zip").read_bytes()
    status, headers, _ = fetch(service[0], "HEAD", "/orvex-patch/2371.zip")
    assert status == 200 and headers["Content-Length"] == str(len(data))
    fresh = fetch(service[0], "GET", "/orvex-patch/2371.zip", headers={"Range": "bytes=1-2", "If-Range": headers["ETag"]})
    stale = fetch(service[0], "GET", "/orvex-patch/2371.zip", headers={"Range": "bytes=1-2", "If-Range": '"x"'})
    assert (fresh[0], fresh[2]) == (206, data[1:3]) and (stale[0], stale[2]) == (200, data)


# ---------------------------------------------------------------- repair batches

def catalogue_of(releases, version=2371):
    text = (releases[0] / str(version) / f"{version}.catalogue").read_bytes()
    return text.decode().split(), hashlib.sha256(text).hexdigest()


def repair_body(version, digest, bitmap, offset, length):
    return f"{version}\nBITS\n{digest}\n{bitmap}\n{offset}\n{length}\n".encode()


def bitmap_of(count, indexes):
    bits = bytearray((count + 7) // 8)
    for index in indexes:
        bits[index // 8] |= 1 << (index % 8)
    return bits.hex()


def post(service, body, headers=None):
    return fetch(service[0], "POST", "/orvex-patch/repair-batch-v4.php", body, headers)


def test_segments_are_cut_from_the_objects_in_catalogue_order(service, releases):
    entries, digest = catalogue_of(releases)
    wanted = [0, 2, len(entries) - 1]
    joined = b"".join((releases[0] / "2371" / "objects" / entries[i]).read_bytes() for i in wanted)
    bitmap = bitmap_of(len(entries), wanted)
    for offset, length in ((0, len(joined)), (1, len(joined) - 1), (len(joined) - 1, 1), (5, 3)):
        status, _, body = post(service, repair_body(2371, digest, bitmap, offset, length))
        assert status == 200 and body == joined[offset:offset + length], (offset, length)
    # Two segments that together cross the boundary between two objects.
    size = len((releases[0] / "2371" / "objects" / entries[0]).read_bytes())
    halves = [post(service, repair_body(2371, digest, bitmap, offset, length))[2]
              for offset, length in ((0, size + 7), (size + 7, len(joined) - size - 7))]
    assert b"".join(halves) == joined


def test_another_catalogue_gets_409(service, releases):
    entries, _ = catalogue_of(releases)
    _, digest_2370 = catalogue_of(releases, 2370)
    status, _, _ = post(service, repair_body(2371, digest_2370, bitmap_of(len(entries), [0]), 0, 1))
    assert status == 409


def test_bad_repair_requests_are_refused_and_logged(service, releases):
    entries, digest = catalogue_of(releases)
    count = len(entries)
    good = dict(version=2371, digest=digest, bitmap=bitmap_of(count, [0]), offset=0, length=1)
    cases = [
        (repair_body(**{**good, "version": 2369}), 404),
        (repair_body(**{**good, "version": "02371"}), 400),
        (repair_body(**{**good, "version": 40000}), 400),
        (repair_body(**{**good, "bitmap": bitmap_of(count + 8, [0])}), 400),
        (repair_body(**{**good, "bitmap": bitmap_of(count, [1, 3]).upper()}), 400),
        (repair_body(**{**good, "bitmap": bitmap_of(count, [])}), 400),
        (repair_body(**{**good, "offset": 10 ** 9}), 400),
        (repair_body(**{**good, "length": 0}), 400),
        (repair_body(**{**good, "length": 134217729}), 400),
        (repair_body(**good)[:-1], 400),
        (repair_body(**good).replace(b"\n", b"\r\n"), 400),
        (repair_body(**good) + b"\n", 400),
        (repair_body(**good).replace(b"BITS", b"B\xc4TS"), 400),
        (b"x" * 16385, 413),
    ]
    if count % 8:
        cases.append((repair_body(**{**good, "bitmap": bitmap_of(count + 1, [count])}), 400))
    for body, status in cases:
        assert post(service, body)[0] == status, body[-40:]
    assert fetch(service[0], "GET", "/orvex-patch/repair-batch-v4.php")[0] == 405
    assert fetch(service[0], "POST", "/orvex-patch/2371.zip", b"")[0] == 405
    assert fetch(service[0], "POST", "/healthz", b"")[0] == 405
    # A refused request is logged with its reason; the service still answers.
    logged = [json.loads(line) for line in service[1].read_text().splitlines()]
    refused = [entry for entry in logged if entry.get("path", "").endswith("repair-batch-v4.php")
               and entry["status"] >= 400]
    assert len(refused) >= len(cases) and all(entry["error"] for entry in refused)
    assert post(service, repair_body(**good))[0] == 200


# ---------------------------------------------------------------- the application in process

def in_process(folder):
    """The WSGI application serving folder, and the list its log lines go to."""
    records = []
    log = patch_service.logging.getLogger(f"test.{id(records)}")
    log.addHandler(type("Keep", (patch_service.logging.Handler,), {
        "emit": lambda self, record: records.append(json.loads(record.getMessage()))})())
    log.setLevel("INFO")
    log.propagate = False
    return patch_service.PatchService([folder], log), records


def served_in_process(folder, body, app=None):
    """Runs one repair request through the WSGI application as a server would
    (pieces written one by one, the iterable closed at the end, also after an
    error): (status, pieces received, the error that stopped the body, the log record)."""
    app, records = app or in_process(folder)
    method, path = "POST", "/orvex-patch/repair-batch-v4.php"
    started = []
    environ = {"REQUEST_METHOD": method, "PATH_INFO": path, "CONTENT_LENGTH": str(len(body)),
               "wsgi.input": __import__("io").BytesIO(body)}
    answer = app(environ, lambda status, headers: started.append(int(status.split()[0])))
    pieces, failure = [], None
    try:
        for piece in answer:
            pieces.append(piece)
    except Exception as error:
        failure = error
    finally:
        if hasattr(answer, "close"):
            answer.close()
    return started[0], pieces, failure, records[-1]


def store(folder, version, objects, lines=None):
    """A version folder holding objects (bytes each) and a catalogue of their
    digests (or of the given lines); returns the catalogue's digest."""
    (folder / str(version) / "objects").mkdir(parents=True)
    digests = sorted(hashlib.sha256(data).hexdigest() for data in objects)
    for data in objects:
        (folder / str(version) / "objects" / hashlib.sha256(data).hexdigest()).write_bytes(data)
    text = "".join(line + "\n" for line in (digests if lines is None else lines)).encode()
    (folder / str(version) / f"{version}.catalogue").write_bytes(text)
    return hashlib.sha256(text).hexdigest()


def test_catalogue_lines_are_digests_never_paths(tmp_path):
    secret = tmp_path / "secret"
    secret.write_bytes(b"not for players")
    good = hashlib.sha256(b"x").hexdigest()
    for lines in (["../../../secret"], [str(secret)], [good.upper()], [good + " "], ["objects/" + good]):
        folder = tmp_path / f"releases{len(list(tmp_path.iterdir()))}"
        digest = store(folder, 2399, [b"x"], lines)
        status, pieces, _, record = served_in_process(folder, repair_body(2399, digest, "01", 0, 15))
        assert (status, pieces) == (500, [b"internal error\n"]), lines
        assert "is not a digest" in record["error"] and str(folder) in record["error"]


def test_a_body_that_breaks_is_logged_with_the_bytes_sent_and_why(tmp_path):
    objects = [b"first object", b"second", b"third"]
    digest = store(tmp_path, 2399, objects)
    whole = b"".join(objects[i] for i in (0, 1, 2))
    app = in_process(tmp_path)
    app[0].catalogue(2399)
    # The middle object is cut short on disk after the catalogue was loaded.
    order = sorted(objects, key=lambda data: hashlib.sha256(data).hexdigest())
    (tmp_path / "2399" / "objects" / hashlib.sha256(order[1]).hexdigest()).write_bytes(order[1][:3])
    status, pieces, failure, record = served_in_process(tmp_path, repair_body(2399, digest, "07", 0, len(whole)),
                                                        app)
    assert status == 200 and failure is not None
    assert record["bytes"] == len(b"".join(pieces)) < len(whole) and "ended early" in record["error"]
    assert (record["cut"], record["expected"]) == (True, len(whole))


def test_many_small_objects_go_out_in_large_pieces(tmp_path):
    objects = [f"object {i}".encode() for i in range(3000)]
    digest = store(tmp_path, 2399, objects)
    total = sum(map(len, objects))
    status, pieces, failure, record = served_in_process(
        tmp_path, repair_body(2399, digest, bitmap_of(3000, range(3000)), 0, total))
    assert (status, failure, record["bytes"], record.get("error")) == (200, None, total, None)
    assert len(pieces) == 1 and len(pieces[0]) == total


@pytest.mark.parametrize("peer, forwarded, fronts, remote", [
    ("127.0.0.1", "198.51.100.7", None, "198.51.100.7"),
    ("::1", "2001:db8::7", None, "2001:db8::7"),
    ("::ffff:127.0.0.1", "198.51.100.7", None, "198.51.100.7"),
    ("203.0.113.9", "198.51.100.7", None, "203.0.113.9"),          # sent straight to the instance: forged
    ("127.0.0.1", "10.1.1.1, 198.51.100.7", None, "198.51.100.7"),  # the entry the front added
    ("127.0.0.1", "unknown", None, "127.0.0.1"),
    ("10.0.0.5", "198.51.100.7", ["10.0.0.5"], "198.51.100.7"),
    ("127.0.0.1", "198.51.100.7", ["10.0.0.0/24"], "127.0.0.1"),
])
def test_the_player_address_comes_from_the_front_only(tmp_path, peer, forwarded, fronts, remote):
    app, records = in_process(tmp_path)
    if fronts is not None:
        app = type(app)([tmp_path], app.log, fronts)
    environ = {"REQUEST_METHOD": "GET", "PATH_INFO": "/healthz", "REMOTE_ADDR": peer,
               "HTTP_X_FORWARDED_FOR": forwarded}
    app(environ, lambda status, headers: None)
    assert records[-1]["remote"] == remote


# ---------------------------------------------------------------- as it runs in the field

@pytest.fixture(scope="module")
def field(tmp_path_factory):
    """One instance as production runs it: its own unprivileged user reading
    the releases, writing only its log folder, the front on another machine
    (127.0.0.2). Version 2398's catalogue is unreadable to that user."""
    work = tmp_path_factory.mktemp("field")
    store(work / "releases", 2399, [b"first object", b"second"])
    store(work / "releases", 2398, [b"x"])
    (work / "releases" / "2398" / "2398.catalogue").chmod(0)
    log = work / "logs" / "service.log"
    log.parent.mkdir()
    with running(work / "releases", log, "--workers", "1", "--forwarded-from", "127.0.0.2") as (process, port):
        yield types.SimpleNamespace(port=port, pid=process.pid, log=log)


def logged(log):
    return [json.loads(line) for line in log.read_text().splitlines()]


def test_a_front_elsewhere_names_the_player_and_nobody_else_can(field):
    for source in ("127.0.0.2", "127.0.0.1"):
        fetch(field.port, "GET", f"/healthz?from={source}", headers={"X-Forwarded-For": "198.51.100.7"},
              source=source)
    remotes = {entry["raw"]: (entry["remote"], entry.get("via")) for entry in logged(field.log)}
    assert remotes["/healthz?from=127.0.0.2"] == ("198.51.100.7", "127.0.0.2")
    assert remotes["/healthz?from=127.0.0.1"] == ("127.0.0.1", None)


def test_a_release_the_service_cannot_read_gets_a_bare_500_and_the_log_says_why(field):
    body = repair_body(2398, "0" * 64, "01", 0, 1)
    status, _, answer = fetch(field.port, "POST", "/patch/repair-batch-v4.php", body)
    assert (status, answer) == (500, b"internal error\n")
    entry = logged(field.log)[-1]
    assert "PermissionError" in entry["error"] and "2398.catalogue" in entry["traceback"]


def test_logrotate_renames_the_log_and_the_service_loses_no_line(field, tmp_path):
    # The shipped configuration, with the test's log folder and user, and the
    # signal sent to this instance's master instead of through systemd.
    owner = field.log.parent.stat()
    config = (DEPLOY / "orvex-patch-service.logrotate").read_text()
    config = config.replace("/var/log/orvex/", f"{field.log.parent}/").replace(
        "su orvex orvex", f"su {pwd.getpwuid(owner.st_uid).pw_name} {grp.getgrgid(owner.st_gid).gr_name}")
    config = re.sub(r"postrotate\n.*?endscript", f"postrotate\n  kill -USR1 {field.pid}\n  endscript", config,
                    flags=re.S)
    (tmp_path / "orvex.conf").write_text(config)
    sent = {"before": [], "after": []}

    def ask(when):
        for number in range(3):
            # An encoded name: the log keeps the target as sent beside the decoded path.
            target = f"/patch/%32399.zip?{when}={number}"
            assert fetch(field.port, "GET", target)[0] == 404
            sent[when].append(target)

    ask("before")
    rotated = subprocess.run(["logrotate", "--force", "--state", str(tmp_path / "state"), str(tmp_path / "orvex.conf")],
                             capture_output=True, text=True)
    assert rotated.returncode == 0 and rotated.stderr == "", rotated.stderr
    deadline = time.monotonic() + 20
    while not field.log.exists():  # the worker opens a new file on the signal
        assert time.monotonic() < deadline, "no new log file"
        time.sleep(0.05)
    ask("after")
    for when, path in (("before", field.log.with_name("service.log.1")), ("after", field.log)):
        entries = [entry for entry in logged(path) if "?" in entry.get("raw", "") and "=" in entry["raw"]
                   and entry["raw"].split("?")[1].split("=")[0] in sent]
        assert [entry["raw"] for entry in entries] == sent[when], when
        assert {entry["path"] for entry in entries} == {"/patch/2399.zip"}


def test_the_units_pass_systemd_analyze_verify(tmp_path):
    # The instance's command as installed, here a stand-in (verify checks it is executable).
    command = tmp_path / "venv" / "bin" / "orvex-patch-service"
    command.parent.mkdir(parents=True)
    command.write_text("#!/bin/sh\n")
    command.chmod(0o755)
    units = tmp_path / "units"
    units.mkdir()
    template = (DEPLOY / "orvex-patch-service@.service").read_text()
    (units / "orvex-patch-service@.service").write_text(template.replace("/opt/orvex/venv/bin/", f"{command.parent}/"))
    # Debian's nginx unit with the shipped drop-in beside it.
    shutil.copy("/lib/systemd/system/nginx.service", units)
    shutil.copytree(DEPLOY / "nginx.service.d", units / "nginx.service.d")
    result = subprocess.run(["systemd-analyze", "verify", "--man=no", str(units / "orvex-patch-service@5444.service"),
                             str(units / "nginx.service")], capture_output=True, text=True)
    assert result.returncode == 0 and result.stderr == "", result.stderr
