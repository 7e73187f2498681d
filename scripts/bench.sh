#!/usr/bin/env bash
# Sets everything up, builds, and runs the benchmarks (bench/bench.py; the
# arguments go to it: --quick, --only NAME, --reps N, --out FILE, --list).
# The parts that start Launcher.exe or a stand-in server hold the machine-wide
# e2e lock ($ORVEX_E2E_LOCK, default /tmp/orvex-e2e.lock) while they run, so do
# not wrap this script in that same lock.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
exec /usr/bin/python3 "$root/bench/bench.py" --lock "${ORVEX_E2E_LOCK:-/tmp/orvex-e2e.lock}" "$@"
