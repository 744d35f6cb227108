#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, when any is missing.
# Safe to run again: it only calls apt-get when something is absent.
set -euo pipefail

packages=(
  build-essential cmake ccache g++ gcc-multilib g++-multilib
  zlib1g-dev lib32z1-dev
  googletest libgtest-dev libbenchmark-dev libssl-dev
  libssl-dev:i386
  clang libclang-rt-14-dev
  nginx
  rsyslog
  chromium nodejs
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# The browser test drives Chromium from Node.js; npm may come with nodejs itself (some nodejs
# builds bundle it and conflict with Debian's npm package), so it is asked for only when absent.
if ! command -v npm >/dev/null 2>&1; then
  missing+=(npm)
fi

if ((${#missing[@]})); then
  echo "Installing missing packages: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "deps.sh: root is needed to install packages" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  # The 32-bit build links Debian's multiarch libraries (the ":i386" packages).
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
