#!/bin/sh
# The nginx configuration of docs/fleet-panel.md passes `nginx -t`: the first ```nginx block of
# the page, with a throw-away certificate in place of the real one.
set -eu
doc=$1
work=$(mktemp -d /tmp/qzpanel-nginx-XXXXXX)
trap 'rm -rf "$work"' EXIT
command -v nginx >/dev/null || { echo "nginx is not installed: skipped"; exit 77; }
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=bans.example.invalid \
  -keyout "$work/bans.key" -out "$work/bans.crt" 2>/dev/null
awk '/^```nginx$/{on=1; next} /^```$/{if (on) exit} on' "$doc" |
  sed "s#/etc/nginx/tls/#$work/#g" \
  >"$work/panel.conf"
grep -q proxy_pass "$work/panel.conf"
cat >"$work/nginx.conf" <<CONF
pid $work/nginx.pid;
error_log $work/error.log;
events {}
http {
    access_log off;
    client_body_temp_path $work;
    proxy_temp_path $work;
    fastcgi_temp_path $work;
    uwsgi_temp_path $work;
    scgi_temp_path $work;
    include $work/panel.conf;
}
CONF
nginx -t -q -e "$work/error.log" -p "$work" -c "$work/nginx.conf"
echo "the panel's nginx configuration is valid"
