#!/bin/sh
# Installing a large signed package through the daemon (test build, started by
# socket activation, driven by the signed client) against copying the package
# once and running the installer stand-in on the copy directly; and the
# daemon's peak resident memory (VmHWM) while it installs packages of MIB and
# of BIG_MIB MiB, against its peak when it has only answered a run request.
# Run as root (the daemon stages files for user 0).
#
# The three ways are timed in turn in each of RUNS rounds, and the ratios are
# the medians of each round's own ratios: the disk's write-back moves a
# direct install by tens of milliseconds from one minute to the next, and a
# round sees the same state of it in all three.
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
    kill -TERM "$ACTIVATOR" 2>/dev/null || true
    wait "$ACTIVATOR" 2>/dev/null || true
    ACTIVATOR=
    echo "$kib"
}

# time_direct PKG: seconds to copy PKG once and run the installer on the copy.
time_direct() {
    rm -rf "$WORK/installed"
    sync
    t0=$(now)
    cp "$1" "$WORK/copy.pkg"
    "$INSTALLER" -pkg "$WORK/copy.pkg" -target / > /dev/null
    t1=$(now)
    rm -f "$WORK/copy.pkg"
    elapsed "$t0" "$t1"
}

# time_daemon PKG cold|warm: seconds from starting the client to its reply.
# cold: the first connection starts the daemon (socket activation, as when
# the client's request is the first one); warm: another client has started it
# and stays connected.
time_daemon() {
    rm -rf "$WORK/installed"
    sync
    start_daemon "$2-$(basename "$1")"
    holder=
    if [ "$2" = warm ]; then
        rm -f "$WORK/held"
        "$CLIENT" --socket "$SOCK" --timeout 10 --linger 600 run > "$WORK/held" 2>/dev/null &
        holder=$!
        while [ ! -s "$WORK/held" ]; do sleep 0.02; done
    fi
    t0=$(now)
    "$CLIENT" --socket "$SOCK" --timeout 600 install "$1" > "$WORK/reply"
    t1=$(now)
    if [ -n "$holder" ]; then
        kill "$holder" 2>/dev/null || true
        wait "$holder" 2>/dev/null || true
    fi
    kill -TERM "$ACTIVATOR" 2>/dev/null || true
    wait "$ACTIVATOR" 2>/dev/null || true
    ACTIVATOR=
    if [ "$(cat "$WORK/reply")" != '[true,""]' ]; then
        echo "install through the daemon failed: $(cat "$WORK/reply")" >&2
        exit 1
    fi
    elapsed "$t0" "$t1"
}

# median VALUES...: the middle value (the lower of the two middle ones).
median() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

make_package "$MIB" "$WORK/bench.pkg"
PKG_BYTES=$(stat -c %s "$WORK/bench.pkg")
directs= colds= warms= cold_ratios= warm_ratios=
k=0
while [ $k -lt "$RUNS" ]; do
    k=$((k + 1))
    d=$(time_direct "$WORK/bench.pkg")
    c=$(time_daemon "$WORK/bench.pkg" cold)
    w=$(time_daemon "$WORK/bench.pkg" warm)
    directs="$directs $d" colds="$colds $c" warms="$warms $w"
    cold_ratios="$cold_ratios $(calc "$c / $d")" warm_ratios="$warm_ratios $(calc "$w / $d")"
done
# shellcheck disable=SC2086 # the lists are split on purpose
{
    direct=$(median $directs) cold=$(median $colds) warm=$(median $warms)
    cold_ratio=$(median $cold_ratios) warm_ratio=$(median $warm_ratios)
}

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
big_direct=$(time_direct "$WORK/big.pkg")
big_cold=$(time_daemon "$WORK/big.pkg" cold)
rm -rf "$WORK/installed"

PKG_MIB=$(calc "$PKG_BYTES / 1048576")
BIG_PKG_MIB=$(calc "$BIG_BYTES / 1048576")
IDLE_MIB=$(calc "$idle_kib / 1024")
printf 'package: %.1f MiB (signed product archive, incompressible payload)\n' "$PKG_MIB"
printf 'copy + installer directly:              %.3f s (median of %d rounds)\n' "$direct" "$RUNS"
printf 'through the daemon, started by request: %.3f s, ratio %.2f (median of the rounds; target <= 1.10)\n' \
    "$cold" "$cold_ratio"
printf 'through the daemon, already running:    %.3f s, ratio %.2f (median of the rounds; target <= 1.10)\n' \
    "$warm" "$warm_ratio"
printf 'package: %.1f MiB, one run each: directly %.3f s, through the daemon %.3f s, ratio %.2f\n' \
    "$BIG_PKG_MIB" "$big_direct" "$big_cold" "$(calc "$big_cold / $big_direct")"
printf 'daemon peak resident memory, idle (run only):      %6.1f MiB\n' "$IDLE_MIB"
printf 'daemon peak resident memory, install of %6.1f MiB: %6.1f MiB (idle + %.1f; target <= idle + 16)\n' \
    "$PKG_MIB" "$(calc "$small_kib / 1024")" "$(calc "($small_kib - $idle_kib) / 1024")"
printf 'daemon peak resident memory, install of %6.1f MiB: %6.1f MiB (idle + %.1f; target <= idle + 16)\n' \
    "$BIG_PKG_MIB" "$(calc "$big_kib / 1024")" "$(calc "($big_kib - $idle_kib) / 1024")"
