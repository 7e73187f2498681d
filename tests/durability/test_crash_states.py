"""Power cuts at every point of the update engine's work on a client folder.

Each scenario runs one real operation of the install driver under strace
(crashcheck.py), builds every state a power cut could leave, runs the real
recovery on each in one driver process, and requires exactly the old or the
new client. tests/durability/without_flush.py shows that each flush matters.
"""
import pathlib
import subprocess
import time

import pytest

import crashcheck
from fixtures import (UPDATE_AREA, Driver, copy_tree, files_only, ini_sections, make_update, pseudo_random,
                      sha256_hex, snapshot, unwritable, win_path, write_tree)
from harness import PYTHON, SOURCE_DIR, PatchServer, drop_proxy_settings

OLD_VERSION, NEW_VERSION = "2369", "2370"
SERVER_INI = (f"[Version]\r\nFiles={OLD_VERSION}\r\n[Server]\r\nCount=1\r\nIP0=10.1.2.3\r\n"
              "[ORVEX_UPDATE]\r\nBaseURL=https://cdn.example/orvex-patch/\r\n").encode("ascii")
OLD_FILES = {
    "Vantrell.exe": pseudo_random("vantrell", 6000),
    "Data/item.tbl": pseudo_random("item", 3000),
    "Data/skill.tbl": pseudo_random("skill", 2000),
    "ui/ui.src": pseudo_random("ui", 16_000),
    "Misc/readme.txt": b"unchanged by the update\n",
}


def _new_files():
    ui = bytearray(OLD_FILES["ui/ui.src"])
    ui[8_000:8_016] = b"patched-ui-bytes"
    return {**OLD_FILES,
            "Vantrell.exe": pseudo_random("vantrell-2370", 6100),  # replaced
            "Data/item.tbl": pseudo_random("item-2370", 3500),  # replaced
            "Data/new.tbl": pseudo_random("new", 700),  # added
            "Texture/Npc/new.dds": pseudo_random("dds", 900),  # added in a new folder
            "ui/ui.src": bytes(ui)}  # rebuilt from a delta


NEW_FILES = _new_files()


@pytest.fixture(scope="module")
def driver():
    drop_proxy_settings()
    return Driver()


@pytest.fixture(scope="module")
def checker(driver, tmp_path_factory):
    """The driver for the recovery runs on crash states, without real flushes."""
    checking = Driver(driver.exe)
    checking.env = crashcheck.flushless_environment(driver.env, tmp_path_factory.mktemp("shim"))
    return checking


@pytest.fixture(scope="module")
def package(tmp_path_factory):
    root = tmp_path_factory.mktemp("trees")
    old = write_tree(root / "old", OLD_FILES)
    (old / "Server.ini").write_bytes(SERVER_INI)
    new = write_tree(root / "new", NEW_FILES)
    return old, make_update(old, new, int(NEW_VERSION), root / "package")


def sweep(driver, client, work, run, check, recover=None):
    """Records run() on client, checks every crash state (after the recovery
    of the driver recover, when given) and fails with the wrong ones."""
    prefix = driver.env["WINEPREFIX"]
    started = time.monotonic()
    recording = crashcheck.record(client, prefix, run)
    assert recording.events, "the trace holds no event on the client folder"
    traced_at = time.monotonic()
    batch = (lambda folders: recover.batch([["recover", win_path(f)] for f in folders], work, timeout=900)) \
        if recover else None
    count, failures = crashcheck.sweep(recording, work, check, batch)
    print(f"{len(recording.events)} events, {count} crash states; traced in {traced_at - started:.1f} s, "
          f"checked in {time.monotonic() - traced_at:.1f} s")
    assert not failures, f"{len(failures)} of {count} crash states are wrong:\n" + crashcheck.report(failures)


def traced(driver, work, *args):
    """run() for sweep: the driver command under strace; returns the trace."""
    def run():
        code, output, trace = crashcheck.run_traced([driver.exe, *args], driver.env, work / "trace")
        run.output = output
        return trace
    return run


# ---------------------------------------------------------------- install and recovery

def game_files(folder):
    return files_only(snapshot(folder, skip=(UPDATE_AREA, "Server.ini")))


def settings(folder):
    """(version, the other sections) of Server.ini; (None, None) when unreadable."""
    try:
        sections = ini_sections(pathlib.Path(folder) / "Server.ini")
    except (OSError, UnicodeDecodeError):
        return None, None
    version = sections.get("Version", {}).pop("Files", None)
    return version, sections


def install_check(old_tree):
    old_files, new_files = game_files(old_tree), {p: sha256_hex(d) for p, d in NEW_FILES.items()}
    _, other_settings = settings(old_tree)

    def check(folder, line):
        if line != "OK":
            return f"recovery failed: {line}"
        if (folder / UPDATE_AREA / "current").exists():
            return "recovery left the transaction directory"
        files = game_files(folder)
        version, others = settings(folder)
        if others != other_settings:
            return f"Server.ini lost its other settings (version {version})"
        if (files, version) in ((old_files, OLD_VERSION), (new_files, NEW_VERSION)):
            return None
        kinds = {path: "old" if files.get(path) == old_files.get(path) else
                 "new" if files.get(path) == new_files.get(path) else
                 "missing" if path not in files else "damaged" for path in sorted(old_files.keys() | new_files.keys())}
        if set(kinds.values()) <= {"old"}:
            return f"old files with version {version}"
        if set(kinds.values()) <= {"new"}:
            return f"new files with version {version}"
        return f"mixed files with version {version}: " + ", ".join(
            f"{path} {kind}" for path, kind in kinds.items() if kind != "old")
    return check


def test_install_of_a_patch(driver, checker, package, tmp_path):
    old, pkg = package
    client = copy_tree(old, tmp_path / "client")
    run = traced(driver, tmp_path, *pkg.install_args(client))
    sweep(driver, client, tmp_path, run, install_check(old), checker)
    assert run.output.splitlines()[-1] == "OK"


@pytest.mark.parametrize("failure", ["replace-half", "committed", "read-only Server.ini"])
def test_rollback_after_a_failed_install(driver, checker, package, tmp_path, failure):
    # The install fails (after some files were replaced, after its commit, or
    # when it cannot save the version) and the recovery runs at once, as the
    # patch download does.
    old, pkg = package
    client = copy_tree(old, tmp_path / "client")
    injected = failure != "read-only Server.ini"
    commands = tmp_path / "commands.txt"
    commands.write_text("\t".join(pkg.install_args(client) + (["--fail-at", failure] if injected else [])) + "\n" +
                        f"recover\t{win_path(client)}\n", encoding="utf-8")
    run_batch = traced(driver, tmp_path, "batch", win_path(commands))

    def run():
        if injected:
            return run_batch()
        with unwritable(client / "Server.ini"):
            return run_batch()

    sweep(driver, client, tmp_path, run, install_check(old), checker)
    failed = f"ERROR: Injected failure at {failure}." if injected else "ERROR: Cannot save client version."
    assert run_batch.output.splitlines() == [failed, "OK"]


@pytest.mark.parametrize("checkpoint", ["replace-half", "committed"])
def test_recovery_at_start_up_after_a_crash(driver, checker, package, tmp_path, checkpoint):
    old, pkg = package
    client = copy_tree(old, tmp_path / "client")
    assert driver.run(*pkg.install_args(client), "--crash-at", checkpoint) == (99, "")
    run = traced(driver, tmp_path, "recover", win_path(client))
    sweep(driver, client, tmp_path, run, install_check(old), checker)
    assert run.output.splitlines()[-1] == "OK"


# ---------------------------------------------------------------- version save

def test_version_save(driver, tmp_path):
    original = tmp_path / "original"
    original.mkdir()
    (original / "Server.ini").write_bytes(SERVER_INI)
    client = copy_tree(original, tmp_path / "client")
    (client / UPDATE_AREA).mkdir()
    saved = {}

    def run():
        trace = traced(driver, tmp_path, "save-version", win_path(client), "2371")()
        saved["bytes"] = (client / "Server.ini").read_bytes()
        return trace

    def check(folder, _):
        data = (folder / "Server.ini").read_bytes() if (folder / "Server.ini").is_file() else None
        return None if data in (SERVER_INI, saved["bytes"]) else "Server.ini is neither the old nor the new file"

    sweep(driver, client, tmp_path, run, check)
    assert settings(client) == ("2371", settings(original)[1])


# ---------------------------------------------------------------- batch repair

REPAIR_VERSION = 2372
REPAIR_FILES = {
    "Launcher.exe": pseudo_random("launcher", 3000),
    "Vantrell.exe": pseudo_random("vantrell", 5000),
    "ORVEX/Launcher/ui.dll": pseudo_random("ui", 2500),
    "ORVEX/Launcher/skin.dat": pseudo_random("skin", 700),
    "Misc/empty.txt": b"",
    "Misc/copy-a.bin": pseudo_random("shared", 4000),
    "Misc/copy-b.bin": pseudo_random("shared", 4000),
    "Misc/readme.txt": b"left alone by every repair\n",
    "data/item.tbl": pseudo_random("item", 3000),
    "data/skill.tbl": pseudo_random("skill", 2000),
}


def test_batch_repair(driver, tmp_path):
    sound = write_tree(tmp_path / "sound", REPAIR_FILES)
    subprocess.run([PYTHON, str(SOURCE_DIR / "tools" / "orvex_publish.py"), "make-client-manifests", "--tree",
                    str(sound), "--out", str(sound)], check=True, capture_output=True)
    store = tmp_path / "store"
    (store / "objects").mkdir(parents=True)
    catalogue = set()
    for path in sound.rglob("*"):
        if path.is_file():
            catalogue.add(sha256_hex(path.read_bytes()))
            (store / "objects" / sha256_hex(path.read_bytes())).write_bytes(path.read_bytes())
    (store / f"{REPAIR_VERSION}.catalogue").write_text("".join(d + "\n" for d in sorted(catalogue)))

    client = copy_tree(sound, tmp_path / "client")
    (client / "Vantrell.exe").write_bytes(REPAIR_FILES["Vantrell.exe"][:4000] + b"damaged")
    (client / "data" / "item.tbl").unlink()
    (client / "Misc" / "copy-a.bin").write_bytes(b"not the shared content")
    (client / "Misc" / "copy-b.bin").unlink()
    damaged = files_only(snapshot(client, skip=(UPDATE_AREA,)))
    repaired = files_only(snapshot(sound, skip=(UPDATE_AREA,)))

    def check(folder, _):
        # Repair is per file: each one is its old or its new content.
        files = files_only(snapshot(folder, skip=(UPDATE_AREA,)))
        wrong = [path for path in sorted(repaired) if files.get(path) not in (damaged.get(path), repaired[path])]
        return f"neither old nor new: {', '.join(wrong)}" if wrong else None

    with PatchServer(tmp_path, tmp_path, extra_args=["--repair-root", str(store)]):
        run = traced(driver, tmp_path, "repair", win_path(client), str(REPAIR_VERSION))
        sweep(driver, client, tmp_path, run, check)
    assert run.output.splitlines()[-1] == "OK"
    assert files_only(snapshot(client, skip=(UPDATE_AREA,))) == repaired


# ---------------------------------------------------------------- launcher swap

SWAP_START_UP_FILES = {
    "Vantrell.exe": b"MZ game stand-in",
    "ORVEXGuard.exe": b"MZ guard stand-in",
    "Option.exe": b"MZ options stand-in",
    "D3DX9_43.dll": b"MZ d3dx",
    "ORVEX/Launcher/ui.dat": b"launcher ui",
    "ORVEX/Launcher/font.dat": b"launcher font",
    "data/item.tbl": b"item table rows",
}
OLD_LAUNCHER = b"MZ old launcher " + pseudo_random("old-launcher", 20_000)
NEW_LAUNCHER = b"MZ new launcher " + pseudo_random("new-launcher", 24_000)


def test_launcher_swap(driver, tmp_path):
    tree = write_tree(tmp_path / "tree", {**SWAP_START_UP_FILES, "Launcher.exe": NEW_LAUNCHER})
    subprocess.run([PYTHON, str(SOURCE_DIR / "tools" / "orvex_publish.py"), "make-client-manifests", "--tree",
                    str(tree), "--out", str(tree)], check=True, capture_output=True)
    client = copy_tree(tree, tmp_path / "client")
    (client / "Launcher.exe").write_bytes(OLD_LAUNCHER)
    (client / "Launcher2.exe").write_bytes(NEW_LAUNCHER)
    (client / UPDATE_AREA).mkdir()

    def check(folder, _):
        launcher = folder / "Launcher.exe"
        if not launcher.is_file():
            return "Launcher.exe is missing"
        if launcher.read_bytes() not in (OLD_LAUNCHER, NEW_LAUNCHER):
            return "Launcher.exe is damaged"
        # The pending launcher goes only once the new one is in place for good.
        if launcher.read_bytes() == OLD_LAUNCHER and not (folder / "Launcher2.exe").is_file():
            return "the new launcher is lost: old Launcher.exe, no Launcher2.exe"
        return None

    run = traced(driver, tmp_path, "swap", win_path(client))
    sweep(driver, client, tmp_path, run, check)
    assert run.output.splitlines()[-1] == "OK"
    assert (client / "Launcher.exe").read_bytes() == NEW_LAUNCHER
