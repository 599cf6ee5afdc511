#!/usr/bin/env bash
# Downloads one torrent (default 2 GiB, 256 KiB pieces) from the same aria2c
# seeder on loopback, found through opentracker, with this engine
# (tidewell-fetch with P2P on) and with aria2c in turns for a few rounds
# (default 3), and prints each one's throughput, CPU seconds per GiB and peak
# memory (/usr/bin/time -v), with the engine's ratios to aria2c.
#
#   bench/bt_vs_aria2.sh [build-dir] [size-MiB] [rounds]
set -euo pipefail

build=${1:-build/normal}
size_mib=${2:-2048}
rounds=${3:-3}
source "$(dirname "$0")/bt_common.sh"

make_content "$size_mib"
start_tracker
aria2c "${aria2_common[@]}" --interface=127.0.0.3 -d "$dir/seed" --listen-port="$(free_port 127.0.0.3)" --bt-seed-unverified=true --seed-ratio=0.0 \
  "$dir/f.torrent" > "$dir/seeder.log" 2>&1 &
pids+=($!)
wait_peers 1
cat "$dir/seed/f.bin" > /dev/null

# An untimed write first: the first program to write that much would
# otherwise also pay for memory the machine has never used before (new page
# cache pages cost far more in a virtual machine than reused ones).
head -c $((size_mib * 1048576)) /dev/zero > "$dir/warm-up.bin"
rm -f "$dir/warm-up.bin"

source "$(dirname "$0")/timed_run.sh"
# The two take turns, round after round, so a drift of the machine's speed
# touches both alike; medians and per-round ratios are shown.
for round in $(seq "$rounds"); do
  echo "round $round of $rounds..." >&2
  timed_run "$round" tidewell "$dir/seed/f.bin" "$fetch" --quiet --work "$dir/out" --target "$dir/out/f.bin" \
    --torrent "$dir/f.torrent" --bt-limit 20 --listen "127.0.0.2:$(free_port 127.0.0.2)" --timeout 3600
  timed_run "$round" aria2c "$dir/seed/f.bin" aria2c "${aria2_common[@]}" --interface=127.0.0.4 -d "$dir/out" \
    --listen-port="$(free_port 127.0.0.4)" --seed-time=0 "$dir/f.torrent"
done
python3 "$(dirname "$0")/rounds.py" "$results" "$size_mib" aria2c tidewell aria2c
