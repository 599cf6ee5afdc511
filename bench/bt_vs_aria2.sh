#!/usr/bin/env bash
# Downloads one torrent (default 2 GiB, 256 KiB pieces) from the same aria2c
# seeder on loopback, found through opentracker, first with this engine
# (tidewell-fetch with P2P on) and then with aria2c, and prints each one's
# throughput, CPU seconds per GiB and peak memory (/usr/bin/time -v), with
# the engine's ratios to aria2c.
#
#   bench/bt_vs_aria2.sh [build-dir] [size-MiB]
set -euo pipefail

build=${1:-build/normal}
size_mib=${2:-2048}
source "$(dirname "$0")/bt_common.sh"

make_content "$size_mib"
start_tracker
aria2c "${aria2_common[@]}" --interface=127.0.0.3 -d "$dir/seed" --listen-port="$(free_port 127.0.0.3)" --bt-seed-unverified=true --seed-ratio=0.0 \
  "$dir/f.torrent" > "$dir/seeder.log" 2>&1 &
pids+=($!)
wait_peers 1
cat "$dir/seed/f.bin" > /dev/null

declare -A wall cpu rss
run() {  # name, command...
  local name=$1; shift
  rm -rf "$dir/out"; mkdir -p "$dir/out"
  sync
  /usr/bin/time -v -o "$dir/time.$name" "$@" > "$dir/log.$name" 2>&1 || {
    echo "$name failed:" >&2; tail -5 "$dir/log.$name" >&2; return 1; }
  cmp -s "$dir/out/f.bin" "$dir/seed/f.bin" || { echo "$name: the file differs" >&2; return 1; }
  local elapsed user sys
  elapsed=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$dir/time.$name")
  user=$(awk -F': ' '/User time/ {print $2}' "$dir/time.$name")
  sys=$(awk -F': ' '/System time/ {print $2}' "$dir/time.$name")
  wall[$name]=$(python3 -c "
t='$elapsed'.split(':'); s=0.0
for x in t: s=s*60+float(x)
print(s)")
  cpu[$name]=$(python3 -c "print($user+$sys)")
  rss[$name]=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$dir/time.$name")
}

run tidewell "$fetch" --quiet --work "$dir/out" --target "$dir/out/f.bin" --torrent "$dir/f.torrent" \
  --bt-limit 20 --listen "127.0.0.2:$(free_port 127.0.0.2)" --timeout 3600
run aria2c aria2c "${aria2_common[@]}" --interface=127.0.0.4 -d "$dir/out" --listen-port="$(free_port 127.0.0.4)" --seed-time=0 "$dir/f.torrent"

gib=$(python3 -c "print($size_mib/1024)")
printf '\n%-10s %14s %14s %14s\n' program "MiB/s" "CPU s/GiB" "peak MiB"
for name in tidewell aria2c; do
  python3 - "$name" "${wall[$name]}" "${cpu[$name]}" "${rss[$name]}" "$size_mib" "$gib" <<'PY'
import sys
name, wall, cpu, rss, mib, gib = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5]), float(sys.argv[6])
print(f"{name:<10} {mib/wall:14.1f} {cpu/gib:14.3f} {rss/1024:14.1f}")
PY
done
python3 - "${wall[tidewell]}" "${cpu[tidewell]}" "${rss[tidewell]}" "${wall[aria2c]}" "${cpu[aria2c]}" "${rss[aria2c]}" <<'PY'
import sys
tw, tc, tr, aw, ac, ar = map(float, sys.argv[1:])
print()
print(f"tidewell / aria2c: throughput x{aw/tw:.2f}, CPU per GiB x{tc/ac:.2f}, peak memory x{tr/ar:.2f}")
PY
