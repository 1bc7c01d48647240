#!/usr/bin/env bash
# TCP relay benchmark: kestd relaying a network device beside socat and ncat, all in one run
# so the figures compare:
#  1. a device streaming flat out to 1 client: straight from the device, through kestd,
#     through socat -b 2097152;
#  2. the same stream to 4 and 8 clients: kestd beside ncat --broker;
#  3. the stream paced at half the direct rate to 1, 4 and 8 kestd clients: nothing may be lost;
#     once with relaybench's pacing (which catches up in a burst after being held back) and
#     once with kest-sim's own paced stream (which does not), the latter also at rates 4 and 8
#     clients can sustain;
#  4. 1-byte and 4 KiB echo round trips: direct, kestd, socat.
# Runs in a private network namespace (root), so it never meets a kestd you are running.
# Usage: bench/tcp_relay.sh [SECONDS_PER_RUN]   (needs a default build: scripts/start or
# scripts/test builds it)
set -euo pipefail
source "$(dirname "$0")/bench_env.sh"
serial=1A2B3C
device_port=27001  # the simulated device's data port (source or echo)
socat_port=27101
broker_port=27102

work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || continue
    kill -CONT "$pid" 2>/dev/null || true  # a paused device would never see the TERM
  done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

for tool in "$sim" "$kestd" socat ncat; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done

# start NAME CMD...: runs CMD in the background (stderr to $work/NAME.log); sets $started.
start() {
  local name=$1
  shift
  "$@" </dev/null >"$work/$name.out" 2>"$work/$name.log" &
  started=$!
  pids+=("$started")
}
# stop PID: SIGINT (kestd shuts down cleanly on it), then KILL if it lingers.
stop() {
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
# Polls the listening table rather than connecting: socat and kestd listeners take one client.
wait_port() {
  local i
  for i in $(seq 100); do
    [ -n "$(ss -Hltn "sport = :$1")" ] && return 0
    sleep 0.05
  done
  echo "nothing listens on port $1" >&2
  exit 1
}
wait_closed() {
  local i
  for i in $(seq 100); do
    [ -z "$(ss -Hltn "sport = :$1")" ] && return 0
    sleep 0.05
  done
}


device() {  # device MODE [ARGS...]: (re)starts the device on its data port
  [ -n "${device_pid:-}" ] && stop "$device_pid"
  wait_closed "$device_port"
  start device "$relaybench" "device-$1" --port "$device_port" "${@:2}"
  device_pid=$started
  wait_port "$device_port"
}

# kestd RUN CLIENTS CLIENT-CMD...: a fresh kestd (its log in $work/RUN.kestd), CLIENTS opens,
# then the client command with --port set to the listeners.
kestd_run() {
  local name=$1 count=$2 kpid ports
  shift 2
  start "$name.kestd" "$kestd" --tcp --no-cab --no-dxx --no-serial-port --log-level warning
  kpid=$started
  if ports=$(timeout -k 5 30 /usr/bin/python3 "$top/bench/open_device.py" "${open_serial:-$serial}" "$count" 2>"$work/$name.err"); then
    if [ -n "$pause_at" ]; then
      (sleep "$pause_at" && kill -STOP "$device_pid") &
      pauser=$!
      pids+=("$pauser")
    fi
    measure "$name" "$@" --port "$ports"
    if [ -n "$pause_at" ]; then
      wait "$pauser" || true
      forget "$pauser"
      kill -CONT "$device_pid"
    fi
  else
    notes+=("$name: $(cat "$work/$name.err")")
    : >"$work/$name.out"
  fi
  stop "$kpid"
  # Clients leaving at the end of a run (reset with unread data, or EOF) and the landing's
  # receive being cancelled at shutdown are expected; anything else is worth a look.
  if grep -Ev "$expected_log" "$work/$name.kestd.log" | grep -q .; then
    notes+=("$name kestd log: $(grep -Ev "$expected_log" "$work/$name.kestd.log" | head -3 | tr '\n' ' ')")
  fi
}
expected_log='client dropped|client write error: system:104|client read error|receive error: system:125'
pause_at=""

# The simulator only announces the device; the data port is relaybench's.
start sim "$sim" tcp --interface 127.0.0.1 --device "$serial=$device_port"
for i in $(seq 100); do
  grep -q 'kest-sim: ready' "$work/sim.log" && break
  kill -0 "$started" 2>/dev/null || { cat "$work/sim.log" >&2; exit 1; }
  sleep 0.1
done
grep -q 'kest-sim: ready' "$work/sim.log" || { echo "kest-sim not ready" >&2; exit 1; }

echo "== device streaming flat out to 1 client (${seconds} s per run; load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
device source
measure direct1 "$relaybench" fanout --port "$device_port" --clients 1 --seconds "$seconds" --verify
kestd_run kestd1 1 "$relaybench" fanout --clients 1 --seconds "$seconds" --verify
start socat socat -b 2097152 "TCP-LISTEN:$socat_port,bind=127.0.0.1,reuseaddr" "TCP:127.0.0.1:$device_port"
socat_pid=$started
wait_port "$socat_port"
measure socat1 "$relaybench" fanout --port "$socat_port" --clients 1 --seconds "$seconds" --verify
stop "$socat_pid"

direct_mbps=$(field aggregate_MBps direct1)
kestd1_mbps=$(field aggregate_MBps kestd1)
socat1_mbps=$(field aggregate_MBps socat1)
printf '%-8s %10s %12s %10s %6s %15s\n' path MB/s "x socat" "x direct" gaps "dropped bytes"
printf '%-8s %10s %12s %10s %6s %15s\n' direct "$direct_mbps" "$(ratio "$direct_mbps" "$socat1_mbps")" \
  1.00 "$(gaps direct1)" -
printf '%-8s %10s %12s %10s %6s %15s\n' kestd "$kestd1_mbps" "$(ratio "$kestd1_mbps" "$socat1_mbps")" \
  "$(ratio "$kestd1_mbps" "$direct_mbps")" "$(gaps kestd1)" "$(dropped kestd1)"
printf '%-8s %10s %12s %10s %6s %15s\n' socat "$socat1_mbps" 1.00 \
  "$(ratio "$socat1_mbps" "$direct_mbps")" "$(gaps socat1)" -
echo "(kestd drops what a client cannot take instead of slowing the device, so flat out it"
echo " may show gaps where socat, which holds the device back, shows none)"
echo

echo "== device streaming flat out to 4 and 8 clients: kestd beside ncat --broker"
# The device dials into the broker as one more broker client (relaybench device-source
# --connect), so the broker relays device -> clients in one hop like kestd does; a bridging
# socat in between would add a hop and a process competing for the two cores.
printf '%-8s %14s %14s %14s %14s %12s %8s %8s\n' clients "kestd min" "kestd agg" "ncat min" \
  "ncat agg" "agg k/ncat" "k gaps" "n gaps"
for n in 4 8; do
  kestd_run "kestd$n" "$n" "$relaybench" fanout --clients "$n" --seconds "$seconds" --verify
  start broker ncat --broker -l 127.0.0.1 "$broker_port"
  broker_pid=$started
  wait_port "$broker_port"
  start feeder "$relaybench" device-source --connect 127.0.0.1 --port "$broker_port"
  feeder_pid=$started
  measure "ncat$n" "$relaybench" fanout --port "$broker_port" --clients "$n" --seconds "$seconds" --verify
  stop "$feeder_pid"
  stop "$broker_pid"
  wait_closed "$broker_port"
  eval "kagg$n=\$(field aggregate_MBps kestd$n) nagg$n=\$(field aggregate_MBps ncat$n)"
  printf '%-8s %14s %14s %14s %14s %12s %8s %8s\n' "$n" "$(field min_MBps "kestd$n")" \
    "$(field aggregate_MBps "kestd$n")" "$(field min_MBps "ncat$n")" "$(field aggregate_MBps "ncat$n")" \
    "$(ratio "$(field aggregate_MBps "kestd$n")" "$(field aggregate_MBps "ncat$n")")" \
    "$(gaps "kestd$n")" "$(gaps "ncat$n")"
done
echo "(MB/s; min is the slowest client's, agg the sum over clients; gaps summed over clients)"
echo

rate=$(awk -v d="${direct_mbps:-0}" 'BEGIN {printf "%d", d / 2}')
echo "== device paced at $rate MB/s (half the direct rate) through kestd: every byte to every client"
lossless=PASS
if [ "$rate" -lt 1 ]; then
  echo "no direct rate to pace from"
  lossless=FAIL
else
  device source --rate "$rate"
  # The device pauses a quarter second before the clients stop reading, so they leave with
  # nothing in flight: a "client dropped" then means bytes lost while they were reading.
  pause_at=$(awk -v s="$seconds" 'BEGIN {print 0.5 + s - 0.25}')
  printf '%-8s %14s %14s %8s %15s %6s\n' clients "min MB/s" "agg MB/s" gaps "dropped bytes" result
  for n in 1 4 8; do
    kestd_run "paced$n" "$n" "$relaybench" fanout --clients "$n" --seconds "$seconds" --verify
    g=$(gaps "paced$n")
    d=$(dropped "paced$n")
    verdict=PASS
    if [ ! -s "$work/paced$n.out" ] || [ "$g" != 0 ] || [ "$d" != 0 ]; then verdict=FAIL lossless=FAIL; fi
    printf '%-8s %14s %14s %8s %15s %6s\n' "$n" "$(field min_MBps "paced$n")" \
      "$(field aggregate_MBps "paced$n")" "$g" "$d" "$verdict"
    grep 'client dropped' "$work/paced$n.kestd.log" | sed 's/^/    /' || true
  done
  pause_at=""
  echo "(MB/s over the whole run, the device idle for its last 0.25 s)"
fi
echo

# kest-sim's paced stream writes 10 ms worth at a time and never catches up after being
# held back, so the bytes that piled up before the first client attached arrive once and
# the rest at the rate. Its stream starts at 0 on each connection, like relaybench's.
stop "$device_pid"
device_pid=""
sim_paced() {  # sim_paced RATE_MBPS: (re)starts the simulated paced device 4D5E6F
  [ -n "${paced_sim:-}" ] && stop "$paced_sim"
  start paced_sim "$sim" tcp --interface 127.0.0.1 --device "4D5E6F:stream:${1}M"
  paced_sim=$started
  device_pid=$started  # paused before the clients stop reading, as above
  for i in $(seq 100); do grep -q 'kest-sim: ready' "$work/paced_sim.log" && break; sleep 0.1; done
}
echo "== kest-sim's paced stream through kestd (no catch-up bursts): every byte to every client"
sim_lossless=PASS
printf '%-8s %10s %14s %14s %8s %15s %6s\n' clients "rate" "min MB/s" "agg MB/s" gaps "dropped bytes" result
open_serial=4D5E6F
pause_at=$(awk -v s="$seconds" 'BEGIN {print 0.5 + s - 0.25}')
for n in 1 4 8; do
  # Half the direct rate, and for several clients also half of what kestd gave each of
  # them flat out, which the two cores can sustain.
  rates=("$rate")
  if [ "$n" != 1 ]; then
    rates+=("$(awk -v m="$(field min_MBps "kestd$n")" 'BEGIN {printf "%d", m / 2}')")
  fi
  for r in "${rates[@]}"; do
    [ "$r" -ge 1 ] || continue
    sim_paced "$r"
    kestd_run "simpaced$n-$r" "$n" "$relaybench" fanout --clients "$n" --seconds "$seconds" --verify
    g=$(gaps "simpaced$n-$r")
    d=$(dropped "simpaced$n-$r")
    verdict=PASS
    if [ ! -s "$work/simpaced$n-$r.out" ] || [ "$g" != 0 ] || [ "$d" != 0 ]; then verdict=FAIL sim_lossless=FAIL; fi
    printf '%-8s %10s %14s %14s %8s %15s %6s\n' "$n" "$r" "$(field min_MBps "simpaced$n-$r")" \
      "$(field aggregate_MBps "simpaced$n-$r")" "$g" "$d" "$verdict"
  done
done
open_serial=""
pause_at=""
stop "$paced_sim"
device_pid=""
echo "(rate in MB/s per client; the device idle for the last 0.25 s of each run)"
echo

echo "== echo round trips (relaybench pingpong --spin, 2000 rounds)"
device echo
printf '%-10s %12s %12s %12s %12s %12s %12s\n' size "direct p50" "direct p99" "kestd p50" \
  "kestd p99" "socat p50" "socat p99"
for size in 1 4096; do
  ping=(pingpong --count 2000 --size "$size" --spin)
  measure "echo_direct$size" "$relaybench" "${ping[@]}" --port "$device_port"
  kestd_run "echo_kestd$size" 1 "$relaybench" "${ping[@]}"
  start socat socat -b 2097152 "TCP-LISTEN:$socat_port,bind=127.0.0.1,reuseaddr" "TCP:127.0.0.1:$device_port"
  socat_pid=$started
  wait_port "$socat_port"
  measure "echo_socat$size" "$relaybench" "${ping[@]}" --port "$socat_port"
  stop "$socat_pid"
  wait_closed "$socat_port"
  printf '%-10s %12s %12s %12s %12s %12s %12s\n' "$size" \
    "$(field p50_us "echo_direct$size")" "$(field p99_us "echo_direct$size")" \
    "$(field p50_us "echo_kestd$size")" "$(field p99_us "echo_kestd$size")" \
    "$(field p50_us "echo_socat$size")" "$(field p99_us "echo_socat$size")"
done
echo "(microseconds)"
echo

target() {  # target TEXT VALUE OK
  printf '  %-44s %-26s %s\n' "$1" "$2" "$([ "$3" = 1 ] && echo met || echo MISSED)"
}
ge() { awk -v a="${1:-0}" -v b="$2" 'BEGIN {print (a != "-" && a + 0 >= b) ? 1 : 0}'; }
le() { awk -v a="${1:-}" -v b="${2:-}" 'BEGIN {print (a != "" && b != "" && a + 0 <= b + 0) ? 1 : 0}'; }
r1=$(ratio "$kestd1_mbps" "$socat1_mbps")
r8=$(ratio "${kagg8:-0}" "${nagg8:-0}")
e1k=$(field p50_us echo_kestd1) e1s=$(field p50_us echo_socat1)
e4k=$(field p50_us echo_kestd4096) e4s=$(field p50_us echo_socat4096)
echo "== summary"
target "1 client, kestd / socat >= 1.0" "$r1 x" "$(ge "$r1" 1.0)"
target "8 clients, kestd / ncat aggregate >= 1.5" "$r8 x" "$(ge "$r8" 1.5)"
target "1-byte echo p50, kestd <= socat" "${e1k:-?} vs ${e1s:-?} us" "$(le "$e1k" "$e1s")"
target "4 KiB echo p50, kestd <= socat" "${e4k:-?} vs ${e4s:-?} us" "$(le "$e4k" "$e4s")"
target "paced at $rate MB/s, no loss at 1/4/8 clients" "$lossless" "$([ "$lossless" = PASS ] && echo 1)"
target "kest-sim paced, no loss at 1/4/8 clients" "$sim_lossless" "$([ "$sim_lossless" = PASS ] && echo 1)"
if [ ${#notes[@]} -gt 0 ]; then
  echo
  echo "notes:"
  printf '  %s\n' "${notes[@]}"
fi
