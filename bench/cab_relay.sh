#!/usr/bin/env bash
# CAB relay benchmark: kestd relaying a raw-frame device beside a direct libpcap capture of
# the same frames on the same interface (the limit of this path), all in one run:
#  1. a kest-sim cab device streaming flat out: captured directly, and through kestd to 1, 4
#     and 8 clients;
#  2. the stream paced at half the direct rate through kestd to 1, 4 and 8 clients: nothing
#     may be lost;
#  3. 1-byte and 1400-byte echo round trips: direct raw frames and through kestd.
# Runs in a private network namespace (root), the device behind a veth pair in a namespace
# of its own, so no frame reaches a host interface.
# Usage: bench/cab_relay.sh [SECONDS_PER_RUN]   (needs a default build: scripts/start or
# scripts/test builds it)
set -euo pipefail
source "$(dirname "$0")/bench_env.sh"
serial=1A2B3C
mac=02:ca:b0:00:00:01
link=kb  # this namespace's end of the device's veth
message=16384  # bytes per device message, in fragments of 1486

work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

direct=$top/build/bench/cab_direct
if [ ! -x "$direct" ] || [ "$top/bench/cab_direct.cpp" -nt "$direct" ]; then
  g++ -O2 -std=c++17 -o "$direct" "$top/bench/cab_direct.cpp" -lpcap
fi
for tool in "$sim" "$kestd" "$relaybench" "$direct"; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done

start() {  # start NAME CMD...: in the background, output in $work/NAME.{out,log}; sets $started
  local name=$1
  shift
  "$@" </dev/null >"$work/$name.out" 2>"$work/$name.log" &
  started=$!
  pids+=("$started")
}
stop() {  # stop PID: SIGINT (kestd and kest-sim end cleanly on it), then KILL if it lingers
  local pid=$1 i
  kill -INT "$pid" 2>/dev/null || true
  for i in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  forget "$pid"
}

# Frames the capture lost show as cut messages in kestd's reassembly.
cut_messages() { grep -c 'dropping' "$work/$1.kestd.log" || true; }

device=""
device() {  # device DEVICE-TEXT: (re)starts the simulated device behind a fresh veth pair
  [ -n "$device" ] && stop "$device"
  device_text=$1
  start sim "$sim" cab --veth "$link" --device "$1"
  device=$started
  for i in $(seq 100); do
    grep -q 'kest-sim: ready' "$work/sim.out" && break
    kill -0 "$device" 2>/dev/null || { cat "$work/sim.out" "$work/sim.log" >&2; exit 1; }
    sleep 0.1
  done
  grep -q 'kest-sim: ready' "$work/sim.out" || { echo "kest-sim not ready" >&2; exit 1; }
  ip link set "$link" up
}

# kestd_run RUN CLIENTS CLIENT-CMD...: a fresh kestd, CLIENTS opens (one more for a stream,
# whose client says one byte to start the device and leaves), the client command with --port.
kestd_run() {
  local name=$1 count=$2 kpid ports extra="" opens client
  shift 2
  # A streaming device goes on sending to the last kestd that started it: start afresh.
  [ "${streaming:-}" = 1 ] && device "$device_text"
  start "$name.kestd" "$kestd" --no-dxx --no-serial-port --log-level warning
  kpid=$started
  opens=$count
  [ "${streaming:-}" = 1 ] && opens=$((count + 1))
  if ports=$(timeout -k 5 30 /usr/bin/python3 "$top/bench/open_device.py" "$serial" "$opens" 2>"$work/$name.err"); then
    if [ "${streaming:-}" = 1 ]; then
      extra=${ports##*,}
      ports=${ports%,*}
      timeout -k 5 $((seconds * 3 + 60)) "$@" --port "$ports" >"$work/$name.out" 2>"$work/$name.err" &
      client=$!
      sleep 0.2  # the readers attach within their warm-up, before the device starts
      /usr/bin/python3 -c "import socket; s = socket.create_connection(('127.0.0.1', $extra)); s.sendall(b'go'); s.close()"
      wait "$client" || notes+=("$name: exit $?: $(tr '\n' ' ' <"$work/$name.err" | cut -c1-200)")
    else
      measure "$name" "$@" --port "$ports"
    fi
  else
    notes+=("$name: $(cat "$work/$name.err")")
    : >"$work/$name.out"
  fi
  stop "$kpid"
}

echo "== device streaming flat out (${seconds} s per run; load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
device "$serial:stream,mac=$mac,message=$message"
measure direct "$direct" stream "$link" "$mac" "$seconds"
direct_mbps=$(field MBps direct)
printf '%-8s %12s %12s %10s %6s %15s %6s\n' path clients "min MB/s" "x direct" gaps "dropped bytes" cut
printf '%-8s %12s %12s %10s %6s %15s %6s\n' direct - "$direct_mbps" 1.00 "$(gaps direct)" - -
streaming=1
for n in 1 4 8; do
  kestd_run "flat$n" "$n" "$relaybench" fanout --clients "$n" --seconds "$seconds" --verify
  eval "flat_min$n=\$(field min_MBps flat$n)"
  printf '%-8s %12s %12s %10s %6s %15s %6s\n' kestd "$n" "$(field min_MBps "flat$n")" \
    "$(ratio "$(field min_MBps "flat$n")" "$direct_mbps")" "$(gaps "flat$n")" "$(dropped "flat$n")" \
    "$(cut_messages "flat$n")"
done
echo "(min is the slowest client's rate; cut: messages kestd's reassembly dropped, frames lost"
echo " before it; kestd drops what a client cannot take rather than slow the device)"
echo

rate=$(awk -v d="${direct_mbps:-0}" 'BEGIN {printf "%d", d / 2}')
echo "== device paced at $rate MB/s (half the direct capture) through kestd: every byte to every client"
lossless=PASS
if [ "$rate" -lt 1 ]; then
  echo "no direct rate to pace from"
  lossless=FAIL
else
  # Also at a quarter, to show where the relay keeps every byte when half is too fast.
  printf '%-8s %8s %14s %14s %8s %15s %6s %6s\n' clients rate "min MB/s" "agg MB/s" gaps \
    "dropped bytes" cut result
  for r in "$rate" "$((rate / 2))"; do
    device "$serial:stream:${r}M,mac=$mac,message=$message"
    for n in 1 4 8; do
      run=paced$n-$r
      kestd_run "$run" "$n" "$relaybench" fanout --clients "$n" --seconds "$seconds" --verify
      g=$(gaps "$run") d=$(dropped "$run") c=$(cut_messages "$run")
      verdict=PASS
      if [ ! -s "$work/$run.out" ] || [ "$g" != 0 ] || [ "$d" != 0 ] || [ "$c" != 0 ]; then
        verdict=FAIL
        [ "$r" = "$rate" ] && lossless=FAIL
      fi
      printf '%-8s %8s %14s %14s %8s %15s %6s %6s\n' "$n" "$r" "$(field min_MBps "$run")" \
        "$(field aggregate_MBps "$run")" "$g" "$d" "$c" "$verdict"
    done
  done
  echo "(rate in MB/s; the target is the first rate)"
fi
streaming=""
echo

echo "== echo round trips (2000 rounds): direct raw frames, and through kestd (relaybench pingpong --spin)"
device "$serial:echo,mac=$mac"
printf '%-10s %12s %12s %12s %12s %10s\n' size "direct p50" "direct p99" "kestd p50" "kestd p99" "p50 ratio"
for size in 1 1400; do
  measure "echo_direct$size" "$direct" echo "$link" "$mac" 2000 "$size"
  kestd_run "echo_kestd$size" 1 "$relaybench" pingpong --count 2000 --size "$size" --spin
  eval "echo_ratio$size=\$(ratio \"\$(field p50_us echo_kestd$size)\" \"\$(field p50_us echo_direct$size)\")"
  printf '%-10s %12s %12s %12s %12s %10s\n' "$size" \
    "$(field p50_us "echo_direct$size")" "$(field p99_us "echo_direct$size")" \
    "$(field p50_us "echo_kestd$size")" "$(field p99_us "echo_kestd$size")" "$(eval echo "\$echo_ratio$size")"
done
echo "(microseconds)"
stop "$device"
device=""
echo

target() {  # target TEXT VALUE OK
  printf '  %-44s %-22s %s\n' "$1" "$2" "$([ "$3" = 1 ] && echo met || echo MISSED)"
}
ge() { awk -v a="${1:-0}" -v b="$2" 'BEGIN {print (a != "-" && a + 0 >= b) ? 1 : 0}'; }
le() { awk -v a="${1:-}" -v b="$2" 'BEGIN {print (a != "" && a != "-" && a + 0 <= b) ? 1 : 0}'; }
r1=$(ratio "${flat_min1:-0}" "$direct_mbps")
echo "== summary"
target "1 client, kestd / direct capture >= 0.9" "$r1 x" "$(ge "$r1" 0.9)"
target "paced at $rate MB/s, no loss at 1/4/8 clients" "$lossless" "$([ "$lossless" = PASS ] && echo 1)"
target "1-byte echo p50, kestd <= 2 x direct" "$echo_ratio1 x" "$(le "$echo_ratio1" 2)"
target "1400-byte echo p50, kestd <= 2 x direct" "$echo_ratio1400 x" "$(le "$echo_ratio1400" 2)"
if [ ${#notes[@]} -gt 0 ]; then
  echo
  echo "notes:"
  printf '  %s\n' "${notes[@]}"
fi
