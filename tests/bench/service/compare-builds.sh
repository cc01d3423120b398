#!/usr/bin/env bash
# compare-builds.sh OLD_BUILD NEW_BUILD [ROUNDS] — the start and verdict figures
# of two release builds (e.g. an older commit's worktree beside this one),
# alternating old and new in each round so that both see the same load:
# activation to run reply (median of 30), one daemon start (perf stat, 20 runs:
# task clock and page faults; the faults do not depend on the load), the
# package verdict (bench_pkg_verify; cpu_ms_with_children counts the package
# tool's process) and the caller check of a 100 MiB client as a whole process
# against openssl dgst (codesign_bench).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
rounds=${3:-3}
for round in $(seq "$rounds"); do
  for build in "$1" "$2"; do
    build=$(cd "$build" && pwd)
    echo "### round $round: $build"
    bash "$here/activation-bench.sh" "$build" 30 | sed -n 1p
    perf stat -r 20 -x, -e task-clock,page-faults \
      sh -c 'exec 3</dev/null; LISTEN_FDS=1 LISTEN_PID=$$ exec "$0"' \
      "$build/lx.pelk.XQSipLocationHelper-test" 2>&1 >/dev/null | grep -v 'not a Unix' |
      awk -F, '{ printf "daemon start: %s %s (+-%s)\n", $3, $1, $4 }' || true
    (cd /tmp && "$build/tests/bench/pkg_verify/bench_pkg_verify" 2>&1 | grep '^BM_')
    (cd /tmp && "$build/tests/bench/codesign/codesign_bench" \
      --benchmark_filter='BM_CheckProcess|BM_OpensslDgst' 2>&1 | grep 'whole processes')
  done
done
