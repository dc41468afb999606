#!/usr/bin/env bash
# CPU time and resident memory of tarvo-engined over 60 s while connected and idle (the switcher
# simulator answering its pings), with a database of 2000 events none of which falls due.
#   bench/idle_usage.sh [SECONDS=60]
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-60}
bin=${BIN:-build/bin}
dir=$(mktemp -d)
trap 'kill $engine $sim 2>/dev/null; rm -rf "$dir"' EXIT
port=$(( 20000 + RANDOM % 20000 ))
sqlite3 "$dir/TarvoAutomation.mdb" < docs/TarvoAutomation.sql
other=$(( ( $(date +%u) + 2 ) % 7 ))   # a day that is neither today nor tomorrow
{
  echo "BEGIN; UPDATE Server SET IPAddr='127.0.0.1', IPPort=$port;"
  for i in $(seq 0 1999); do
    echo "INSERT INTO Automation (Number, Day, Time, Title, Active, Type, xcontrol, SourceChan, DestChan) VALUES ($i, $other, '$(printf '%02d:%02d:%02d' $(( i / 120 )) $(( i / 2 % 60 )) $(( i % 2 * 30 )))', 'E$i', 1, 0, 1, 1, 1);"
  done
  echo "COMMIT;"
} | sqlite3 "$dir/TarvoAutomation.mdb"
"$bin/tarvo-switcher-sim" --port "$port" --outputs 256 > /dev/null &
sim=$!
sleep 0.5
"$bin/tarvo-engined" "$dir" > /dev/null &
engine=$!
sleep 5   # start-up and the first map behind us
ticks=$(getconf CLK_TCK)
cpu() { awk '{print $14 + $15}' "/proc/$engine/stat"; }
rss() { awk '/VmRSS/ {print $2}' "/proc/$engine/status"; }
c0=$(cpu); r0=$(rss)
sleep "$secs"
c1=$(cpu); r1=$(rss)
kill -TERM $engine; wait $engine || true
awk -v c0="$c0" -v c1="$c1" -v t="$ticks" -v s="$secs" -v r0="$r0" -v r1="$r1" 'BEGIN {
  printf "CPU over %d s: %.2f s (%.2f %% of one core); RSS %d KiB at start, %d KiB at end\n", s, (c1 - c0) / t, 100 * (c1 - c0) / t / s, r0, r1 }'
