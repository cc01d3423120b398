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
ctest --preset asan -j"$(nproc)" "$@" || status=$?
scripts/lint.sh build/asan || status=1
exit "$status"
