#!/usr/bin/env python3
"""Demo: ORVEX Launcher in every scenario, one command each.

    /usr/bin/python3 tools/demo/demo.py [SCENARIO] [--headless]
    bash scripts/demo.sh [SCENARIO]          (installs and builds first)

  patch              (the default) a 2369 client patched to 2372 through three
                     signed patches from the patch service; the board and the
                     calendar with the stand-in site's announcements
  startup-repair     a client without its signed manifests and with a damaged
                     start-up file, repaired before the main window while the
                     "ORVEX Startup Repair" window shows progress
  background-repair  a file damaged while the window is open, repaired by the
                     background pass
  start-game         Start: the stand-in guard, then the stand-in game, and the
                     launcher closes; then a guard that fails, and its text
                     staying on the status line
  launcher-update    a patch delivering a new launcher: the old one hands over
                     to the swap helper, the new one starts and patches on
  offline-installer  PatchKur.exe installing the offline patch 2384 into a
                     2369 client
  dropped-connection a patch download dropped by the network at 60%: the
                     launcher counts down, runs again by itself and continues
                     the archive from where it broke

Each scenario generates its clients and starts its servers under
build/win/demo/<scenario>/work (the stand-in login server and announcements
site; the production patch service, orvex-patch-service under gunicorn,
wherever it can serve the scenario, the stand-in patch server where the
scenario needs it to misbehave). It runs the launcher on the build tree's
virtual display, prints what happened (the status lines painted, what changed
on disk, exit codes) and saves screenshots into build/win/demo/<scenario>/.
On a usable X display (DISPLAY) it then sets the scenario up afresh there and
waits until you close the window; --headless leaves that out. The exit code is
0 when the scenario showed what it is meant to show.
"""
import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests" / "e2e"))
from harness import (BUILD_DIR, LAUNCHER_EXE, WINDOW_TITLE, Launcher, LoginServer, PatchServer,  # noqa: E402
                     SiteServer, dismiss_boxes_until_exit, drop_proxy_settings, read_ini_value, wait_until,
                     windows_titled, wine_environment, write_client_manifests)

os.environ.setdefault("ORVEX_STANDIN_DIR", str(BUILD_DIR / "standins"))
import sample_client  # noqa: E402
from fixtures import files_only, snapshot  # noqa: E402
from service import PatchService  # noqa: E402
from test_launcher_swap import close_window, end_processes_running_from, launcher_windows, \
    new_launcher_bytes  # noqa: E402
from test_offline_installer import client_with_patch  # noqa: E402
from test_start_game import GUARD_FAILED, calls, client_with_standins, press  # noqa: E402
from test_startup_repair import DAMAGED, client_without_manifests, damage, publish_for  # noqa: E402
from test_update_flow import releases_with_a_new_launcher_in_2370  # noqa: E402

DEMO_DIR = pathlib.Path(os.environ.get("ORVEX_DEMO_DIR", BUILD_DIR / "demo"))
SERVER_VERSION = sample_client.PATCH_VERSIONS[-1]
PATCH_NAMES = [f"patch{version}.zip" for version in sample_client.PATCH_VERSIONS]
BULK_MIB = 256
READY = "Ready to play"
PATCHED = "Ready to play ORVEX"
CLEAN_PASS = "Ready to play."
ANNOUNCEMENT = "Bak\u0131m \u00e7al\u0131\u015fmas\u0131 tamamland\u0131"  # the stand-in site's first title
STARTUP_REPAIR_TITLE = "ORVEX Startup Repair"
DAMAGED_TABLE = "data/item.tbl"
# The servers outlive a person trying the window out.
LIFETIME = 1800
LoginServer.lifetime = LIFETIME


def display_usable(display):
    if not display:
        return False
    return subprocess.run(["xdpyinfo", "-display", display], capture_output=True).returncode == 0


class Run:
    """One scenario's run: its folders, screenshots and report, and the
    person's display when there is one."""

    def __init__(self, name, headless):
        self.name = name
        self.shots_dir = DEMO_DIR / name
        shutil.rmtree(self.shots_dir, ignore_errors=True)
        self.work = self.shots_dir / "work"
        self.work.mkdir(parents=True)
        self.shots = []
        self.env = wine_environment()  # the build tree's prefix and virtual display
        display = os.environ.get("DISPLAY", "")
        self.user_display = display if not headless and display_usable(display) else None

    def say(self, text):
        print(f"demo {self.name}: {text}", flush=True)

    def screenshot(self, label):
        path = self.shots_dir / f"{len(self.shots) + 1:02}-{label}.png"
        subprocess.run(["import", "-window", "root", "-display", self.env["DISPLAY"], str(path)], env=self.env,
                       check=True, capture_output=True)
        self.shots.append(path)
        self.say(f"screenshot {path}")
        return path

    def window(self, launcher, timeout=60):
        """The launcher's main window, or None (said)."""
        window = launcher.window_id(timeout=timeout)
        if window is None:
            self.say("the launcher window did not appear")
        return window

    def statuses(self, launcher):
        self.say("status lines shown: " + " | ".join(dict.fromkeys(launcher.status_lines())))

    def changes(self, before, after):
        """What changed between two disk_state()s of a folder."""
        added = sorted(after.keys() - before.keys())
        removed = sorted(before.keys() - after.keys())
        changed = sorted(name for name in before.keys() & after.keys() if before[name] != after[name])
        parts = [f"{label} {short_list(names)}" for label, names in
                 (("added", added), ("changed", changed), ("removed", removed)) if names]
        self.say("changed on disk: " + ("; ".join(parts) if parts else "nothing"))

    def exit_code(self, what, code):
        self.say(f"{what} exited with {code}")

    def hand_over(self, prepare, exe="Launcher.exe", while_open=None):
        """On the person's display: prepare(folder) sets the scenario up afresh
        and returns its client folder, exe (relative to it) runs there until
        its windows are closed. while_open(client, env) runs meanwhile."""
        if not self.user_display:
            return
        client = prepare(self.work / "yours")
        program = client / exe
        env = dict(self.env, DISPLAY=self.user_display)
        self.say(f"{exe} opens on {self.user_display} in {client}; close its window to finish")
        process = subprocess.Popen(["wine", str(program)], cwd=program.parent, env=env, stdin=subprocess.DEVNULL)
        if while_open:
            while_open(client, env)
        process.wait()
        # A launcher that replaced itself leaves its successor's window open.
        while windows_titled(WINDOW_TITLE, env):
            time.sleep(1)


def short_list(names, most=8):
    return ", ".join(names[:most]) + (f" and {len(names) - most} more" if len(names) > most else "")


def disk_state(folder):
    """Relative path -> SHA-256 of every file of a client (the update area left out)."""
    return files_only(snapshot(folder))


def client_version(client):
    return read_ini_value(client / "Server.ini", "Version", "Files")


def point_at_servers(client, origin):
    """Settings for the stand-in servers: the login server on 127.0.0.1 and the
    announcements board at the stand-in site."""
    (client / "Server.ini").write_text(
        f"[Version]\r\nFiles={client_version(client)}\r\n[Server]\r\nCount=1\r\nIP0=127.0.0.1\r\n"
        f"[ORVEX_LINKS]\r\nAnnouncementsOrigin={origin}\r\n", newline="")
    return client


def show_board(run, launcher):
    """Waits until the board shows the site's announcements, and a moment more for the frame."""
    shown = launcher.wait_for_text(ANNOUNCEMENT, timeout=15)
    run.say(f"the board shows the site's announcements: {'yes' if shown else 'no'}")
    time.sleep(1)


def ready_with_board(run, launcher):
    """True once the window is up and ready; then the board is shown and the frame kept as "ready"."""
    if not (run.window(launcher) and launcher.wait_for_text(READY, timeout=30)):
        return False
    show_board(run, launcher)
    run.screenshot("ready")
    return True


def site(run):
    return SiteServer(run.work, lifetime=LIFETIME)


# ---------------------------------------------------------------- scenarios

def scenario_patch(run):
    """A 2369 client patched to 2372 through three signed patches from the patch service."""
    run.say("generating the sample client 2369 and releasing 2370, 2371, 2372")
    # A large, almost empty file in 2372 keeps its install on the screen a while.
    sample = sample_client.build(run.work / "sample", releases=True, bulk_mib=BULK_MIB)
    with site(run) as board, PatchService(run.work, sample.releases) as service, \
            LoginServer(run.work, version=SERVER_VERSION, patches=PATCH_NAMES, text_list=["ORVEX demo"]):
        prepare = lambda folder: point_at_servers(sample.make_client(folder, LAUNCHER_EXE), board.origin)
        client = prepare(run.work / "client")
        before, version_before = disk_state(client), client_version(client)
        run.say(f"client {client} is at version {version_before}; the login server reports {SERVER_VERSION}")
        launcher = Launcher(client)
        ready = False
        try:
            if run.window(launcher):
                patching = ("Downloading 23", "Extracting", "Installing")
                if wait_until(lambda: any(line.startswith(patching) for line in launcher.status_lines()), timeout=60):
                    run.screenshot("patching")
                ready = launcher.wait_for_text(PATCHED, timeout=90)
                if ready:
                    show_board(run, launcher)
                    run.screenshot("ready")
                    launcher.click_canvas(launcher.window_id(), 398, 335)  # the calendar tile
                    time.sleep(1)
                    run.screenshot("calendar")
            run.statuses(launcher)
        finally:
            run.exit_code("Launcher.exe (closed with its Close button)", launcher.close())
        run.say(f"patch service answered: {short_list(service.gets(), 12) or 'nothing'}")
        run.changes(before, disk_state(client))
        matches = sample_client.file_digests(client, skip=("Server.ini", "Launcher.exe")) == \
            sample_client.file_digests(sample.trees[SERVER_VERSION])
        run.say(f"client version before {version_before}, after {client_version(client)}; "
                f"files equal the {SERVER_VERSION} tree: {'yes' if matches else 'no'}")
        run.hand_over(prepare)
    return 0 if ready and matches else 1


def scenario_startup_repair(run):
    """Missing signed manifests and a damaged start-up file, repaired before the main window opens."""
    # A sound 2372 client published with orvex-publish release; the player's
    # copy lacks ORVEX/*.manifest and has one start-up file damaged.
    sound = client_without_manifests(run.work / "sound")
    releases, signed = publish_for(sound, run.work)
    tree = run.work / "tree"

    def damaged_client(folder):
        client = shutil.copytree(tree, folder)
        damage(client)
        return point_at_servers(client, board.origin)

    release = releases / "2372"
    # The stand-in server serves the release folder as it lies, each answer
    # 2 s late, so that the repair takes long enough to watch.
    slow = PatchServer(run.work, release, always=["delay-2"],
                       extra_args=["--repair-root", str(release), "--lifetime", str(LIFETIME)])
    with site(run) as board, slow as server, LoginServer(run.work, version=2372, patches=[]):
        client = damaged_client(run.work / "client")
        before = disk_state(client)
        run.say(f"client {client}: no ORVEX/Startup.manifest or Integrity.manifest, {DAMAGED} damaged")
        launcher = Launcher(client)
        ready = False
        try:
            if wait_until(lambda: windows_titled(STARTUP_REPAIR_TITLE, launcher.env), timeout=90):
                run.say(f'the "{STARTUP_REPAIR_TITLE}" window is open')
                if wait_until(lambda: launcher.status_lines(), timeout=20):
                    run.screenshot("startup-repair")
                if launcher.wait_for_text("Downloading files", timeout=40):
                    time.sleep(0.5)
                    run.screenshot("startup-repair-downloading")
            if run.window(launcher, timeout=120):
                ready = launcher.wait_for_text(READY, timeout=30)
                show_board(run, launcher)
                run.screenshot("main-window")
            run.statuses(launcher)
            requests = [f"{entry['method']} {entry['path'].rsplit('/', 1)[-1]}" for entry in server.requests()]
            run.say(f"patch server answered: {', '.join(requests) or 'nothing'}")
        finally:
            run.exit_code("Launcher.exe (closed with its Close button)", launcher.close())
        after = disk_state(client)
        run.changes(before, after)
        sound_now = after.get(DAMAGED) == disk_state(tree)[DAMAGED] and all(
            (client / "ORVEX" / name).read_bytes() == data for name, data in signed.items())
        run.say(f"{DAMAGED} and the signed manifests sound now: {'yes' if sound_now else 'no'}")
        run.hand_over(damaged_client)
    return 0 if ready and sound_now else 1


def scenario_background_repair(run):
    """A file damaged while the window is open, repaired by the background pass from the patch service."""
    sound = client_without_manifests(run.work / "sound")
    releases, signed = publish_for(sound, run.work)

    def released_client(folder):
        client = shutil.copytree(run.work / "tree", folder)
        for name, data in signed.items():
            (client / "ORVEX" / name).write_bytes(data)
        return point_at_servers(client, board.origin)

    def damage_table(client):
        (client / DAMAGED_TABLE).write_bytes(b"damaged while the launcher is open\r\n")

    def damage_once_open(client, env):
        if wait_until(lambda: windows_titled(WINDOW_TITLE, env), timeout=90):
            time.sleep(8)
            damage_table(client)
            run.say(f"{DAMAGED_TABLE} damaged now: watch the status line")

    with site(run) as board, PatchService(run.work, releases) as service, \
            LoginServer(run.work, version=2372, patches=[]):
        client = released_client(run.work / "client")
        sound_table = (client / DAMAGED_TABLE).read_bytes()
        launcher = Launcher(client)
        repaired = False
        try:
            if ready_with_board(run, launcher):
                before = disk_state(client)
                shown = len(launcher.status_lines())
                damage_table(client)
                run.say(f"{DAMAGED_TABLE} damaged while the window is open")
                damaged = disk_state(client)
                run.changes(before, damaged)
                if launcher.wait_for_text("Downloading files", timeout=30):
                    run.screenshot("repairing")
                repaired = wait_until(lambda: (client / DAMAGED_TABLE).read_bytes() == sound_table, timeout=60)
                wait_until(lambda: CLEAN_PASS in launcher.status_lines()[shown:], timeout=20)
                time.sleep(1)
                run.screenshot("repaired")
                run.say("after the background pass:")
                run.changes(damaged, disk_state(client))
            run.statuses(launcher)
            posts = [f"{entry['path'].rsplit('/', 1)[-1]} ({entry['status']}, {entry['bytes']} bytes)"
                     for entry in service.requests() if entry["method"] == "POST"]
            run.say(f"patch service answered: {', '.join(posts) or 'nothing'}")
        finally:
            run.exit_code("Launcher.exe (closed with its Close button)", launcher.close())
        run.say(f"{DAMAGED_TABLE} repaired: {'yes' if repaired else 'no'}")
        run.hand_over(released_client, while_open=damage_once_open)
    return 0 if repaired else 1


def scenario_start_game(run):
    """Start: the stand-in guard and game, then a guard that fails and its text that stays."""
    with site(run) as board, LoginServer(run.work, version=2372, patches=[]):
        # The guard passes: the game starts and the launcher closes.
        client = point_at_servers(client_with_standins(run.work / "first"), board.origin)
        launcher = Launcher(client)
        started = False
        try:
            if ready_with_board(run, launcher):
                press(launcher, "Return")
                run.say("Start pressed (the Return key)")
                # The window hides while the guard and the game start (the
                # stand-in game's window is a blank 200 x 100, nothing to see).
                started = wait_until(lambda: calls(client, "Vantrell"), timeout=40)
                run.exit_code("Launcher.exe (closes once the game is up)", launcher.wait(30))
            run.statuses(launcher)
        finally:
            launcher.close()
            (client / "Vantrell.stop").write_text("")  # ends the stand-in game's window
        for name in ("ORVEXGuard", "Vantrell"):
            run.say(f"{name}.exe started as: {' / '.join(line for _, line in calls(client, name)) or 'never'}")

        # The guard fails (exit code 1): its text stays through the clean
        # background passes that follow every 5 s.
        client = point_at_servers(client_with_standins(run.work / "second", guard_exits="1"), board.origin)
        launcher = Launcher(client)
        stays = False
        try:
            if run.window(launcher) and launcher.wait_for_text(READY, timeout=30):
                press(launcher, "Return")
                run.say("Start pressed again, with a guard that fails")
                if launcher.wait_for_text(GUARD_FAILED, timeout=30):
                    time.sleep(0.5)
                    run.screenshot("guard-failed")
                    time.sleep(12)
                    # A hover over two tiles repaints the window without acting.
                    left, top, _, _ = launcher.geometry(launcher.window_id())
                    for x in (390, 470):
                        launcher.xdotool("mousemove", str(left + x), str(top + 335))
                        time.sleep(0.5)
                    time.sleep(1)
                    stays = launcher.status_lines()[-1] == GUARD_FAILED
                    run.screenshot("guard-failed-12s-later")
                    run.say(f"the guard's text still on the status line 12 s later: {'yes' if stays else 'no'}")
            run.statuses(launcher)
        finally:
            run.exit_code("Launcher.exe (closed with its Close button)", launcher.close())
        run.say(f"ORVEXGuard.exe started {len(calls(client, 'ORVEXGuard'))} time(s), "
                f"Vantrell.exe {len(calls(client, 'Vantrell'))} time(s)")
        run.hand_over(lambda folder: point_at_servers(client_with_standins(folder), board.origin))
    return 0 if started and stays else 1


def scenario_launcher_update(run):
    """A patch delivering a new launcher: the swap, and the new launcher patching on."""
    run.say("generating the sample client 2369; release 2370 --launcher delivers a new launcher as Launcher2.exe")
    sample = sample_client.build(run.work / "sample", releases=True)
    new_launcher = new_launcher_bytes()
    # 2370 is released with --launcher (as the update-flow test does); 2371
    # and 2372 are the sample's releases.
    releases = run.work / "releases"
    releases_with_a_new_launcher_in_2370(sample, releases, new_launcher)
    with site(run) as board, PatchService(run.work, releases) as service, \
            LoginServer(run.work, version=SERVER_VERSION, patches=PATCH_NAMES, patches_above_client=True):
        prepare = lambda folder: point_at_servers(sample.make_client(folder, LAUNCHER_EXE), board.origin)
        client = prepare(run.work / "client")
        old_launcher = (client / "Launcher.exe").read_bytes()
        before = disk_state(client)
        old = Launcher(client)
        ready = False
        try:
            if old.wait_for_text("Downloading 2370.zip", timeout=40):
                run.screenshot("old-launcher-downloading")
            run.exit_code("the old Launcher.exe (after starting the swap helper)", old.wait(90))
            # The helper and the new launcher write into the old one's trace.
            ready = wait_until(lambda: PATCHED in old.texts(), timeout=120)
            if ready:
                show_board(run, old)
                run.screenshot("new-launcher-ready")
            run.statuses(old)
            run.say(f"patch service answered: {short_list(service.gets(), 12) or 'nothing'}")
        finally:
            for window in launcher_windows(old):
                close_window(old, window)
            end_processes_running_from(client)
        run.changes(before, disk_state(client))
        swapped = (client / "Launcher.exe").read_bytes() == new_launcher
        backup = client / ".orvex-update" / "Launcher.previous.exe"
        run.say(f"Launcher.exe is the new launcher: {'yes' if swapped else 'no'}; the old one kept as "
                f"{backup.relative_to(client)}: {'yes' if backup.is_file() and backup.read_bytes() == old_launcher else 'no'}; "
                f"Launcher2.exe left: {'yes' if (client / 'Launcher2.exe').exists() else 'no'}; "
                f"version {client_version(client)}")
        run.hand_over(prepare)
    return 0 if ready and swapped else 1


def scenario_offline_installer(run):
    """PatchKur.exe installing the offline patch 2384 into a 2369 client."""
    run.say("generating the sample client 2369 and the offline patch 2384 (ORVEX/Patch, PATCH_KUR.cmd)")
    sample = sample_client.build(run.work / "sample", launcher=LAUNCHER_EXE)
    prepare = lambda folder: client_with_patch(sample, folder)
    client = prepare(run.work / "client")
    patch_folder = client / "ORVEX" / "Patch"
    before, settings_before = disk_state(client), (client / "Server.ini").read_text().split()
    run.say(f"client {client} at version {client_version(client)}, settings {' '.join(settings_before)}")
    process = subprocess.Popen(["wine", str(patch_folder / "PatchKur.exe")], cwd=patch_folder, env=run.env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    try:
        if wait_until(lambda: windows_titled("ORVEX Patch", run.env), timeout=90):
            time.sleep(0.5)
            run.screenshot("installed")
        code = dismiss_boxes_until_exit(process, "ORVEX Patch", run.env)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(10)
    run.exit_code("PatchKur.exe (its box dismissed)", code)
    run.changes(before, disk_state(client))
    run.say(f"settings now {' '.join((client / 'Server.ini').read_text().split())}")
    installed = {path: digest for path, digest in sample_client.file_digests(
        client, skip=("Server.ini", "Launcher.exe", "PATCH_KUR.cmd")).items() if not path.lower().startswith("orvex/patch/")}
    matches = installed == sample_client.file_digests(sample.trees[2384])
    run.say(f"version {client_version(client)}; files equal the 2384 tree: {'yes' if matches else 'no'}")
    run.hand_over(prepare, exe="ORVEX/Patch/PatchKur.exe")
    return 0 if code == 0 and matches else 1


def scenario_dropped_connection(run):
    """A patch download dropped at 60% by the network, recovered without a restart."""
    run.say("generating the sample client 2371 and its patch 2372")
    sample = sample_client.build(run.work / "sample", bulk_mib=64)
    # The stand-in patch server drops the first archive download at 60%, as a broken network would.
    drop_once = ["--once-for", "2372.zip", "cut-60"]
    with site(run) as board, LoginServer(run.work, version=SERVER_VERSION, patches=["patch2372.zip"]):
        def prepare(folder):
            client = point_at_servers(sample.make_client(folder, LAUNCHER_EXE, version=2371), board.origin)
            write_client_manifests(client)  # signed for these settings: no start-up repair is due
            return client

        client = prepare(run.work / "client")
        recovered = False
        with PatchServer(run.work, sample.patch_root, always=["delay-0.3"], extra_args=drop_once) as patches:
            launcher = Launcher(client)
            try:
                if run.window(launcher):
                    if launcher.wait_for_text("Retrying in ", timeout=60):
                        time.sleep(0.5)
                        run.screenshot("connection-dropped")
                    recovered = launcher.wait_for_text(PATCHED, timeout=90)
                    if recovered:
                        time.sleep(1)
                        run.screenshot("ready")
                run.statuses(launcher)
            finally:
                run.exit_code("Launcher.exe (closed with its Close button, never restarted)", launcher.close())
            asked = [entry["range"] or "the whole file" for entry in patches.requests()
                     if entry["path"].endswith("/2372.zip")]
        run.say(f"2372.zip was asked for: {', then '.join(asked) or 'never'}")
        continued = len(asked) == 2 and asked[1].startswith("bytes=")
        matches = sample_client.file_digests(client, skip=("Server.ini", "Launcher.exe")) == \
            sample_client.file_digests(sample.trees[SERVER_VERSION])
        run.say(f"client version after: {client_version(client)}; files equal the {SERVER_VERSION} tree: "
                f"{'yes' if matches else 'no'}")
        with PatchServer(run.work, sample.patch_root, always=["delay-0.3"], extra_args=drop_once):
            run.hand_over(prepare)
    return 0 if recovered and continued and matches else 1


SCENARIOS = {
    "patch": scenario_patch,
    "startup-repair": scenario_startup_repair,
    "background-repair": scenario_background_repair,
    "start-game": scenario_start_game,
    "launcher-update": scenario_launcher_update,
    "offline-installer": scenario_offline_installer,
    "dropped-connection": scenario_dropped_connection,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("scenario", nargs="?", default="patch", choices=SCENARIOS)
    parser.add_argument("--headless", action="store_true",
                        help="only the virtual display: do not open the window on yours afterwards")
    args = parser.parse_args()
    drop_proxy_settings()
    scenario = SCENARIOS[args.scenario]
    run = Run(args.scenario, args.headless)
    run.say(scenario.__doc__)
    status = scenario(run)
    run.say(f"{len(run.shots)} screenshot(s) in {run.shots_dir}; exit code {status}")
    return status


if __name__ == "__main__":
    sys.exit(main())
