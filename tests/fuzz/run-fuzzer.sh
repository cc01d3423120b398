#!/usr/bin/env bash
# run-fuzzer.sh BINARY WORKDIR SECONDS [SEED_DIR]
# Runs one libFuzzer target for a short, fixed time over a scratch copy of its
# seed corpus, so that the tree's corpus is never written to.
set -euo pipefail
bin=$1 work=$2 secs=$3 seeds=${4:-}
rm -rf "$work"; mkdir -p "$work"
if [ -n "$seeds" ] && [ -d "$seeds" ]; then cp -r "$seeds"/. "$work"/; fi
# A fixed seed makes the gate reproducible: the same binary explores the same
# inputs on every run. Longer, randomly seeded runs are for developers:
#   BINARY -max_total_time=600 CORPUS_DIR
exec "$bin" -seed=1 -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work"
