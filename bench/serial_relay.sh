#!/usr/bin/env bash
# Serial relay benchmark, all in one run so the figures compare:
#  - a simulated USB serial device streaming flat out, relayed by kestd to 1, 4 and 8
#    clients, beside reading the same kind of port directly;
#  - 1-byte and 4 KiB echo round trips through kestd to an echoing device.
# Runs in a private network namespace (root), so it never meets a kestd you are running.
# Usage: bench/serial_relay.sh [SECONDS_PER_RUN]   (needs a default build: scripts/start or
# scripts/test builds it)
set -euo pipefail
source "$(dirname "$0")/bench_env.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Inside kest-sim: kestd relays SERIAL to CLIENTS clients.
cat >"$work/kestd_fanout.sh" <<SH
#!/usr/bin/env bash
"$kestd" --no-cab --no-dxx --log-level warning 2>"$work/kestd.log" &
ports=\$(/usr/bin/python3 "$top/bench/open_device.py" 123456 \$1)
"$relaybench" fanout --host 127.0.0.1 --port "\$ports" --clients \$1 --seconds $seconds --verify
kill -INT %1; wait || true
SH

cat >"$work/kestd_echo.sh" <<SH
#!/usr/bin/env bash
"$kestd" --no-cab --no-dxx --log-level warning 2>"$work/kestd.log" &
port=\$(/usr/bin/python3 "$top/bench/open_device.py" 1A2B3C 1)
"$relaybench" pingpong --host 127.0.0.1 --port \$port --count 2000 --size \$1 --spin
kill -INT %1; wait || true
SH

chmod +x "$work"/*.sh

field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" | tail -1; }

stream() { "$sim" serial --device 123456:stream -- "$@" </dev/null 2>/dev/null; }
echo_dev() { "$sim" serial --device 1A2B3C:echo -- "$@" </dev/null 2>/dev/null; }

direct=$(stream "$relaybench" sink --path /dev/ttyACM0 --seconds "$seconds" --buf 4096 --verify)
direct_mbps=$(echo "$direct" | grep '^sink MBps' | field MBps)
printf 'direct read of the simulated port: %s MB/s (%s)\n\n' "$direct_mbps" \
  "$(echo "$direct" | grep -o 'gaps=[0-9]*' | head -1)"

printf '%-8s %16s %16s %10s %12s\n' clients "kestd min MB/s" "aggregate MB/s" "x direct" "kestd gaps"
for n in 1 4 8; do
  k=$(stream "$work/kestd_fanout.sh" $n)
  k_min=$(echo "$k" | field min_MBps)
  k_agg=$(echo "$k" | field aggregate_MBps)
  k_gaps=$(echo "$k" | grep -o 'gaps=[0-9]*' | cut -d= -f2 | paste -sd+ | bc)
  printf '%-8s %16s %16s %10.2f %12s\n' "$n" "$k_min" "$k_agg" \
    "$(echo "$k_min / $direct_mbps" | bc -l)" "$k_gaps"
done
echo "(min MB/s is the slowest client's; gaps summed over clients)"
echo

printf '%-10s %16s %16s\n' "echo size" "kestd p50 us" "kestd p99 us"
for size in 1 4096; do
  k=$(echo_dev "$work/kestd_echo.sh" $size)
  printf '%-10s %16s %16s\n' "$size" "$(echo "$k" | field p50_us)" "$(echo "$k" | field p99_us)"
done
