#!/usr/bin/env bash
# activation-bench.sh BUILD_DIR [RUNS] — time from the first connection to a
# daemon that is not yet running (socket activation) to the run reply, over
# RUNS fresh activations, then the same request RUNS times to a daemon that is
# already running; prints the medians and the spreads. Use a release build.
#
# The client is the one users run: stripped and then signed, as the package
# installs it (a build with debug information would have the daemon hash
# several times the bytes). Times are read with bash's own clock
# (EPOCHREALTIME), so that no process of the measurement is counted.
set -euo pipefail
build=$(cd "$1" && pwd)
runs=${2:-30}
daemon=$build/lx.pelk.XQSipLocationHelper-test
pki=$build/testpki
work=$(mktemp -d /tmp/xq-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
client=$work/xqsip-client
strip -o "$client" "$build/tools/xqsip-client/xqsip-client"
"$build/tools/xqcodesign/xqcodesign" sign --identity "$pki/app.pem" --key "$pki/app.key.pem" \
  --chain "$pki/app.chain.pem" --identifier lx.pelk.dvk "$client" >/dev/null
usec() { local t=${1/./}; echo $((10#$t)); }
# Starts an activator on a fresh socket, as the service manager would.
activate() {
  systemd-socket-activate -l "$1" "$daemon" >/dev/null 2>&1 &
  act=$!
  while [ ! -S "$1" ]; do sleep 0.005; done
}
# The daemon would stay for further clients until idle: stop it as the
# service manager does.
stop() {
  kill -TERM "$act" 2>/dev/null || true
  wait "$act" || true
}
# One run request from a new client process, its time appended to `times`.
timed_run() {
  local t0 t1 out
  t0=$EPOCHREALTIME
  out=$("$client" --socket "$1" --timeout 10 run)
  t1=$EPOCHREALTIME
  [ "$out" = "[true]" ] || { echo "unexpected reply: $out" >&2; exit 1; }
  times+=($(( $(usec "$t1") - $(usec "$t0") )))
}
summary() {
  printf '%s\n' "${times[@]}" | sort -n | awk -v what="$1" '
    { v[NR] = $1 }
    END { printf "%s over %d runs: median %.2f ms, min %.2f ms, max %.2f ms\n",
                 what, NR, v[int((NR + 1) / 2)] / 1000, v[1] / 1000, v[NR] / 1000 }'
}
times=()
for i in $(seq "$runs"); do
  activate "$work/s$i.sock"
  timed_run "$work/s$i.sock"
  stop
done
summary "activation to run reply"
# The same request to a daemon that is already running: one that a first
# request started and that stays for further clients until it is idle.
activate "$work/warm.sock"
"$client" --socket "$work/warm.sock" --timeout 10 run >/dev/null
times=()
for i in $(seq "$runs"); do
  timed_run "$work/warm.sock"
done
stop
summary "run reply from a running daemon"
echo "(both include the client process start)"
