#!/usr/bin/env bash
# Timed-event lateness end to end on the real clock: tarvo-engined against the switcher
# simulator, one take event at every second for N seconds; for each take frame the simulator
# receives, how many ms after the start of its second it arrived. Prints the median, the 99th
# percentile and the maximum. With WEB=1 the web console is open, with 5 live streams and 20
# clients asking /api/status and /metrics every second (bench/web_load.py).
#   [WEB=1] bench/e2e_lateness.sh [EVENTS=200]
set -euo pipefail
cd "$(dirname "$0")/.."
events=${1:-200}
bin=${BIN:-build/bin}
dir=$(mktemp -d)
load=
trap 'kill $engine $sim $load 2>/dev/null; rm -rf "$dir"' EXIT
port=$(( 20000 + RANDOM % 20000 ))
sqlite3 "$dir/TarvoAutomation.mdb" < docs/TarvoAutomation.sql
start=$(( $(date +%s) + 4 ))
{
  echo "BEGIN; UPDATE Server SET IPAddr='127.0.0.1', IPPort=$port;"
  for i in $(seq 0 $(( events - 1 ))); do
    t=$(( start + i ))
    echo "INSERT INTO Automation (Number, Day, Time, Title, Active, Type, xcontrol, SourceChan, DestChan, Priority, Delay, FileType)
          VALUES ($i, $(( $(date -d @$t +%u) - 1 )), '$(date -d @$t +%H:%M:%S)', 'E$i', 1, 0, 1, $(( i % 60 + 1 )), 1, 0, 0, 0);"
  done
  echo "COMMIT;"
} | sqlite3 "$dir/TarvoAutomation.mdb"
"$bin/tarvo-switcher-sim" --port "$port" --outputs 8 --sources 64 > "$dir/sim.log" &
sim=$!
sleep 0.5
web=()
if [ -n "${WEB:-}" ]; then
  web=(--listen "127.0.0.1:$(( port + 1 ))")
  echo "bench password" | "$bin/tarvo-engined" --add-user bench "$dir" > /dev/null
fi
"$bin/tarvo-engined" "${web[@]}" "$dir" > "$dir/engine.log" &
engine=$!
if [ -n "${WEB:-}" ]; then
  sleep 1
  /usr/bin/python3 bench/web_load.py $(( port + 1 )) bench "bench password" 5 20 $(( events + 4 )) &
  load=$!
fi
sleep $(( events + 6 ))
[ -z "$load" ] || wait $load || true
kill -TERM $engine; wait $engine || true
# "hh:mm:ss.zzz RX FE 04 08 ..." : the milliseconds part is the lateness after the second.
grep ' RX FE 04 08' "$dir/sim.log" | awk '{split($1, t, "."); print t[2] + 0}' | sort -n > "$dir/late.txt"
n=$(wc -l < "$dir/late.txt")
[ "$n" -gt 0 ] || { echo "no take frames arrived"; exit 1; }
median=$(sed -n "$(( (n + 1) / 2 ))p" "$dir/late.txt")
p99=$(sed -n "$(( (n * 99 + 99) / 100 ))p" "$dir/late.txt")
max=$(tail -1 "$dir/late.txt")
echo "takes received: $n of $events; lateness after the second: median ${median} ms, p99 ${p99} ms, max ${max} ms"
