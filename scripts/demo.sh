#!/usr/bin/env bash
# Sets everything up, builds, and runs the demo (see tools/demo.py).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
exec /usr/bin/python3 "$root/tools/demo.py"
