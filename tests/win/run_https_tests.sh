#!/usr/bin/env bash
# Runs orvex_https_tests.exe under Wine against a fresh tools/test_servers/patch_server.py.
#   run_https_tests.sh BUILD_DIR TEST_EXE [gtest arguments...]
# The server holds the fixed fallback port 5443 (and 5444) for the whole run,
# so CTest serialises this test with the patch_port resource lock.
set -u
build="$1"
exe="$2"
shift 2
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
python="${ORVEX_PYTHON:-/usr/bin/python3}"
work="$(mktemp -d "${TMPDIR:-/tmp}/orvex-https.XXXXXX")"
server=""

cleanup() {
  if [ -n "$server" ]; then
    kill -TERM "$server" 2>/dev/null
    wait "$server" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# The lifetime only bounds a server that outlives a killed run.
"$python" "$source_dir/tools/test_servers/patch_server.py" --root "$work" --log "$work/requests.jsonl" --quiet \
  --lifetime 600 >"$work/server.out" 2>"$work/server.err" </dev/null &
server=$!
for _ in $(seq 200); do
  grep -qx listening "$work/server.out" 2>/dev/null && break
  kill -0 "$server" 2>/dev/null || break
  sleep 0.05
done
if ! grep -qx listening "$work/server.out" 2>/dev/null; then
  echo "patch server did not start:" >&2
  cat "$work/server.err" >&2
  exit 1
fi

# WinHTTP's default proxy setting under Wine also honours http_proxy; loopback
# requests must go straight to the stand-in server.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
export ORVEX_PATCH_LOG="$work/requests.jsonl"
"$build/wine-run.sh" "$exe" "$@"
status=$?
if [ "$status" -ne 0 ]; then
  echo "--- patch server log ---" >&2
  cat "$work/server.err" >&2
fi
exit "$status"
