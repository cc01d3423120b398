#!/usr/bin/env bash
# verify-units.sh BUILD_DIR — installs the build into a scratch root, puts the
# helper and its job description in place as the Debian package's postinst
# does, and checks the systemd units there with systemd-analyze verify.
set -euo pipefail
build=$1
root=$(mktemp -d /tmp/xq-units.XXXXXX)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
label=lx.pelk.XQSipLocationHelper
socket=$root/usr/lib/systemd/system/$label.socket
seed_unit=$root/usr/share/$label/$label.service
seed_helper=$root/usr/libexec/$label/$label
for f in "$socket" "$seed_unit" "$seed_helper" "$root/usr/lib/sysusers.d/$label.conf" \
         "$root/usr/bin/xqsip-client"; do
  [ -f "$f" ] || { echo "missing $f"; exit 1; }
done
# Nothing that self-update replaces or uninstall removes is installed.
for f in "$root/var/lib/$label" "$root/etc/$label" "$root/etc/systemd/system" "$root/usr/local"; do
  [ ! -e "$f" ] || { echo "installed $f, which no package may own"; exit 1; }
done
grep -qx "ExecStart=/var/lib/$label/$label" "$seed_unit"
grep -qx "ReadWritePaths=/var/lib/$label /etc/$label" "$seed_unit"
grep -qx "ListenStream=/run/$label.sock" "$socket"
grep -qx "RemoveOnStop=yes" "$socket"
grep -qx "SocketGroup=xqsip-client" "$socket"
grep -qx "SocketMode=0660" "$socket"
grep -qx "CacheDirectory=$label" "$seed_unit"
# A stop lets the install in progress finish: SIGTERM to the daemon alone, and
# time for an install. No request pattern fails the units: the socket has no
# trigger limit, and the start limit is above the daemon's own bound on starts.
grep -qx "KillMode=mixed" "$seed_unit"
grep -qx "TimeoutStopSec=15min" "$seed_unit"
grep -qx "TriggerLimitIntervalSec=0" "$socket"
grep -qx "StartLimitBurst=100" "$seed_unit"
grep -qx "CacheDirectoryMode=0700" "$seed_unit"
# Not PrivateTmp=: clients name packages in their own /tmp.
if grep -q "^PrivateTmp=" "$seed_unit"; then echo "PrivateTmp= hides /tmp"; exit 1; fi
grep -qx "g xqsip-client - -" "$root/usr/lib/sysusers.d/$label.conf"
# The installed client carries a valid signature of the variant's identity.
"$build/tools/xqcodesign/xqcodesign" verify "$root/usr/bin/xqsip-client" >/dev/null
# The postinst's blessing step, in the scratch root.
install -D -m 0755 "$seed_helper" "$root/var/lib/$label/$label"
install -D -m 0644 "$seed_unit" "$root/etc/$label/$label.service"
# (The package links it into /etc/systemd/system, which systemd-analyze does
# not follow out of a --root; a copy is verified the same, and
# scripts/system-test.sh checks the link under a real systemd.)
install -D -m 0644 "$seed_unit" "$root/etc/systemd/system/$label.service"
# systemd-analyze resolves ExecStart and the default dependencies inside the
# scratch root: give it the system's own units.
cp -rn /lib/systemd/system/. "$root/usr/lib/systemd/system/"
out=$(SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --root="$root" \
      "$socket" "$root/etc/systemd/system/$label.service" 2>&1) || { echo "$out"; exit 1; }
if [ -n "$out" ]; then echo "$out"; exit 1; fi
echo "units verified"
