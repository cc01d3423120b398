#!/usr/bin/env bash
# Installs what is missing, builds everything with ASan/UBSan (clang, with the
# fuzz targets) and runs every test: unit, integration (real processes, real
# sockets, network namespaces; needs root), and a short run of each fuzzer;
# then the format check and clang-tidy (scripts/lint.sh). Fails if either does.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset asan >/dev/null
cmake --build --preset asan -j"$(nproc)"
status=0
# The lint runs beside the tests, at a lower priority: most of the tests wait
# on processes, sockets and timers rather than the processor (the attacks and
# the service's cases are a ctest test each for that reason), so twice as
# many tests as processors run at once.
nice -n 10 scripts/lint.sh build/asan >build/asan/lint.log 2>&1 &
lint=$!
ctest --preset asan -j"$(($(nproc) * 2))" "$@" || status=$?
if ! wait "$lint"; then
  cat build/asan/lint.log >&2
  status=1
fi
exit "$status"
