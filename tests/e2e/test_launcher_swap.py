"""The launcher replacing itself: Launcher.exe finds a signed Launcher2.exe,
hands over to the swap helper and exits; the helper puts the new launcher in
place and starts it."""
import os
import pathlib
import shutil
import signal
import subprocess

import harness
from harness import (LAUNCHER_EXE, PYTHON, SOURCE_DIR, Launcher, dismiss_boxes_until_exit, wait_until, windows_titled,
                     wine_environment)

START_UP_FILES = {
    "Vantrell.exe": b"MZ game stand-in",
    "ORVEXGuard.exe": b"MZ guard stand-in",
    "Option.exe": b"MZ options stand-in",
    "D3DX9_43.dll": b"MZ d3dx",
    "ORVEX/Launcher/ui.dat": b"launcher ui",
    "ORVEX/Launcher/font.dat": b"launcher font",
    "data/item.tbl": b"item table rows",
}




def new_launcher_bytes():
    # A working launcher with other bytes: a PE ignores data after its last
    # section, so appended bytes keep it runnable.
    return LAUNCHER_EXE.read_bytes() + b"ORVEX next launcher build\x00"


def signed_client(tmp_path, pending_bytes):
    """A client whose signed startup manifest names the new launcher, still
    running the old Launcher.exe, with pending_bytes as Launcher2.exe."""
    tree = tmp_path / "tree"
    for name, data in START_UP_FILES.items():
        (tree / name).parent.mkdir(parents=True, exist_ok=True)
        (tree / name).write_bytes(data)
    (tree / "Launcher.exe").write_bytes(new_launcher_bytes())
    signed = tmp_path / "signed"
    subprocess.run([PYTHON, str(SOURCE_DIR / "tools" / "orvex_ops" / "publish.py"), "make-client-manifests", "--tree",
                    str(tree), "--out", str(signed)], check=True, capture_output=True)
    # Exactly the signed tree, so that the new launcher's start-up check finds
    # every start-up file sound; the login host 127.0.0.2 keeps it off the
    # shared login port.
    client = tmp_path / "client"
    shutil.copytree(tree, client)
    shutil.copy2(LAUNCHER_EXE, client / "Launcher.exe")
    shutil.copytree(signed / "ORVEX", client / "ORVEX", dirs_exist_ok=True)
    (client / "Server.ini").write_text("[Version]\r\nFiles=2372\r\n[Server]\r\nCount=1\r\nIP0=127.0.0.2\r\n")
    (client / "Launcher2.exe").write_bytes(pending_bytes)
    return client


def launcher_windows(probe):
    return probe.xdotool("search", "--name", "^ORVEX Launcher$", check=False).stdout.split()


def close_window(probe, window):
    """Closes a launcher window that another process owns: the Close element,
    then by force through the window's process id."""
    pid = probe.xdotool("getwindowpid", window, check=False).stdout.strip()
    try:
        probe.click_canvas(window, 776, 25)
    except Exception:
        pass
    if not wait_until(lambda: window not in launcher_windows(probe), timeout=10) and pid.isdigit():
        os.kill(int(pid), signal.SIGKILL)
        wait_until(lambda: window not in launcher_windows(probe), timeout=10)


def end_processes_running_from(folder):
    """Kills, by id, any Wine process whose command line names a file in folder
    (the helper and the new launcher are started by the launcher, not by us)."""
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            command = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if str(folder) in command or str(folder).replace("/", "\\") in command:
            try:
                os.kill(int(entry.name), signal.SIGKILL)
            except OSError:
                pass


def test_signed_pending_launcher_replaces_the_running_one_and_starts(tmp_path, monkeypatch):
    new_bytes = new_launcher_bytes()
    client = signed_client(tmp_path, new_bytes)
    old_bytes = (client / "Launcher.exe").read_bytes()
    area = client / ".orvex-update"

    # The helper and the new launcher write to the same trace; with the message
    # box trace a failing helper names its reason instead of blocking unseen.
    plain_environment = harness.wine_environment
    monkeypatch.setattr(harness, "wine_environment", lambda debug="-all": plain_environment(debug + ",trace+msgbox"))
    old = Launcher(client)
    boxes = lambda: [line for line in old.trace().splitlines() if "trace:msgbox" in line]
    try:
        assert old.wait(60) == 0
        assert (area / "launcher-swap.exe").read_bytes() == new_bytes

        assert wait_until(lambda: not (client / "Launcher2.exe").exists() or boxes(), timeout=60)
        assert not boxes()
        assert (client / "Launcher.exe").read_bytes() == new_bytes
        assert (area / "Launcher.previous.exe").read_bytes() == old_bytes
        assert not (area / "Launcher.next.exe").exists()
        assert (area / "launcher-swap.lock").stat().st_size == 0

        # The new launcher is running with its window up.
        assert wait_until(lambda: launcher_windows(old), timeout=60)
    finally:
        for window in launcher_windows(old):
            close_window(old, window)
        end_processes_running_from(client)
    assert not launcher_windows(old)


def test_pending_launcher_that_does_not_match_is_refused_with_a_box(tmp_path):
    forged = bytearray(new_launcher_bytes())
    forged[-1] ^= 0x01  # the signed size, one byte off
    client = signed_client(tmp_path, bytes(forged))
    old_bytes = (client / "Launcher.exe").read_bytes()

    env = wine_environment("-all,trace+msgbox")
    trace_file = tmp_path / "msgbox-trace.txt"
    with open(trace_file, "wb") as trace_out:
        process = subprocess.Popen(["wine", str(client / "Launcher.exe")], cwd=client, env=env,
                                   stdout=subprocess.DEVNULL, stderr=trace_out, stdin=subprocess.DEVNULL)
    try:
        text = "Launcher2.exe does not match the signed release. It was not executed."
        assert wait_until(lambda: text in trace_file.read_text(errors="replace"), timeout=60)
        # The box carries its title as the X window name; dismissed, it lets the launcher end with 1.
        assert wait_until(lambda: windows_titled("ORVEX Launcher Update", env), timeout=20)
        assert dismiss_boxes_until_exit(process, "ORVEX Launcher Update", env) == 1
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(10)
    assert (client / "Launcher.exe").read_bytes() == old_bytes
    assert (client / "Launcher2.exe").read_bytes() == bytes(forged)
    assert not (client / ".orvex-update" / "launcher-swap.exe").exists()
    assert not (client / ".orvex-update" / "Launcher.previous.exe").exists()
