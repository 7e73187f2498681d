#!/usr/bin/env python3
"""Demo: Launcher.exe on a generated sample client with the stand-in login server.

On a usable X display the launcher opens there and the demo waits until you
close it; otherwise it runs on the build tree's virtual display, saves
screenshots and prints their paths.
"""
import os
import pathlib
import shutil
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "e2e"))
from harness import BUILD_DIR, Launcher, LoginServer, make_client, wine_environment  # noqa: E402

DEMO_DIR = BUILD_DIR / "demo"
VERSION = 2372


def display_usable(display):
    if not display:
        return False
    return subprocess.run(["xdpyinfo", "-display", display], capture_output=True).returncode == 0


def main():
    shutil.rmtree(DEMO_DIR, ignore_errors=True)
    client = make_client(DEMO_DIR / "client", version=VERSION)
    user_display = os.environ.get("DISPLAY", "")
    with LoginServer(DEMO_DIR, version=VERSION, patches=[], text_list=["ORVEX demo"]):
        if display_usable(user_display):
            env = wine_environment()
            env["DISPLAY"] = user_display
            print(f"demo: Launcher.exe opens on {user_display}; close its window to end the demo")
            subprocess.run(["wine", str(client / "Launcher.exe")], cwd=client, env=env)
            return 0
        launcher = Launcher(client)
        try:
            if launcher.window_id() is None:
                print("demo: the launcher window did not appear", file=sys.stderr)
                return 1
            shots = []
            time.sleep(1)
            shots.append(launcher.screenshot(DEMO_DIR / "launcher-start.png"))
            launcher.wait_for_text("Ready to play ORVEX", timeout=20)
            time.sleep(1)
            shots.append(launcher.screenshot(DEMO_DIR / "launcher-ready.png"))
            window = launcher.window_id()
            launcher.click_canvas(window, 398, 335)  # the calendar tile
            time.sleep(1)
            shots.append(launcher.screenshot(DEMO_DIR / "launcher-calendar.png"))
            print("demo: status lines shown:", " | ".join(dict.fromkeys(launcher.status_lines())))
            for shot in shots:
                print(f"demo: screenshot {shot}")
        finally:
            launcher.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
