#!/usr/bin/env bash
# system-test.sh — the Debian package as an administrator meets it, under a
# real systemd: builds the package from this checkout, boots a minimal Debian 12
# with systemd-nspawn, and inside it installs the package, uses the helper
# through the setgid client as an unprivileged user (run, lldp, install of a
# newer and of an older signed package, uninstall), checks units, files and
# `dpkg --verify` after each step, then purges the package and checks that
# nothing is left.
#
# Needs root and a few minutes. Not part of .ci/run. It prints each step and
# its result and exits non-zero at the first failure. The minimal root is made
# once with mmdebstrap and kept as a tarball in /var/cache/xqsip-system-test
# (remove it to make a fresh one); everything else lives in a scratch folder
# that is removed at the end.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
cache=/var/cache/xqsip-system-test
rootfs_tar=$cache/bookworm-minbase.tar
label=lx.pelk.XQSipLocationHelper
pkg=xqsip-location-helper-testpki
sock=/run/$label.sock
helper=/var/lib/$label/$label
jobdesc=/etc/$label/$label.service
joblink=/etc/systemd/system/$label.service
user=xqtester

work=$(mktemp -d /var/tmp/xqsip-system-test.XXXXXX)
chmod 0755 "$work"   # lldpd drops privileges and must reach its control socket here
machine=xqst-$$
ns_switch=xqst-sw-$$
veth_host=xqsw$$
veth_ct=xqct$$
nspawn_pid=""
lldpd_pid=""
pid1=""

cleanup() {
  local rc=$?
  [ -n "$lldpd_pid" ] && kill "$lldpd_pid" 2>/dev/null || true
  if [ -n "$nspawn_pid" ]; then
    kill "$nspawn_pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$nspawn_pid" 2>/dev/null || true
    wait "$nspawn_pid" 2>/dev/null || true
  fi
  ip netns del "$ns_switch" 2>/dev/null || true
  if [ $rc -ne 0 ] && [ -f "$work/nspawn.log" ]; then
    echo "--- last lines of the container's console ($work/nspawn.log):"
    tail -n 30 "$work/nspawn.log" || true
  fi
  rm -rf "$work"
  exit $rc
}
trap cleanup EXIT

# ---------------------------------------------------------------------------
# Reporting

phase_times=()
phase_start=""
phase() {
  phase_end
  phase_name=$1
  phase_start=$(date +%s.%N)
  printf '\n== %s\n' "$1"
}
phase_end() {
  if [ -n "$phase_start" ]; then
    local took
    took=$(awk -v a="$phase_start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
    printf '   (%s s)\n' "$took"
    phase_times+=("$(printf '%-42s %7s s' "$phase_name" "$took")")
  fi
  phase_start=""
}

fail() {
  printf '   FAIL: %s\n' "$*"
  if [ -n "$pid1" ]; then
    echo "--- the service's last journal lines:"
    in_ct journalctl --no-pager -n 25 -u "$label.service" -u "$label.socket" 2>&1 | sed 's/^/   /' || true
  fi
  exit 1
}
ok() { printf '   ok    %s\n' "$*"; }

# in_ct CMD... — runs CMD inside the container (all namespaces of its PID 1,
# a clean environment) as root.
in_ct() {
  nsenter -t "$pid1" -a -r -w env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin SYSTEMD_PAGER=cat \
    SYSTEMD_COLORS=0 LC_ALL=C.UTF-8 "$@"
}
# as_user CMD... — the same as the unprivileged user, with that user's groups
# only (the client's setgid bit is what gives it the helper's group).
as_user() {
  in_ct setpriv --reuid="$user" --regid="$user" --init-groups --reset-env "$@"
}

# expect WHAT ACTUAL WANTED
expect() {
  if [ "$2" = "$3" ]; then ok "$1: $2"; else fail "$1: got '$2', wanted '$3'"; fi
}

# client ARGS... — the installed client as the user; prints its output and
# exit status as "OUTPUT (exit N)".
client() {
  local out rc=0
  out=$(as_user /usr/bin/xqsip-client --timeout "${client_timeout:-60}" "$@" 2>&1) || rc=$?
  printf '%s (exit %d)' "${out:-<no reply>}" "$rc"
}

dpkg_verify_clean() {
  local out
  out=$(in_ct dpkg --verify "$pkg" 2>&1) || fail "dpkg --verify: $out"
  [ -z "$out" ] || fail "dpkg --verify: $out"
  ok "dpkg --verify $pkg: clean"
}

unit_state() { # UNIT -> "active-state/enabled-state"
  local a e
  a=$(in_ct systemctl is-active "$1" 2>/dev/null || true)
  e=$(in_ct systemctl is-enabled "$1" 2>/dev/null || true)
  echo "${a:-none}/${e:-none}"
}

file_state() { # PATH -> "owner:group mode" or "absent"
  in_ct stat -c '%U:%G %a' "$1" 2>/dev/null || echo absent
}

sha() { in_ct sha256sum "$1" | cut -d' ' -f1; }

wait_service_end() {
  for _ in $(seq 100); do
    [ "$(in_ct systemctl is-active "$label.service" || true)" != active ] && return 0
    sleep 0.1
  done
  fail "$label.service still active 10 s after its client left"
}

# ---------------------------------------------------------------------------
phase "tools on this machine"
bash "$src/scripts/install-deps.sh"
missing=()
for p in debhelper lintian mmdebstrap systemd-container; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "   installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
ok "debhelper, lintian, mmdebstrap, systemd-nspawn present"

# ---------------------------------------------------------------------------
phase "build the package"
mkdir -p "$work/src" "$work/share"
# The checkout's files (committed or not, never what git ignores, such as build/).
(cd "$src" && git ls-files -z --cached --others --exclude-standard |
   tar --null --ignore-failed-read -cf - -T - 2>/dev/null) | tar -xf - -C "$work/src"
(cd "$work/src" && dpkg-buildpackage -b -us -uc -j"$(nproc)") >"$work/build.log" 2>&1 ||
  { tail -n 40 "$work/build.log"; fail "dpkg-buildpackage (log above)"; }
deb=$(ls "$work"/${pkg}_*_amd64.deb)
ok "built $(basename "$deb")"
cp "$deb" "$work/share/"
# The signed test packages are made with the package build's own test PKI.
ninja -C "$work/src/debian/build" xqpkg >/dev/null
xqpkg=$work/src/debian/build/tools/xqpkg/xqpkg
testpki=$work/src/debian/build/testpki

phase "lintian"
lintian_out=$(lintian "$work"/xqsip-location-helper_*_amd64.changes 2>&1 | grep -v '^running with root' || true)
printf '%s\n' "${lintian_out:-   (nothing)}" | sed 's/^/   /'
if printf '%s\n' "$lintian_out" | grep -q '^E:'; then fail "lintian reports errors"; fi
ok "no lintian errors"

# ---------------------------------------------------------------------------
phase "minimal Debian 12 root"
if [ ! -s "$rootfs_tar" ]; then
  mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1)
  [ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $3 ~ /^bookworm$/ {print $2; exit}' /etc/apt/sources.list)
  [ -n "$mirror" ] || fail "no Debian mirror found in the apt sources"
  mkdir -p "$cache"
  # What the package needs at run time is all there: the container has no network.
  mmdebstrap --variant=minbase --include=systemd,systemd-sysv,dbus,sudo,iproute2,procps,passwd,libssl3,libplist3,libicu72,libexpat1,libarchive13,libbz2-1.0,zlib1g \
    bookworm "$cache/new.tar" "$mirror" >"$work/mmdebstrap.log" 2>&1 ||
    { tail -n 20 "$work/mmdebstrap.log"; fail "mmdebstrap"; }
  mv "$cache/new.tar" "$rootfs_tar"
  ok "made $rootfs_tar from $mirror"
else
  ok "kept $rootfs_tar"
fi
mkdir -p "$work/root"
tar -xf "$rootfs_tar" -C "$work/root"
mkdir -p "$work/root/mnt/debs" "$work/share"

phase "boot systemd in the container"
systemd-nspawn -D "$work/root" -M "$machine" -b --register=no --keep-unit --private-network \
  --bind-ro="$work/share:/mnt/debs" --console=passive >"$work/nspawn.log" 2>&1 &
nspawn_pid=$!
for _ in $(seq 300); do
  pid1=$(pgrep -P "$nspawn_pid" -x systemd | head -n1 || true)
  if [ -n "$pid1" ]; then
    state=$(in_ct systemctl is-system-running 2>/dev/null || true)
    case "$state" in running | degraded) break ;; esac
  fi
  kill -0 "$nspawn_pid" 2>/dev/null || fail "systemd-nspawn ended"
  sleep 0.2
done
[ -n "$pid1" ] || fail "no systemd in the container"
expect "system state" "$(in_ct systemctl is-system-running || true)" "$state"
ok "systemd $(in_ct systemctl --version | head -n1 | awk '{print $2}') is PID 1 of the container"
in_ct useradd --create-home --shell /bin/sh "$user"
ok "unprivileged user $user (uid $(in_ct id -u "$user"))"

# ---------------------------------------------------------------------------
phase "install the package"
in_ct apt-get install -y -q "/mnt/debs/$(basename "$deb")" >"$work/apt-install.log" 2>&1 ||
  { tail -n 30 "$work/apt-install.log"; fail "apt-get install"; }
ok "apt-get install $(basename "$deb")"
expect "socket unit" "$(unit_state "$label.socket")" "active/enabled"
expect "service unit (on demand)" "$(in_ct systemctl is-active "$label.service" || true)" "inactive"
expect "job description link" "$(in_ct readlink "$joblink" || echo absent)" "$jobdesc"
expect "job description" "$(file_state "$jobdesc")" "root:root 644"
expect "helper" "$(file_state "$helper")" "root:root 755"
expect "helper is the package's seed" "$(sha "$helper")" "$(sha "/usr/libexec/$label/$label")"
expect "client" "$(file_state /usr/bin/xqsip-client)" "root:xqsip-client 2755"
expect "group" "$(in_ct getent group xqsip-client | cut -d: -f1)" "xqsip-client"
# The socket: owned by root and the client group, mode 0660.
expect "socket file" "$(file_state "$sock")" "root:xqsip-client 660"
dpkg_verify_clean

phase "service sandbox"
in_ct systemd-analyze security --no-pager "$label.service" >"$work/security.txt" 2>&1 || true
score=$(sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) \(.*\)/\1 \2/p' "$work/security.txt")
echo "   systemd-analyze security: $score"
[ -n "$score" ] || { cat "$work/security.txt"; fail "no exposure level"; }
awk -v s="${score%% *}" 'BEGIN { exit !(s <= 3.5) }' || fail "exposure above 3.5"
ok "exposure ${score} (3.5 or lower)"

# ---------------------------------------------------------------------------
phase "run (unprivileged user, setgid client)"
expect "run" "$(client run)" "[true] (exit 0)"
wait_service_end
expect "the service ended with its client" "$(in_ct systemctl is-active "$label.service" || true)" "inactive"
expect "service result" "$(in_ct systemctl show -P Result "$label.service")" "success"
expect "socket unit" "$(unit_state "$label.socket")" "active/enabled"
dpkg_verify_clean

# ---------------------------------------------------------------------------
phase "lldp (lldpd on a veth into the container)"
ip netns add "$ns_switch"
ip link add "$veth_host" netns "$ns_switch" type veth peer name "$veth_ct"
ip link set "$veth_ct" netns "$pid1"
ip -n "$ns_switch" link set "$veth_host" address 00:1a:2b:3c:4d:5e
ip -n "$ns_switch" link set "$veth_host" up
in_ct ip link set "$veth_ct" up
mkdir -m 0755 "$work/lldpd"
cat >"$work/lldpd/lldpd.conf" <<CONF
configure lldp tx-interval 1
configure lldp portidsubtype local Gi1/0/12
configure system hostname system-test-switch
CONF
ip netns exec "$ns_switch" lldpd -d -k -I "$veth_host" -u "$work/lldpd/lldpd.sock" \
  -p "$work/lldpd/lldpd.pid" -O "$work/lldpd/lldpd.conf" >"$work/lldpd/lldpd.log" 2>&1 &
lldpd_pid=$!
out=$(client lldp)
[ "$out" = '["00:1a:2b:3c:4d:5e","Gi1/0/12"] (exit 0)' ] || { sed 's/^/   lldpd: /' "$work/lldpd/lldpd.log"; }
expect "lldp" "$out" '["00:1a:2b:3c:4d:5e","Gi1/0/12"] (exit 0)'
wait_service_end
kill "$lldpd_pid" 2>/dev/null || true
wait "$lldpd_pid" 2>/dev/null || true
lldpd_pid=""
dpkg_verify_clean

# ---------------------------------------------------------------------------
# package NAME VERSION — a product archive signed by the maker's installer
# identity of the test PKI, whose payload puts the package's helper (the
# seed, with a line naming the version appended after the ELF image, so
# that each package's helper differs) at the helper's path.
package() {
  local name=$1 version=$2
  mkdir -p "$work/pkg-$name/root"
  cp "$work/src/debian/$pkg/usr/libexec/$label/$label" "$work/pkg-$name/root/$label"
  printf '\nxqsip-system-test helper %s\n' "$version" >>"$work/pkg-$name/root/$label"
  chmod 0755 "$work/pkg-$name/root/$label"
  "$xqpkg" build --identifier "$label" --version "$version" --root "$work/pkg-$name/root" \
    --install-location "/var/lib/$label" "$work/pkg-$name/component.pkg" >/dev/null
  "$xqpkg" product --app-id "$label" --component "helper.pkg=$work/pkg-$name/component.pkg" \
    "$work/pkg-$name/product.pkg" >/dev/null
  "$xqpkg" sign --pki "$testpki" "$work/pkg-$name/product.pkg" "$work/share/$name.pkg" >/dev/null
}

phase "install a newer signed package"
package newer 5.17.0
package older 5.15.9
# The client downloads into its own /tmp, which the service must see.
in_ct install -o "$user" -g "$user" -m 0644 /mnt/debs/newer.pkg "/tmp/newer.pkg"
before=$(sha "$helper")
expect "install newer (5.17.0)" "$(client install /tmp/newer.pkg)" '[true,""] (exit 0)'
wait_service_end
expect "helper replaced by the package's" "$(sha "$helper")" "$(sha256sum "$work/pkg-newer/root/$label" | cut -d' ' -f1)"
[ "$before" != "$(sha "$helper")" ] || fail "the helper did not change"
expect "helper" "$(file_state "$helper")" "root:root 755"
expect "job description" "$(file_state "$jobdesc")" "root:root 644"
expect "socket unit" "$(unit_state "$label.socket")" "active/enabled"
dpkg_verify_clean
expect "run with the new helper" "$(client run)" "[true] (exit 0)"
wait_service_end

phase "install an older signed package"
in_ct install -o "$user" -g "$user" -m 0644 /mnt/debs/older.pkg "/home/$user/older.pkg"
before=$(sha "$helper")
expect "install older (5.15.9)" "$(client install "/home/$user/older.pkg")" \
  "[false,\"safe install path's location pkg version not allowed\"] (exit 0)"
wait_service_end
expect "helper unchanged" "$(sha "$helper")" "$before"
dpkg_verify_clean

# ---------------------------------------------------------------------------
phase "uninstall"
out=$(client uninstall)
case "$out" in
  '[true,""] (exit 0)' | '<no reply> (exit 3)') ok "uninstall: $out" ;;
  *) fail "uninstall: $out" ;;
esac
for _ in $(seq 100); do
  [ "$(in_ct systemctl is-active "$label.service" "$label.socket" | sort -u)" = inactive ] && break
  sleep 0.1
done
expect "helper" "$(file_state "$helper")" "absent"
expect "job description" "$(file_state "$jobdesc")" "absent"
expect "job description link" "$(in_ct readlink "$joblink" || echo absent)" "absent"
expect "socket unit" "$(unit_state "$label.socket")" "inactive/disabled"
expect "socket file" "$(file_state "$sock")" "absent"
expect "service unit" "$(in_ct systemctl show -P LoadState "$label.service")" "not-found"
in_ct systemctl daemon-reload
sleep 1
expect "socket unit after daemon-reload" "$(unit_state "$label.socket")" "inactive/disabled"
expect "socket file after daemon-reload" "$(file_state "$sock")" "absent"
# (The client retries a refused connection until its timeout.)
out=$(client_timeout=3 client run)
case "$out" in
  *"(exit 2)") ok "client after uninstall: no service to connect to (exit 2)" ;;
  *) fail "client after uninstall: $out" ;;
esac
dpkg_verify_clean

# ---------------------------------------------------------------------------
phase "apt purge"
in_ct apt-get purge -y -q "$pkg" >"$work/apt-purge.log" 2>&1 ||
  { tail -n 30 "$work/apt-purge.log"; fail "apt-get purge"; }
ok "apt-get purge $pkg"
expect "package" "$(in_ct dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || echo not-installed)" "not-installed"
left=$(in_ct sh -c "ls -d /usr/libexec/$label /usr/share/$label /var/lib/$label /etc/$label \
  $joblink /usr/lib/systemd/system/$label.socket /usr/lib/sysusers.d/$label.conf \
  /etc/systemd/system/sockets.target.wants/$label.socket $sock /usr/bin/xqsip-client \
  /var/lib/systemd/deb-systemd-helper-enabled/$label.socket.dsh-also 2>/dev/null" || true)
expect "files left" "${left:-none}" "none"
expect "statoverride" "$(in_ct dpkg-statoverride --list /usr/bin/xqsip-client || echo none)" "none"
expect "units known to systemd" \
  "$(in_ct systemctl list-unit-files --no-legend "$label.*" | wc -l)" "0"
expect "units loaded" "$(in_ct systemctl list-units --all --no-legend "$label.*" | wc -l)" "0"
echo "   note  the system group xqsip-client stays, as Debian's system groups do"

# ---------------------------------------------------------------------------
phase "install again, apt remove, apt purge"
in_ct apt-get install -y -q "/mnt/debs/$(basename "$deb")" >"$work/apt-install2.log" 2>&1 ||
  { tail -n 30 "$work/apt-install2.log"; fail "apt-get install"; }
expect "run" "$(client run)" "[true] (exit 0)"
wait_service_end
in_ct apt-get remove -y -q "$pkg" >"$work/apt-remove.log" 2>&1 ||
  { tail -n 30 "$work/apt-remove.log"; fail "apt-get remove"; }
ok "apt-get remove $pkg"
expect "socket unit" "$(in_ct systemctl is-active "$label.socket" || true)" "inactive"
expect "socket file" "$(file_state "$sock")" "absent"
expect "client removed" "$(file_state /usr/bin/xqsip-client)" "absent"
in_ct apt-get purge -y -q "$pkg" >"$work/apt-purge2.log" 2>&1 ||
  { tail -n 30 "$work/apt-purge2.log"; fail "apt-get purge"; }
left=$(in_ct sh -c "ls -d /var/lib/$label /etc/$label $joblink \
  /etc/systemd/system/sockets.target.wants/$label.socket 2>/dev/null" || true)
expect "files left after remove and purge" "${left:-none}" "none"
expect "units loaded" "$(in_ct systemctl list-units --all --no-legend "$label.*" | wc -l)" "0"

phase_end
printf '\n== times\n'
printf '   %s\n' "${phase_times[@]}"
printf '\nsystem test passed\n'
