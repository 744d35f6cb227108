#!/usr/bin/env bash
# qzucon against a running qzhost on loopback: list the players, kick one, and a wrong password
# refused and then locked out. Everything started here is stopped on the way out.
set -euo pipefail
qzhost=$1 module=$2 qzucon=$3 home=$4
rm -rf "$home"; mkdir -p "$home/qz"
: > "$home/qz/qzucon.use"
port=$((30000 + RANDOM % 20000))
printf '%s\r\n' "qz_sv_extraport $port" 'qz_sv_USessionLimit 2' \
  'qz_sv_UconAdd 1 "127.0.0.*" admin "pass phrase"' > "$home/qz/qzsvuser.cfg"
mkfifo "$home/in"
"$qzhost" --module "$module" +set fs_homepath "$home" <"$home/in" >"$home/host.log" 2>&1 &
pid=$!
exec 3>"$home/in"
cleanup() { exec 3>&-; kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; }
trap cleanup EXIT
echo 'sim_connect Target 0123456789ABCDEF0123456789ABCDEF 1.2.3.4:27960' >&3
for _ in $(seq 50); do grep -q 'Listening for UDP' "$home/host.log" && break; sleep 0.1; done

printf 'pass phrase\n' > "$home/pw"
printf 'guess\n' > "$home/bad"
out=$("$qzucon" -u admin -p "$home/pw" -w 3 "127.0.0.1:$port" qz_sv_Plist)
echo "$out"
grep -q 'Target' <<<"$out"
out=$("$qzucon" -u admin -p "$home/pw" -w 3 "127.0.0.1:$port" qz_sv_Kick 1 5 testing)
grep -q 'Kick Command Issued (testing' <<<"$out"
grep -q 'DropClient' "$home/host.log"

# The password is never taken from the command line.
if "$qzucon" -u admin --password x "127.0.0.1:$port" qz_sv_Plist 2>/dev/null; then exit 1; fi
for i in 1 2 3 4 5; do
  if "$qzucon" -u admin -p "$home/bad" -w 2 "127.0.0.1:$port" qz_sv_Plist 2>"$home/err"; then
    exit 1
  fi
  grep -q 'Invalid password' "$home/err"
done
if "$qzucon" -u admin -p "$home/pw" -w 2 "127.0.0.1:$port" qz_sv_Plist 2>"$home/err"; then exit 1; fi
grep -q 'Too many wrong passwords' "$home/err"
grep -q 'locked out for 60 seconds' "$home/host.log"
echo "qzucon session checks passed"
