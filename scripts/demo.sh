#!/usr/bin/env bash
# Sets everything up, builds, and runs one demo scenario (see tools/demo/demo.py;
# without an argument the patch demo, "--help" lists the scenarios).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
exec /usr/bin/python3 "$root/tools/demo/demo.py" "$@"
