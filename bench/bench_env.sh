# The common start of the benchmarks, sourced by each: a private network namespace (root),
# so they never meet a kestd you are running; the default build's binaries; the load tool,
# built from ../shared/relaybench beside the checkout when missing; $seconds from $1.
if [ "${KESTD_BENCH_NETNS:-}" != 1 ]; then
  exec unshare -n env KESTD_BENCH_NETNS=1 bash "$0" "$@"
fi
ip link set lo up

top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-3}
bin=$top/build/default
sim="$bin/tools/kest-sim"
kestd="$bin/src/kestd"
relaybench=$top/build/bench/relaybench
if [ ! -x "$relaybench" ]; then
  mkdir -p "$(dirname "$relaybench")"
  g++ -O2 -std=c++17 -pthread -o "$relaybench" "$top/../shared/relaybench/relaybench.cpp"
fi

# Helpers of the relay benchmarks; each sets $work (a scratch folder) and the array pids.
# So the exit trap never signals a recycled process id.
forget() {
  local i
  for i in "${!pids[@]}"; do [ "${pids[$i]}" = "$1" ] && unset "pids[$i]"; done
  return 0
}
notes=()
# measure NAME CMD...: runs a client to completion, its output in $work/NAME.out; a failure
# is noted and the run goes on, so one bad row still leaves the others' figures.
measure() {
  local name=$1 rc=0
  shift
  timeout -k 5 $((seconds * 3 + 60)) "$@" >"$work/$name.out" 2>"$work/$name.err" || rc=$?
  if [ "$rc" != 0 ]; then
    notes+=("$name: exit $rc: $(tr '\n' ' ' <"$work/$name.err" | cut -c1-200)")
  fi
}
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" "$work/$2.out" | tail -1; }
gaps() { grep -o 'gaps=[0-9]*' "$work/$1.out" | cut -d= -f2 | awk '{s += $1} END {print s + 0}'; }
ratio() { awk -v a="${1:-0}" -v b="${2:-0}" 'BEGIN {if (b > 0) printf "%.2f", a / b; else print "-"}'; }
# Bytes kestd reports its clients lost, summed over its "client dropped" lines.
dropped() { sed -n 's/.*client dropped \([0-9]*\) bytes.*/\1/p' "$work/$1.kestd.log" | awk '{s += $1} END {print s + 0}'; }
