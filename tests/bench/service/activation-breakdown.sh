#!/usr/bin/env bash
# activation-breakdown.sh BUILD_DIR [RUNS] — where the time of a socket
# activation goes, as activation-bench.sh runs it (the installed client:
# stripped and signed), from kernel events and probes recorded with perf:
# medians over RUNS activations of each phase, from the client's exec to the
# daemon's exit. Run as root on a release build; it adds uprobes (group
# "xqbench") and removes them at the end. Times are wall clock (they grow with
# the machine's load); tests/bench/service/start-cost.sh gives the daemon's
# start in instructions and page faults, which do not.
set -euo pipefail
build=$(cd "$1" && pwd)
runs=${2:-20}
daemon=$build/lx.pelk.XQSipLocationHelper-test
pki=$build/testpki
libc=$(ldd "$daemon" | awk '/libc.so.6/ { print $3 }')
work=$(mktemp -d /tmp/xq-breakdown.XXXXXX)
cleanup() { perf probe -q -d "xqbench:*" 2>/dev/null || true; [ -n "${KEEP:-}" ] || rm -rf "$work"; }
trap cleanup EXIT
client=$work/xqsip-client
strip -o "$client" "$build/tools/xqsip-client/xqsip-client"
"$build/tools/xqcodesign/xqcodesign" sign --identity "$pki/app.pem" --key "$pki/app.key.pem" \
  --chain "$pki/app.chain.pem" --identifier lx.pelk.dvk "$client" >/dev/null

# Daemon probes by address (C++ names and return probes need no debug
# information that way).
at() { nm "$daemon" | awk -v want="$1" '$2 ~ /^[Tt]$/ && $3 ~ want { print "0x" $1; exit }'; }
probe() { perf probe -q -x "$1" -a "xqbench:$2=$3" >/dev/null; }
perf probe -q -d 'xqbench:*' 2>/dev/null || true
probe "$libc" relocated __libc_early_init
probe "$daemon" init "$(at '^_init$')"
probe "$daemon" main "$(at '^main$')"
probe "$daemon" check "$(at 17isValidConnection)"
probe "$daemon" checked "$(at 17isValidConnection)%return"

perf record -q -a -o "$work/perf.data" \
  -e sched:sched_process_exec,sched:sched_process_exit,syscalls:sys_enter_connect \
  -e syscalls:sys_exit_accept4,syscalls:sys_enter_sendto,'xqbench:*' -- bash -c '
    for i in $(seq "$1"); do
      sock=$2/s$i.sock
      systemd-socket-activate -l "$sock" "$3" >/dev/null 2>&1 &
      act=$!
      while [ ! -S "$sock" ]; do sleep 0.005; done
      out=$("$4" --socket "$sock" --timeout 10 run)
      [ "$out" = "[true]" ] || { echo "unexpected reply: $out" >&2; exit 1; }
      wait "$act" || true
    done' _ "$runs" "$work" "$daemon" "$client" 2>/dev/null

perf script -i "$work/perf.data" -F pid,tid,time,event,trace 2>/dev/null | awk -v daemon="$daemon" -v client="$client" '
  function ms(a, b) { return (b - a) * 1000 }
  {
    split($1, id, "/"); pid = id[1]; tid = id[2]
    time = $2; sub(":$", "", time); time += 0
    ev = $3; sub(":$", "", ev)
  }
  ev == "sched:sched_process_exec" && index($0, "filename=" client " ") { c = pid; T["cexec"] = time; n++ }
  ev == "sched:sched_process_exec" && index($0, "filename=" daemon " ") { d = pid; T["dexec"] = time }
  ev == "syscalls:sys_enter_connect" && pid == c && !T["connect"] { T["connect"] = time }
  ev == "xqbench:relocated" && pid == d && T["dexec"] && !T["relocated"] { T["relocated"] = time }
  ev == "xqbench:init" && pid == d { T["init"] = time }
  ev == "xqbench:main" && pid == d { T["main"] = time }
  ev == "syscalls:sys_exit_accept4" && pid == d && !T["accept"] { T["accept"] = time }
  ev == "xqbench:check" && pid == d { T["check"] = time }
  ev == "xqbench:checked__return" && pid == d { T["checked"] = time }
  ev == "syscalls:sys_enter_sendto" && pid == d && T["checked"] && !T["reply"] { T["reply"] = time }
  ev == "sched:sched_process_exit" && pid == c && tid == c { T["cexit"] = time }
  ev == "sched:sched_process_exit" && pid == d && tid == d && T["dexec"] {
    T["dexit"] = time
    row = sprintf("%f %f %f %f %f %f %f %f %f %f %f",
      ms(T["cexec"], T["connect"]), ms(T["connect"], T["dexec"]), ms(T["dexec"], T["relocated"]),
      ms(T["relocated"], T["init"]), ms(T["init"], T["main"]), ms(T["main"], T["accept"]),
      ms(T["accept"], T["check"]), ms(T["check"], T["checked"]), ms(T["checked"], T["reply"]),
      ms(T["reply"], T["cexit"]), ms(T["cexec"], T["cexit"]))
    print row
    delete T; c = ""; d = ""
  }' > "$work/rows"
names=("client exec to its connect (client start)"
  "connect to daemon exec (the activator wakes and execs)"
  "daemon exec to relocations done (kernel exec, loader)"
  "library initialisers (libc, libcrypto) to the daemon's _init"
  "daemon static initialisation, to main"
  "main to the accepted connection (service set-up)"
  "accepted to the caller check (admission: peer, pidfd)"
  "caller check (lookup, signature, hash, requirement)"
  "check done to the reply sent (run operation)"
  "reply sent to the client's exit (client reads, exits)"
  "total: client exec to client exit")
echo "$(wc -l <"$work/rows") activations, median ms per phase:"
for i in "${!names[@]}"; do
  median=$(awk -v c=$((i + 1)) '{ print $c }' "$work/rows" | sort -g |
    awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  printf '  %7.3f  %s\n' "$median" "${names[$i]}"
done
