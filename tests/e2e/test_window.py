"""The painted window: placement, pixels and texts, with and without a login server."""
import os
import shutil
import subprocess
import time

from harness import (SOURCE_DIR, BUILD_DIR, Launcher, LoginServer, drawn_rects, make_client, pixel, prefix_with_dpi,
                     wait_until)

ARTIFACTS = BUILD_DIR / "artifacts"
FRAME = (98, 80, 51)
TRACK_OUTER = (97, 76, 46)
TRACK_INNER = (26, 21, 17)


def artwork_pixel(x, y):
    return pixel(SOURCE_DIR / "resources" / "main.png", x, y)


START_PIXEL = artwork_pixel(370, 505)


def veiled(colour):
    return tuple((v * 128 + a * 127) // 255 for v, a in zip((17, 18, 21), colour))


def near(a, b, tolerance=3):
    return all(abs(x - y) <= tolerance for x, y in zip(a, b))


def keep(shot, name):
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    shutil.copy2(shot, ARTIFACTS / name)


def test_unreachable_login_server(tmp_path):
    # Nothing listens on this port: the session reports the failed connection.
    client = make_client(tmp_path / "client", login_host="127.0.0.1")
    launcher = Launcher(client)
    try:
        window = launcher.window_id()
        assert window is not None
        # 1024x768 work area: the full 800x600 window, centred.
        assert launcher.geometry(window) == (112, 84, 800, 600)
        assert launcher.wait_for_text("Unable to connect to the ORVEX login server")
        shot = launcher.screenshot(tmp_path / "offline.png")
        keep(shot, "launcher-offline.png")
        at = lambda x, y: pixel(shot, 112 + x, 84 + y)
        assert at(350, 60) == FRAME
        assert at(750, 414) == FRAME
        assert at(353, 456) == TRACK_OUTER
        assert at(360, 468) == TRACK_INNER  # 0%: no fill
        assert near(at(370, 505), veiled(START_PIXEL))
        assert at(361, 505) == artwork_pixel(361, 505)  # outside the veil
        texts = launcher.texts()
        assert "0%" in texts
        assert "Takvim" in texts and "S\u0131ralama" in texts
        assert "Duyurular y\u00fckleniyor\u2026" in texts
    finally:
        assert launcher.close() == 0


def test_cut_failure_text_is_shown_whole_while_the_pointer_rests_on_it(tmp_path):
    # A plain http patch address: the failure text is longer than the status line.
    text = "Only an HTTPS update URL without credentials is allowed."
    ini = ("[Version]\r\nFiles=2372\r\n[Server]\r\nCount=1\r\nIP0=127.0.0.1\r\n"
           "[ORVEX_UPDATE]\r\nBaseURL=http://127.0.0.1/p\r\n")
    client = make_client(tmp_path / "client", server_ini=ini)
    with LoginServer(tmp_path, version=2373, patches=["patch2373.zip"]):
        launcher = Launcher(client)
        try:
            window = launcher.window_id()
            left, top, _, _ = launcher.geometry(window)
            launcher.xdotool("mousemove", str(left + 100), str(top + 300))
            assert launcher.wait_for_text(text), launcher.status_lines()[-3:]
            time.sleep(0.5)
            # One line, cut with an ellipsis where the line ends: its last pixels are text.
            assert set(drawn_rects(launcher.trace(), text)) == {((355, 431, 692, 451), 0x8824)}
            shot = launcher.screenshot(tmp_path / "cut.png")
            assert any(pixel(shot, left + x, top + y) != artwork_pixel(x, y) for x in range(682, 692)
                       for y in range(434, 448))

            for x in (400, 404):  # arrive, then a small move, as a hand would
                launcher.xdotool("mousemove", str(left + x), str(top + 441))
                time.sleep(0.2)
            tip = lambda: [rect for rect, flags in drawn_rects(launcher.trace(), text)
                           if rect[3] <= 431 and not flags & 0x400]  # DT_CALCRECT only measures
            assert wait_until(lambda: tip(), 5), drawn_rects(launcher.trace(), text)
            keep(launcher.screenshot(tmp_path / "tip.png"), "launcher-status-tip.png")
            assert tip()[0][3] - tip()[0][1] > 20  # the whole text, wrapped on two lines
        finally:
            assert launcher.close() == 0


def test_window_scales_with_the_display_dpi(tmp_path):
    # 108 dpi (112.5%) on the 1024x768 display: the canvas at 900x675, centred;
    # 192 dpi would be capped by the work area instead (the unit test has both).
    client = make_client(tmp_path / "client", login_host="127.0.0.2")
    with prefix_with_dpi(tmp_path, 108) as prefix:
        launcher = Launcher(client, prefix=prefix)
        try:
            window = launcher.window_id(timeout=60)
            assert window is not None, launcher.trace()[-3000:]
            left, top, width, height = launcher.geometry(window)
            assert (left, top, width, height) == (62, 46, 900, 675)
            assert launcher.wait_for_text("0%")
            shot = launcher.screenshot(tmp_path / "dpi108.png")
            keep(shot, "launcher-108dpi.png")
            # The empty track's inside at canvas (360, 468), scaled by 1.125.
            assert pixel(shot, left + 405, top + 527) == TRACK_INNER
            # Hit-testing goes through the same scale: the Close element at
            # canvas (776, 25) is at (873, 28) in the window.
            launcher.xdotool("mousemove", str(left + 873), str(top + 28))
            time.sleep(0.3)
            launcher.xdotool("click", "1")
            assert launcher.wait(10) == 0
        finally:
            launcher.close()


def test_ready_client_shows_ready_text_and_full_bar(tmp_path):
    client = make_client(tmp_path / "client", version=2372)
    with LoginServer(tmp_path, version=2372, patches=[]) as server:
        launcher = Launcher(client)
        try:
            window = launcher.window_id()
            assert window is not None
            assert launcher.wait_for_text("Ready to play ORVEX")
            launcher.wait_for_text("100%")
            # The ready text is set just before the ready flag: a frame may fall
            # between the two, and the next timer frame unveils Start.
            shot = tmp_path / "ready.png"
            start_usable = lambda: pixel(launcher.screenshot(shot), 112 + 370, 84 + 505) == START_PIXEL
            wait_until(start_usable, timeout=5)
            keep(shot, "launcher-ready.png")
            at = lambda x, y: pixel(shot, 112 + x, 84 + y)
            fill = at(746, 468)
            assert fill[0] > 150 and fill != TRACK_INNER  # 390 pixels of gold
            assert at(748, 468) == TRACK_INNER
            assert at(370, 505) == START_PIXEL  # Start is not veiled
            # The first background verification pass follows ready and, clean, says so.
            assert launcher.status_lines()[-1] in ("Ready to play ORVEX", "Ready to play.")
            assert "100%" in launcher.texts()
        finally:
            assert launcher.close() == 0
        assert server.frames()[:3] == [b"\x01", b"\x03", b"\x02" + (2372).to_bytes(2, "little")]


def post_to_launcher(launcher, message, wparam=0, lparam=0):
    tool = os.environ.get("ORVEX_POST_TOOL", str(BUILD_DIR / "orvex_post.exe"))
    return subprocess.run(["wine", tool, hex(message), str(wparam), str(lparam)], env=launcher.env,
                          capture_output=True).returncode


def test_swap_message_without_pending_launcher_clears_ready(tmp_path):
    client = make_client(tmp_path / "client", version=2372)
    with LoginServer(tmp_path, version=2372, patches=[]):
        launcher = Launcher(client)
        try:
            window = launcher.window_id()
            assert launcher.wait_for_text("Ready to play ORVEX")
            at = lambda shot, x, y: pixel(shot, 112 + x, 84 + y)
            assert wait_until(lambda: at(launcher.screenshot(tmp_path / "before.png"), 370, 505) == START_PIXEL, 5)

            assert post_to_launcher(launcher, 0x802A) == 0  # the update thread's "new launcher" message
            time.sleep(1)
            # Not ready any more: Start is veiled; nothing was pending, so the window stays.
            assert wait_until(lambda: near(at(launcher.screenshot(tmp_path / "after.png"), 370, 505),
                                           veiled(START_PIXEL)), 5)
            assert launcher.process.poll() is None
            assert launcher.geometry(window) == (112, 84, 800, 600)
        finally:
            assert launcher.close() == 0

