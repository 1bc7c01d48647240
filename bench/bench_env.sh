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
