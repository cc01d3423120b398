#!/usr/bin/env bash
# lint.sh [BUILD_DIR] — the format check and clang-tidy over the project's own
# C++ sources (tests included in the format check, the product in clang-tidy),
# with the compile commands of BUILD_DIR (default build/asan, which
# scripts/test.sh configures). Fails on any finding; prints each.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/asan}

mapfile -t all < <(git ls-files '*.cpp' '*.h' '*.cc' | grep -v '^tests/fuzz/.*/corpus/')
status=0
if ! clang-format --dry-run --Werror "${all[@]}"; then
  echo "lint: clang-format: the files above differ from .clang-format (clang-format -i FILE)" >&2
  status=1
fi

# clang-tidy on every translation unit of the product that the build
# compiles (tests and generated sources aside).
product="^$PWD/(main\.cpp|(platform|Common|Main|Lldp|codesign_verify|tools)/.*\.cpp)\$"
if ! run-clang-tidy -p "$build" -j"$(nproc)" -quiet \
     -extra-arg=-Wno-unknown-warning-option "$product" >"$build/clang-tidy.log" 2>&1; then
  grep -E '(warning|error):' "$build/clang-tidy.log" | sed 's/\x1b\[[0-9;]*m//g' | sort -u >&2 || true
  echo "lint: clang-tidy found the above (full output: $build/clang-tidy.log)" >&2
  status=1
fi
exit "$status"
