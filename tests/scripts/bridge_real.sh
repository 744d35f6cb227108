#!/usr/bin/env bash
# The bridge against a real OpenArena server on loopback: bots and one real game client join,
# the module lists, kicks and bans them through the server, a map change and a server restart
# are survived. Everything runs in a temporary home on a free port and is stopped at the end.
#
# With QZMASTER, QZHOST and QZSV given, a fleet ban service and a second (simulated) server join:
# a ban made fleet-wide on the second server removes the real client from the real server and
# keeps him out when he comes back.
#
# usage: bridge_real.sh QZBRIDGE QZRCON [QZMASTER QZHOST QZSV] [--measure]
#   --measure  also runs 16 bots for 30 seconds and reports the bridge's CPU use
set -uo pipefail

QZBRIDGE=$1
QZRCON=$2
shift 2
QZMASTER= QZHOST= QZSV=
if [ $# -ge 3 ]; then
    QZMASTER=$1 QZHOST=$2 QZSV=$3
    shift 3
fi
MEASURE=${1:-}
SERVER_BIN=/usr/lib/ioquake3/ioq3ded
CLIENT_BIN=/usr/lib/ioquake3/ioquake3
root=$(cd "$(dirname "$0")/../.." && pwd)

if [ ! -x "$SERVER_BIN" ] || [ ! -d /usr/lib/openarena-server/baseoa ]; then
    "$root/scripts/deps.sh" >/dev/null || { echo "FAIL: cannot install openarena-server"; exit 1; }
fi

tmp=$(mktemp -d /tmp/qzbridge-real.XXXXXX)
pids=()
groups=()  # process groups of the game clients (xvfb-run, Xvfb, the launcher and the game)
fail=0
cleanup() {
    exec 3>&- 2>/dev/null
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    for g in "${groups[@]}"; do kill -TERM -- "-$g" 2>/dev/null; done
    sleep 0.3
    for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done
    for g in "${groups[@]}"; do kill -KILL -- "-$g" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT

say() { echo "--- $*"; }
bad() { echo "FAIL: $*"; fail=1; }
die() { echo "FAIL: $*"; echo "--- bridge output (tail):"; tail -n 40 "$tmp/bridge.out"; exit 1; }

# The password lives in files only: the server reads it from its configuration, the bridge and
# qzrcon from a password file.
secret="pw$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')"
umask 077
echo "$secret" >"$tmp/password"
mkdir -p "$tmp/server/baseoa" "$tmp/client" "$tmp/bridge"
printf 'set rconpassword "%s"\nset g_log games.log\nset g_logsync 1\nset sv_maxclients 24\n' \
    "$secret" >"$tmp/server/baseoa/bridgetest.cfg"

# Every query of the test comes from its own loopback address: the server limits remote-console
# requests per source address, and the bridge's budget must not be spent by the test.
qn=10
rc() {
    qn=$(( qn >= 250 ? 10 : qn + 1 ))
    "$QZRCON" --server "127.0.0.1:$port" --source "127.0.0.$qn" --password-file "$tmp/password" "$@"
}

serverlog=$tmp/server/baseoa/games.log
start_server() {
    "$SERVER_BIN" +set dedicated 1 +set ttycon 0 +set com_basegame baseoa \
        +set fs_basepath /usr/lib/openarena-server +set fs_homepath "$tmp/server" \
        +set com_legacyprotocol 71 +set com_protocol 71 +set net_ip 127.0.0.1 \
        +set net_port "$1" +set sv_master1 "" +set sv_master2 "" +set sv_master3 "" \
        +exec bridgetest.cfg +map oasago2 </dev/null >"$tmp/server.out" 2>&1 &
    server_pid=$!
    pids+=("$server_pid")
    # The server takes the next port when the asked one is busy: its own line says which.
    for _ in $(seq 1 100); do
        port=$(sed -n 's/^Opening IP socket: 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$tmp/server.out" | tail -n 1)
        [ -n "$port" ] && rc status >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

# Waits until FILE holds a line matching PATTERN (grep -E) after line FROM; at most SECONDS.
wait_line() { # file from pattern seconds
    local end=$((SECONDS + $4))
    while ((SECONDS <= end)); do
        tail -n +"$(($2 + 1))" "$1" | grep -qE "$3" && return 0
        sleep 0.05
    done
    return 1
}
lines() { wc -l <"$1"; }
# Retries a check until it holds, at most SECONDS: the test waits for what it checks, never for a
# fixed time that a busy machine may overrun.
eventually() { # seconds command...
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < end)) || return 1
        sleep 0.1
    done
}
gone_from_status() { ! status_has "$1"; }
admitted_since() { # from count
    [ "$(tail -n +"$(($1 + 1))" "$tmp/bridge.out" | grep -c 'is slot .*admitted')" -ge "$2" ]
}
initgames_above() { [ "$(grep -c InitGame "$serverlog")" -gt "$1" ]; }
to_bridge() { echo "$*" >&3; }
# The module's player list after the given command, as lines.
plist() {
    local from; from=$(lines "$tmp/bridge.out")
    to_bridge qz_sv_Plist
    wait_line "$tmp/bridge.out" "$from" '^End of Player List' 5 || return 1
    tail -n +"$((from + 1))" "$tmp/bridge.out" | sed -n '/^Player List:/,/^End of Player List/p'
}
# Names the server's status lists for client number N (empty when none).
status_name() { rc status | awk -v n="$1" '$1 == n { sub(/^ *[0-9]+ +-?[0-9]+ +[0-9A-Z]+ /, ""); sub(/ *\^7[^ ]* +[0-9]+ *$/, ""); print }'; }
status_has() { rc status | grep -qF -- "$1"; }
# True when every player of the server's status is in the module's list with slot = number + 1.
tables_agree() {
    local st pl
    st=$(rc status | awk 'f && NF >= 3 { print $1 + 1 } /^--/ { f = 1 }' | sort -n | tr '\n' ' ')
    pl=$(plist | awk '/^[0-9]/ { print $1 }' | sort -n | tr '\n' ' ')
    [ "$st" = "$pl" ] || { echo "status slots [$st] module slots [$pl]"; return 1; }
}

base=$((30000 + RANDOM % 20000))
start_server "$base" || die "the server did not start"
say "server on 127.0.0.1:$port (pid $server_pid)"

# A wrong password is a clear error at start, and the error does not show the password.
echo "wrong-$secret" >"$tmp/wrongpw"
"$QZBRIDGE" --server "127.0.0.1:$port" --log "$serverlog" --home "$tmp/wrong" \
    --password-file "$tmp/wrongpw" --source 127.0.0.9 </dev/null >"$tmp/wrong.out" 2>&1
[ $? -eq 1 ] || bad "a wrong password should stop the bridge with status 1"
grep -q "refused the remote-console password" "$tmp/wrong.out" || bad "no clear wrong-password error"
grep -qF "$secret" "$tmp/wrong.out" && bad "the wrong-password error shows the password"

mkfifo "$tmp/in"
"$QZBRIDGE" --server "127.0.0.1:$port" --log "$serverlog" --home "$tmp/bridge" \
    --password-file "$tmp/password" <"$tmp/in" >"$tmp/bridge.out" 2>&1 &
bridge_pid=$!
pids+=("$bridge_pid")
exec 3>"$tmp/in"
wait_line "$tmp/bridge.out" 0 '^Kestrine Server \(v' 10 || die "the bridge did not start the module"
# The WebTool on a free loopback port (a port that accepts a connection is taken).
webport=
for _ in $(seq 1 20); do
    p=$((40000 + RANDOM % 20000))
    if ! (exec 9<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then webport=$p; break; fi
done
[ -n "$webport" ] || die "no free TCP port for the WebTool"
to_bridge "qz_sv_HttpKey webkey-test"
to_bridge "qz_sv_HttpAddr 127.0.0.1"
to_bridge "qz_sv_HttpPort $webport"
web() { # form fields, one per argument
    local body=""
    for f in "$@"; do body+="$f"$'\r\n'; done
    curl -s --max-time 5 -H 'Content-Type: text/plain' --data-binary "$body" \
        "http://127.0.0.1:$webport/qzsvweb"
}

# --- bots, hostile names among them (the server itself refuses ";" and quotes in names; those
# reach the server in kick reasons below)
from=$(lines "$tmp/bridge.out")
rc addbot sarge 1 free 0 '"Open/*x y"' >/dev/null
rc addbot angelyss 1 free 0 '"Cut//x"' >/dev/null
rc addbot grism 1 free 0 TestBot >/dev/null
wait_line "$tmp/bridge.out" "$from" 'is slot .*admitted' 5 || die "no bot reached the module"
eventually 10 admitted_since "$from" 3
count=$(tail -n +"$((from + 1))" "$tmp/bridge.out" | grep -c 'is slot .*admitted')
[ "$count" -eq 3 ] || bad "3 bots should be admitted, saw $count"
pl=$(plist)
for name in 'Open/*x y' 'Cut//x' 'TestBot'; do
    n=$(rc status | grep -F -- "$name" | awk '{ print $1 }')
    [ -n "$n" ] || { bad "the server does not list $name"; continue; }
    echo "$pl" | grep -qE "^$((n + 1)) +.*\"$(printf '%s' "$name" | sed 's/[]\/$*.^[]/\\&/g')\"\$" ||
        bad "qz_sv_Plist does not show $name in slot $((n + 1))"
done
say "bots listed with the server's numbers"

# --- the WebTool: the Player List shows the server's players, game commands reach the server
sleep 0.3
page=$(web "plist=1" "webkey=webkey-test")
echo "$page" | grep -qF 'Cut//x' || bad "the WebTool's Player List does not show the server's bots"
page=$(web "serverinfo=1" "webkey=webkey-test")
echo "$page" | grep -q 'sv_maxclients *24' || bad "the WebTool's serverinfo did not show the real server's answer"
say "WebTool shows the real server"

# --- kick by name
t0=$(date +%s%N)
to_bridge 'qz_sv_Kick TestBot 1 testing the kick'
gone=0
for _ in $(seq 1 40); do
    status_has TestBot || { gone=1; break; }
    sleep 0.05
done
t1=$(date +%s%N)
((gone)) || bad "qz_sv_Kick did not remove TestBot from the server"
echo "kick to gone from status: $(( (t1 - t0) / 1000000 )) ms (measured by polling status)"
status_has 'Cut//x' || bad "the hostile bot names upset the server"

# --- name ban: the bot is refused when it is added again
to_bridge 'qz_sv_banname TestBot'
sleep 0.3
from=$(lines "$tmp/bridge.out")
rc addbot grism 1 free 0 TestBot >/dev/null
wait_line "$tmp/bridge.out" "$from" 'is slot .*refused' 5 || bad "the name-banned bot was not refused"
eventually 5 gone_from_status TestBot || bad "the name-banned bot is still on the server"
say "kick and name ban enforced"

# --- map change from the WebTool's Command screen: everybody reconnects, the slot table stays
from=$(lines "$tmp/bridge.out")
web "exec_cmd=1" "exec_cmd_text=map oasago2" "webkey=webkey-test" >/dev/null
eventually 15 initgames_above 1 || bad "the map change from the WebTool did not reach the server"
# The bridge compares its table with the server's three seconds after the map began.
sleep 3
eventually 10 tables_agree || bad "the slot table differs from the server's after a map change"
tail -n +"$((from + 1))" "$tmp/bridge.out" | grep -q 'Lost Connection' &&
    bad "a map change made the module lose players"
say "map change kept the slot table"

# --- the WebTool offers the server's own maps; a console line beginning with "/" goes to the
# server, so "/map NAME" changes the map from the bridge's console
page=$(web "cmds=Command Screen" "webkey=webkey-test")
echo "$page" | grep -q '<option value=mapno[0-9]*>oasago2</option>' ||
    bad "the WebTool's map choice does not offer the server's maps"
echo "$page" | grep -q 'mp_goldrush' && bad "the WebTool offers maps the server does not have"
maps_before=$(grep -c InitGame "$serverlog")
to_bridge "/map oasago2"
eventually 15 initgames_above "$maps_before" || bad "/map from the bridge's console did not change the map"
sleep 3
eventually 10 tables_agree || bad "the slot table differs from the server's after a map change from the console"
say "server maps offered; map changed from the console"

# --- a truncated game log is followed from its start
: >"$serverlog"
sleep 0.3
from=$(lines "$tmp/bridge.out")
rc addbot grism 1 free 0 AfterCut >/dev/null
wait_line "$tmp/bridge.out" "$from" 'is slot .*admitted' 5 || bad "a join after the log was truncated did not reach the module"
rc kick AfterCut >/dev/null
sleep 0.5
say "truncated log followed"

# --- a real game client from 127.0.0.2: GUID and mask bans
client_pid=
start_client() {
    # The launcher script's settings, with the client's own home, no sound, software rendering.
    # A session of its own, so that stopping it reaches the game the launcher starts as well.
    LIBGL_ALWAYS_SOFTWARE=1 SDL_AUDIODRIVER=dummy setsid xvfb-run -a -s "-screen 0 640x480x24" \
        "$CLIENT_BIN" +set com_basegame baseoa +set fs_basepath /usr/lib/openarena \
        +set fs_homepath "$tmp/client" +set com_legacyprotocol 71 +set com_protocol 71 \
        +set s_initsound 0 +set r_mode 3 +set r_fullscreen 0 +set cl_renderer opengl1 \
        +set name RealPlayer +set net_ip 127.0.0.2 +set net_enabled 1 \
        +connect "127.0.0.1:$port" </dev/null >"$tmp/client.out" 2>&1 &
    client_pid=$!
    groups+=("$client_pid")
}
# Stops the whole client group: politely, then for good after two seconds.
stop_client() {
    [ -n "$client_pid" ] || return 0
    kill -TERM -- "-$client_pid" 2>/dev/null
    for _ in $(seq 20); do
        kill -0 -- "-$client_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL -- "-$client_pid" 2>/dev/null
    wait "$client_pid" 2>/dev/null
    client_pid=
}
# The fleet: a ban service (file store) and a second server (qzhost) besides the bridge's. The
# client is on the real server (the bridge asked the service about his GUID); the second server
# bans that GUID fleet-wide; the service pushes the ban to the bridge, which removes him, and the
# bridge's cache refuses him when he comes back.
fleet_ban_from_another_server() { # guid
    local guid=$1 fport secret from
    mkdir -p "$tmp/fleet" "$tmp/other/qz"
    secret=$("$QZMASTER" servers add bridge --dir "$tmp/fleet" | cut -f2) ||
        { bad "qzmaster servers add failed"; return; }
    printf '%s\n' "$secret" >"$tmp/bridge/qz/qzfleet.key"
    secret=$("$QZMASTER" servers add other --dir "$tmp/fleet" | cut -f2)
    printf '%s\n' "$secret" >"$tmp/other/qz/qzfleet.key"
    "$QZMASTER" --address 127.0.0.1 --port 0 --dir "$tmp/fleet" --fleet-port 0 \
        >"$tmp/master.out" 2>&1 &
    pids+=("$!")
    wait_line "$tmp/master.out" 0 'fleet service on 127\.0\.0\.1:[0-9]+' 10 ||
        { bad "the fleet service did not start"; cat "$tmp/master.out"; return; }
    fport=$(sed -nE 's/.*fleet service on 127\.0\.0\.1:([0-9]+).*/\1/p' "$tmp/master.out" | head -n 1)
    mkfifo "$tmp/other.in"
    "$QZHOST" --module "$QZSV" +set fs_homepath "$tmp/other" <"$tmp/other.in" >"$tmp/other.out" 2>&1 &
    pids+=("$!")
    exec 4>"$tmp/other.in"
    printf 'qz_sv_FleetService 127.0.0.1:%s\nqz_sv_FleetServer other\n' "$fport" >&4
    to_bridge "qz_sv_FleetService 127.0.0.1:$fport"
    to_bridge "qz_sv_FleetServer bridge"
    sleep 1
    from=$(lines "$tmp/bridge.out")
    start_client
    wait_line "$tmp/bridge.out" "$from" 'is slot .*admitted' 30 ||
        { bad "the client did not come back for the fleet ban"; stop_client; exec 4>&-; return; }
    # The bridge asks the service about him (the push goes to servers that asked).
    wait_line "$tmp/master.out" 0 "$guid" 10 || sleep 2
    from=$(lines "$tmp/bridge.out")
    printf 'qz_sv_FleetScope fleet qz_sv_BanGuid %s RealPlayer 127.0.0.2 fleet test\n' "$guid" >&4
    wait_line "$tmp/bridge.out" "$from" 'GLOBAL Kestrine GUID BAN' 10 ||
        bad "the fleet ban made on the other server did not reach the bridge"
    eventually 5 gone_from_status RealPlayer || bad "the fleet ban did not remove the real client"
    stop_client
    from=$(lines "$tmp/bridge.out")
    start_client
    wait_line "$tmp/bridge.out" "$from" 'is slot .*refused' 30 || bad "the fleet-banned client was not refused"
    eventually 5 gone_from_status RealPlayer || bad "the fleet-banned client stayed on the server"
    stop_client
    grep -q "Fleet-wide ban of $guid" "$tmp/other.out" || bad "the other server did not report the ban"
    # Lifted on the other server: the lift reaches the bridge's cache.
    from=$(lines "$tmp/bridge.out")
    printf 'qz_sv_UnbanGuid %s\n' "$guid" >&4
    wait_line "$tmp/bridge.out" "$from" "Fleet: ban #[0-9]+ of $guid lifted by the fleet" 10 ||
        bad "the lift did not reach the bridge"
    echo quit >&4
    exec 4>&-
    say "fleet ban from another server enforced on a real client"
}
if [ -x "$CLIENT_BIN" ] && command -v xvfb-run >/dev/null; then
    from=$(lines "$tmp/bridge.out")
    start_client
    if wait_line "$tmp/bridge.out" "$from" 'is slot .*admitted' 30; then
        sleep 0.5
        line=$(plist | grep '"RealPlayer')
        slot=$(echo "$line" | awk '{ print $1 }')
        guid=$(echo "$line" | awk '{ print $2 }' | sed 's/(.*//')
        echo "$line" | grep -q ' 127\.0\.0\.2 ' || bad "the real client's address is missing: $line"
        [[ "$guid" =~ ^[0-9A-Fa-f]{32}$ ]] || bad "the real client's GUID is missing: $line"
        # GUID ban: removed now, refused when he comes back
        # The reason is shown to the player through the server: quotes and ";" in it must not
        # end the command or add one (the server would quit).
        to_bridge "qz_sv_Ban $slot cheating\"; quit; say \"x"
        eventually 5 gone_from_status RealPlayer || bad "the GUID ban did not remove the real client"
        rc status >/dev/null || bad "a hostile reason stopped the server"
        stop_client
        from=$(lines "$tmp/bridge.out")
        start_client
        wait_line "$tmp/bridge.out" "$from" 'is slot .*refused' 30 || bad "the GUID-banned client was not refused"
        eventually 5 gone_from_status RealPlayer || bad "the GUID-banned client stayed on the server"
        stop_client
        to_bridge "qz_sv_UnbanGuid $guid"
        [ -n "$QZMASTER" ] && fleet_ban_from_another_server "$guid"
        # Mask ban instead of the GUID ban
        to_bridge "qz_sv_BanMask 127.0.0.2 mask test"
        sleep 0.5
        from=$(lines "$tmp/bridge.out")
        start_client
        wait_line "$tmp/bridge.out" "$from" 'is slot .*refused' 30 || bad "the mask-banned client was not refused"
        tail -n +"$((from + 1))" "$tmp/bridge.out" | grep -q 'Ban Mask Kicked' || bad "no mask ban line"
        eventually 5 gone_from_status RealPlayer || bad "the mask-banned client stayed on the server"
        stop_client
        say "GUID and mask bans enforced on a real client"
    else
        bad "the real game client did not reach the module"
        tail -n 20 "$tmp/client.out"
    fi
    stop_client
else
    bad "the openarena client or xvfb-run is missing"
fi

# --- the server is killed and started again
kill -9 "$server_pid"
wait "$server_pid" 2>/dev/null
sleep 2
to_bridge "qz_sv_Ver"
start_server "$port" || die "the server did not start again"
from=$(lines "$tmp/bridge.out")
rc addbot sarge 1 free 0 Phoenix >/dev/null
wait_line "$tmp/bridge.out" "$from" 'is slot .*admitted' 10 || bad "a bot of the restarted server did not reach the module"
eventually 15 tables_agree || bad "the slot table differs from the restarted server's"
to_bridge "qz_sv_BanList"
sleep 0.5
grep -q 'TestBot' "$tmp/bridge/qz/qzbans.dat" || bad "the name ban was lost"
say "server restart survived"

# --- the password appears nowhere the module writes
to_bridge "qz_sv_WriteCfg"
sleep 0.5
grep -rqF "$secret" "$tmp/bridge" "$tmp/bridge.out" && bad "the password appears in the module's files or output"
web "plist=1" "webkey=webkey-test" | grep -qF "$secret" && bad "the password appears on a WebTool page"

if [ "$MEASURE" = "--measure" ]; then
    for i in $(seq 1 16); do rc addbot sarge 1 free 0 "Load$i" >/dev/null; done
    sleep 5
    ticks() { awk '{ print $14 + $15 }' "/proc/$bridge_pid/stat"; }
    hz=$(getconf CLK_TCK)
    a=$(ticks); sleep 30; b=$(ticks)
    echo "bridge CPU with $(rc status | grep -c '\^7bot') bots: $(( (b - a) * 1000 / hz / 30 / 10 )).$(( (b - a) * 1000 / hz / 30 % 10 )) % of one core"
    grep -o 'admitted [0-9.]* ms after its log line' "$tmp/bridge.out" | awk '{ print $2 }' | sort -n |
        awk '{ v[NR] = $1 } END { if (NR) printf "connect handling after the log line: n=%d median %.1f ms p99.9 %.1f ms max %.1f ms\n", NR, v[int((NR + 1) / 2)], v[int(NR * 0.999 + 0.999)], v[NR] }'
    grep -o 'gone from the server [0-9]* ms after the drop' "$tmp/bridge.out" | awk '{ print $5 }' | sort -n |
        awk '{ v[NR] = $1 } END { if (NR) printf "drop to gone: n=%d median %d ms max %d ms\n", NR, v[int((NR + 1) / 2)], v[NR] }'
fi

to_bridge quit
exec 3>&-
for _ in $(seq 1 50); do kill -0 "$bridge_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$bridge_pid" 2>/dev/null && bad "the bridge did not stop on quit"
if ((fail)); then
    echo "--- bridge output (tail):"
    tail -n 60 "$tmp/bridge.out"
    exit 1
fi
echo "bridge against the real server: all checks passed"
