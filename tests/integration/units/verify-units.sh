#!/usr/bin/env bash
# verify-units.sh BUILD_DIR — installs the build into a scratch root and checks
# the generated systemd units there with systemd-analyze verify.
set -euo pipefail
build=$1
root=$(mktemp -d /tmp/xq-units.XXXXXX)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" >/dev/null
label=lx.pelk.XQSipLocationHelper
unitdir=$root/etc/systemd/system
for u in "$unitdir/$label.socket" "$unitdir/$label.service"; do
  [ -f "$u" ] || { echo "missing unit $u"; exit 1; }
done
grep -qx "ExecStart=/usr/local/libexec/$label" "$unitdir/$label.service"
grep -qx "CacheDirectory=$label" "$unitdir/$label.service"
grep -qx "CacheDirectoryMode=0700" "$unitdir/$label.service"
# Not PrivateTmp=: clients name packages in their own /tmp.
if grep -q "^PrivateTmp=" "$unitdir/$label.service"; then echo "PrivateTmp= hides /tmp"; exit 1; fi
grep -qx "RemoveOnStop=yes" "$unitdir/$label.socket"
grep -qx "ListenStream=/run/$label.sock" "$unitdir/$label.socket"
[ -x "$root/usr/local/libexec/$label" ] || { echo "daemon not installed"; exit 1; }
# systemd-analyze resolves ExecStart and the default dependencies inside the
# scratch root: give it the system's own units.
mkdir -p "$root/usr/lib/systemd"
cp -r /lib/systemd/system "$root/usr/lib/systemd/system"
out=$(SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --root="$root" \
      "$unitdir/$label.socket" "$unitdir/$label.service" 2>&1) || { echo "$out"; exit 1; }
if [ -n "$out" ]; then echo "$out"; exit 1; fi
echo "units verified"
