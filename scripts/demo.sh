#!/usr/bin/env bash
# Builds the module and qzhost, then starts qzhost on the demo home directory ./demo with the
# WebTool on http://127.0.0.1:27961/qzsvweb (web key "demo"). Everything typed on the console
# goes to the module; "quit" leaves.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake -S . -B build/demo -DQZ_TESTS=OFF >/dev/null
cmake --build build/demo -j"$(nproc)" --target qzhost qzsv
mkdir -p demo/qz
# The demo's own settings; an administrator's edits to the file are kept.
if [ ! -f demo/qz/qzsvuser.cfg ]; then
  printf '%s\r\n' \
    '// Demo settings: the WebTool on the loopback address' \
    'qz_sv_HttpAddr 127.0.0.1' \
    'qz_sv_HttpPort 27961' \
    'qz_sv_HttpKey demo' > demo/qz/qzsvuser.cfg
fi
echo "WebTool: http://127.0.0.1:27961/qzsvweb  (web key: demo)"
echo "The two 'Cannot Load qzcls.so / qzags.so ... Detection System Inoperative' lines below are"
echo "expected: the companion detection libraries are not part of this project, and the server"
echo "runs without them (see README, 'Using qzhost')."
exec build/demo/qzhost +set fs_homepath "$PWD/demo" +set fs_basepath "$PWD/demo" "$@"
