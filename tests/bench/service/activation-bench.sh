#!/usr/bin/env bash
# activation-bench.sh BUILD_DIR [RUNS] — time from the first connection to a
# daemon that is not yet running (socket activation) to the run reply, over
# RUNS fresh activations; prints the median and the spread. Use a release build.
set -euo pipefail
build=$(cd "$1" && pwd)
runs=${2:-30}
daemon=$build/lx.pelk.XQSipLocationHelper-test
client=$build/tools/xqsip-client/xqsip-client
work=$(mktemp -d /tmp/xq-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
times=()
for i in $(seq "$runs"); do
  sock=$work/s$i.sock
  systemd-socket-activate -l "$sock" "$daemon" >/dev/null 2>&1 &
  act=$!
  while [ ! -S "$sock" ]; do sleep 0.005; done
  t0=$(date +%s%N)
  out=$("$client" --socket "$sock" --timeout 10 run)
  t1=$(date +%s%N)
  [ "$out" = "[true]" ] || { echo "unexpected reply: $out" >&2; exit 1; }
  wait "$act" || true
  times+=($(( (t1 - t0) / 1000 )))
done
printf '%s\n' "${times[@]}" | sort -n | awk '
  { v[NR] = $1 }
  END { printf "activation to run reply over %d runs: median %.2f ms, min %.2f ms, max %.2f ms\n",
               NR, v[int((NR + 1) / 2)] / 1000, v[1] / 1000, v[NR] / 1000 }'
echo "(includes the client process start; the client run against a running daemon is the baseline)"
