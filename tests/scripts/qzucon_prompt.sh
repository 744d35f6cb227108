#!/usr/bin/env bash
# qzucon's interactive prompt on a terminal: an answer that arrives after a command was entered
# is printed above a fresh, empty prompt; the command just entered is not drawn again (where the
# next command typed would seem to continue it).
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
for _ in $(seq 50); do grep -q 'Listening for UDP' "$home/host.log" && break; sleep 0.1; done
printf 'pass phrase\n' > "$home/pw"

# qzucon on a pseudo-terminal: type a command, wait for its answer, again, then type "quit".
python3 - "$qzucon" "$home/pw" "127.0.0.1:$port" >"$home/screen" <<'PY'
import os, pty, select, sys, time
qzucon, pw, server = sys.argv[1:4]
pid, fd = pty.fork()
if pid == 0:
    os.execv(qzucon, [qzucon, "-u", "admin", "-p", pw, "-w", "3", server])
out = b""
def read_for(seconds, until=None):
    global out
    end = time.time() + seconds
    while time.time() < end:
        r, _, _ = select.select([fd], [], [], 0.05)
        if r:
            try:
                out += os.read(fd, 4096)
            except OSError:
                return
        if until is not None and until in out:
            return
read_for(5, b"qzucon> ")
os.write(fd, b"qz_sv_Ver\r")
read_for(5, b"Kestrine Server (v")
read_for(0.5)
mark = len(out)
os.write(fd, b"qz_sv_Ver\r")
read_for(2)
os.write(fd, b"quit\r")
read_for(3)
os.waitpid(pid, 0)
sys.stdout.write(repr(out) + "\n")
sys.stdout.write("drawn %d\n" % out.count(b"qzucon> qz_sv_Ver"))
PY
cat "$home/screen"
grep -q 'Kestrine Server (v' "$home/screen" || { echo "no answer to qz_sv_Ver"; exit 1; }
# Two commands typed, each drawn once after its prompt; never again after its answer (where the
# next command typed would seem to continue it) nor as a second copy when entered.
grep -qx 'drawn 2' "$home/screen" || { echo "the prompt drew an entered command again"; exit 1; }
echo "qzucon prompt checks passed"
