#!/usr/bin/env bash
# Builds the module and qzhost, then starts qzhost on the demo home directory ./demo.
# Everything typed on the console goes to the module; "quit" leaves.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build/native -DQZ_TESTS=OFF >/dev/null
cmake --build build/native -j"$(nproc)" --target qzhost qzsv
mkdir -p demo
exec build/native/qzhost +set fs_homepath "$PWD/demo" +set fs_basepath "$PWD/demo" "$@"
