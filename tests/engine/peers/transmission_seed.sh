#!/bin/sh
# Run inside a private network namespace (unshare --net) by the swarm test:
# Transmission ignores peers in 127.0.0.0/8, so loopback gets three
# addresses of 198.18.0.0/15: opentracker on .1, the Transmission seeder on
# .2, the one-task program on .3. DIR holds seed/f.bin, f.torrent (announcing
# udp://198.18.0.1:6969/announce), ot/ (whitelist and configuration) and
# tr/settings.json; the program's output goes to DIR/engine.log.
#
#   transmission_seed.sh FETCH DIR
set -eu
fetch=$1
dir=$2
ip link set lo up
for i in 1 2 3; do ip addr add "198.18.0.$i/32" dev lo; done

pids=""
cleanup() { for p in $pids; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT

opentracker -i 198.18.0.1 -p 6969 -P 6969 -f "$dir/ot/opentracker.conf" -d "$dir/ot" -u nobody \
  > "$dir/ot.log" 2>&1 &
pids="$pids $!"
transmission-cli -g "$dir/tr" -w "$dir/seed" -et "$dir/f.torrent" > "$dir/transmission.log" 2>&1 &
pids="$pids $!"

# The seeder must be listed before the engine announces (it asks again only
# after 600 s): poll the scrape for up to 30 s.
hash=$(cat "$dir/ot/whitelist.txt")
escaped=$(echo "$hash" | sed 's/../%&/g')
listed=0
for _ in $(seq 300); do
  if curl -s --max-time 1 "http://198.18.0.1:6969/scrape?info_hash=$escaped" | grep -aq '8:completei1e'; then
    listed=1
    break
  fi
  sleep 0.1
done
[ "$listed" = 1 ] || { echo "the tracker never listed the seeder"; tail -c 2000 "$dir/transmission.log"; exit 3; }

"$fetch" --target "$dir/got/f.bin" --torrent "$dir/f.torrent" --work "$dir/work" --bt-limit 20 \
  --listen 198.18.0.3:7000 --timeout 150 --quiet > "$dir/engine.log" 2>&1
