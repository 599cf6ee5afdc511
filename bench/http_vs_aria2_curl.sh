#!/usr/bin/env bash
# Downloads one 2 GiB file from the same local nginx three times: with this
# engine (tidewell-fetch, one task through the call interface), with
# `aria2c -x16 -s16` and with `curl`, and prints each one's throughput, CPU
# seconds per GiB and peak memory (from /usr/bin/time -v), with the ratios to
# aria2c: once up to each program's exit, once up to its file being on the
# disk (the engine syncs before it completes; the others do not).
#
#   bench/http_vs_aria2_curl.sh [build-dir] [size-MiB]
#
# The build dir must hold tools/tidewell-fetch (default build/normal). The
# test file and the downloads live in a temporary folder on the same disk as
# TMPDIR; everything is removed at the end.
set -euo pipefail

build=${1:-build/normal}
size_mib=${2:-2048}
fetch="$build/tools/tidewell-fetch"
[[ -x "$fetch" ]] || { echo "no $fetch (build the tidewell-fetch target)" >&2; exit 1; }
for tool in nginx aria2c curl /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps)" >&2; exit 1; }
done

dir=$(mktemp -d "${TMPDIR:-/tmp}/tw-bench.XXXXXX")
nginx_pid=
cleanup() {
  [[ -n "$nginx_pid" ]] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT

# nginx's workers run as an unprivileged user: the served folder must be
# readable to them.
chmod 755 "$dir"
mkdir -p "$dir/root" "$dir/nginx/temp" "$dir/out"
echo "making a ${size_mib} MiB test file..." >&2
head -c $((size_mib * 1048576)) /dev/urandom > "$dir/root/big.bin"
chmod 644 "$dir/root/big.bin"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$dir/nginx/nginx.conf" <<CONF
pid $dir/nginx/nginx.pid;
error_log $dir/nginx/error.log;
worker_processes 2;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path $dir/nginx/temp/body;
  proxy_temp_path $dir/nginx/temp/proxy;
  fastcgi_temp_path $dir/nginx/temp/fastcgi;
  uwsgi_temp_path $dir/nginx/temp/uwsgi;
  scgi_temp_path $dir/nginx/temp/scgi;
  server { listen 127.0.0.1:$port; root $dir/root; }
}
CONF
nginx -p "$dir/nginx" -c "$dir/nginx/nginx.conf" -g 'daemon off;' &
nginx_pid=$!
url="http://127.0.0.1:$port/big.bin"
for _ in $(seq 100); do
  curl -sf -r 0-0 -o /dev/null "$url" && break
  sleep 0.1
done
curl -sf -r 0-0 -o /dev/null "$url" || { echo "nginx does not serve the file:" >&2; cat "$dir/nginx/error.log" >&2; exit 1; }
# Warm the page cache so every program reads the source at the same speed.
cat "$dir/root/big.bin" > /dev/null

declare -A wall cpu rss dwall dcpu
# Wall and CPU seconds of one /usr/bin/time -v report.
times() {  # file -> "wall cpu"
  python3 - "$1" <<'PY'
import sys
f = dict(l.strip().split(': ', 1) for l in open(sys.argv[1]) if ': ' in l)
s = 0.0
for x in f['Elapsed (wall clock) time (h:mm:ss or m:ss)'].split(':'): s = s * 60 + float(x)
print(s, float(f['User time (seconds)']) + float(f['System time (seconds)']))
PY
}
run() {  # name, command...
  local name=$1; shift
  rm -rf "$dir/out"/*
  sync
  /usr/bin/time -v -o "$dir/time.$name" "$@" > "$dir/log.$name" 2>&1 || {
    echo "$name failed:" >&2; tail -5 "$dir/log.$name" >&2; return 1; }
  local out
  out=$(ls "$dir/out" | grep -v -e '\.twinfo' -e '\.aria2' | head -1)
  # The engine syncs its file before it reports completion; the others leave
  # the writing to the kernel. Syncing each file afterwards (in a timed
  # process of its own, so its writeback CPU is counted) gives the time to
  # a file that is on the disk for every program.
  /usr/bin/time -v -o "$dir/time.$name.sync" python3 -c \
    'import os, sys; fd = os.open(sys.argv[1], os.O_RDONLY); os.fdatasync(fd)' "$dir/out/$out"
  cmp -s "$dir/out/$out" "$dir/root/big.bin" || { echo "$name: the file differs" >&2; return 1; }
  read -r wall[$name] cpu[$name] < <(times "$dir/time.$name")
  local sw sc
  read -r sw sc < <(times "$dir/time.$name.sync")
  dwall[$name]=$(python3 -c "print(${wall[$name]} + $sw)")
  dcpu[$name]=$(python3 -c "print(${cpu[$name]} + $sc)")
  rss[$name]=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$dir/time.$name")
}

run tidewell "$fetch" --quiet --work "$dir/out" --target "$dir/out/big.bin" --info "$dir/out/big.bin.twinfo" "$url"
run aria2c aria2c -q -x16 -s16 -k1M --file-allocation=none --allow-overwrite=true -d "$dir/out" -o big.bin "$url"
run curl curl -s -o "$dir/out/big.bin" "$url"

gib=$(python3 -c "print($size_mib/1024)")
printf '\n%-10s %10s %10s %14s %16s %10s\n' program "MiB/s" "CPU s/GiB" "MiB/s synced" "CPU s/GiB synced" "peak MiB"
for name in tidewell aria2c curl; do
  python3 - "$name" "${wall[$name]}" "${cpu[$name]}" "${dwall[$name]}" "${dcpu[$name]}" "${rss[$name]}" "$size_mib" "$gib" <<'PY'
import sys
name = sys.argv[1]
wall, cpu, dwall, dcpu = map(float, sys.argv[2:6])
rss, mib, gib = int(sys.argv[6]), float(sys.argv[7]), float(sys.argv[8])
print(f"{name:<10} {mib/wall:10.1f} {cpu/gib:10.3f} {mib/dwall:14.1f} {dcpu/gib:16.3f} {rss/1024:10.1f}")
PY
done
python3 - "${wall[tidewell]}" "${cpu[tidewell]}" "${dwall[tidewell]}" "${dcpu[tidewell]}" "${rss[tidewell]}" \
  "${wall[aria2c]}" "${cpu[aria2c]}" "${dwall[aria2c]}" "${dcpu[aria2c]}" "${rss[aria2c]}" <<'PY'
import sys
tw, tc, tdw, tdc, tr, aw, ac, adw, adc, ar = map(float, sys.argv[1:])
print()
print(f"tidewell / aria2c, to exit      : throughput x{aw/tw:.2f}, CPU per GiB x{tc/ac:.2f}")
print(f"tidewell / aria2c, file on disk : throughput x{adw/tdw:.2f}, CPU per GiB x{tdc/adc:.2f}")
print(f"peak memory x{tr/ar:.2f}")
print(f"goal: throughput >= aria2c (to exit: {'met' if tw <= aw else 'not met'}; on disk: {'met' if tdw <= adw else 'not met'}), "
      f"CPU/GiB <= aria2c (to exit: {'met' if tc <= ac else 'not met'}; on disk: {'met' if tdc <= adc else 'not met'}), "
      f"peak memory < 100 MiB ({'met' if tr < 100*1024 else 'not met'})")
PY
