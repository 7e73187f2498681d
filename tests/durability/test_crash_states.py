"""Power cuts at every point of the update engine's work on a client folder.

Each scenario runs one real operation of the install driver under strace
(crashcheck.py), builds every state a power cut could leave, runs the real
recovery on each in one driver process, and requires exactly the old or the
new client. test_every_flush_site_turns_a_scenario_red leaves out each flush
site of the code in turn (the driver's --skip-flush) and requires that a
scenario then finds a wrong state.
"""
import contextlib
import dataclasses
import os
import pathlib
import subprocess
import time
import zipfile
from typing import Callable, Optional

import pytest

import crashcheck
from fixtures import (UPDATE_AREA, Driver, copy_tree, files_only, ini_sections, make_update, pseudo_random,
                      sha256_hex, signed_package, snapshot, unwritable, win_path, write_tree)
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


class Context:
    """What the scenarios share within the module: the driver, the driver for
    the recovery runs on crash states (without real flushes) and the packages."""

    def __init__(self, driver, checker, root):
        self.driver, self.checker, self.root = driver, checker, root
        self.old = write_tree(root / "old", OLD_FILES)
        (self.old / "Server.ini").write_bytes(SERVER_INI)
        self.new = write_tree(root / "new", NEW_FILES)
        self.package = make_update(self.old, self.new, int(NEW_VERSION), root / "package")
        self._offline = None
        self._large = None

    @property
    def offline(self):
        """The patch the offline installer ships (its version is fixed)."""
        if self._offline is None:
            self._offline = make_update(self.old, self.new, OFFLINE_VERSION, self.root / "offline")
        return self._offline

    @property
    def large(self):
        """(old tree, package) of the update with large files: the publisher's
        package with the one large stored entry forced (its bytes compress)."""
        if self._large is None:
            old = write_tree(self.root / "large-old", LARGE_OLD)
            (old / "Server.ini").write_bytes(SERVER_INI)
            made = make_update(old, write_tree(self.root / "large-new", LARGE_NEW), int(NEW_VERSION),
                               self.root / "large-made")
            archive = self.root / "large.zip"
            with zipfile.ZipFile(made.archive) as source, zipfile.ZipFile(archive, "w") as target:
                for info in source.infolist():
                    data = source.read(info)
                    info.compress_type = zipfile.ZIP_STORED if info.filename == LARGE_STORED else info.compress_type
                    target.writestr(info, data)
                kinds = {i.filename: i.compress_type for i in target.infolist()}
            assert kinds[LARGE_STORED] == zipfile.ZIP_STORED and kinds[LARGE_DEFLATED] == zipfile.ZIP_DEFLATED, kinds
            assert "ui/ui.src.ord" in kinds, kinds  # the large delta target
            self._large = old, signed_package(self.root / "large", int(NEW_VERSION), archive.read_bytes(),
                                              made.files())
        return self._large


@pytest.fixture(scope="module")
def ctx(tmp_path_factory):
    drop_proxy_settings()
    driver = Driver()
    checker = Driver(driver.exe)
    checker.env = crashcheck.flushless_environment(driver.env, tmp_path_factory.mktemp("shim"))
    return Context(driver, checker, tmp_path_factory.mktemp("trees"))


# ---------------------------------------------------------------- scenarios

@dataclasses.dataclass
class Prepared:
    """One scenario set up in its work folder, ready to be traced."""
    client: pathlib.Path
    args: list  # the driver's command
    check: Callable  # (state folder, recovery's result line or None, done) -> None or what is wrong
    expect: Callable  # (client, output lines) -> None: asserts the operation's own result
    recover: bool = True  # the recovery runs on each state before the check
    around: Callable = contextlib.nullcontext  # a context held while the operation runs
    after: Optional[Callable] = None  # (client) -> None, once the operation has run
    traced: Optional[Callable] = None  # (events) -> None: asserts what the trace must hold


@dataclasses.dataclass
class Scenario:
    prepare: Callable  # (ctx, work) -> Prepared
    sites: tuple  # the flush sites whose removal it shows


SCENARIOS = {}


def scenario(name, *sites):
    def register(prepare):
        SCENARIOS[name] = Scenario(prepare, sites)
        return prepare
    return register


@dataclasses.dataclass
class Outcome:
    events: int
    states: int
    failures: list
    output: list
    traced_s: float
    checked_s: float

    def summary(self):
        return (f"{self.events} events, {self.states} crash states; traced in {self.traced_s:.1f} s, "
                f"checked in {self.checked_s:.1f} s")


def run_scenario(ctx, name, work, skip=None, first_failure=False):
    """Traces scenario name in work (with the flushes of site skip left out)
    and checks its crash states."""
    work.mkdir(parents=True, exist_ok=True)
    prepared = SCENARIOS[name].prepare(ctx, work)
    command = [ctx.driver.exe, *(["--skip-flush", skip] if skip else []), *prepared.args]
    output = []

    def run():
        with prepared.around(prepared.client):
            _, text, trace = crashcheck.run_traced(command, ctx.driver.env, work / "trace")
        output.extend(text.splitlines())
        if prepared.after:
            prepared.after(prepared.client)
        return trace

    started = time.monotonic()
    recording = crashcheck.record(prepared.client, ctx.driver.env["WINEPREFIX"], run)
    assert recording.events, "the trace holds no event on the client folder"
    if prepared.traced:
        prepared.traced(recording.events)
    traced_at = time.monotonic()
    batch = (lambda folders: ctx.checker.batch([["recover", win_path(f)] for f in folders], work, timeout=900)) \
        if prepared.recover else None
    count, failures = crashcheck.sweep(recording, work, prepared.check, batch, first_failure=first_failure)
    outcome = Outcome(len(recording.events), count, failures, output, traced_at - started,
                      time.monotonic() - traced_at)
    outcome.expect = lambda: prepared.expect(prepared.client, output)
    return outcome


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


def install_check(old_tree, new_files, new_version, done_with, new_settings=None):
    """Old files with the old version or new files with the new one, after
    the recovery; the other settings as they were (or, once the new version
    is saved, new_settings). Once the operation is done, done_with ("old" or
    "new") is what it left (with new_settings, when given)."""
    old_files, new_files = game_files(old_tree), {p: sha256_hex(d) for p, d in new_files.items()}
    _, other_settings = settings(old_tree)

    def check(folder, line, done):
        if line != "OK":
            return f"recovery failed: {line}"
        if (folder / UPDATE_AREA / "current").exists():
            return "recovery left the transaction directory"
        files = game_files(folder)
        version, others = settings(folder)
        if others != other_settings and not (version == new_version and others == new_settings):
            return f"Server.ini lost its other settings (version {version})"
        if done and done_with == "old" and (files, version) != (old_files, OLD_VERSION):
            return "done, but not the old client"
        if done and done_with == "new" and ((files, version) != (new_files, new_version) or
                                            others != (new_settings or other_settings)):
            return "done, but not the new client" + (" with the new settings" if new_settings else "")
        if (files, version) in ((old_files, OLD_VERSION), (new_files, new_version)):
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


def last_line_ok(_, lines):
    assert lines and lines[-1] == "OK", lines


INSTALL_SITES = ("manifest-copy", "signature-copy", "journal", "journal-move", "backup-move", "staged",
                 "journal-retire", "version-copy", "version-move")


# Cheaper scenarios first: a site's removal is looked for in this order.

@scenario("version-save", "version-copy", "version-move")
def version_save(ctx, work):
    original = work / "original"
    original.mkdir()
    (original / "Server.ini").write_bytes(SERVER_INI)
    client = copy_tree(original, work / "client")
    (client / UPDATE_AREA).mkdir()
    saved = {}

    def after(client):
        saved["bytes"] = (client / "Server.ini").read_bytes()

    def check(folder, _, done):
        data = (folder / "Server.ini").read_bytes() if (folder / "Server.ini").is_file() else None
        if done and data != saved["bytes"]:
            return "done, but Server.ini is not the new file"
        return None if data in (SERVER_INI, saved["bytes"]) else "Server.ini is neither the old nor the new file"

    def expect(client, _):
        assert settings(client) == ("2371", settings(original)[1])

    return Prepared(client, ["save-version", win_path(client), "2371"], check, expect, recover=False, after=after)


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


def swap_client(work):
    """A client whose signed Launcher.exe waits in Launcher2.exe."""
    tree = write_tree(work / "tree", {**SWAP_START_UP_FILES, "Launcher.exe": NEW_LAUNCHER})
    subprocess.run([PYTHON, str(SOURCE_DIR / "tools" / "orvex_ops" / "publish.py"), "make-client-manifests", "--tree",
                    str(tree), "--out", str(tree)], check=True, capture_output=True)
    client = copy_tree(tree, work / "client")
    (client / "Launcher.exe").write_bytes(OLD_LAUNCHER)
    (client / "Launcher2.exe").write_bytes(NEW_LAUNCHER)
    (client / UPDATE_AREA).mkdir()
    return client


@scenario("launcher-swap", "swap-stage", "swap-replace")
def launcher_swap(ctx, work):
    client = swap_client(work)

    def check(folder, _, done):
        launcher = folder / "Launcher.exe"
        if not launcher.is_file():
            return "Launcher.exe is missing"
        if launcher.read_bytes() not in (OLD_LAUNCHER, NEW_LAUNCHER):
            return "Launcher.exe is damaged"
        if done and launcher.read_bytes() != NEW_LAUNCHER:
            return "done, but Launcher.exe is not the new launcher"
        # The pending launcher goes only once the new one is in place for good.
        if launcher.read_bytes() == OLD_LAUNCHER and not (folder / "Launcher2.exe").is_file():
            return "the new launcher is lost: old Launcher.exe, no Launcher2.exe"
        return None

    def expect(client, lines):
        last_line_ok(client, lines)
        assert (client / "Launcher.exe").read_bytes() == NEW_LAUNCHER

    return Prepared(client, ["swap", win_path(client)], check, expect, recover=False)


def swap_tampered(restored):
    # Another program writes into the new Launcher.exe right after its move,
    # so that it fails verification: the previous launcher is put back, or,
    # when that fails too, the unverified one is removed and the message
    # points to the kept previous one.
    TAMPERED = b"\0" + NEW_LAUNCHER[1:]
    PREVIOUS = pathlib.Path(UPDATE_AREA) / "Launcher.previous.exe"

    def prepare(ctx, work):
        client = swap_client(work)

        def check(folder, _, done):
            launcher, previous = folder / "Launcher.exe", folder / PREVIOUS
            kept = previous.is_file() and previous.read_bytes() == OLD_LAUNCHER
            if not launcher.is_file() and not kept:
                return "neither Launcher.exe nor the previous launcher"
            if launcher.is_file() and launcher.read_bytes() not in (OLD_LAUNCHER, NEW_LAUNCHER, TAMPERED):
                return "Launcher.exe is damaged"
            if done and restored and launcher.read_bytes() != OLD_LAUNCHER:
                return "done, but Launcher.exe is not the previous launcher"
            if done and not restored and not kept:
                return "done, but the previous launcher is not kept"
            return None

        def expect(client, lines):
            assert len(lines) == 1 and lines[0].startswith("ERROR: The installed launcher failed verification")
            assert lines[0].endswith("restored.") == restored, lines
            if restored:
                assert (client / "Launcher.exe").read_bytes() == OLD_LAUNCHER
            assert (client / PREVIOUS).read_bytes() == OLD_LAUNCHER

        args = ["swap", win_path(client), "--tamper-at", "replace-flush"] + \
            ([] if restored else ["--fail-step", "restore-copy"])
        return Prepared(client, args, check, expect, recover=False)
    return prepare


scenario("swap-restored", "swap-restore", "swap-restore-move")(swap_tampered(True))
scenario("swap-not-restored", "swap-backup")(swap_tampered(False))


@scenario("install", *INSTALL_SITES)
def install(ctx, work):
    client = copy_tree(ctx.old, work / "client")
    return Prepared(client, ctx.package.install_args(client), install_check(ctx.old, NEW_FILES, NEW_VERSION, "new"),
                    last_line_ok)


def rollback(failure, done_with):
    # The install fails (after some files were replaced, after its commit, or
    # when it cannot save the version) and the recovery runs at once, as the
    # patch download does.
    def prepare(ctx, work):
        client = copy_tree(ctx.old, work / "client")
        injected = failure != "read-only Server.ini"
        commands = work / "commands.txt"
        commands.write_text("\t".join(ctx.package.install_args(client) + (["--fail-at", failure] if injected else [])) +
                            f"\nrecover\t{win_path(client)}\n", encoding="utf-8")
        failed = f"ERROR: Injected failure at {failure}." if injected else "ERROR: Cannot save client version."

        def expect(_, lines):
            assert lines == [failed, "OK"]

        return Prepared(client, ["batch", win_path(commands)], install_check(ctx.old, NEW_FILES, NEW_VERSION, done_with), expect,
                        around=contextlib.nullcontext if injected else (lambda c: unwritable(c / "Server.ini")))
    return prepare


scenario("rollback-replace-half", "rollback", "move-aside", "journal-retire")(rollback("replace-half", "old"))
# A failure after the commit marker leaves the update installed.
scenario("rollback-committed")(rollback("committed", "new"))
scenario("rollback-read-only-Server.ini")(rollback("read-only Server.ini", "old"))


def recovery(checkpoint, done_with):
    def prepare(ctx, work):
        client = copy_tree(ctx.old, work / "client")
        assert ctx.driver.run(*ctx.package.install_args(client), "--crash-at", checkpoint) == (99, "")
        return Prepared(client, ["recover", win_path(client)], install_check(ctx.old, NEW_FILES, NEW_VERSION, done_with),
                        last_line_ok)
    return prepare


scenario("recovery-replace-half", "rollback", "move-aside")(recovery("replace-half", "old"))
scenario("recovery-committed")(recovery("committed", "new"))


@scenario("install-journal-held", "committed")
def install_journal_held(ctx, work):
    # A scanner reads the journal from the commit on (sharing reading, as
    # the install's own hold of it does), so that it cannot be moved aside:
    # the install still succeeds, and the commit marker alone keeps the
    # recovery from rolling it back.
    client = copy_tree(ctx.old, work / "client")
    journal = client / UPDATE_AREA / "current" / "journal"
    return Prepared(client, ctx.package.install_args(client) + ["--read-at", "committed", win_path(journal)],
                    install_check(ctx.old, NEW_FILES, NEW_VERSION, "new"), last_line_ok)


# ---------------------------------------------------------------- large files

LARGE = (8 << 20) + 4096  # above the size from which staged files are flushed ahead
LARGE_STORED, LARGE_DEFLATED = "Data/big-stored.pak", "Data/big-deflated.pak"


def sparse(seed, size=LARGE):
    """Zeros with a distinct 4 KiB every 2 MiB: a large file whose crash
    states are cheap to write and whose deflated form is small."""
    data = bytearray(size)
    for offset in range(0, size, 2 << 20):
        data[offset:offset + 4096] = pseudo_random(f"{seed}:{offset}", 4096)
    return bytes(data)


def _large_trees():
    old = {**{p: d for p, d in OLD_FILES.items() if p != "ui/ui.src"}, LARGE_STORED: sparse("stored"),
           LARGE_DEFLATED: sparse("deflated"), "ui/ui.src": sparse("ui")}
    ui = bytearray(old["ui/ui.src"])
    ui[5 << 20:(5 << 20) + 16] = b"patched-ui-bytes"
    new = {**{p: d for p, d in NEW_FILES.items() if p != "ui/ui.src"}, LARGE_STORED: sparse("stored-2370"),
           LARGE_DEFLATED: sparse("deflated-2370"), "ui/ui.src": bytes(ui)}
    return old, new


LARGE_OLD, LARGE_NEW = _large_trees()


@scenario("install-large-files")
def install_large_files(ctx, work):
    # Beside the small files, three above 8 MiB, each replaced: a stored
    # entry (hashed before the extraction), a deflated one and a delta target
    # (rebuilt, its digest taken by the rebuild); the others are hashed on the
    # two threads beside the extraction, and the staged ones flushed ahead.
    old, package = ctx.large
    client = copy_tree(old, work / "client")
    def traced(events):
        # The large extracted files are flushed ahead of their moves.
        ahead = {e.path for e in events if e.kind == "sync" and e.path.startswith(f"{UPDATE_AREA}/current/files/")}
        assert {f"{UPDATE_AREA}/current/files/{p}" for p in (LARGE_STORED, LARGE_DEFLATED)} <= ahead, ahead

    return Prepared(client, package.install_args(client), install_check(old, LARGE_NEW, NEW_VERSION, "new"),
                    last_line_ok, traced=traced)


# ---------------------------------------------------------------- offline installer

OFFLINE_VERSION = 2384
# What the offline installer writes besides the version (the development
# deployment values).
OFFLINE_SETTINGS = {"Server": {"Count": "1", "IP0": "127.0.0.1"},
                    "ORVEX_UPDATE": {"BaseURL": "https://127.0.0.1:5444/orvex-patch/"}}
OFFLINE_SUCCESS = "ORVEX yamasi kuruldu. Simdi Launcher.exe ile oyunu acabilirsiniz."


@scenario("offline-installer", "settings-copy", "settings-move")
def offline_installer(ctx, work):
    # The patch extracted into ORVEX/Patch of the client; the installer's own
    # files there are not the client's and are left out of the comparison.
    client = copy_tree(ctx.old, work / "client")
    patch = client / "ORVEX" / "Patch"
    patch.mkdir(parents=True)
    for source in (ctx.offline.manifest, ctx.offline.signature, ctx.offline.archive):
        (patch / source.name).write_bytes(source.read_bytes())
    old = copy_tree(client, work / "old")
    new_settings = {**settings(old)[1], **OFFLINE_SETTINGS}
    check = install_check(old, {**NEW_FILES, **{f"ORVEX/Patch/{p.name}": p.read_bytes() for p in patch.iterdir()}},
                          str(OFFLINE_VERSION), "new", new_settings)

    def check_without_log(folder, line, done):
        (folder / "ORVEX" / "Patch" / "kurulum-sonucu.log").unlink(missing_ok=True)
        return check(folder, line, done)

    def expect(client, lines):
        assert lines == [f"OK: {OFFLINE_SUCCESS}"]
        assert settings(client) == (str(OFFLINE_VERSION), new_settings)

    return Prepared(client, ["offline-install", win_path(patch / "PatchKur.exe")], check_without_log, expect)


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


def damaged_repair_client(work, name="client"):
    """(sound tree with its signed client manifests, the repair service's
    object store, a copy of the tree with files damaged and missing)."""
    sound = write_tree(work / "sound", REPAIR_FILES)
    subprocess.run([PYTHON, str(SOURCE_DIR / "tools" / "orvex_ops" / "publish.py"), "make-client-manifests", "--tree",
                    str(sound), "--out", str(sound)], check=True, capture_output=True)
    store = work / "store"
    (store / "objects").mkdir(parents=True)
    catalogue = set()
    for path in sound.rglob("*"):
        if path.is_file():
            catalogue.add(sha256_hex(path.read_bytes()))
            (store / "objects" / sha256_hex(path.read_bytes())).write_bytes(path.read_bytes())
    (store / f"{REPAIR_VERSION}.catalogue").write_text("".join(d + "\n" for d in sorted(catalogue)))

    client = copy_tree(sound, work / name)
    (client / "Vantrell.exe").write_bytes(REPAIR_FILES["Vantrell.exe"][:4000] + b"damaged")
    (client / "data" / "item.tbl").unlink()
    (client / "Misc" / "copy-a.bin").write_bytes(b"not the shared content")
    (client / "Misc" / "copy-b.bin").unlink()
    return sound, store, client


@scenario("batch-repair", "repair-staged", "repair-copy", "repair-move")
def batch_repair(ctx, work):
    sound, store, client = damaged_repair_client(work)
    damaged = files_only(snapshot(client, skip=(UPDATE_AREA,)))
    repaired = files_only(snapshot(sound, skip=(UPDATE_AREA,)))

    def check(folder, _, done):
        # Repair is per file: each one is its old or its new content, and
        # every one is repaired once the repair has reported success.
        files = files_only(snapshot(folder, skip=(UPDATE_AREA,)))
        wrong = [path for path in sorted(repaired) if files.get(path) not in (damaged.get(path), repaired[path])]
        if wrong:
            return f"neither old nor new: {', '.join(wrong)}"
        unrepaired = [path for path in sorted(repaired) if files.get(path) != repaired[path]]
        return f"done, but not repaired: {', '.join(unrepaired)}" if done and unrepaired else None

    def expect(client, lines):
        last_line_ok(client, lines)
        assert files_only(snapshot(client, skip=(UPDATE_AREA,))) == repaired

    @contextlib.contextmanager
    def server(_):
        with PatchServer(work, work, extra_args=["--repair-root", str(store)]):
            yield

    return Prepared(client, ["repair", win_path(client), str(REPAIR_VERSION)], check, expect, recover=False,
                    around=server)


# ---------------------------------------------------------------- the tests

@pytest.mark.parametrize("name", list(SCENARIOS))
def test_crash_states(ctx, tmp_path, name):
    outcome = run_scenario(ctx, name, tmp_path)
    print(f"{name}: {outcome.summary()}")
    assert not outcome.failures, (f"{len(outcome.failures)} of {outcome.states} crash states are wrong:\n" +
                                  crashcheck.report(outcome.failures))
    outcome.expect()


def flush_sites(driver):
    result = subprocess.run(["wine", str(driver.exe), "flush-sites"], env=driver.env, capture_output=True, text=True,
                            stdin=subprocess.DEVNULL, timeout=60)
    sites = result.stdout.split()
    assert result.returncode == 0 and sites, result
    return sites


def repair_only(site):
    named = [name for name, s in SCENARIOS.items() if site in s.sites]
    return bool(named) and all("repair" in name for name in named)


@pytest.mark.parametrize("group", ["engine", "batch-repair"])
def test_every_flush_site_turns_a_scenario_red(ctx, tmp_path, group):
    # Every site the code registers, each left out in turn: the scenarios
    # that name it (every scenario of the group for a site none names) must
    # then find a wrong crash state. ORVEX_FLUSH_SITES picks some sites.
    registered = flush_sites(ctx.driver)
    wanted = os.environ.get("ORVEX_FLUSH_SITES", "").split() or registered
    assert set(wanted) <= set(registered), f"no such flush site: {set(wanted) - set(registered)}"
    sites = [site for site in registered if site in wanted and repair_only(site) == (group == "batch-repair")]
    unseen = [site for s in SCENARIOS.values() for site in s.sites if site not in registered]
    assert not unseen, f"scenarios name flush sites the code does not have: {unseen}"
    missed = []
    for site in sites:
        names = [name for name, s in SCENARIOS.items() if site in s.sites] or \
                [name for name in SCENARIOS if ("repair" in name) == (group == "batch-repair")]
        for name in names:
            outcome = run_scenario(ctx, name, tmp_path / f"{site}-{name}", skip=site, first_failure=True)
            if outcome.failures:
                text, reason = outcome.failures[0]
                print(f"{site}: red in {name} ({outcome.summary()}): {reason}\n    {text}")
                break
            print(f"{site}: {name} stays green ({outcome.summary()})")
        else:
            missed.append(site)
    assert not missed, f"no scenario turns red without these flush sites: {', '.join(missed)}"
