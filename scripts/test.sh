#!/usr/bin/env bash
# Sets everything up, builds both trees and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
cd "$root"
status=0
ctest --test-dir build/native --output-on-failure -j2 || status=1
ctest --test-dir build/win --output-on-failure -j2 || status=1
exit $status
