#!/bin/sh
# Installing a large signed package through the daemon (test build, started by
# socket activation, driven by the signed client) against copying the package
# once and running the installer stand-in on the copy directly; and the
# daemon's peak resident memory (VmHWM) while it installs packages of MIB and
# of BIG_MIB MiB, against its peak when it has only answered a run request.
# Run as root (the daemon stages files for user 0).
#
# usage: bench_install.sh DAEMON CLIENT XQPKG INSTALLER TESTPKI [MIB] [RUNS] [BIG_MIB]
set -eu
DAEMON=$1 CLIENT=$2 XQPKG=$3 INSTALLER=$4 PKI=$5
MIB=${6:-100}
RUNS=${7:-3}
BIG_MIB=${8:-1024}

WORK=$(mktemp -d /tmp/xq-bench-install.XXXXXX)
ACTIVATOR=
cleanup() {
    [ -n "$ACTIVATOR" ] && kill "$ACTIVATOR" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f", b - a }'; }
less() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }

# make_package MIB OUT: incompressible payload of MIB MiB, product archive, signed.
make_package() {
    mkdir -p "$WORK/root"
    head -c $(($1 * 1048576)) /dev/urandom > "$WORK/root/helper"
    "$XQPKG" build --identifier lx.pelk.XQSipLocationHelper --version 5.17.0.1 \
        --root "$WORK/root" --install-location "$WORK/installed" "$WORK/comp.pkg"
    "$XQPKG" product --app-id lx.pelk.XQSipLocationHelper \
        --component helper.pkg="$WORK/comp.pkg" "$WORK/prod.pkg"
    "$XQPKG" sign --pki "$PKI" "$WORK/prod.pkg" "$2"
    rm -rf "$WORK/root" "$WORK/comp.pkg" "$WORK/prod.pkg"
}

start_daemon() {
    SOCK="$WORK/helper-$1.sock"
    systemd-socket-activate -l "$SOCK" "$DAEMON" > /dev/null 2>&1 &
    ACTIVATOR=$!
    while [ ! -S "$SOCK" ]; do sleep 0.05; done
}

# peak_kib OPERATION [ARG]: the daemon's VmHWM in KiB once it has answered
# the request (the client keeps its connection open after the reply, so the
# daemon is still there; the high-water mark is never lowered). Prints the
# reply to $WORK/reply.
peak_kib() {
    start_daemon "mem-$1"
    rm -f "$WORK/reply"
    "$CLIENT" --socket "$SOCK" --timeout 600 --linger 5 "$@" > "$WORK/reply" || true &
    client=$!
    while [ ! -s "$WORK/reply" ]; do sleep 0.02; done
    kib=0
    while read -r key value unit; do
        [ "$key" = "VmHWM:" ] && kib=$value
    done < "/proc/$ACTIVATOR/status" || true
    wait "$client" || true
    wait "$ACTIVATOR" 2>/dev/null || true
    ACTIVATOR=
    echo "$kib"
}

make_package "$MIB" "$WORK/bench.pkg"
PKG_BYTES=$(stat -c %s "$WORK/bench.pkg")

best_direct=
best_daemon=
i=0
while [ $i -lt "$RUNS" ]; do
    i=$((i + 1))
    # Baseline: one copy, then the installer on the copy.
    rm -rf "$WORK/installed"
    sync
    t0=$(now)
    cp "$WORK/bench.pkg" "$WORK/copy.pkg"
    "$INSTALLER" -pkg "$WORK/copy.pkg" -target / > /dev/null
    t1=$(now)
    rm -f "$WORK/copy.pkg"
    d=$(elapsed "$t0" "$t1")
    if [ -z "$best_direct" ] || less "$d" "$best_direct"; then best_direct=$d; fi

    # Through the daemon: client check, two package checks, staging, version
    # gate, installer. Activation happens before the clock starts.
    rm -rf "$WORK/installed"
    sync
    start_daemon "$i"
    t0=$(now)
    "$CLIENT" --socket "$SOCK" --timeout 600 install "$WORK/bench.pkg" > "$WORK/reply"
    t1=$(now)
    wait "$ACTIVATOR" 2>/dev/null || true
    ACTIVATOR=
    if [ "$(cat "$WORK/reply")" != '[true,""]' ]; then
        echo "install through the daemon failed: $(cat "$WORK/reply")" >&2
        exit 1
    fi
    d=$(elapsed "$t0" "$t1")
    if [ -z "$best_daemon" ] || less "$d" "$best_daemon"; then best_daemon=$d; fi
done

# Peak memory, in runs of their own so that sampling cannot slow the timed ones.
idle_kib=$(peak_kib run)
rm -rf "$WORK/installed"
small_kib=$(peak_kib install "$WORK/bench.pkg")
[ "$(cat "$WORK/reply")" = '[true,""]' ] || { echo "install failed: $(cat "$WORK/reply")" >&2; exit 1; }
rm -f "$WORK/bench.pkg"
make_package "$BIG_MIB" "$WORK/big.pkg"
BIG_BYTES=$(stat -c %s "$WORK/big.pkg")
rm -rf "$WORK/installed"
big_kib=$(peak_kib install "$WORK/big.pkg")
[ "$(cat "$WORK/reply")" = '[true,""]' ] || { echo "install failed: $(cat "$WORK/reply")" >&2; exit 1; }

PKG_MIB=$(calc "$PKG_BYTES / 1048576")
BIG_PKG_MIB=$(calc "$BIG_BYTES / 1048576")
IDLE_MIB=$(calc "$idle_kib / 1024")
printf 'package: %.1f MiB (signed product archive, incompressible payload)\n' "$PKG_MIB"
printf 'copy + installer directly: %.3f s (best of %d)\n' "$best_direct" "$RUNS"
printf 'through the daemon:        %.3f s (best of %d)\n' "$best_daemon" "$RUNS"
printf 'ratio: %.2f (target <= 1.15)\n' "$(calc "$best_daemon / $best_direct")"
printf 'daemon peak resident memory, idle (run only):      %6.1f MiB\n' "$IDLE_MIB"
printf 'daemon peak resident memory, install of %6.1f MiB: %6.1f MiB (idle + %.1f; target <= idle + 16)\n' \
    "$PKG_MIB" "$(calc "$small_kib / 1024")" "$(calc "($small_kib - $idle_kib) / 1024")"
printf 'daemon peak resident memory, install of %6.1f MiB: %6.1f MiB (idle + %.1f; target <= idle + 16)\n' \
    "$BIG_PKG_MIB" "$(calc "$big_kib / 1024")" "$(calc "($big_kib - $idle_kib) / 1024")"
