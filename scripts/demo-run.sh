#!/usr/bin/env bash
# demo-run.sh BUILD_DIR — the demo itself, on programs already built.
set -euo pipefail
build=$(cd "$1" && pwd)
daemon=$build/lx.pelk.XQSipLocationHelper-test
clients=$build/tools/xqsip-client
work=$(mktemp -d /tmp/xqsip-demo.XXXXXX)
chmod 0755 "$work"   # lldpd drops privileges and must reach its control socket here
sock=$work/helper.sock
activator=""

ns_tx=xqdemo-tx-$$
ns_rx=xqdemo-rx-$$
lldpd_pid=""
netns=""   # the namespace the daemon is started in, if any

cleanup() {
  [ -n "$activator" ] && kill "$activator" 2>/dev/null || true
  [ -n "$lldpd_pid" ] && kill "$lldpd_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  ip netns del "$ns_tx" 2>/dev/null || true
  ip netns del "$ns_rx" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Like the service manager: the socket is listening before the daemon runs, and
# the daemon is started on the first connection. The daemon stays for further
# clients until it has been idle for 10 s; the demo stops it after each step as
# the service manager does (SIGTERM), and sets the socket up again.
activate() {
  if [ -n "$activator" ] && kill -0 "$activator" 2>/dev/null; then return; fi
  [ -n "$activator" ] && wait "$activator" 2>/dev/null || true
  rm -f "$sock"
  if [ -n "$netns" ]; then
    ip netns exec "$netns" systemd-socket-activate -l "$sock" "$daemon" >/dev/null 2>"$work/activator.log" &
  else
    systemd-socket-activate -l "$sock" "$daemon" >/dev/null 2>"$work/activator.log" &
  fi
  activator=$!
  for _ in $(seq 200); do [ -S "$sock" ] && return; sleep 0.01; done
  echo "socket activation did not start" >&2; exit 1
}

wait_daemon_end() {
  kill -TERM "$activator" 2>/dev/null || true
  for _ in $(seq 250); do kill -0 "$activator" 2>/dev/null || break; sleep 0.02; done
  if kill -0 "$activator" 2>/dev/null; then echo "daemon did not stop" >&2; exit 1; fi
  local rc=0
  wait "$activator" || rc=$?
  echo "   (the daemon ended with status $rc)"
}

xqpkg=$build/tools/xqpkg/xqpkg
pki=$build/testpki
label=lx.pelk.XQSipLocationHelper

# package NAME VERSION CONTENT [sign args...] — a signed product archive whose
# payload puts CONTENT at $work/helper-home/$label.
package() {
  local name=$1 version=$2 content=$3; shift 3
  mkdir -p "$work/root-$name"
  printf '%s\n' "$content" > "$work/root-$name/$label"
  chmod 0755 "$work/root-$name/$label"
  "$xqpkg" build --identifier "$label" --version "$version" --root "$work/root-$name" \
    --install-location "$work/helper-home" "$work/comp-$name.pkg" >/dev/null
  "$xqpkg" product --app-id "$label" --component "helper.pkg=$work/comp-$name.pkg" \
    "$work/prod-$name.pkg" >/dev/null
  "$xqpkg" sign --pki "$pki" "$@" "$work/prod-$name.pkg" "$work/$name.pkg" >/dev/null
}

step() { printf '\n== %s\n' "$*"; }

# client VARIANT ARGS... — runs a client and shows what it printed and its exit status.
client() {
  local variant=$1; shift
  local prog=$clients/xqsip-client${variant:+-$variant}
  local out rc=0
  activate
  out=$("$prog" --socket "$sock" --timeout 60 "$@") || rc=$?
  printf '   %-28s %-22s -> %s (exit %d)\n' "xqsip-client${variant:+-$variant}" "$*" "${out:-<no reply>}" "$rc"
  # An accepted client's departure ends the daemon; let it finish before the
  # next client, which then starts a fresh one.
  if [ "$rc" = 0 ]; then wait_daemon_end; fi
  return 0
}

step "daemon: $daemon (started on demand on $sock)"
step "a signed client asks whether the helper runs"
client "" run
step "clients that are not the maker's signed client are refused; the daemon keeps serving"
client unsigned run
client adhoc run
client otherteam run
client othercn run
client otherid run
client old run
step "who may connect: root, and processes whose effective group at connect is the client group"
# The test build's client group and an unprivileged user: numbers no entry of
# this system names.
gid=$(sed -n 's/^XQ_TEST_CLIENT_GID:STRING=//p' "$build/CMakeCache.txt")
uid=$(sed -n 's/^XQ_TEST_USER_UIDS:STRING=\([0-9]*\).*/\1/p' "$build/CMakeCache.txt")
echo "   socket: owner root, group $gid, mode 0660 (as the socket unit makes it); user $uid"
cp "$clients/xqsip-client" "$work/plain-client"
cp "$clients/xqsip-client" "$work/setgid-client"
chown "0:$gid" "$work/setgid-client"; chmod 2755 "$work/setgid-client"
as_user() {
  local label=$1; shift
  local out rc=0
  activate
  chown "0:$gid" "$sock"; chmod 0660 "$sock"
  out=$(setpriv --reuid="$uid" --regid="$uid" "$@" --socket "$sock" --timeout 60 run) || rc=$?
  printf '   %-51s -> %s (exit %d)\n' "$label" "${out:-<no reply>}" "$rc"
  if [ "$rc" = 0 ]; then wait_daemon_end; fi
}
as_user "the signed client, run plainly by the user" --clear-groups "$work/plain-client"
as_user "the same, with the group as a supplementary group" --groups="$gid" "$work/plain-client"
as_user "the client installed setgid to the group" --clear-groups "$work/setgid-client"

step "the signed client again, then the stop request"
client "" run
client "" exit

step "LLDP: a switch (lldpd) on the other end of a veth pair, the daemon in the computer's namespace"
ip netns add "$ns_tx"; ip netns add "$ns_rx"
ip link add vtx netns "$ns_tx" type veth peer name vrx netns "$ns_rx"
ip -n "$ns_tx" link set vtx address 00:1a:2b:3c:4d:5e
ip -n "$ns_tx" link set vtx up; ip -n "$ns_rx" link set vrx up
cat > "$work/lldpd.conf" <<CONF
configure lldp tx-interval 1
configure lldp portidsubtype local Gi1/0/12
configure system hostname demo-switch
configure system capabilities enabled bridge,router
CONF
ip netns exec "$ns_tx" lldpd -d -k -I vtx -u "$work/lldpd.sock" -p "$work/lldpd.pid" \
  -O "$work/lldpd.conf" >"$work/lldpd.log" 2>&1 &
lldpd_pid=$!
echo "   lldpd sends chassis 00:1a:2b:3c:4d:5e, port Gi1/0/12 every second"
netns=$ns_rx
client "" lldp
netns=""

step "install: packages signed by the maker's installer certificate (test PKI), the helper being version 5.16.0.124"
mkdir -p "$work/helper-home"
printf 'helper 5.16.0.124\n' > "$work/helper-home/$label"
package newer 5.17.0 "helper 5.17.0"
package older 5.15.9 "helper 5.15.9"
package tampered 5.18.0 "helper 5.18.0" --tamper-member helper.pkg/Payload
package otherteam 5.18.0 "helper 5.18.0" --leaf installer-otherteam
echo "   installed helper before: $(cat "$work/helper-home/$label")"
client "" install "$work/newer.pkg"
echo "   installed helper after:  $(cat "$work/helper-home/$label")"
client "" install "$work/older.pkg"
client "" install "$work/tampered.pkg"
client "" install "$work/otherteam.pkg"
echo "   installed helper now:    $(cat "$work/helper-home/$label")"
step "uninstall"
client "" uninstall
