#!/usr/bin/env bash
# start-cost.sh DAEMON [DAEMON...] — what one start of each daemon executable
# costs up to its exit, when it is activated with a descriptor that is not a
# socket (it finds no listener and ends): instructions, split into the dynamic
# loader, static initialisation and the rest (callgrind: the same on a busy and
# a quiet machine), the relocations the loader applies (readelf,
# LD_DEBUG=statistics), and task clock and page faults (perf stat, 20 runs:
# the clock depends on the load, the faults do not) beside those of the floor
# under it: an empty program linked against the same libraries, and the
# starting shell alone.
set -euo pipefail
runs=${RUNS:-20}
work=$(mktemp -d /tmp/xq-start.XXXXXX)
trap 'rm -rf "$work"' EXIT
# The daemon ends with status 1 here (no listener): that is the run measured.
start() { sh -c 'exec 3</dev/null; LISTEN_FDS=1 LISTEN_PID=$$ exec "$0"' "$1" || true; }
for daemon in "$@"; do
  daemon=$(realpath "$daemon")
  echo "== $daemon ($(stat -c %s "$daemon") bytes)"
  echo "   needed: $(readelf -d "$daemon" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | paste -sd' ')"
  echo "   flags: $(readelf -d "$daemon" | sed -n 's/.*(FLAGS\(_1\)\?) *//p' | paste -sd' ')"
  readelf -rW "$daemon" | awk '/^ *[0-9a-f]+ +[0-9a-f]+ +R_/ { n[$3]++ } /^Relocation section .\.relr/ { relr = 1 }
    END { printf "   own relocations:"; for (t in n) printf " %s %d", t, n[t]; if (relr) printf " (+ packed relative)"; print "" }'
  # The last block of statistics is the program's own (the first is the shell's).
  LD_DEBUG=statistics start "$daemon" 2>&1 | sed -n 's/^ *[0-9]*:\t *//p' |
    awk '/total startup time/ { n = 0 } /relocations/ && !/final|time needed/ { line[++n] = $0 }
         END { for (i = 1; i <= n; i++) print "   loader: " line[i] }' 
  rm -f "$work"/cg.*
  valgrind --tool=callgrind --trace-children=yes --callgrind-out-file="$work/cg.%p" \
    sh -c 'exec 3</dev/null; LISTEN_FDS=1 LISTEN_PID=$$ exec "$0"' "$daemon" >/dev/null 2>&1 || true
  out=$(ls -t "$work"/cg.* | head -1)
  callgrind_annotate --inclusive=yes --threshold=100 "$out" 2>/dev/null | awk '
    /PROGRAM TOTALS/ { gsub(",", "", $1); total = $1 }
    /:_dl_start / { gsub(",", "", $1); if (!loader) loader = $1 }
    /:call_init / { gsub(",", "", $1); if (!init) init = $1 }
    / \*?main \[/ || /:main \[/ { gsub(",", "", $1); if (!main) main = $1 }
    END { printf "   instructions: %d total; loader %d, static initialisation %d, main %d, rest %d\n",
                 total, loader, init, main, total - loader - init - main }'
  # What a start costs at least here: an empty program linked against the
  # same libraries, and the shell alone. Alternated with the daemon in each
  # round, so that all three see the same load.
  libs=$(readelf -d "$daemon" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' |
    grep -v -e '^libc\.so' -e '^ld-linux' | sed 's/^/-l:/' | paste -sd' ')
  # shellcheck disable=SC2086 # one word per library
  echo 'int main(void) { return 0; }' | cc -O2 -x c - -o "$work/floor" -Wl,--no-as-needed $libs
  clock() {
    perf stat -r "$runs" -x, -e task-clock,page-faults sh -c "$1" "$2" 2>&1 >/dev/null |
      grep -v 'not a Unix' | awk -F, '{ v[$3] = $1 } END { printf "%.2f ms %d faults", v["task-clock"], v["page-faults"] }'
  }
  for round in 1 2 3; do
    printf '   round %d: daemon %s | empty program, same libraries %s | shell alone %s\n' "$round" \
      "$(clock 'exec 3</dev/null; LISTEN_FDS=1 LISTEN_PID=$$ exec "$0"' "$daemon")" \
      "$(clock 'exec "$0"' "$work/floor")" "$(clock 'exec true' true)"
  done
done
echo "(task clock and faults: perf stat, $runs runs each, the starting shell included)"
