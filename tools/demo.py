#!/usr/bin/env python3
"""Demo: Launcher.exe patches a generated sample client from 2369 to 2372.

It generates the sample client (version 2369) and publishes 2370, 2371 and
2372 with orvex_publish.py release (tests/e2e/sample_client.py), starts the
stand-in login server (server version 2372, patches patch2370.zip,
patch2371.zip, patch2372.zip) and the patch service (orvex_patch_service.py
under gunicorn) serving the release folders on the CDN address, and opens the
launcher in the client folder.

On a usable X display the launcher opens there and the demo waits until you
close it; otherwise it runs on the build tree's virtual display, saves
screenshots (during the download, when ready, with the calendar open) and
prints their paths. Either way it prints the client version before and after,
the requests the patch server answered, and whether the client files now equal
the 2372 tree.
"""
import os
import pathlib
import shutil
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "e2e"))
import sample_client  # noqa: E402
from harness import (BUILD_DIR, LAUNCHER_EXE, Launcher, LoginServer, drop_proxy_settings,  # noqa: E402
                     read_ini_value, wine_environment)
from service import PatchService  # noqa: E402

DEMO_DIR = BUILD_DIR / "demo"
SERVER_VERSION = sample_client.PATCH_VERSIONS[-1]
PATCH_NAMES = [f"patch{version}.zip" for version in sample_client.PATCH_VERSIONS]
READY = "Ready to play ORVEX"


def display_usable(display):
    if not display:
        return False
    return subprocess.run(["xdpyinfo", "-display", display], capture_output=True).returncode == 0


def client_version(client):
    return read_ini_value(client / "Server.ini", "Version", "Files")


def run_on_user_display(client, display):
    env = wine_environment()
    env["DISPLAY"] = display
    print(f"demo: Launcher.exe opens on {display}; close its window to end the demo")
    subprocess.run(["wine", str(client / "Launcher.exe")], cwd=client, env=env)
    return 0


def run_on_virtual_display(client):
    launcher = Launcher(client)
    try:
        if launcher.window_id() is None:
            print("demo: the launcher window did not appear", file=sys.stderr)
            return 1
        shots = []
        if launcher.wait_for_text("Downloading 2371.zip...", timeout=30):
            shots.append(launcher.screenshot(DEMO_DIR / "launcher-downloading.png"))
        if launcher.wait_for_text(READY, timeout=60):
            time.sleep(1)
            shots.append(launcher.screenshot(DEMO_DIR / "launcher-ready.png"))
            launcher.click_canvas(launcher.window_id(), 398, 335)  # the calendar tile
            time.sleep(1)
            shots.append(launcher.screenshot(DEMO_DIR / "launcher-calendar.png"))
        print("demo: status lines shown:", " | ".join(dict.fromkeys(launcher.status_lines())))
        for shot in shots:
            print(f"demo: screenshot {shot}")
    finally:
        launcher.close()
    return 0


def main():
    drop_proxy_settings()
    shutil.rmtree(DEMO_DIR, ignore_errors=True)
    DEMO_DIR.mkdir(parents=True)
    print("demo: generating the sample client 2369 and releasing 2370, 2371, 2372")
    sample = sample_client.build(DEMO_DIR / "sample", releases=True)
    client = sample.make_client(DEMO_DIR / "client", LAUNCHER_EXE)
    before = client_version(client)
    print(f"demo: client {client} is at version {before}; the login server reports {SERVER_VERSION}")

    user_display = os.environ.get("DISPLAY", "")
    with PatchService(DEMO_DIR, sample.releases) as patches, \
            LoginServer(DEMO_DIR, version=SERVER_VERSION, patches=PATCH_NAMES, text_list=["ORVEX demo"]):
        if display_usable(user_display):
            status = run_on_user_display(client, user_display)
        else:
            status = run_on_virtual_display(client)
        requests = patches.gets()

    after = client_version(client)
    print(f"demo: patch service answered: {', '.join(requests) if requests else 'nothing'}")
    matches = sample_client.file_digests(client, skip=("Server.ini", "Launcher.exe")) == \
        sample_client.file_digests(sample.trees[SERVER_VERSION])
    print(f"demo: client version before {before}, after {after}; "
          f"files equal the {SERVER_VERSION} tree: {'yes' if matches else 'no'}")
    return status


if __name__ == "__main__":
    sys.exit(main())
