#!/bin/sh
# Installing a large signed package through the daemon (test build, started by
# socket activation, driven by the signed client) against copying the package
# once and running the installer stand-in on the copy directly. Prints the
# wall times, their ratio and the daemon's peak resident memory (VmHWM) next
# to the package size. Run as root (the daemon stages files for user 0).
#
# usage: bench_install.sh DAEMON CLIENT XQPKG INSTALLER TESTPKI [MIB] [RUNS]
set -eu
DAEMON=$1 CLIENT=$2 XQPKG=$3 INSTALLER=$4 PKI=$5
MIB=${6:-100}
RUNS=${7:-3}

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

# The package: incompressible payload of MIB MiB, product archive, signed.
mkdir -p "$WORK/root"
head -c $((MIB * 1048576)) /dev/urandom > "$WORK/root/helper"
"$XQPKG" build --identifier lx.pelk.XQSipLocationHelper --version 5.17.0.1 \
    --root "$WORK/root" --install-location "$WORK/installed" "$WORK/comp.pkg"
"$XQPKG" product --app-id lx.pelk.XQSipLocationHelper --component helper.pkg="$WORK/comp.pkg" \
    "$WORK/prod.pkg"
"$XQPKG" sign --pki "$PKI" "$WORK/prod.pkg" "$WORK/bench.pkg"
rm -rf "$WORK/root" "$WORK/comp.pkg" "$WORK/prod.pkg"
PKG_BYTES=$(stat -c %s "$WORK/bench.pkg")

best_direct=
best_daemon=
peak_kib=0
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

    # Through the daemon: activation, client check, two package checks,
    # staging, version gate, installer.
    rm -rf "$WORK/installed"
    sync
    SOCK="$WORK/helper-$i.sock"
    systemd-socket-activate -l "$SOCK" "$DAEMON" > /dev/null 2>&1 &
    ACTIVATOR=$!
    while [ ! -S "$SOCK" ]; do sleep 0.05; done
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

# Peak memory, in a run of its own so that sampling cannot slow the timed
# ones: the client keeps its connection open after the reply, so the daemon
# is still there when its high-water mark (VmHWM, never lowered) is read.
rm -rf "$WORK/installed"
SOCK="$WORK/helper-mem.sock"
rm -f "$WORK/reply"
systemd-socket-activate -l "$SOCK" "$DAEMON" > /dev/null 2>&1 &
ACTIVATOR=$!
while [ ! -S "$SOCK" ]; do sleep 0.05; done
"$CLIENT" --socket "$SOCK" --timeout 600 --linger 5 install "$WORK/bench.pkg" > "$WORK/reply" || true &
CLIENT_PID=$!
while [ ! -s "$WORK/reply" ]; do sleep 0.05; done
while read -r key value unit; do
    [ "$key" = "VmHWM:" ] && peak_kib=$value
done < "/proc/$ACTIVATOR/status" || true
wait "$CLIENT_PID" || true
wait "$ACTIVATOR" 2>/dev/null || true
ACTIVATOR=

PKG_MIB=$(calc "$PKG_BYTES / 1048576")
PEAK_MIB=$(calc "$peak_kib / 1024")
printf 'package: %.1f MiB (signed product archive, incompressible payload)\n' "$PKG_MIB"
printf 'copy + installer directly: %.3f s (best of %d)\n' "$best_direct" "$RUNS"
printf 'through the daemon:        %.3f s (best of %d)\n' "$best_daemon" "$RUNS"
printf 'ratio: %.2f (target <= 1.50)\n' "$(calc "$best_daemon / $best_direct")"
printf 'daemon peak resident memory: %.1f MiB (target <= package + 16 = %.1f MiB)\n' \
    "$PEAK_MIB" "$(calc "$PKG_MIB + 16")"
