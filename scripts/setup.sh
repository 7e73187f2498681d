#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need (only
# those that are missing). Safe to run again.
set -euo pipefail
packages=(
  g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev
  wine wine64 xvfb xauth x11-utils xdotool imagemagick
  cmake ninja-build googletest nlohmann-json3-dev zlib1g-dev
  clang libclang-rt-14-dev python3 python3-cryptography python3-pytest strace
  gunicorn python3-pip python3-setuptools nginx
  systemd logrotate  # systemd-analyze verify of deploy/, the shipped log rotation
  e2fsprogs locales  # chattr (read-only and append-only cases), the tr_TR locale source
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
