#!/usr/bin/env bash
# Resident memory of tarvo-engined once it has loaded a database: the table of
# bench/full_table.sql (32767 rows, every column filled) beside an empty one. No switcher: the
# address is left at 0.0.0.0, which is never dialled.
#   bench/load_memory.sh [RUNS=3]      BIN=<folder of tarvo-engined> (default build/bin)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
bin=${BIN:-build/bin}
dir=$(mktemp -d)
engine=
trap '[ -n "$engine" ] && kill $engine 2>/dev/null; rm -rf "$dir"' EXIT
mkdir "$dir/empty" "$dir/full"
sqlite3 "$dir/empty/TarvoAutomation.mdb" < docs/TarvoAutomation.sql
sqlite3 "$dir/full/TarvoAutomation.mdb" < docs/TarvoAutomation.sql
sqlite3 "$dir/full/TarvoAutomation.mdb" < bench/full_table.sql
for table in empty full; do
  for run in $(seq 1 "$runs"); do
    "$bin/tarvo-engined" "$dir/$table" > "$dir/out" &
    engine=$!
    # Loaded once the status line says how many events there are.
    for _ in $(seq 1 100); do
      grep -q "Total Events" "$dir/out" 2>/dev/null && break
      sleep 0.1
    done
    sleep 2
    rss=$(awk '/VmRSS/ {print $2}' "/proc/$engine/status")
    hwm=$(awk '/VmHWM/ {print $2}' "/proc/$engine/status")
    kill -TERM $engine; wait $engine || true
    engine=
    rm -f "$dir/$table/Tally.dat" "$dir/$table/Errorlog.txt"
    echo "$table run $run: VmRSS $rss KiB, VmHWM $hwm KiB"
  done
done
