"""Start-up check and repair of a running Launcher.exe: a client whose signed
manifests are missing fetches the metadata package for its version from the
patch CDN, installs it, repairs its damaged files in one batch and only then
opens its window; a client whose package is not published stops with a box.

The login host is 127.0.0.2, where no login server listens, so these tests
leave the login port alone; the patch server holds its fixed ports."""
import hashlib
import pathlib
import shutil
import struct
import subprocess
import time

import pytest

from harness import (CLIENT_START_UP_FILES, PYTHON, SOURCE_DIR, Launcher, PatchServer,
                     dismiss_boxes_until_exit, drop_proxy_settings, make_client, read_ini_value, wait_until,
                     windows_titled, wine_environment)

VERSION = 2372
METADATA = f"metadata-v4-{VERSION}.manifest"
PUBLISH = SOURCE_DIR / "tools" / "orvex_publish.py"
UPDATE_KEY = SOURCE_DIR / "testdata" / "dev" / "update-private.pem"
MANIFESTS = ("Startup.manifest", "Integrity.manifest")
DAMAGED = "D3DX9_43.dll"
REFUSED_404 = "Yama sunucusu istegi reddetti (HTTP 404)."


@pytest.fixture(scope="module", autouse=True)
def no_proxy():
    drop_proxy_settings()




def publish(*args):
    subprocess.run([PYTHON, str(PUBLISH), *map(str, args)], check=True, capture_output=True)


def manifest_digests(path, integrity):
    """Digest texts of the entries of a client manifest, read back in Python."""
    body = pathlib.Path(path).read_bytes()[:-64]
    offset = 16 if integrity else 12
    (count,) = struct.unpack_from("<I", body, offset - 4)
    digests = []
    for _ in range(count):
        (length,) = struct.unpack_from("<H", body, offset)
        digests.append(body[offset + 10 + length:offset + 42 + length].hex())
        offset += 42 + length
    assert offset == len(body)
    return digests


def client_without_manifests(folder):
    """A client with the stand-in start-up files but no ORVEX/*.manifest."""
    client = make_client(folder, version=VERSION, login_host="127.0.0.2", client_manifests=False)
    for name, data in CLIENT_START_UP_FILES.items():
        (client / name).parent.mkdir(parents=True, exist_ok=True)
        (client / name).write_bytes(data)
    return client


def publish_for(client, work):
    """The server side for the sound state of client: the metadata package
    (the tree plus its two signed manifests, same version) under patch-root,
    and the repair content store. Returns (patch root, store, signed manifests)."""
    old = work / "old"
    shutil.copytree(client, old)
    new = work / "new"
    shutil.copytree(client, new)
    publish("make-client-manifests", "--tree", new, "--out", new)
    patch_root = work / "patch-root"
    publish("make-update", "--old", old, "--new", new, "--version", VERSION, "--key", UPDATE_KEY, "--out",
            patch_root, "--manifest-name", METADATA, "--archive-name", f"metadata-v4-{VERSION}.zip")
    signed = {name: (new / "ORVEX" / name).read_bytes() for name in MANIFESTS}

    store = work / "store"
    (store / "objects").mkdir(parents=True)
    for path in new.rglob("*"):
        if path.is_file():
            data = path.read_bytes()
            (store / "objects" / hashlib.sha256(data).hexdigest()).write_bytes(data)
    catalogue = set(manifest_digests(new / "ORVEX" / "Integrity.manifest", True))
    catalogue |= set(manifest_digests(new / "ORVEX" / "Startup.manifest", False))
    catalogue |= {hashlib.sha256(data).hexdigest() for data in signed.values()}
    (store / f"{VERSION}.catalogue").write_text("".join(d + "\n" for d in sorted(catalogue)))
    return patch_root, store, signed


def damage(client):
    data = bytearray((client / DAMAGED).read_bytes())
    data[5] ^= 0x20
    (client / DAMAGED).write_bytes(bytes(data))


def run_until_window(client):
    """Starts the launcher and waits for its window and painted texts;
    returns the launcher (still running)."""
    launcher = Launcher(client)
    window = launcher.window_id(timeout=90)
    assert window, "the launcher window did not open:\n" + launcher.trace()[-3000:]
    assert wait_until(lambda: launcher.texts(), timeout=30)
    return launcher


def repair_posts(server):
    return [entry for entry in server.requests()
            if entry["method"] == "POST" and entry["path"] == "/orvex-patch/repair-batch-v4.php"]


def test_missing_manifests_are_fetched_and_damage_repaired_before_the_window(tmp_path):
    client = client_without_manifests(tmp_path / "client")
    patch_root, store, signed = publish_for(client, tmp_path)
    sound = (client / DAMAGED).read_bytes()
    damage(client)

    with PatchServer(tmp_path, patch_root, extra_args=["--repair-root", str(store)]) as server:
        launcher = run_until_window(client)
        try:
            gets = server.gets("cdn")
            assert f"/orvex-patch/{METADATA}" in gets
            assert gets.index(f"/orvex-patch/{METADATA}") == 0
            posts = repair_posts(server)
            assert len(posts) == 1
            assert posts[0]["body"].startswith(f"{VERSION}\nBITS\n")
            # Everything happened before the window: the files are sound now.
            assert (client / DAMAGED).read_bytes() == sound
            for name in MANIFESTS:
                assert (client / "ORVEX" / name).read_bytes() == signed[name]
            assert read_ini_value(client / "Server.ini", "Version", "Files") == str(VERSION)
        finally:
            launcher.close()


def test_damaged_launcher_file_with_sound_manifests_is_repaired_without_metadata(tmp_path):
    client = client_without_manifests(tmp_path / "client")
    patch_root, store, signed = publish_for(client, tmp_path)
    for name in MANIFESTS:
        (client / "ORVEX").mkdir(exist_ok=True)
        (client / "ORVEX" / name).write_bytes(signed[name])
    sound = (client / DAMAGED).read_bytes()
    damage(client)

    with PatchServer(tmp_path, patch_root, extra_args=["--repair-root", str(store)]) as server:
        launcher = run_until_window(client)
        try:
            assert server.gets("cdn") == []
            assert len(repair_posts(server)) == 1
            assert (client / DAMAGED).read_bytes() == sound
        finally:
            launcher.close()


def test_sound_client_starts_without_any_request(tmp_path):
    client = make_client(tmp_path / "client", version=VERSION, login_host="127.0.0.2")
    empty_root = tmp_path / "empty-root"
    empty_root.mkdir()
    with PatchServer(tmp_path, empty_root) as server:
        launcher = run_until_window(client)
        try:
            assert server.requests() == []
        finally:
            launcher.close()


def test_unpublished_metadata_stops_start_up_with_a_box_and_exit_code_1(tmp_path):
    client = client_without_manifests(tmp_path / "client")
    empty_root = tmp_path / "empty-root"
    empty_root.mkdir()
    before = sorted(p.relative_to(client).as_posix() for p in client.rglob("*") if p.is_file())

    with PatchServer(tmp_path, empty_root) as server:
        env = wine_environment("-all,trace+msgbox,trace+win")
        trace_file = tmp_path / "msgbox-trace.txt"
        with open(trace_file, "wb") as trace_out:
            process = subprocess.Popen(["wine", str(client / "Launcher.exe")], cwd=client, env=env,
                                       stdout=subprocess.DEVNULL, stderr=trace_out, stdin=subprocess.DEVNULL)
        search = lambda title: windows_titled(title, env)
        try:
            # The box carries its title as the X window name.
            assert wait_until(lambda: search("ORVEX Startup Repair"), timeout=90), \
                trace_file.read_text(errors="replace")[-3000:]
            # The box shows the download's own error text.
            assert wait_until(lambda: f'MSGBOX_OnInit L"{REFUSED_404}"' in trace_file.read_text(errors="replace"),
                              timeout=20)
            assert f"/orvex-patch/{METADATA}" in server.gets("cdn")
            assert search("ORVEX Launcher") == []
            # Dismissed, the box lets the launcher end with 1.
            assert dismiss_boxes_until_exit(process, "ORVEX Startup Repair", env) == 1
        finally:
            if process.poll() is None:
                process.kill()
                process.wait(10)
    # A failed fetch leaves the client as it was (the update area aside).
    after = sorted(p.relative_to(client).as_posix() for p in client.rglob("*")
                   if p.is_file() and not p.relative_to(client).as_posix().startswith(".orvex-update"))
    assert after == before
    assert not (client / "ORVEX" / "Startup.manifest").exists()


def test_unrecoverable_transaction_stops_start_up_with_advice(tmp_path):
    # A journal whose manifest copy cannot be verified: nothing can tell what
    # to roll back, so start-up must stop, and the box says what to do.
    client = client_without_manifests(tmp_path / "client")
    current = client / ".orvex-update" / "current"
    current.mkdir(parents=True)
    for name in ("journal", "manifest", "signature"):
        (current / name).write_bytes(b"damaged")
    env = wine_environment("-all,trace+msgbox")
    trace_file = tmp_path / "msgbox-trace.txt"
    with open(trace_file, "wb") as trace_out:
        process = subprocess.Popen(["wine", str(client / "Launcher.exe")], cwd=client, env=env,
                                   stdout=subprocess.DEVNULL, stderr=trace_out, stdin=subprocess.DEVNULL)
    try:
        assert wait_until(lambda: windows_titled("ORVEX Update Recovery", env), timeout=60)
        trace = lambda: trace_file.read_text(errors="replace")
        assert wait_until(lambda: "Update signature is invalid." in trace() and "start the launcher again" in trace(),
                          timeout=20), trace()[-2000:]
        assert dismiss_boxes_until_exit(process, "ORVEX Update Recovery", env) == 1
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(10)
    assert sorted(p.name for p in current.iterdir()) == ["journal", "manifest", "signature"]


def test_startup_repair_shows_its_window_which_a_relaunch_brings_forward_and_closing_ends(tmp_path):
    # The metadata download stalls after 100 bytes: the repair runs on, with
    # its window showing what it does.
    client = client_without_manifests(tmp_path / "client")
    patch_root, _, _ = publish_for(client, tmp_path)
    before = {p.relative_to(client).as_posix(): p.read_bytes() for p in client.rglob("*") if p.is_file()}
    with PatchServer(tmp_path, patch_root, always=["stall-100"]) as server:
        launcher = Launcher(client)
        relaunch = None
        try:
            search = lambda: windows_titled("ORVEX Startup Repair", launcher.env)
            assert wait_until(search, timeout=90), launcher.trace()[-3000:]
            assert wait_until(lambda: f"/orvex-patch/{METADATA}" in server.gets("cdn"), timeout=30)
            # The status line and the percentage of the repair are painted.
            assert wait_until(lambda: any(t.endswith("%") for t in launcher.texts()), timeout=10)
            assert windows_titled("ORVEX Launcher", launcher.env) == []

            # A second start brings the repair window forward (SW_RESTORE = 9) and ends with 0.
            relaunch = Launcher(client, trace=False)
            assert relaunch.wait(20) == 0
            assert 9 in launcher.show_commands()

            window = search()[0]
            launcher.xdotool("windowactivate", "--sync", window, check=False)
            launcher.xdotool("key", "--window", window, "Escape")
            closed = time.monotonic()
            assert launcher.wait(10) == 0
            assert time.monotonic() - closed < 5.0
        finally:
            launcher.close()
            if relaunch:
                relaunch.close()
    assert windows_titled("ORVEX Launcher", launcher.env) == []
    # Nothing was replaced or left behind in the client (the update area aside).
    after = {p.relative_to(client).as_posix(): p.read_bytes() for p in client.rglob("*")
             if p.is_file() and not p.relative_to(client).as_posix().startswith(".orvex-update")}
    assert after == before
