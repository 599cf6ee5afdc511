#!/usr/bin/env bash
# Server offload: four engine instances (tidewell-fetch, P2SP) download the
# same file at once from one nginx web source plus each other, finding each
# other through opentracker. Prints the bytes nginx sent as a multiple of the
# file size (four plain HTTP downloads would be 4.0; the goal is 1.5 or less)
# and each instance's web and peer byte counts.
#
#   bench/bt_offload.sh [build-dir] [size-MiB] [nginx-rate-per-connection] [web-connections]
#
# The web source is rate limited per connection (default 4m) so that it is
# the scarce resource, as a real server shared by many downloaders is.
set -euo pipefail

build=${1:-build/normal}
size_mib=${2:-256}
rate=${3:-4m}
web=${4:-2}
source "$(dirname "$0")/bt_common.sh"

make_content "$size_mib"
start_tracker
start_nginx "$dir/seed" "limit_rate $rate;"
url="http://127.0.0.1:$nginx_port/f.bin"

start=$(date +%s.%N)
for i in 1 2 3 4; do
  mkdir -p "$dir/out$i"
  "$fetch" --quiet --work "$dir/out$i" --target "$dir/out$i/f.bin" --torrent "$dir/f.torrent" --web-limit "$web" \
    --bt-limit 20 --listen "127.0.0.1$i:$(free_port 127.0.0.1$i)" --seed-until "$dir/stop" --timeout 900 "$url" \
    > "$dir/engine$i.log" 2>&1 &
  pids+=($!)
done
# Each instance prints "complete" once its file is whole; all keep seeding
# until the last one is done.
for i in 1 2 3 4; do
  until grep -qs '^complete' "$dir/engine$i.log"; do
    if ! kill -0 "${pids[$((i + 1))]}" 2>/dev/null; then echo "instance $i ended early:" >&2; tail "$dir/engine$i.log" >&2; exit 1; fi
    sleep 0.2
  done
done
end=$(date +%s.%N)
touch "$dir/stop"
for i in 1 2 3 4; do wait "${pids[$((i + 1))]}" || true; done
for i in 1 2 3 4; do
  cmp -s "$dir/out$i/f.bin" "$dir/seed/f.bin" || { echo "instance $i: the file differs" >&2; exit 1; }
done
served=$(awk '{s+=$1} END {print s+0}' "$dir/nginx/access.log")
requests=$(wc -l < "$dir/nginx/access.log")
# What the instances kept from the web source; the rest of what nginx sent
# was read past or was still in flight when a request was dropped.
kept=$(cat "$dir"/engine[1-4].log | awk '/^complete/ {s+=$3} END {print s+0}')
python3 - "$served" "$size_mib" "$start" "$end" "$requests" "$kept" <<'PY'
import sys
served, mib, start, end = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
requests, kept = int(sys.argv[5]), int(sys.argv[6])
size = mib * 1048576
print(f"file {mib} MiB, four instances done in {end - start:.1f} s")
print(f"nginx sent {served} bytes = {served / size:.2f} x the file (pure HTTP: 4.00; goal <= 1.50:"
      f" {'met' if served <= 1.5 * size else 'not met'})")
print(f"{requests} requests; the instances kept {kept / size:.2f} x the file from the web source,"
      f" {(served - kept) / size:.2f} x was sent but not used")
PY
for i in 1 2 3 4; do echo "instance $i: $(grep '^complete' "$dir/engine$i.log")"; done
