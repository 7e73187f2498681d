"""Start-up check and repair of a running Launcher.exe: a client whose signed
manifests are missing fetches the metadata package for its version from the
patch CDN, installs it, repairs its damaged files in one batch and only then
opens its window; a client whose package is not published stops with a box.

The login host is 127.0.0.2, where no login server listens, so these tests
leave the login port alone; the patch service (the release served by
gunicorn) or, for the refusals, the stand-in server holds the CDN port."""
import shutil
import subprocess
import time

from harness import (CLIENT_START_UP_FILES, Launcher, PatchServer,
                     dismiss_boxes_until_exit, make_client, read_ini_value, wait_until,
                     windows_titled, wine_environment)
from service import PatchService, release

VERSION = 2372
METADATA = f"metadata-v4-{VERSION}.manifest"
MANIFESTS = ("Startup.manifest", "Integrity.manifest")
DAMAGED = "D3DX9_43.dll"
REFUSED_404 = "Yama sunucusu istegi reddetti (HTTP 404)."




def client_without_manifests(folder):
    """A client with the stand-in start-up files but no ORVEX/*.manifest."""
    client = make_client(folder, version=VERSION, login_host="127.0.0.2", client_manifests=False)
    for name, data in CLIENT_START_UP_FILES.items():
        (client / name).parent.mkdir(parents=True, exist_ok=True)
        (client / name).write_bytes(data)
    return client


def publish_for(client, work):
    """The server side for the sound state of client: its release (the two
    signed manifests of the tree, the metadata package carrying them, the
    repair catalogue and objects), made by orvex-publish release. Returns
    (releases folder, signed manifests)."""
    tree = work / "tree"
    shutil.copytree(client, tree)
    releases = work / "releases"
    release(releases, tree, tree, VERSION - 1, VERSION)
    signed = {name: (releases / str(VERSION) / "client" / "ORVEX" / name).read_bytes() for name in MANIFESTS}
    return releases, signed


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
    releases, signed = publish_for(client, tmp_path)
    sound = (client / DAMAGED).read_bytes()
    damage(client)

    with PatchService(tmp_path, releases) as server:
        launcher = run_until_window(client)
        try:
            gets = server.gets("cdn")
            assert f"/orvex-patch/{METADATA}" in gets
            assert gets.index(f"/orvex-patch/{METADATA}") == 0
            posts = repair_posts(server)
            assert len(posts) == 1
            assert posts[0]["version"] == VERSION and posts[0]["status"] == 200
            # Everything happened before the window: the files are sound now.
            assert (client / DAMAGED).read_bytes() == sound
            for name in MANIFESTS:
                assert (client / "ORVEX" / name).read_bytes() == signed[name]
            assert read_ini_value(client / "Server.ini", "Version", "Files") == str(VERSION)
        finally:
            launcher.close()


def test_damaged_launcher_file_with_sound_manifests_is_repaired_without_metadata(tmp_path):
    client = client_without_manifests(tmp_path / "client")
    releases, signed = publish_for(client, tmp_path)
    for name in MANIFESTS:
        (client / "ORVEX").mkdir(exist_ok=True)
        (client / "ORVEX" / name).write_bytes(signed[name])
    sound = (client / DAMAGED).read_bytes()
    damage(client)

    with PatchService(tmp_path, releases) as server:
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
    releases, _ = publish_for(client, tmp_path)
    patch_root = releases / str(VERSION)  # the stand-in serves the release's files as they lie
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
