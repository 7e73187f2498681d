#!/usr/bin/python3
"""Shows that the crash-state tests catch a missing flush.

    tests/durability/without_flush.py SITE...    (or: all)

Every flush that the update engine, the launcher swap, the version save and
the offline installer make goes through one call with a site name
(update/disk/FlushSites.h); the install driver leaves out one site's flushes with
--skip-flush SITE. For each SITE this runs the crash-state scenarios that use
it with that site left out; they must fail. It prints the first crash states
they report and exits non-zero when any removal went unnoticed. build/win
must be built (scripts/build.sh).
"""
import os
import pathlib
import subprocess
import sys

SOURCE = pathlib.Path(__file__).resolve().parents[2]
BUILD = SOURCE / "build" / "win"
TESTS = SOURCE / "tests" / "durability" / "test_crash_states.py"


def main(names):
    driver = BUILD / "orvex_install_driver.exe"
    listed = subprocess.run([str(BUILD / "wine-run.sh"), str(driver), "flush-sites"], capture_output=True, text=True,
                            check=True).stdout.split()
    if names == ["all"]:
        names = listed
    unknown = [name for name in names if name not in listed]
    if not names or unknown:
        sys.exit(f"usage: {sys.argv[0]} all | SITE... (sites: {', '.join(listed)})")
    env = {**os.environ, "ORVEX_BUILD_DIR": str(BUILD), "ORVEX_SOURCE_DIR": str(SOURCE),
           "ORVEX_INSTALL_DRIVER": str(driver), "ORVEX_FLUSH_SITES": " ".join(names)}
    # Debian's Python, which has pytest (scripts/setup.sh).
    result = subprocess.run(["/usr/bin/python3", "-m", "pytest", "-q", "-s", "-p", "no:cacheprovider",
                             "-k", "every_flush_site", str(TESTS)], env=env)
    sys.exit(result.returncode)


if __name__ == "__main__":
    main(sys.argv[1:])
