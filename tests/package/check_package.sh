#!/usr/bin/env bash
# Builds the Debian packages with debhelper and checks them: lintian, what they hold and need,
# the service's sandbox. In CI (CI=true, a throw-away machine, as root) it also installs them
# with apt-get, checks the systemd units, and purges them again.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
out=$(mktemp -d)
root=$(mktemp -d)
trap 'rm -rf "$out" "$root"' EXIT
fail() { echo "package: $*" >&2; exit 1; }

builder="Line Check <check@rs232c-daemon.invalid>"
DEBFULLNAME="Line Check" DEBEMAIL="check@rs232c-daemon.invalid" "$top/packaging/build-deb.sh" "$out" >/dev/null
daemon=$(ls "$out"/rs232c-daemon_*.deb)
sim=$(ls "$out"/rs232c-sim_*.deb)
client=$(ls "$out"/python3-rs232c-client_*.deb)
# The packages name whoever built them, and no web address.
for deb in "$daemon" "$sim" "$client"; do
  [ "$(dpkg-deb -f "$deb" Maintainer)" = "$builder" ] || fail "$(basename "$deb") does not name its builder"
  [ -z "$(dpkg-deb -f "$deb" Homepage)" ] || fail "$(basename "$deb") names a homepage"
done

# No errors and no warnings. Accepted, at info level: no init.d script (the daemon is run by
# systemd, as on every Debian 12 box it is meant for).
lintian --fail-on error,warning --suppress-tags package-supports-alternative-init-but-no-init.d-script \
  "$out"/*.deb || fail "lintian finds fault"

contents() { dpkg-deb -c "$1" | awk '{print $6}'; }
for file in ./usr/sbin/rs232c-daemon ./usr/bin/rs232c-call ./lib/systemd/system/rs232c-daemon.service \
            ./lib/systemd/system/rs232c-daemon@.service ./etc/default/rs232c-daemon \
            ./etc/rs232c-daemon/example.conf ./usr/share/man/man8/rs232c-daemon.8.gz \
            ./usr/share/man/man1/rs232c-call.1.gz ./usr/share/doc/rs232c-daemon/copyright \
            ./usr/share/doc/rs232c-daemon/examples/90-rs232c-daemon.rules \
            ./usr/share/doc/rs232c-daemon/examples/tls.conf \
            ./usr/share/rs232c-daemon/monitoring/rs232c-daemon.rules.yml \
            ./usr/share/rs232c-daemon/monitoring/rs232c-daemon.dashboard.json; do
  contents "$daemon" | grep -qx "$file" || fail "rs232c-daemon lacks $file"
done
contents "$daemon" | grep -q rs232c-sim && fail "the simulator belongs in its own package"
contents "$sim" | grep -qx ./usr/bin/rs232c-sim || fail "rs232c-sim lacks the simulator"
for file in ./usr/lib/python3/dist-packages/rs232c_client/__init__.py \
            ./usr/lib/python3/dist-packages/rs232c_client/py.typed \
            ./usr/share/doc/python3-rs232c-client/clients.md.gz; do
  contents "$client" | grep -qx "$file" || fail "python3-rs232c-client lacks $file"
done
client_root=$(mktemp -d -p "$root")
dpkg-deb -x "$client" "$client_root"
PYTHONPATH="$client_root/usr/lib/python3/dist-packages" /usr/bin/python3 -c \
  'import rs232c_client; rs232c_client.Controller()' || fail "the packaged client does not import"
# The library's package comes from the binaries, not from a list kept by hand.
dpkg-deb -f "$daemon" Depends | grep -q libxmlrpc-core-c3 || fail "Depends misses xmlrpc-c"

dpkg-deb -x "$daemon" "$root"
cp "$root/etc/rs232c-daemon/example.conf" "$root/etc/rs232c-daemon/check.conf"
# The TLS drop-in (systemd credentials) keeps the sandbox as it is.
mkdir -p "$root/etc/systemd/system/rs232c-daemon.service.d"
cp "$root/usr/share/doc/rs232c-daemon/examples/tls.conf" "$root/etc/systemd/system/rs232c-daemon.service.d/"
for unit in rs232c-daemon.service rs232c-daemon@check.service; do
  score=$(systemd-analyze security --offline=true --root="$root" "$unit" 2>/dev/null |
          sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
  [ -n "$score" ] || fail "systemd-analyze gives no exposure level for $unit"
  awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }' || fail "$unit is exposed: $score"
  echo "$unit: exposure $score"
done

if [ "${CI:-}" = "true" ] && [ "$(id -u)" -eq 0 ] && ! dpkg -s rs232c-daemon >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$daemon" "$sim" "$client" >/dev/null
  [ "$(rs232c-daemon --version)" = "rs232c-daemon $(dpkg-deb -f "$daemon" Version)" ] ||
    fail "the installed daemon is not the packaged one"
  systemd-analyze verify /lib/systemd/system/rs232c-daemon.service \
    /lib/systemd/system/rs232c-daemon@.service || fail "systemd finds fault with the units"
  # Enabled on install, also without a running systemd; nothing left behind by a purge.
  wants=/etc/systemd/system/multi-user.target.wants/rs232c-daemon.service
  [ -L "$wants" ] || fail "the service is not enabled after install"
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq rs232c-daemon rs232c-sim python3-rs232c-client \
    >/dev/null
  [ ! -e "$wants" ] && [ ! -L "$wants" ] || fail "the purge left $wants behind"
  [ ! -e /etc/rs232c-daemon ] && [ ! -e /etc/default/rs232c-daemon ] ||
    fail "the purge left configuration behind"
  echo "installed and purged the packages with apt-get"
fi
echo "$(basename "$daemon"), $(basename "$sim") and $(basename "$client"): lintian clean"
