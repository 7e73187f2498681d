#!/usr/bin/env python3
"""Shows that the crash-state tests catch a missing flush.

    tests/durability/without_flush.py NAME...    (or: all)

For each NAME it copies the source into a scratch folder, removes that one
flush, builds only the install driver there (the first build takes a few
minutes, later ones rebuild the changed file), and runs the crash-state tests
of the scenarios that the flush protects against the scratch driver. They
must fail; the script prints the first crash states they report and exits
non-zero when any removal went unnoticed. The Wine prefix is that of
build/win of this source tree, which must be built (scripts/build.sh).
"""
import os
import pathlib
import subprocess
import sys

SOURCE = pathlib.Path(__file__).resolve().parents[2]
BUILD = SOURCE / "build" / "win"
SCRATCH = pathlib.Path(os.environ.get("ORVEX_SCRATCH", "/tmp/orvex-without-flush"))
INSTALL_SCENARIOS = "install_of or rollback or recovery"

# name: (file, the exact code that flushes, what stays without it, pytest -k of the scenarios)
REMOVALS = {
    "staged": ("update/Install.cpp", "    FlushFile(destination);\n", "", INSTALL_SCENARIOS),
    "backup": ("update/Install.cpp", "      FlushFile(backup);\n", "", INSTALL_SCENARIOS),
    "journal": ("update/Paths.cpp", " ||\n      !::FlushFileBuffers(file.Get())) {", ") {", INSTALL_SCENARIOS),
    "journal-move": ("update/Install.cpp", '  FlushFile(current / "journal");\n', "", INSTALL_SCENARIOS),
    "rollback": ("update/Journal.cpp", "      FlushStagedFile(client);\n", "", "rollback or recovery"),
    "move-aside": ("update/Journal.cpp", "  FlushStagedFile(to);\n", "", INSTALL_SCENARIOS),
    "version-copy": ("update/Version.cpp", "  FlushStagedFile(copy);\n", "", "version or install_of"),
    "version-move": ("update/Version.cpp", "  FlushStagedFile(ini);\n", "", "version or install_of"),
    "repair-staged": ("update/Repair.cpp", "      FlushStagedFile(staged);\n", "", "repair"),
    "repair-copy": ("update/Repair.cpp", "          FlushStagedFile(replacement);\n", "", "repair"),
    "swap-stage": ("modes/LauncherSwap.cpp", ' ||\n      !StepAllowed("stage-flush") || !FlushFile(next)) {', ") {",
                   "swap"),
    "swap-replace": ("modes/LauncherSwap.cpp", 'StepAllowed("replace-flush") && FlushFile(installed) && ',
                     'StepAllowed("replace-flush") && ', "swap"),
}


def run(*command, **options):
    return subprocess.run([str(part) for part in command], check=True, **options)


def sync(origin, copy):
    """Makes copy hold origin's files (without build and .git). Only files
    whose bytes differ are written, with a fresh time, so that the file an
    earlier removal changed is rebuilt and nothing else is."""
    wanted = set()
    for path in origin.rglob("*"):
        relative = path.relative_to(origin)
        if relative.parts[0] in ("build", ".git") or not path.is_file():
            continue
        wanted.add(relative)
        target = copy / relative
        data = path.read_bytes()
        if not target.is_file() or target.read_bytes() != data:
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data)
            target.chmod(path.stat().st_mode)
    for path in list(copy.rglob("*")) if copy.exists() else []:
        if path.is_file() and path.relative_to(copy) not in wanted:
            path.unlink()


def scratch_build(name):
    """The scratch source with the flush removed, built; returns the driver."""
    source, build = SCRATCH / "src", SCRATCH / "build"
    sync(SOURCE, source)
    file, code, replacement, _ = REMOVALS[name]
    path = source / file
    text = path.read_text()
    if text.count(code) != 1:
        sys.exit(f"{name}: the flush is no longer where this script looks for it in {file}; update REMOVALS")
    path.write_text(text.replace(code, replacement))
    if not (build / "build.ninja").exists():
        run("cmake", "-S", source, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
            f"-DCMAKE_TOOLCHAIN_FILE={source / 'cmake' / 'mingw-w64-x86_64.cmake'}", stdout=subprocess.DEVNULL)
    run("cmake", "--build", build, "--target", "orvex_install_driver", stdout=subprocess.DEVNULL)
    return build / "orvex_install_driver.exe"


def check(name):
    driver = scratch_build(name)
    selection = REMOVALS[name][3]
    command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-k", selection,
               SOURCE / "tests" / "durability" / "test_crash_states.py"]
    if "repair" in selection:
        command = ["flock", "/tmp/orvex-e2e.lock", *command]  # the stand-in patch server's fixed ports
    env = {**os.environ, "ORVEX_BUILD_DIR": str(BUILD), "ORVEX_SOURCE_DIR": str(SOURCE),
           "ORVEX_INSTALL_DRIVER": str(driver)}
    result = subprocess.run([str(part) for part in command], env=env, capture_output=True, text=True)
    failed = [line for line in result.stdout.splitlines() if line.startswith("FAILED")]
    found = [line[1:].strip() for line in result.stdout.splitlines()
             if line.startswith("E  ") and line[1:].strip().startswith(("power cut", *"0123456789"))]
    if result.returncode == 0 or not found:
        print(f"{name}: NOT CAUGHT (exit {result.returncode})\n{result.stdout[-3000:]}")
        return False
    print(f"{name}: caught by {len(failed)} scenario(s)")
    for line in failed:
        print("  " + line.split("::", 1)[-1].split(" - ")[0])
    for line in found[:8]:
        print("    " + line)
    return True


def main(names):
    if names == ["all"]:
        names = list(REMOVALS)
    unknown = [name for name in names if name not in REMOVALS]
    if not names or unknown:
        sys.exit(f"usage: {sys.argv[0]} all | NAME... (names: {', '.join(REMOVALS)})")
    caught = [check(name) for name in names]
    sys.exit(0 if all(caught) else 1)


if __name__ == "__main__":
    main(sys.argv[1:])
