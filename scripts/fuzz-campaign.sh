#!/usr/bin/env bash
# fuzz-campaign.sh [SECONDS] [RUNS] [PARALLEL] — a long fuzzing campaign over
# every libFuzzer target of the ASan/UBSan build: each target runs until RUNS
# executions (default 10 million) or SECONDS (default 1200), PARALLEL targets
# side by side (default: the number of cores). Each starts from its committed
# corpus (tests/fuzz/<target>/corpus), and the inputs it found that add
# coverage are merged back into that corpus, which seeds the short runs of
# the test suite. Crashes are kept in build/asan/fuzz-campaign/<target>/.
# Prints executions, executions per second and coverage per target; exits
# non-zero if any crashed.
# FUZZ_TARGETS="xar wire_message" limits the campaign to the targets named.
# FUZZ_MERGE=0 leaves the tree's corpora as they are (to measure rates:
# FUZZ_MERGE=0 scripts/fuzz-campaign.sh 45 1000000000 1 gives the figures of
# the table in README.md).
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-1200}
runs=${2:-10000000}
parallel=${3:-$(nproc)}
scripts/install-deps.sh
cmake --preset asan >/dev/null
cmake --build --preset asan -j"$(nproc)"
out=build/asan/fuzz-campaign
mkdir -p "$out"

# target name, binary, corpus folder in the tree
targets=(
  "distribution_xml fuzz_distribution_xml tests/fuzz/distribution_xml/corpus"
  "info_plist info_plist_fuzz tests/fuzz/info_plist/corpus"
  "installer_payload installer_payload_fuzz tests/fuzz/installer_payload/corpus"
  "installer_payload_write installer_payload_write_fuzz tests/fuzz/installer_payload/write_corpus"
  "lldp_read lldp_read_fuzz tests/fuzz/lldp_read/corpus"
  "pkgutil_report pkgutil_report_fuzz tests/fuzz/pkgutil_report/corpus"
  "cms_decoder cms_decoder_fuzz tests/fuzz/pkgutil_report/cms_corpus"
  "pkgutil_writer pkgutil_writer_fuzz tests/fuzz/pkgutil_writer/corpus"
  "requirement fuzz_requirement tests/fuzz/requirement/corpus"
  "signature_block signature_block_fuzzer tests/fuzz/signature_block/corpus"
  "wire_message wire_message_fuzz tests/fuzz/wire_message/corpus"
  "xar xar_fuzz tests/fuzz/xar/corpus"
  "xar_tofile xar_tofile_fuzz tests/fuzz/xar/tofile_corpus"
  "xml xml_fuzz tests/fuzz/xml/corpus"
)
if [ -n "${FUZZ_TARGETS:-}" ]; then
  chosen=()
  for t in "${targets[@]}"; do
    for want in $FUZZ_TARGETS; do
      [ "${t%% *}" = "$want" ] && chosen+=("$t")
    done
  done
  targets=("${chosen[@]}")
fi

run_one() {
  local name=$1 binary=$2 corpus=$3
  local bin dir
  bin=$(find build/asan/tests/fuzz -type f -name "$binary" -perm -u+x | head -n1)
  dir=$out/$name
  rm -rf "$dir"
  mkdir -p "$dir/work" "$dir/artifacts"
  cp -r "$corpus"/. "$dir/work"/
  (cd "$dir" && ASAN_OPTIONS=detect_leaks=1 "$OLDPWD/$bin" -runs="$runs" -max_total_time="$secs" \
     -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=artifacts/ \
     work >log 2>&1) || true
  # Into the corpus of the tree goes only what adds coverage to what it
  # holds (its named seeds stay as they are).
  if [ "${FUZZ_MERGE:-1}" != 0 ]; then
    "$bin" -merge=1 "$corpus" "$dir/work" >"$dir/merge.log" 2>&1 || true
  fi
}

running=0
for t in "${targets[@]}"; do
  # shellcheck disable=SC2086
  run_one $t &
  running=$((running + 1))
  if [ "$running" -ge "$parallel" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

failed=0
printf '%-24s %14s %8s %8s %8s %8s  %s\n' target executions exec/s cov ft corpus crashes
for t in "${targets[@]}"; do
  set -- $t
  log=$out/$1/log
  execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
  rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
  last=$(grep -E '^#[0-9]+' "$log" | tail -n1)
  cov=$(grep -o 'cov: [0-9]*' <<<"$last" | grep -o '[0-9]*' || echo 0)
  ft=$(grep -o 'ft: [0-9]*' <<<"$last" | grep -o '[0-9]*' || echo 0)
  files=$(ls "$3" | wc -l)
  crashes=$(ls "$out/$1/artifacts" | wc -l)
  [ "$crashes" -gt 0 ] && failed=1
  printf '%-24s %14s %8s %8s %8s %8s  %s\n' "$1" "$execs" "$rate" "$cov" "$ft" "$files" "$crashes"
done
exit "$failed"
