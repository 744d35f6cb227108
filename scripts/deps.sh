#!/usr/bin/env bash
# Installs the Debian 12 packages a purpose needs, when any is missing:
#   scripts/deps.sh build   the module and qzhost (what scripts/demo.sh needs)
#   scripts/deps.sh test    everything scripts/test.sh needs (build, test, fuzz, browser)
# Safe to run again: it only calls apt-get when something is absent. Daemons that come with a
# package this script installs (the tests start their own instances on loopback) are neither
# started by the installation nor left enabled; a service that was already installed is left
# exactly as it was found.
set -euo pipefail

purpose=${1:-test}

# One list per purpose; add a package to the list of the purpose that needs it.
build_packages=(build-essential cmake g++ zlib1g-dev libssl-dev)
test_packages=(
  ccache gcc-multilib g++-multilib lib32z1-dev libedit-dev
  googletest libgtest-dev libbenchmark-dev libssl-dev
  libssl-dev:i386
  qemu-user
  libpq-dev postgresql
  libmicrohttpd-dev libsodium-dev nlohmann-json3-dev pkg-config
  openssl
)
fuzz_packages=(clang libclang-rt-14-dev)
browser_packages=(chromium nodejs)
# The real-server test of qzbridge: an OpenArena server and one real game client under Xvfb.
bridge_packages=(openarena openarena-server xvfb xauth curl)
# Packages whose daemons the tests run themselves: nginx (WebTool benchmark comparison) and
# rsyslog (remote logging receiver), openarena-server (the bridge's real server, started by the
# test on a loopback port), postgresql (the fleet service's tests run their own throw-away server
# on a Unix socket). Name each with its service.
service_packages=(nginx rsyslog openarena-server postgresql)

case $purpose in
  build) wanted=("${build_packages[@]}") ;;
  test)
    wanted=("${build_packages[@]}" "${test_packages[@]}" "${fuzz_packages[@]}"
            "${browser_packages[@]}" "${bridge_packages[@]}" "${service_packages[@]}")
    ;;
  *) echo "usage: scripts/deps.sh build|test" >&2; exit 2 ;;
esac

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

missing=()
for p in "${wanted[@]}"; do
  installed "$p" || missing+=("$p")
done

# The browser test drives Chromium from Node.js; npm may come with nodejs itself (some nodejs
# builds bundle it and conflict with Debian's npm package), so it is asked for only when absent.
if [ "$purpose" = test ] && ! command -v npm >/dev/null 2>&1; then
  missing+=(npm)
fi

((${#missing[@]})) || exit 0

echo "Installing missing packages: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "deps.sh: root is needed to install packages" >&2
  exit 1
fi

# Service packages about to be installed: their daemons must stay off afterwards.
new_services=()
for p in "${service_packages[@]}"; do
  for m in "${missing[@]}"; do
    [ "$m" = "$p" ] && new_services+=("$p")
  done
done

# Debian starts a daemon when its package is installed unless policy-rc.d says no (exit 101).
# An administrator's own policy file is kept and put back.
policy=/usr/sbin/policy-rc.d
saved_policy=
if ((${#new_services[@]})); then
  if [ -e "$policy" ]; then
    saved_policy=$(mktemp)
    cp -p "$policy" "$saved_policy"
  fi
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod 755 "$policy"
fi
restore_policy() {
  ((${#new_services[@]})) || return 0
  if [ -n "$saved_policy" ]; then
    mv -f "$saved_policy" "$policy"
  else
    rm -f "$policy"
  fi
}
trap restore_policy EXIT

# Debian's postgresql package creates a "main" cluster on installation; one made by this run is
# dropped again (the tests make their own), one that was there before is left alone.
pg_clusters_before=
if command -v pg_lsclusters >/dev/null 2>&1; then
  pg_clusters_before=$(pg_lsclusters -h 2>/dev/null | awk '{print $1 "/" $2}')
fi

export DEBIAN_FRONTEND=noninteractive
# The 32-bit build links Debian's multiarch libraries (the ":i386" packages).
if [ "$purpose" = test ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"

# The installation enabled the new daemons for the next boot; they are switched off again, for
# systemd and for the init scripts alike, and stopped should anything have started them.
for s in "${new_services[@]}"; do
  if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
    systemctl disable --now "$s" >/dev/null 2>&1 || true
  elif command -v deb-systemd-helper >/dev/null 2>&1; then
    deb-systemd-helper disable "$s.service" >/dev/null 2>&1 || true
  fi
  if [ -x "/etc/init.d/$s" ]; then
    update-rc.d "$s" disable >/dev/null 2>&1 || true
    "/etc/init.d/$s" stop >/dev/null 2>&1 || true
  fi
done
for s in "${new_services[@]}"; do
  [ "$s" = postgresql ] || continue
  command -v pg_lsclusters >/dev/null 2>&1 || continue
  pg_lsclusters -h 2>/dev/null | awk '{print $1 " " $2}' | while read -r version cluster; do
    if ! printf '%s\n' "$pg_clusters_before" | grep -qx "$version/$cluster"; then
      pg_dropcluster --stop "$version" "$cluster" >/dev/null 2>&1 || true
    fi
  done
  if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
    systemctl stop "postgresql@*" >/dev/null 2>&1 || true
  fi
done
