#!/usr/bin/env bash
# Installs what is missing, builds everything with ASan/UBSan (clang, with the
# fuzz targets) and runs every test: unit, integration (real processes, real
# sockets, network namespaces; needs root), and a short run of each fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset asan >/dev/null
cmake --build --preset asan -j"$(nproc)"
ctest --preset asan -j"$(nproc)" "$@"
