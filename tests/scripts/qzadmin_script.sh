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
chmod 640 "$home/qz/qzadmins.dat"
if "$qzadmin" "$home/qz" list 2>/dev/null; then echo "a group-readable file was read"; exit 1; fi
rm -rf "$home"
echo "qzadmin script: ok"
