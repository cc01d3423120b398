#!/usr/bin/env bash
# lint.sh [--full] [--record] [BUILD_DIR] — the format check and clang-tidy over
# the project's own C++ sources (tests included in the format check, the
# product in clang-tidy), with the compile commands of BUILD_DIR (default
# build/asan, which scripts/test.sh configures). Fails on any finding; prints
# each.
#
# clang-tidy takes minutes over the whole product on two cores, so by default
# it runs only over the translation units that changed since the last commit
# whose full run was clean (recorded in scripts/lint-baseline): a unit counts
# as changed when its source or any header it includes changed
# (scripts/lint-select.py reads the includes the build recorded). A change to
# the clang-tidy configuration or to the build's flags lints everything.
#   --full    every unit, whatever the baseline (a long check of its own)
#   --record  after a clean full run on a clean tree, record HEAD as the
#             baseline (commit scripts/lint-baseline afterwards)
set -euo pipefail
cd "$(dirname "$0")/.."
full=0 record=0
while [ $# -gt 0 ]; do
  case "$1" in
  --full) full=1 ;;
  --record) full=1 record=1 ;;
  *) break ;;
  esac
  shift
done
build=${1:-build/asan}

# The style and the checks are those of clang-format and clang-tidy 14
# (Debian 12); another major version formats and checks differently, so there
# the lint says so and stands aside (Debian 13's run of the test command).
major=$(clang-format --version | sed -n 's/.*version \([0-9]*\).*/\1/p')
if [ "$major" != 14 ]; then
  echo "lint: skipped: clang-format/clang-tidy $major here; the project's style is defined by version 14" >&2
  exit 0
fi

mapfile -t all < <(git ls-files '*.cpp' '*.h' '*.cc' | grep -v '^tests/fuzz/.*/corpus/')
status=0
if ! clang-format --dry-run --Werror "${all[@]}"; then
  echo "lint: clang-format: the files above differ from .clang-format (clang-format -i FILE)" >&2
  status=1
fi

# clang-tidy on the translation units of the product that the build
# compiles (tests and generated sources aside).
product="^$PWD/(main\.cpp|(platform|Common|Main|Lldp|codesign_verify|tools)/.*\.cpp)\$"
units=("$product")
base=$(cat scripts/lint-baseline 2>/dev/null || true)
if [ "$full" = 0 ] && [ -n "$base" ] && git merge-base --is-ancestor "$base" HEAD 2>/dev/null; then
  mapfile -t selected < <(scripts/lint-select.py "$build" "$base")
  if [ "${selected[*]-}" != ALL ]; then
    echo "lint: clang-tidy over ${#selected[@]} unit(s) changed since ${base:0:12}" >&2
    units=()
    for s in "${selected[@]}"; do
      units+=("^$(printf '%s' "$s" | sed 's/[.[\*^$+?(){}|]/\\&/g')\$")
    done
  fi
fi
if [ ${#units[@]} -gt 0 ] &&
  ! run-clang-tidy -p "$build" -j"$(nproc)" -quiet \
    -extra-arg=-Wno-unknown-warning-option "${units[@]}" >"$build/clang-tidy.log" 2>&1; then
  grep -E '(warning|error):' "$build/clang-tidy.log" | sed 's/\x1b\[[0-9;]*m//g' | sort -u >&2 || true
  echo "lint: clang-tidy found the above (full output: $build/clang-tidy.log)" >&2
  status=1
fi
if [ "$record" = 1 ]; then
  if [ "$status" = 0 ] && git diff --quiet HEAD -- && [ -z "$(git ls-files --others --exclude-standard)" ]; then
    git rev-parse HEAD >scripts/lint-baseline
    echo "lint: clean; baseline $(cat scripts/lint-baseline) recorded in scripts/lint-baseline" >&2
  else
    echo "lint: not recorded: the run found something or the tree has uncommitted changes" >&2
    status=1
  fi
fi
exit "$status"
