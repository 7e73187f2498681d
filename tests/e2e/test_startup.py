"""Run modes, exit codes and the single running launcher, with the real Launcher.exe."""
import shutil
import time

import pytest

from harness import Launcher, make_client, run_once, wait_until


def created_launcher_window(trace):
    return 'L"Launcher"' in trace and "WIN_CreateWindowEx" in trace


@pytest.mark.parametrize("arguments", [["--orvex-launcher-swap", "0"], ["--orvex-launcher-swap", "12abc"],
                                       ["--orvex-launcher-swap", ""]])
def test_invalid_swap_argument_ends_with_1_without_window(tmp_path, arguments):
    client = make_client(tmp_path / "client")
    helper_folder = client / ".orvex-update"
    helper_folder.mkdir()
    shutil.copy2(client / "Launcher.exe", helper_folder / "launcher-swap.exe")
    code, trace = run_once(helper_folder, arguments, exe_name="launcher-swap.exe")
    assert code == 1
    assert not created_launcher_window(trace)


def test_swap_argument_outside_the_update_folder_ends_with_1(tmp_path):
    client = make_client(tmp_path / "client")
    code, trace = run_once(client, ["--orvex-launcher-swap", "4242"])
    assert code == 1
    assert not created_launcher_window(trace)


def test_unattended_counts_only_under_the_installer_name(tmp_path):
    client = make_client(tmp_path / "client")
    patch = client / "ORVEX" / "Patch"
    patch.mkdir(parents=True)
    shutil.copy2(client / "Launcher.exe", patch / "PatchKur.exe")
    code, trace = run_once(patch, ["--unattended"], exe_name="PatchKur.exe")
    assert not created_launcher_window(trace)

    # Under its own name the same argument is ignored: the normal launcher starts.
    launcher = Launcher(client, ["--unattended"])
    try:
        assert launcher.window_id() is not None
    finally:
        assert launcher.close() == 0




def test_second_launcher_restores_the_first_and_exits_0(tmp_path):
    client = make_client(tmp_path / "client")
    first = Launcher(client)
    try:
        window = first.window_id()
        assert window is not None
        assert first.wait_for_text("Takvim")
        first.click_canvas(window, 745, 25)  # the Minimise element
        assert wait_until(lambda: 6 in first.show_commands())  # SW_MINIMIZE
        # Minimised: the timers still run but nothing is repainted.
        time.sleep(0.5)
        painted = first.texts().count("Takvim")
        time.sleep(1)
        assert first.texts().count("Takvim") == painted

        area = client / ".orvex-update"
        snapshot = lambda: sorted((str(p), p.stat().st_mtime_ns) for p in area.rglob("*")) if area.exists() else []
        before = snapshot()
        second = Launcher(client)
        assert second.wait(30) == 0
        assert not created_launcher_window(second.trace())
        restored = lambda: 9 in first.show_commands() or 9 in second.show_commands()  # SW_RESTORE
        assert wait_until(restored)
        assert wait_until(lambda: first.texts().count("Takvim") > painted)  # painting again
        assert first.process.poll() is None
        assert snapshot() == before  # the second launcher left the update area alone
    finally:
        assert first.close() == 0


def test_escape_and_close_element_end_with_0(tmp_path):
    client = make_client(tmp_path / "client")
    launcher = Launcher(client)
    window = launcher.window_id()
    assert window is not None
    launcher.click_canvas(window, 776, 25)
    assert launcher.wait(15) == 0
