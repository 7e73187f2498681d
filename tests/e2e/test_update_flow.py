"""Launcher.exe patches an outdated client through the stand-in login and patch servers.

The sample client (sample_client.py) is at 2369; the login server reports 2372
and names three patches, which the patch server's CDN endpoint serves as the
publisher made them. Every patch-server answer waits 0.3 s so that each status
text stays on the window for a few painted frames.
"""
import hashlib
import re
import shutil
import time
import zipfile

import pytest

import sample_client
from fixtures import unwritable
from harness import (LAUNCHER_EXE, Launcher, LoginServer, PatchServer, read_ini_value,
                     status_and_percent, wait_until)
from service import Front, PatchService, release
from test_launcher_swap import close_window, end_processes_running_from, launcher_windows

READY = "Ready to play ORVEX"
MANIFEST_TEXT = "Downloading signed update manifest..."
INSTALLING_TEXT = "Installing update; rollback backup is ready..."
PATCH_NAMES = [f"patch{version}.zip" for version in sample_client.PATCH_VERSIONS]
PATCH_FILE = re.compile(r"/orvex-patch/\d+\.(manifest|manifest\.sig|zip)")
SLOW_ANSWERS = ["delay-0.3"]
# Verifying this much after the swap keeps the install text up for several frames.
BULK_MIB = 64


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    return sample_client.build(tmp_path_factory.mktemp("sample"), bulk_mib=BULK_MIB, releases=True)


def run_launcher(client, workdir, root, wait_for, always=SLOW_ANSWERS, releases=None, server_args=(), requests=None,
                 front=False, linger=0.5, **scenario):
    """Runs Launcher.exe until a text is painted; returns (painted frames, CDN GETs, GETs elsewhere).
    The stand-in server serves root (slowed down by always), or the patch
    service the release folders in releases (with front, behind nginx);
    requests, a list, receives the server's log entries."""
    if releases:
        server = (Front if front else PatchService)(workdir, releases)
    else:
        server = PatchServer(workdir, root, always=always, extra_args=server_args)
    with server as patches, LoginServer(workdir, **scenario):
        launcher = Launcher(client)
        try:
            assert launcher.window_id() is not None
            assert launcher.wait_for_text(wait_for, timeout=40), launcher.status_lines()[-5:]
            time.sleep(linger)  # a few more frames with the final state
            if requests is not None:
                requests += patches.requests()
            return status_and_percent(launcher), patches.gets("cdn"), patches.gets("fallback")
        finally:
            assert launcher.close() == 0


def expected_gets(*versions):
    return [f"/orvex-patch/{version}{suffix}" for version in versions
            for suffix in (".manifest", ".manifest.sig", ".zip")]


def distinct(texts):
    """texts without consecutive repeats."""
    return [text for i, text in enumerate(texts) if i == 0 or texts[i - 1] != text]


class TestPatchingToTheServerVersion:
    def test_publisher_ships_the_changed_ui_archive_as_a_delta(self, sample):
        for version in (2371, 2372):
            with zipfile.ZipFile(sample.patch_root / f"{version}.zip") as archive:
                names = archive.namelist()
            assert "ui/ui.src.ord" in names and "ui/ui.src" not in names, (version, names)
        with zipfile.ZipFile(sample.patch_root / "2372.zip") as archive:
            assert "fx/fx.src" in archive.namelist()

    def test_client_2369_reaches_2372_through_three_signed_patches(self, sample, tmp_path):
        client = sample.make_client(tmp_path / "client", LAUNCHER_EXE)
        try:
            frames, gets, fallback_gets = run_launcher(client, tmp_path, sample.patch_root, READY, version=2372,
                                                       patches=PATCH_NAMES)
            statuses = distinct([status for status, _ in frames])

            # The window: every patch's download, the install, then ready with 100%.
            # Ready with 100% (a background verification pass may change the status afterwards).
            assert (READY, "100%") in frames
            assert MANIFEST_TEXT in statuses and INSTALLING_TEXT in statuses
            archives = [f"Downloading {version}.zip..." for version in sample_client.PATCH_VERSIONS]
            assert [s for s in statuses if s in archives] == archives, statuses
            assert statuses.index(archives[-1]) < len(statuses) - 1 - statuses[::-1].index(INSTALLING_TEXT) \
                < statuses.index(READY), statuses
            assert any(s == archives[-1] and p != "100%" for s, p in frames), "no progress shown while downloading"

            # The patch server: manifest, signature, archive of each patch, in order, on the CDN only.
            assert [path for path in gets if PATCH_FILE.fullmatch(path)] == expected_gets(
                *sample_client.PATCH_VERSIONS)
            assert fallback_gets == []

            # The client: the 2372 files by hash, nothing else, the version saved, no update area left.
            assert read_ini_value(client / "Server.ini", "Version", "Files") == "2372"
            assert sample_client.file_digests(client, skip=("Server.ini", "Launcher.exe")) == \
                sample_client.file_digests(sample.trees[2372])
            assert not (client / ".orvex-update" / "current").exists()
            assert not (client / ".orvex-update" / "download").exists()
        finally:
            shutil.rmtree(client, ignore_errors=True)


class TestThroughTheFront:
    """The production layout: nginx on the CDN address serves the published
    files and passes the repair request to one of two service instances."""

    def test_client_2369_reaches_2372_and_repairs_a_file_through_the_front(self, sample, tmp_path):
        client = sample.make_client(tmp_path / "client", LAUNCHER_EXE)
        try:
            requests = []
            frames, gets, _ = run_launcher(client, tmp_path, None, READY, releases=sample.releases, front=True,
                                           requests=requests, version=2372, patches=PATCH_NAMES)
            assert (READY, "100%") in frames
            assert [path for path in gets if PATCH_FILE.fullmatch(path)] == expected_gets(
                *sample_client.PATCH_VERSIONS)
            assert all(entry["status"] == 200 and not entry["upstream"] for entry in requests
                       if PATCH_FILE.fullmatch(entry["path"])), requests
            assert sample_client.file_digests(client, skip=("Server.ini", "Launcher.exe")) == \
                sample_client.file_digests(sample.trees[2372])

            # A damaged start-up file and no startup manifest: the next start
            # fetches the metadata package and repairs the file before its window.
            sound = (client / "D3DX9_43.dll").read_bytes()
            (client / "D3DX9_43.dll").write_bytes(b"damaged")
            (client / "ORVEX" / "Startup.manifest").unlink()
            requests = []
            frames, gets, _ = run_launcher(client, tmp_path, None, READY, releases=sample.releases, front=True,
                                           requests=requests, version=2372, patches=[])
            assert (client / "D3DX9_43.dll").read_bytes() == sound
            assert gets[:3] == [f"/orvex-patch/metadata-v4-2372{suffix}" for suffix in
                                (".manifest", ".manifest.sig", ".zip")]
            repairs = [entry for entry in requests if entry["method"] == "POST"]
            assert [(entry["path"], entry["status"]) for entry in repairs] == [
                ("/orvex-patch/repair-batch-v4.php", 200)]
            assert repairs[0]["upstream"].startswith("127.0.0.1:") and repairs[0]["bytes"] == len(sound)
        finally:
            shutil.rmtree(client, ignore_errors=True)


class TestInterruptedDownloadResumes:
    """The 64 MiB archive of 2372 breaks at 60%: the same launcher runs again
    after its wait and asks only for the rest. A launcher closed during that
    wait ends at once, and the next one still patches when the server ignores
    the range, and starts over when the partial archive came from another
    manifest."""

    @pytest.mark.parametrize("case", ["retried-by-the-same-launcher", "server-without-ranges",
                                      "partial-of-another-manifest"])
    def test_next_attempt_asks_for_the_rest_of_the_archive(self, sample, tmp_path, monkeypatch, case):
        client = sample.make_client(tmp_path / "client", LAUNCHER_EXE, version=2371)
        archive = (sample.patch_root / "2372.zip").read_bytes()
        download = client / ".orvex-update" / "download"
        archive_text = "Downloading 2372.zip..."
        interrupted = "Update connection interrupted."
        scenario = dict(version=2372, patches=["patch2372.zip"])
        archive_gets = lambda requests: [r["range"] for r in requests if r["path"] == "/orvex-patch/2372.zip"]

        if case == "retried-by-the-same-launcher":
            monkeypatch.setenv("ORVEX_RETRY_WAITS", "2")
            requests = []
            frames, _, _ = run_launcher(client, tmp_path, sample.patch_root, READY, requests=requests,
                                        server_args=["--once-for", "2372.zip", "cut-60"], **scenario)
            statuses = distinct([status for status, _ in frames])
            assert statuses.index(interrupted) < statuses.index(READY), statuses
            first, rest = archive_gets(requests)
            kept = int(re.fullmatch(r"bytes=(\d+)-", rest).group(1))
            assert first is None and 0 < kept <= len(archive) * 60 // 100
            # The bar goes on from where the broken download stopped.
            last_failure = max(i for i, (status, _) in enumerate(frames) if status == interrupted)
            shown = [int(percent[:-1]) for status, percent in frames[last_failure:] if status == archive_text]
            assert shown and min(shown) >= kept * 100 // len(archive), (kept, shown)
        else:
            # A long wait: closing during it must end the launcher at once.
            monkeypatch.setenv("ORVEX_RETRY_WAITS", "60")
            frames, _, _ = run_launcher(client, tmp_path, sample.patch_root, "Retrying in ",
                                        server_args=["--always-for", "2372.zip", "cut-60"], **scenario)
            assert frames[-1][0] == interrupted
            kept = (download / "patch.zip").read_bytes()
            assert 0 < len(kept) <= len(archive) * 60 // 100 and archive.startswith(kept)
            assert read_ini_value(client / "Server.ini", "Version", "Files") == "2371"
            if case == "partial-of-another-manifest":
                other = hashlib.sha256((sample.patch_root / "2371.manifest").read_bytes()).hexdigest()
                (download / "patch.zip.source").write_text(other + "\n")

            requests = []
            frames, _, _ = run_launcher(client, tmp_path, sample.patch_root, READY,
                                        always=SLOW_ANSWERS + (["noranges"] if case == "server-without-ranges" else []),
                                        requests=requests, **scenario)
            asked = None if case == "partial-of-another-manifest" else f"bytes={len(kept)}-"
            assert [(r["path"], r["range"]) for r in requests if PATCH_FILE.fullmatch(r["path"])] == [
                ("/orvex-patch/2372.manifest", None), ("/orvex-patch/2372.manifest.sig", None),
                ("/orvex-patch/2372.zip", asked)]
        assert (READY, "100%") in frames
        assert read_ini_value(client / "Server.ini", "Version", "Files") == "2372"
        assert sample_client.file_digests(client, skip=("Server.ini", "Launcher.exe")) == \
            sample_client.file_digests(sample.trees[2372])
        assert not download.exists()


def releases_with_a_new_launcher_in_2370(sample, releases, new_launcher):
    """A releases folder whose 2370 is released with --launcher new_launcher
    (the patch carries it as Launcher2.exe, the signed manifests name it as
    Launcher.exe); 2371 and 2372 are the sample's releases."""
    executable = releases.parent / "next-launcher" / "Launcher.exe"
    executable.parent.mkdir(parents=True, exist_ok=True)
    executable.write_bytes(new_launcher)
    release(releases, sample.trees[2369], sample.trees[2370], 2369, 2370, "--launcher", executable)
    for version in (2371, 2372):
        (releases / str(version)).symlink_to(sample.releases / str(version))


def test_patch_with_a_new_launcher_restarts_it_and_the_new_one_patches_on(sample, tmp_path):
    # A working launcher with other bytes: a PE ignores data after its last section.
    new_launcher = LAUNCHER_EXE.read_bytes() + b"ORVEX next launcher build\x00"
    releases = tmp_path / "releases"
    releases_with_a_new_launcher_in_2370(sample, releases, new_launcher)
    client = sample.make_client(tmp_path / "client", LAUNCHER_EXE)

    # The server names the patches above the version each request carries,
    # so the restarted launcher at 2370 is offered 2371 and 2372.
    with PatchService(tmp_path, releases) as patches, LoginServer(tmp_path, version=2372, patches=PATCH_NAMES,
                                                                   patches_above_client=True) as login:
        old = Launcher(client)
        try:
            # The old launcher quits for the swap helper, which starts the new
            # one; both write to the old one's trace.
            assert old.wait(60) == 0, old.status_lines()[-5:]
            assert wait_until(lambda: READY in old.texts(), timeout=120), old.status_lines()[-5:]
            gets = patches.gets("cdn")
            requests = [frame for frame in login.frames() if frame[0] == 0x02]
        finally:
            for window in launcher_windows(old):
                close_window(old, window)
            end_processes_running_from(client)

    # The old launcher asked from 2369 and quit after 2370 (its "Restarting"
    # status is seldom painted); the new one asked from 2370.
    assert requests == [b"\x02" + version.to_bytes(2, "little") for version in (2369, 2370)]
    assert [path for path in gets if PATCH_FILE.fullmatch(path)] == expected_gets(*sample_client.PATCH_VERSIONS)
    assert (client / "Launcher.exe").read_bytes() == new_launcher
    assert not (client / "Launcher2.exe").exists()
    assert read_ini_value(client / "Server.ini", "Version", "Files") == "2372"
    assert sample_client.file_digests(client, skip=("Server.ini", "Launcher.exe")) == \
        sample_client.file_digests(sample.trees[2372])


@pytest.fixture(scope="module")
def foreign_key(tmp_path_factory):
    return sample_client.write_foreign_key(tmp_path_factory.mktemp("foreign") / "foreign-update-key.pem")


def root_signed_with_another_key(sample, root, foreign_key):
    sample_client.make_update(sample.trees[2369], sample.trees[2370], 2370, root, sign_with=foreign_key)


def root_with_the_manifest_of_another_version(sample, root, _):
    """2370.manifest and its signature are the genuine, signed ones of 2371."""
    root.mkdir()
    shutil.copy(sample.patch_root / "2371.manifest", root / "2370.manifest")
    shutil.copy(sample.patch_root / "2371.manifest.sig", root / "2370.manifest.sig")
    shutil.copy(sample.patch_root / "2370.zip", root / "2370.zip")


class TestRefusedUpdateLeavesTheClientUntouched:
    @pytest.mark.parametrize("make_root, message", [
        (root_signed_with_another_key, "Update signature is invalid."),
        (root_with_the_manifest_of_another_version, "Signed update version does not match the requested version."),
    ], ids=["signed-with-another-key", "manifest-of-another-version"])
    def test_refused_before_the_archive_is_requested(self, sample, foreign_key, tmp_path, make_root, message):
        root = tmp_path / "root"
        make_root(sample, root, foreign_key)
        client = sample.make_client(tmp_path / "client", LAUNCHER_EXE)
        before = sample_client.file_digests(client, skip=())

        frames, gets, _ = run_launcher(client, tmp_path, root, message, version=2370, patches=["patch2370.zip"])

        assert frames[-1][0] == message
        assert READY not in [status for status, _ in frames]
        assert [path for path in gets if PATCH_FILE.fullmatch(path)] == expected_gets(2370)[:2]
        assert sample_client.file_digests(client, skip=()) == before
        assert read_ini_value(client / "Server.ini", "Version", "Files") == "2369"
        assert not (client / ".orvex-update" / "current").exists()


def test_archive_refused_by_its_digest_is_not_retried(sample, tmp_path, monkeypatch):
    monkeypatch.setenv("ORVEX_RETRY_WAITS", "1")
    root = tmp_path / "root"
    root.mkdir()
    for name in ("2370.manifest", "2370.manifest.sig"):
        shutil.copy(sample.patch_root / name, root / name)
    archive = bytearray((sample.patch_root / "2370.zip").read_bytes())
    archive[len(archive) // 2] ^= 0xFF
    (root / "2370.zip").write_bytes(archive)
    client = sample.make_client(tmp_path / "client", LAUNCHER_EXE)
    message = "Downloaded archive hash or size is invalid."

    # Long enough after the refusal for a retry after 1 s to show.
    frames, gets, _ = run_launcher(client, tmp_path, root, message, linger=3, version=2370,
                                   patches=["patch2370.zip"])
    assert frames[-1][0] == message
    assert [path for path in gets if PATCH_FILE.fullmatch(path)] == expected_gets(2370)
    assert read_ini_value(client / "Server.ini", "Version", "Files") == "2369"


def test_failed_install_whose_recovery_fails_reports_both(sample, tmp_path):
    # Server.ini has no version, so the session counts the client as 1, and
    # nothing can write it: the install fails at its version save after every
    # file was replaced, and the rollback, which restores the files, fails to
    # write version 1 back.
    client = sample.make_client(tmp_path / "client", LAUNCHER_EXE)
    (client / "Server.ini").write_bytes(b"[Server]\r\nCount=1\r\nIP0=127.0.0.1\r\n")
    settings = (client / "Server.ini").read_bytes()
    message = "Cannot save client version. Recovery: Cannot save client version."
    with unwritable(client / "Server.ini"):
        frames, _, _ = run_launcher(client, tmp_path, sample.patch_root, message, always=(), version=2372,
                                    patches=["patch2370.zip"])
    assert message in [status for status, _ in frames]
    assert sample_client.file_digests(client, skip=("Server.ini", "Launcher.exe")) == \
        sample_client.file_digests(sample.trees[2369], skip=("Server.ini", "Launcher.exe"))
    assert (client / "Server.ini").read_bytes() == settings
    # The transaction stays for the next recovery.
    assert (client / ".orvex-update" / "current" / "journal").exists()


def test_archive_of_a_failed_install_is_installed_from_without_downloading_it_again(sample, tmp_path):
    # The install of a whole, verified 2372.zip fails at its version save and
    # is rolled back; the next launcher installs from the archive it kept and
    # asks the server for the signed manifest alone.
    client = sample.make_client(tmp_path / "client", LAUNCHER_EXE, version=2371)
    scenario = dict(version=2372, patches=["patch2372.zip"])
    with unwritable(client / "Server.ini"):
        frames, _, _ = run_launcher(client, tmp_path, sample.patch_root, "Cannot save client version.", always=(),
                                    **scenario)
    assert (client / ".orvex-update" / "download" / "patch.zip").read_bytes() == \
        (sample.patch_root / "2372.zip").read_bytes()
    assert read_ini_value(client / "Server.ini", "Version", "Files") == "2371"

    requests = []
    frames, _, _ = run_launcher(client, tmp_path, sample.patch_root, READY, always=(), requests=requests, **scenario)
    assert [r["path"] for r in requests if PATCH_FILE.fullmatch(r["path"])] == [
        "/orvex-patch/2372.manifest", "/orvex-patch/2372.manifest.sig"]
    assert read_ini_value(client / "Server.ini", "Version", "Files") == "2372"
    assert sample_client.file_digests(client, skip=("Server.ini", "Launcher.exe")) == \
        sample_client.file_digests(sample.trees[2372])


class TestClientFolderWithTurkishLetters:
    """The session and the installer handed the client folder between narrow
    and wide names through the standard library, which reads narrow bytes as
    Latin-1 and writes UTF-8: a folder with "Ç" could not open its patch
    archive, and on Turkish Windows a folder with "ı" or "ş" was not found."""

    def patch_in(self, sample, client):
        frames, _, _ = run_launcher(client, client.parent, None, READY, releases=sample.releases, version=2372,
                                    patches=PATCH_NAMES)
        try:
            # Ready with 100% (a background verification pass may change the status afterwards).
            assert (READY, "100%") in frames
            assert read_ini_value(client / "Server.ini", "Version", "Files") == "2372"
            assert sample_client.file_digests(client, skip=("Server.ini", "Launcher.exe")) == \
                sample_client.file_digests(sample.trees[2372])
        finally:
            shutil.rmtree(client, ignore_errors=True)

    def test_patch_archive_opens_in_a_client_folder_with_non_ascii_letters(self, sample, tmp_path):
        self.patch_in(sample, sample.make_client(tmp_path / "Oyunlar" / "ORVEX Çöl", LAUNCHER_EXE))

    def test_client_folder_with_turkish_letters_is_found_on_turkish_windows(self, sample, tmp_path, monkeypatch,
                                                                          turkish_code_page):
        for name, value in turkish_code_page.items():
            monkeypatch.setenv(name, value)
        self.patch_in(sample, sample.make_client(tmp_path / "Oyunlar" / "ORVEX Çalışma Ğİş", LAUNCHER_EXE))
