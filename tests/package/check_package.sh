#!/usr/bin/env bash
# Builds the Debian package from the build folder given and checks what it holds and needs.
# In CI (CI=true, a throw-away machine) it also installs the package with apt-get and removes it.
set -euo pipefail
build=$1
cd "$build"
rm -f rs232c-daemon_*.deb
cpack -G DEB >/dev/null
deb=$(ls rs232c-daemon_*.deb)
fail() { echo "package: $*" >&2; exit 1; }

depends=$(dpkg-deb -f "$deb" Depends)
for needed in libxmlrpc-c++8v5 libxmlrpc-core-c3; do
  grep -q "$needed" <<<"$depends" || fail "Depends lacks $needed: $depends"
done

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for file in ./usr/sbin/rs232c-daemon ./usr/bin/rs232c-call ./usr/bin/rs232c-sim \
            ./usr/lib/udev/rules.d/60-rs232c-daemon.rules \
            ./usr/lib/systemd/system/rs232c-daemon.service \
            ./usr/share/man/man8/rs232c-daemon.8 ./usr/share/man/man1/rs232c-call.1 \
            ./usr/share/man/man1/rs232c-sim.1; do
  grep -qx "$file" <<<"$contents" || fail "missing $file"
done

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$root/DEBIAN"
[ -x "$root/DEBIAN/postinst" ] || fail "postinst is not executable"
grep -q '^ExecStart=/usr/sbin/rs232c-daemon$' "$root/usr/lib/systemd/system/rs232c-daemon.service" ||
  fail "the unit does not start /usr/sbin/rs232c-daemon"
grep -q 'SupplementaryGroups=dialout' "$root/usr/lib/systemd/system/rs232c-daemon.service" ||
  fail "the unit does not run in the dialout group"
grep -q 'ID_MM_DEVICE_IGNORE}="1"' "$root/usr/lib/udev/rules.d/60-rs232c-daemon.rules" ||
  fail "the udev rule does not keep modem managers away"
status=0
"$root/usr/bin/rs232c-call" --help 2>/dev/null || status=$?
[ "$status" -eq 2 ] || fail "rs232c-call --help ended with $status"

if [ "${CI:-}" = "true" ] && [ "$(id -u)" -eq 0 ] && ! dpkg -s rs232c-daemon >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./$deb" >/dev/null
  [ -x /usr/sbin/rs232c-daemon ] || fail "apt-get install did not install the daemon"
  if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify /usr/lib/systemd/system/rs232c-daemon.service ||
      fail "systemd finds fault with the unit"
  fi
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq rs232c-daemon >/dev/null
  echo "installed and removed $deb with apt-get"
else
  apt-get install --simulate "./$deb" >/dev/null || fail "apt-get cannot install $deb"
fi
echo "$deb: $(wc -l <<<"$contents") entries, Depends: $depends"
