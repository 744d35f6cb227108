#!/usr/bin/env bash
# qzadmin from a script: the key is read from standard input and never stored or echoed; the file
# is the owner's only; the module lists the administrator; removal works; a group-readable file
# is refused.
set -euo pipefail
qzadmin=$1 qzhost=$2 module=$3 home=$4
rm -rf "$home"; mkdir -p "$home/qz"
key='Script-Key 4417'
printf '%s\n' "$key" | "$qzadmin" "$home/qz" add alice ban
printf '%s\n' 'other-key-99' | "$qzadmin" "$home/qz" add bob view
[ "$(stat -c %a "$home/qz/qzadmins.dat")" = 600 ] || { echo "qzadmins.dat is not mode 600"; exit 1; }
if grep -q "$key" "$home/qz/qzadmins.dat"; then echo "the key is stored in clear"; exit 1; fi
[ "$("$qzadmin" "$home/qz" list)" = $'alice ban\nbob view' ] || { echo "list differs"; exit 1; }
# A key that looks like a page's digest is refused.
if printf '%s\n' 0123456789abcdef0123456789abcdef | "$qzadmin" "$home/qz" add carol all 2>/dev/null; then
  echo "a digest-like key was taken"; exit 1
fi
out=$(printf 'qz_sv_AdminList\nquit\n' | "$qzhost" --module "$module" --manual-clock +set fs_homepath "$home" 2>&1)
grep -q '^1 alice ban$' <<<"$out" || { echo "the module does not list alice"; echo "$out"; exit 1; }
"$qzadmin" "$home/qz" del alice
[ "$("$qzadmin" "$home/qz" list)" = 'bob view' ] || { echo "alice was not removed"; exit 1; }
# A comment and a line it cannot parse survive an add and a removal, byte for byte.
printf '# kept: the on-call rota\r\nfuture-admin all argon2id 3 65536 1 c2FsdA hash\n' >>"$home/qz/qzadmins.dat"
printf '%s\n' 'third-key-77' | "$qzadmin" "$home/qz" add carol kick
"$qzadmin" "$home/qz" del bob
grep -q $'^# kept: the on-call rota\r$' "$home/qz/qzadmins.dat" || { echo "the comment was dropped"; cat "$home/qz/qzadmins.dat"; exit 1; }
grep -qx 'future-admin all argon2id 3 65536 1 c2FsdA hash' "$home/qz/qzadmins.dat" || { echo "the unparsed line was dropped"; exit 1; }
[ "$("$qzadmin" "$home/qz" list)" = 'carol kick' ] || { echo "list differs after the edits"; exit 1; }
[ "$(stat -c %a "$home/qz/qzadmins.dat")" = 600 ] || { echo "qzadmins.dat is not mode 600 after the edits"; exit 1; }
# Every change is recorded in the audit log, with the origin qzadmin, never the key.
grep -q '"origin":{"kind":"qzadmin","name":"[^"]*"},"action":"admin-add","command":"add carol kick","result":"done"' "$home/qz/qzaudit.log" \
  || { echo "no audit record of the add"; cat "$home/qz/qzaudit.log"; exit 1; }
grep -q '"action":"admin-del","command":"del bob","result":"done"' "$home/qz/qzaudit.log" || { echo "no audit record of the removal"; exit 1; }
if grep -q -e 'third-key-77' -e "$key" "$home/qz/qzaudit.log"; then echo "a key reached the audit log"; exit 1; fi
# A home that does not exist is one clear line and a failure, never an empty list.
set +e
err=$("$qzadmin" "$home/does-not-exist" list 2>&1 >/dev/null); status=$?
set -e
[ "$status" -ne 0 ] || { echo "a missing home was listed with exit 0"; exit 1; }
[ "$(printf '%s\n' "$err" | wc -l)" = 1 ] && grep -q 'is not a directory' <<<"$err" || { echo "unclear error: $err"; exit 1; }
chmod 640 "$home/qz/qzadmins.dat"
if "$qzadmin" "$home/qz" list 2>/dev/null; then echo "a group-readable file was read"; exit 1; fi
rm -rf "$home"
echo "qzadmin script: ok"
