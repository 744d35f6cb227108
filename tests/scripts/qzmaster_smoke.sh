#!/usr/bin/env bash
# qzmaster's command line: makes a key pair, starts on an ephemeral loopback port with a signed
# update, prints its listening line, and stops when told to.
set -euo pipefail
master=$1 module=$2 dir=$3
rm -rf "$dir"; mkdir -p "$dir"
"$master" --make-key "$dir/k" | grep -qF "wrote $dir/k.key (private, mode 0600) and $dir/k.pub"
grep -Eq '^[0-9a-f]{64}$' "$dir/k.key"
grep -Eq '^[0-9a-f]{64}$' "$dir/k.pub"
# The private key is for its owner only.
[ "$(stat -c %a "$dir/k.key")" = 600 ]
# Nothing written is a failure: a missing folder, or a key that exists already (never replaced).
if "$master" --make-key "$dir/missing/k" >/dev/null 2>&1; then exit 1; fi
[ ! -e "$dir/missing" ]
before=$(cat "$dir/k.key")
if "$master" --make-key "$dir/k" >/dev/null 2>&1; then exit 1; fi
[ "$(cat "$dir/k.key")" = "$before" ]
"$master" --port 0 --update "$module" --version 1700 --sign-key "$dir/k.key" >"$dir/out" 2>&1 &
pid=$!
for _ in $(seq 50); do
  grep -q 'listening on 127.0.0.1:' "$dir/out" && break
  sleep 0.1
done
kill "$pid"
wait "$pid" || true
cat "$dir/out"
grep -Eq '^\[qzmaster\] listening on 127\.0\.0\.1:[1-9][0-9]*$' "$dir/out"
# A bad option is refused with the usage text.
if "$master" --bogus 2>/dev/null; then exit 1; fi
rm -rf "$dir"
