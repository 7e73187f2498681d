"""Other programs at every checkpoint of the install and of its recovery.

In turn, a client file that the update replaces, its staged file, its backup
and the journal are deleted (as a scanner's quarantine does), rewritten in
place (size and write time kept) or held without sharing for longer than any
retry, at each checkpoint where that file exists; the operation then goes on,
or the power is cut at the next checkpoint. Whatever happened, the next start
(the recovery, then the start-up check, whose repair fetches a damaged file
from the server) must get the player playing: the old client or the new one,
at most the meddled client file left to the repair, and never a refusal that
every later start repeats. The matrix of outcomes is printed (run with -s).
"""
import concurrent.futures
import pathlib
import subprocess
from collections import Counter

import pytest

from fixtures import (UPDATE_AREA, Driver, copy_tree, files_only, ini_sections, make_update, pseudo_random,
                      sha256_hex, snapshot, win_path, write_tree)

OLD_VERSION, NEW_VERSION = "2369", "2370"
SERVER_INI = (f"[Version]\r\nFiles={OLD_VERSION}\r\n[Server]\r\nCount=1\r\nIP0=10.1.2.3\r\n").encode("ascii")
OLD_FILES = {
    "Vantrell.exe": pseudo_random("vantrell", 6000),
    "Data/item.tbl": pseudo_random("item", 3000),
    "Data/skill.tbl": pseudo_random("skill", 2000),
    "ui/ui.src": pseudo_random("ui", 16_000),
    "Misc/readme.txt": b"unchanged by the update\n",
}
UI = bytearray(OLD_FILES["ui/ui.src"])
UI[8_000:8_016] = b"patched-ui-bytes"
NEW_FILES = {**OLD_FILES,
             "Vantrell.exe": pseudo_random("vantrell-2370", 6100),  # replaced
             "Data/item.tbl": pseudo_random("item-2370", 3500),  # replaced
             "Data/new.tbl": pseudo_random("new", 700),  # added
             "Texture/Npc/new.dds": pseudo_random("dds", 900),  # added in a new folder
             "ui/ui.src": bytes(UI)}  # rebuilt from a delta

# The meddled client file is replaced in the second half of the replace pass
# and restored in the second half of the restore pass, so that at the
# half-way checkpoints its backup is there and its staged file still waits.
CLIENT_FILE = "Vantrell.exe"
CURRENT = f"{UPDATE_AREA}/current"
MEDDLED = {
    "client file": CLIENT_FILE,
    "staged file": f"{CURRENT}/files/{CLIENT_FILE}",
    "backup": f"{CURRENT}/backup/{CLIENT_FILE}",
    "journal": f"{CURRENT}/journal",
}
INSTALL_CHECKPOINTS = ["hashed", "staged", "journal", "replace", "replace-half", "verify", "committed"]
# Recovery cells start from a power cut at "replace-half": some files new,
# the others moved into the backup, their staged files still waiting.
RECOVERY_CHECKPOINTS = ["recover-checked", "recover-restore-half", "recover-restored"]
CHECKPOINTS = INSTALL_CHECKPOINTS + RECOVERY_CHECKPOINTS
# Where each file exists when that checkpoint is reached.
EXISTS = {
    "client file": {"hashed", "staged", "journal", "replace", "verify", "committed", "recover-restored"},
    "staged file": {"staged", "journal", "replace", "replace-half", "recover-checked", "recover-restore-half",
                    "recover-restored"},
    "backup": {"replace-half", "verify", "committed", "recover-checked", "recover-restore-half"},
    "journal": {"replace", "replace-half", "verify", "committed", "recover-checked", "recover-restore-half",
                "recover-restored"},
}
ACTIONS = {
    "delete": lambda checkpoint, path: ["--delete-at", checkpoint, path],
    "write": lambda checkpoint, path: ["--write-at", checkpoint, path],
    # Longer than every retry; it ends with the command that started it.
    "hold": lambda checkpoint, path: ["--hold-at", checkpoint, path, "600000"],
}
ENDINGS = ["goes on", "power cut"]

# Every text a player may read from an install or a recovery here.
PLAYER_TEXTS = {
    "Cannot replace client file; close the game and retry.",
    "Installed file verification failed.",
    "Cannot hash update file.",
    "Cannot flush staged update file.",
    "Cannot persist staged update file.",
    "Update backup is damaged; manual recovery required.",
    "Update journal is damaged.",
    # A failed file-system call, reported as the operation's own text.
    "Cannot update the client folder.",
    "Cannot recover the interrupted update.",
}
# The cells whose first result is known in advance (file, action, checkpoint,
# ending) -> the operation's result line.
CANNOT_REPLACE = "ERROR: Cannot replace client file; close the game and retry."
EXPECTED_LINES = {
    # The client file cannot be read for its journal line.
    ("client file", "hold", "hashed", "goes on"): "ERROR: Cannot hash update file.",
    # The backup move meets a file that another program keeps open; one that
    # is gone has nothing to back up, and its new file takes the free name.
    ("client file", "hold", "replace", "goes on"): CANNOT_REPLACE,
    ("client file", "delete", "replace", "goes on"): "OK",
    ("staged file", "delete", "replace-half", "goes on"): CANNOT_REPLACE,
    # Written after its check: caught by the check after the swap.
    ("staged file", "write", "staged", "goes on"): "ERROR: Installed file verification failed.",
    ("client file", "write", "verify", "goes on"): "ERROR: Installed file verification failed.",
    # None of these changes the installed client: the install is reported.
    ("backup", "delete", "replace-half", "goes on"): "OK",
    ("journal", "delete", "verify", "goes on"): "OK",
    ("journal", "hold", "replace", "goes on"): "OK",
    ("backup", "write", "committed", "goes on"): "OK",
}
PARALLEL = 3


def next_checkpoint(checkpoint):
    """Where the power is cut after meddling at checkpoint: the next
    checkpoint of the same operation, or this one when it is the last."""
    for order in (INSTALL_CHECKPOINTS, RECOVERY_CHECKPOINTS):
        if checkpoint in order:
            return order[min(order.index(checkpoint) + 1, len(order) - 1)]
    raise KeyError(checkpoint)


def cells():
    """(file, action, checkpoint, ending) for every cell of the matrix."""
    return [(name, action, checkpoint, ending) for name in MEDDLED for action in ACTIONS for checkpoint in CHECKPOINTS
            if checkpoint in EXISTS[name] for ending in ENDINGS]


def game_files(client):
    return files_only(snapshot(client, skip=(UPDATE_AREA, "Server.ini")))


def client_version(client):
    return ini_sections(pathlib.Path(client) / "Server.ini").get("Version", {}).get("Files")


def run_wine(driver, args, timeout):
    """(exit code, stdout lines, stderr text) of one driver process."""
    result = subprocess.run(["wine", str(driver.exe), *map(str, args)], env=driver.env, stdin=subprocess.DEVNULL,
                            capture_output=True, timeout=timeout)
    return (result.returncode, result.stdout.decode("utf-8", "replace").splitlines(),
            result.stderr.decode("utf-8", "replace"))


def batches(driver, commands, work, name):
    """Result line of every command, and the driver's standard error, the
    commands dealt out to PARALLEL batch processes."""
    chunks = [commands[i::PARALLEL] for i in range(PARALLEL)]

    def run(index):
        chunk = chunks[index]
        if not chunk:
            return [], ""
        command_file = pathlib.Path(work) / f"{name}-{index}.txt"
        command_file.write_bytes("".join("\t".join(map(str, c)) + "\n" for c in chunk).encode("utf-8"))
        code, lines, errors = run_wine(driver, ["batch", win_path(command_file)], timeout=230)
        assert code == 0 and len(lines) == len(chunk), (code, lines, errors[-2000:])
        return lines, errors

    with concurrent.futures.ThreadPoolExecutor(PARALLEL) as pool:
        done = list(pool.map(run, range(PARALLEL)))
    lines = [None] * len(commands)
    for index, (chunk_lines, _) in enumerate(done):
        lines[index::PARALLEL] = chunk_lines
    return lines, "".join(errors for _, errors in done)


def outcome(client):
    """old, new, old+repaired or new+repaired (only the meddled client file
    differs, which the start-up check's repair fetches), or wrong."""
    files, version = game_files(client), client_version(client)
    for name, tree, tree_version in (("old", OLD_FILES, OLD_VERSION), ("new", NEW_FILES, NEW_VERSION)):
        if version != tree_version:
            continue
        tree = {path: sha256_hex(data) for path, data in tree.items()}
        differing = {path for path in files.keys() | tree.keys() if files.get(path) != tree.get(path)}
        if not differing:
            return name
        if differing == {CLIENT_FILE}:
            return name + "+repaired"
    return "wrong"


@pytest.fixture(scope="module")
def matrix(tmp_path_factory):
    root = tmp_path_factory.mktemp("meddling")
    driver = Driver()
    old = write_tree(root / "old", OLD_FILES)
    (old / "Server.ini").write_bytes(SERVER_INI)
    package = make_update(old, write_tree(root / "new", NEW_FILES), int(NEW_VERSION), root / "package")
    order = [path for path, _, _ in package.files()]
    assert order.index(CLIENT_FILE) >= len(order) // 2, order

    # The state every recovery cell starts from.
    crashed = copy_tree(old, root / "crashed")
    code, lines, _ = run_wine(driver, package.install_args(crashed) + ["--crash-at", "replace-half"], timeout=60)
    assert code == 99, (code, lines)

    results = {}
    commands = {}
    for index, cell in enumerate(cells()):
        name, action, checkpoint, ending = cell
        recovery = checkpoint.startswith("recover")
        client = copy_tree(crashed if recovery else old, root / f"cell{index}" / "client")
        operation = ["recover", win_path(client)] if recovery else package.install_args(client)
        meddling = ACTIONS[action](checkpoint, win_path(client / MEDDLED[name]))
        commands[cell] = operation + meddling + (["--crash-at", next_checkpoint(checkpoint)] if ending == "power cut"
                                                 else [])
        results[cell] = {"client": client, "path": win_path(client / MEDDLED[name])}

    # Goes on: every cell in a few batch processes. Power cut: one process
    # per cell (a batch refuses --crash-at).
    going_on = [cell for cell in results if cell[3] == "goes on"]
    lines, errors = batches(driver, [commands[cell] for cell in going_on], root, "goes-on")
    for cell, line in zip(going_on, lines):
        results[cell]["line"] = line
    cut = [cell for cell in results if cell[3] == "power cut"]
    with concurrent.futures.ThreadPoolExecutor(PARALLEL) as pool:
        for cell, (code, cell_lines, cell_errors) in zip(cut, pool.map(
                lambda c: run_wine(driver, commands[c], timeout=120), cut)):
            results[cell]["line"] = "crashed" if code == 99 else (cell_lines[-1] if cell_lines else f"exit {code}")
            errors += cell_errors
    for cell, result in results.items():
        result["meddled"] = f" {result['path']} " not in errors

    # The next start, and one more for every start that failed: a refusal
    # that the second start repeats is one that the player cannot get past.
    for attempt in ("start", "again"):
        pending = [cell for cell in results if attempt == "start" or not results[cell]["start"].startswith("OK")]
        if not pending:
            break
        lines, _ = batches(driver, [["recover", win_path(results[cell]["client"])] for cell in pending], root, attempt)
        for cell, line in zip(pending, lines):
            results[cell][attempt] = line
    for cell, result in results.items():
        settled = result.get("again", result["start"])
        result["outcome"] = outcome(result["client"]) if settled == "OK" else "blocked"
    print_matrix(results)
    return results


SHORT = {"old": "O", "new": "N", "old+repaired": "O+", "new+repaired": "N+", "blocked": "B", "wrong": "W"}


def print_matrix(results):
    """Rows: meddled file x action; columns: checkpoints; each cell "goes on |
    power cut" in the letters of SHORT."""
    width = 15
    print("\n\nOther programs at each checkpoint; each cell: goes on | power cut at the next checkpoint")
    print(f"{'':22}" + "".join(f"{c.replace('recover-', 'r-'):>{width}}" for c in CHECKPOINTS))
    for name in MEDDLED:
        for action in ACTIONS:
            row = f"{name + ' ' + action:22}"
            for checkpoint in CHECKPOINTS:
                if checkpoint not in EXISTS[name]:
                    row += f"{'-':>{width}}"
                    continue
                text = "|".join(SHORT[results[(name, action, checkpoint, e)]["outcome"]] for e in ENDINGS)
                row += f"{text:>{width}}"
            print(row)
    counts = Counter(result["outcome"] for result in results.values())
    print(f"cells {len(results)}: " + ", ".join(f"{kind} {counts.get(kind, 0)}" for kind in SHORT))
    shown = Counter(result[key] for result in results.values() for key in ("line", "start", "again")
                    if result.get(key, "OK") not in ("OK", "crashed"))
    print("texts shown: " + "; ".join(f"{text} ({count})" for text, count in sorted(shown.items())))
    for cell, result in results.items():
        if result["outcome"] in ("blocked", "wrong"):
            print(f"  {result['outcome']}: {' / '.join(cell)}: operation {result['line']!r}, "
                  f"start {result['start']!r}, again {result.get('again')!r}")


def player_text(line):
    text = line[len("ERROR: "):] if line.startswith("ERROR: ") else None
    return line in ("OK", "crashed") or text in PLAYER_TEXTS


def expected_side(cell, line):
    """The client the player must end up with: "new" after an install that
    was reported or whose commit marker was written, "old" otherwise. A
    committed install whose client file another program changed before the
    power cut comes back old, whole, from its backups."""
    checkpoint = cell[2]
    if checkpoint.startswith("recover"):
        return "old"
    if line == "crashed":
        if next_checkpoint(checkpoint) != "committed":
            return "old"
        return "old" if cell[:2] in (("client file", "delete"), ("client file", "write")) else "new"
    return "new" if line == "OK" else "old"


@pytest.mark.parametrize("name, action", [(name, action) for name in MEDDLED for action in ACTIONS])
def test_next_start_gets_the_player_playing(matrix, name, action):
    row = {cell: result for cell, result in matrix.items() if cell[:2] == (name, action)}
    assert row
    # The meddling happened in every cell (a cell where it did not tests
    # nothing), and every text shown is one the player can read.
    # The journal is held from the moment it is in place until it is retired:
    # no program can delete, rewrite or hold it, so those meddlings must fail.
    shut_out = name == "journal"
    assert [cell for cell, result in row.items() if result["meddled"] == shut_out] == []
    shown = [(cell, result[key]) for cell, result in row.items() for key in ("line", "start", "again") if key in result]
    assert [(cell, line) for cell, line in shown if not player_text(line)] == []
    assert {cell: row[cell]["line"] for cell in EXPECTED_LINES if cell in row} == {
        cell: line for cell, line in EXPECTED_LINES.items() if cell in row}
    stuck = {" / ".join(cell[2:]): (result["outcome"], result.get("again") or result["start"])
             for cell, result in row.items() if result["outcome"] in ("blocked", "wrong")}
    assert stuck == {}
    sides = {" / ".join(cell[2:]): (result["outcome"], result["line"]) for cell, result in row.items()
             if result["outcome"].split("+")[0] != expected_side(cell, result["line"])}
    assert sides == {}
