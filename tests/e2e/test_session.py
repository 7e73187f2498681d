"""The launcher session against the stand-in login server: requests, versions, patch names."""
import time

from harness import Launcher, LoginServer, make_client

INITIAL = "Contacting the ORVEX login server, please wait"


def run_session(tmp_path, client_version, wait_for, **scenario):
    """Runs Launcher.exe against a login server scenario until a status appears."""
    client = make_client(tmp_path / "client", version=client_version)
    with LoginServer(tmp_path, **scenario) as server:
        launcher = Launcher(client)
        try:
            assert launcher.window_id() is not None
            if wait_for:
                assert launcher.wait_for_text(wait_for), launcher.status_lines()[-3:]
            else:
                time.sleep(3)
            time.sleep(0.5)  # let any further request arrive
            return launcher.status_lines(), server.frames()
        finally:
            assert launcher.close() == 0


def test_outdated_client_asks_for_patches_with_its_version(tmp_path):
    statuses, frames = run_session(tmp_path, 2369, "Client version does not match the server.",
                                   version=2372, patches=[])
    assert frames == [b"\x01", b"\x03", b"\x02" + (2369).to_bytes(2, "little")]
    assert statuses[0] == INITIAL


def test_client_newer_than_server_sends_no_download_request(tmp_path):
    statuses, frames = run_session(tmp_path, 2380, "Client is newer.", version=2372)
    assert frames == [b"\x01", b"\x03"]
    assert statuses[-1] == "Client is newer."


def test_invalid_patch_name_is_reported(tmp_path):
    statuses, _ = run_session(tmp_path, 2372, "Invalid patch filename.", version=2373, patches=["Patch2373.zip"])
    assert statuses[-1] == "Invalid patch filename."


def test_patch_not_above_client_version_ends_quietly(tmp_path):
    statuses, frames = run_session(tmp_path, 2372, None, version=2373, patches=["2372.zip"])
    assert len(frames) == 3
    assert set(statuses) == {INITIAL}


def test_second_version_reply_is_ignored(tmp_path):
    statuses, frames = run_session(tmp_path, 2372, "Ready to play ORVEX", version=2372, patches=[],
                                   extra_version_reply=2400)
    assert frames == [b"\x01", b"\x03", b"\x02" + (2372).to_bytes(2, "little")]
    # The first background verification pass follows ready and, clean, says so.
    assert statuses[-1] in ("Ready to play ORVEX", "Ready to play.")


def test_frames_split_and_batched_still_reach_ready(tmp_path):
    statuses, _ = run_session(tmp_path, 2372, "Ready to play ORVEX", version=2372, patches=[],
                              split_frames=True, one_write=True, text_list=["a", "b"])
    # The first background verification pass follows ready and, clean, says so.
    assert statuses[-1] in ("Ready to play ORVEX", "Ready to play.")


def test_server_closing_shows_disconnected(tmp_path):
    statuses, _ = run_session(tmp_path, 2372, "Disconnected.", version=2372, patches=[],
                              close_after="VersionReply")
    assert statuses[-1] == "Disconnected."


def test_zero_length_frame_closes_and_reports_disconnected(tmp_path):
    statuses, _ = run_session(tmp_path, 2372, "Disconnected.", version=2372, patches=[],
                              zero_length_after="VersionReply")
    assert statuses[-1] == "Disconnected."


def test_flood_of_small_frames_after_the_session_ended_disconnects(tmp_path):
    # The session has stopped taking packets, so only the queue's bound can end this.
    statuses, _ = run_session(tmp_path, 2372, "Disconnected.", version=2373, patches=[],
                              flood_after="DownloadInfo", flood_delay=1.0)
    changes = [text for i, text in enumerate(statuses) if i == 0 or statuses[i - 1] != text]
    assert changes[-2:] == ["Client version does not match the server.", "Disconnected."]


def test_login_server_up_after_the_start_is_reached_without_a_restart(tmp_path, monkeypatch):
    monkeypatch.setenv("ORVEX_RETRY_WAITS", "2,4,8,16")
    client = make_client(tmp_path / "client", version=2372)
    launcher = Launcher(client)
    try:
        started = time.monotonic()
        assert launcher.wait_for_text("Retrying in "), launcher.texts()[-3:]
        assert launcher.status_lines()[-1] == "Unable to connect to the ORVEX login server"
        time.sleep(max(0.0, 10 - (time.monotonic() - started)))
        with LoginServer(tmp_path, version=2372, patches=[]) as server:
            assert launcher.wait_for_text("Ready to play ORVEX", timeout=30), launcher.status_lines()[-3:]
            # One ordinary session on the server's side.
            assert server.frames() == [b"\x01", b"\x03", b"\x02" + (2372).to_bytes(2, "little")]
    finally:
        assert launcher.close() == 0
