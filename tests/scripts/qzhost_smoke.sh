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

# Lines typed behind a configuration load that takes several frames run before quit ends the
# program: the setting and the query typed after the load both answer, after the file's last
# line.
rm -rf "$home"; mkdir -p "$home/qz"
for i in $(seq 5000); do echo "qz_sv_KickLen $((3 + i % 4))"; done >"$home/qz/long.cfg"
echo 'qz_sv_KickLen 9' >>"$home/qz/long.cfg"
out=$(printf 'qz_sv_Load long.cfg\nqz_sv_KickLen 1\nqz_sv_KickLen\nquit\n' |
      "$host" --module "$module" --manual-clock +set fs_homepath "$home")
tail=$(sed -n '/^qz_sv_KickLen = 9 (0 to 60)$/,$p' <<<"$out")
[ "$(grep -cx 'qz_sv_KickLen = 1 (0 to 60)' <<<"$tail")" -eq 2 ] ||
  { echo "lines typed behind the load were not run before quit" >&2; tail -n 5 <<<"$out" >&2
    exit 1; }
# The administrator's own sequence: write the configuration, load it, ask, quit.
out=$(printf 'qz_sv_WriteCfg\nqz_sv_Load\nqz_sv_KickLen\nquit\n' |
      "$host" --module "$module" --manual-clock +set fs_homepath "$home")
# The file's own line answers once, the query typed behind the load once more.
[ "$(grep -cE '^qz_sv_KickLen = [0-9]+ \(0 to 60\)$' <<<"$out")" -eq 2 ] ||
  { echo "qz_sv_KickLen typed behind qz_sv_Load was not answered" >&2; exit 1; }

# SIGINT and SIGTERM stop qzhost as "quit" does: the module is shut down and the log lines it
# held back (logging suspended) are written before the program ends with status 0.
for sig in INT TERM; do
  rm -rf "$home"; mkdir -p "$home"
  fifo=$home/input
  mkfifo "$fifo"
  "$host" --module "$module" --manual-clock +set fs_homepath "$home" <"$fifo" >"$home/out" &
  pid=$!
  exec 3>"$fifo"
  printf 'qz_sv_suspendlogging\nqz_sv_Ver\n' >&3
  for _ in $(seq 100); do
    [ "$(grep -c '^Kestrine Server (v' "$home/out")" -ge 2 ] && break
    sleep 0.1
  done
  kill "-$sig" "$pid"
  rc=0
  wait "$pid" || rc=$?
  exec 3>&-
  [ "$rc" -eq 0 ] || { echo "qzhost ended with status $rc on SIG$sig" >&2; exit 1; }
  grep -q "^\[qzhost\] SIG$sig: shutting the module down" "$home/out"
  [ "$(grep -c 'Kestrine Server (v' "$home/qz/svlogs/00000001.log")" -eq 2 ] ||
    { echo "held log lines were not written on SIG$sig" >&2; exit 1; }
done
rm -rf "$home"
