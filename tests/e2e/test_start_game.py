"""Start end to end: Launcher.exe with a ready session (stand-in login server)
and a sound client starts the stand-in guard, then the stand-in game client,
and closes once the game is up; the guard's exit codes and the client limit.

The stand-ins of standins/ sit in the client folder; a .standin file sets their
behaviour and each start is recorded in a .calls file (parent pid, command line)."""
import os
import pathlib
import shutil
import subprocess
import time

import pytest

from harness import Launcher, LoginServer, PatchServer, make_client, wait_until, \
    wine_environment, write_client_manifests

STANDIN_DIR = pathlib.Path(os.environ.get("ORVEX_STANDIN_DIR",
                                          pathlib.Path(__file__).resolve().parents[2] / "build" / "win" / "standins"))
READY = "Ready to play"
GUARD_FAILED = "ORVEX GUARD kontrolu tamamlanamadi. Lutfen hata mesajini kontrol edin."
CLIENT_LIMIT = "Bu bilgisayarda en fazla 3 oyun istemcisi acabilirsiniz."
SW_HIDE = 0
CLEAN = "Ready to play."
UNREACHABLE = "HTTPS request or certificate validation failed."




def client_with_standins(tmp_path, guard_exits="0", game="window=1\nlifetime_ms=15000\n"):
    client = make_client(tmp_path / "client", version=2372)
    for name in ("ORVEXGuard", "Vantrell"):
        shutil.copy2(STANDIN_DIR / f"{name}.exe", client / f"{name}.exe")
    (client / "ORVEXGuard.standin").write_text(f"exit={guard_exits}\n")
    (client / "Vantrell.standin").write_text(game)
    return client


def calls(client, name):
    """(parent pid, command line) of every start of a stand-in, in order."""
    record = client / f"{name}.calls"
    if not record.exists():
        return []
    return [tuple(line.split("\t", 1)) for line in record.read_text(encoding="utf-8").splitlines()]


def ready_launcher(client):
    launcher = Launcher(client)
    assert launcher.window_id(timeout=60) is not None, launcher.trace()[-3000:]
    assert launcher.wait_for_text(READY, timeout=30), launcher.status_lines()[-3:]
    return launcher


def press(launcher, key):
    window = launcher.window_id()
    launcher.xdotool("windowactivate", "--sync", window, check=False)
    launcher.xdotool("key", "--window", window, key)


def test_start_after_a_failed_pass_repairs_first_then_runs_guard_and_game(tmp_path):
    client = client_with_standins(tmp_path)
    damaged = client / "data" / "item.tbl"
    sound = damaged.read_bytes()
    with LoginServer(tmp_path, version=2372, patches=[]):
        launcher = ready_launcher(client)
        try:
            # The first pass ends clean; F5 asks for another at once.
            assert launcher.wait_for_text(CLEAN, timeout=20), launcher.status_lines()[-3:]
            press(launcher, "F5")
            assert launcher.wait_for_text("Checking files...", timeout=10)
            # A changed managed file makes the next pass run the check, whose
            # repair cannot reach a server: the pass fails.
            damaged.write_bytes(b"X" + sound[1:])
            assert launcher.wait_for_text(UNREACHABLE, timeout=30), launcher.status_lines()[-3:]
            damaged.write_bytes(sound)
            press(launcher, "Return")
            assert wait_until(lambda: calls(client, "Vantrell"), timeout=30), launcher.status_lines()[-5:]
            game_started = time.monotonic()
            assert launcher.wait(30) == 0, launcher.status_lines()[-5:]
            # Closed because the game became idle, well before the 20 s watch ends.
            assert time.monotonic() - game_started < 10
        finally:
            launcher.close()
    statuses = launcher.status_lines()
    assert statuses.index("Checking files...") < statuses.index(UNREACHABLE)
    # Start after a failed pass waits for a new, clean pass before the guard.
    preparing = statuses.index("Preparing game...")
    assert preparing < statuses.index("Starting ORVEX GUARD...", preparing)
    guard = calls(client, "ORVEXGuard")
    assert len(guard) == 1
    guard_parent, guard_line = guard[0]
    assert guard_line == f'"{client_windows_path(client)}\\ORVEXGuard.exe" --launcher-repair'
    game = calls(client, "Vantrell")
    assert len(game) == 1
    game_parent, game_line = game[0]
    # The game gets the launcher's own process id, which is also its parent.
    assert game_parent == guard_parent
    assert game_line.split()[-1] == game_parent
    assert SW_HIDE in launcher.show_commands()
    (client / "Vantrell.stop").write_text("")


def client_windows_path(client):
    """The client folder as the launcher sees it (Wine's Z: drive)."""
    return "Z:" + str(client).replace("/", "\\")


def test_guard_asking_for_repair_runs_a_pass_and_starts_it_again_without_repair_flag(tmp_path):
    client = client_with_standins(tmp_path, guard_exits="2,0")
    with LoginServer(tmp_path, version=2372, patches=[]):
        launcher = ready_launcher(client)
        try:
            press(launcher, "Return")
            assert launcher.wait(40) == 0, launcher.status_lines()[-5:]
        finally:
            launcher.close()
    lines = [line for _, line in calls(client, "ORVEXGuard")]
    assert len(lines) == 2
    assert lines[0].endswith('ORVEXGuard.exe" --launcher-repair')
    assert lines[1].endswith('ORVEXGuard.exe"')
    statuses = launcher.status_lines()
    assert "Repairing game files in the background..." in statuses
    assert len(calls(client, "Vantrell")) == 1
    (client / "Vantrell.stop").write_text("")


def test_guard_failing_shows_the_guard_text_and_the_window_again(tmp_path):
    # Exit code 2 twice in one Start: the second time is a failure like any other.
    client = client_with_standins(tmp_path, guard_exits="2,2")
    with LoginServer(tmp_path, version=2372, patches=[]):
        launcher = ready_launcher(client)
        try:
            press(launcher, "Return")
            assert launcher.wait_for_text(GUARD_FAILED, timeout=30), launcher.status_lines()[-5:]
            assert len(calls(client, "ORVEXGuard")) == 2
            assert calls(client, "Vantrell") == []
            window = launcher.window_id()
            assert wait_until(lambda: launcher.is_viewable(window), timeout=10)
            # Idle again: Start is offered once more.
            assert launcher.process.poll() is None
        finally:
            assert launcher.close() == 0
    shows = launcher.show_commands()
    assert shows.count(SW_HIDE) >= 2


def test_three_running_clients_block_start_with_the_limit_text(tmp_path):
    client = client_with_standins(tmp_path)
    games = tmp_path / "games"
    games.mkdir()
    env = wine_environment()
    running = []
    try:
        for index in range(3):
            folder = games / str(index)
            folder.mkdir()
            shutil.copy2(STANDIN_DIR / "Vantrell.exe", folder / "Vantrell.exe")
            (folder / "Vantrell.standin").write_text("window=1\nlifetime_ms=60000\n")
            running.append(subprocess.Popen(["wine", str(folder / "Vantrell.exe")], cwd=folder, env=env,
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        assert wait_until(lambda: all((games / str(i) / "Vantrell.calls").exists() for i in range(3)), timeout=30)
        with LoginServer(tmp_path, version=2372, patches=[]):
            launcher = ready_launcher(client)
            try:
                press(launcher, "Return")
                assert launcher.wait_for_text(CLIENT_LIMIT, timeout=20), launcher.status_lines()[-5:]
                assert calls(client, "ORVEXGuard") == []
                assert launcher.process.poll() is None
                # The text stays through the clean background passes of the
                # next 15 s; a hover (no action) repaints it.
                shown = len(launcher.status_lines())
                time.sleep(15)
                window = launcher.window_id()
                left, top, _, _ = launcher.geometry(window)
                for x in (390, 470):  # two quick-link tiles: the hover changes at least once
                    launcher.xdotool("mousemove", str(left + x), str(top + 335))
                    time.sleep(0.3)
                assert wait_until(lambda: len(launcher.status_lines()) > shown, timeout=10)
                since = launcher.status_lines()[shown - 1:]
                assert set(since) == {CLIENT_LIMIT}, since
            finally:
                assert launcher.close() == 0
    finally:
        for index in range(3):
            (games / str(index) / "Vantrell.stop").write_text("")
        for process in running:
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()


def test_game_that_exits_before_becoming_idle_leaves_the_launcher_open(tmp_path):
    client = client_with_standins(tmp_path, game="exit=0\n")
    with LoginServer(tmp_path, version=2372, patches=[]):
        launcher = ready_launcher(client)
        try:
            press(launcher, "Return")
            assert launcher.wait_for_text("Game closed before startup completed.", timeout=30), \
                launcher.status_lines()[-5:]
            assert len(calls(client, "Vantrell")) == 1
            window = launcher.window_id()
            assert wait_until(lambda: launcher.is_viewable(window), timeout=10)
        finally:
            assert launcher.close() == 0


def opened_by_some_process(path):
    """True when a process on this machine has path open (Wine keeps a Unix
    descriptor open for every open Windows file handle)."""
    for fd_dir in pathlib.Path("/proc").glob("[0-9]*/fd"):
        try:
            for fd in fd_dir.iterdir():
                if os.readlink(fd) == str(path):
                    return True
        except OSError:
            continue
    return False


# What the background pass is doing when the window closes: waiting in a
# download whose server went silent after the headers, hashing a managed file
# of 1 GiB (about 3 s under Wine), waiting 2 s before its third request.
@pytest.mark.parametrize("moment", ["stalled-download", "large-hash", "retry-wait"])
def test_closing_during_a_background_repair_ends_the_process_at_once(tmp_path, moment):
    client = make_client(tmp_path / "client", version=2372)
    big = client / "data" / "big.dat"
    if moment == "large-hash":
        with open(big, "wb") as sparse:
            sparse.truncate(1 << 30)
        write_client_manifests(client)
    else:
        # A managed file that is not one of the launcher's own: the start-up
        # quick check passes, and the first background pass repairs it.
        (client / "data" / "item.tbl").write_bytes(b"damaged")
    always = {"stalled-download": ["size-64", "stall-0"], "large-hash": [], "retry-wait": ["status-500"]}[moment]
    relaunch = None
    with LoginServer(tmp_path, version=2372, patches=[]), PatchServer(tmp_path, tmp_path, always=always) as server:
        launcher = Launcher(client)
        try:
            assert launcher.window_id(timeout=60) is not None, launcher.trace()[-3000:]
            if moment == "large-hash":
                assert wait_until(lambda: opened_by_some_process(big), timeout=60)
            elif moment == "stalled-download":
                assert wait_until(lambda: server.posts(), timeout=60), launcher.status_lines()[-3:]
            else:
                assert wait_until(lambda: len(server.posts()) == 2, timeout=60), launcher.status_lines()[-3:]
            press(launcher, "Escape")
            closed = time.monotonic()
            # Started while the first one is still closing: it waits for the
            # name instead of ending silently.
            relaunch = Launcher(client)
            assert launcher.wait(10) == 0
            assert time.monotonic() - closed < 3.0
            if moment == "retry-wait":
                assert len(server.posts()) == 2  # no third request after the close
            assert relaunch.window_id(timeout=60) is not None, relaunch.trace()[-3000:]
            assert relaunch.close() == 0
        finally:
            launcher.close()
            if relaunch:
                relaunch.close()
    # The relaunch got its window, so its recovery met no held update lock;
    # and no transaction was left behind.
    assert not (client / ".orvex-update" / "current").exists()
