#!/usr/bin/env bash
# Starts qzhost on a fresh home directory, types a few lines and checks the answers.
set -euo pipefail
host=$1 module=$2 home=$3
rm -rf "$home"; mkdir -p "$home"
out=$(printf 'qz_sv_Ver\nqz_sv_HomePath\nmap_restart\nquit\n' |
      "$host" --module "$module" --manual-clock +set fs_homepath "$home")
echo "$out"
grep -q '^Kestrine Server (v' <<<"$out"
grep -qF "Home Path is $home/qz/" <<<"$out"
grep -qF 'Ignoring Non-QZ Command/Setting' <<<"$out"
for d in htm dll svlogs svss; do [ -d "$home/qz/$d" ]; done
