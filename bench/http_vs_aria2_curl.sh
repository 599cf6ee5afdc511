#!/usr/bin/env bash
# Downloads one 2 GiB file from the same local nginx, in turns for a few
# rounds (default 3): with this
# engine (tidewell-fetch, one task through the call interface), with
# `aria2c -x16 -s16` and with `curl`, and prints each one's throughput, CPU
# seconds per GiB and peak memory (from /usr/bin/time -v), with the ratios to
# aria2c: once up to each program's exit, once up to its file being on the
# disk (the engine syncs before it completes; the others do not).
#
#   bench/http_vs_aria2_curl.sh [build-dir] [size-MiB] [rounds]
#
# The build dir must hold tools/tidewell-fetch (default build/normal). The
# test file and the downloads live in a temporary folder on the same disk as
# TMPDIR; everything is removed at the end.
set -euo pipefail

build=${1:-build/normal}
size_mib=${2:-2048}
rounds=${3:-3}
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
# An untimed download first: the first program to write that much would
# otherwise also pay for memory the machine has never used before (new page
# cache pages cost far more in a virtual machine than reused ones).
curl -s -o "$dir/out/warm-up.bin" "$url"
rm -f "$dir/out/warm-up.bin"

results="$dir/results"
: > "$results"
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
run() {  # round, name, command...
  local round=$1 name=$2; shift 2
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
  local w c sw sc
  read -r w c < <(times "$dir/time.$name")
  read -r sw sc < <(times "$dir/time.$name.sync")
  echo "$round $name $w $c $sw $sc $(awk -F': ' '/Maximum resident set size/ {print $2}' "$dir/time.$name")" >> "$results"
}

# The programs take turns, round after round, so a drift of the machine's
# speed touches all of them alike; medians and per-round ratios are shown.
for round in $(seq "$rounds"); do
  echo "round $round of $rounds..." >&2
  run "$round" tidewell "$fetch" --quiet --work "$dir/out" --target "$dir/out/big.bin" --info "$dir/out/big.bin.twinfo" "$url"
  run "$round" aria2c aria2c -q -x16 -s16 -k1M --file-allocation=none --allow-overwrite=true -d "$dir/out" -o big.bin "$url"
  run "$round" curl curl -s -o "$dir/out/big.bin" "$url"
done

python3 - "$results" "$size_mib" <<'PY'
import statistics, sys
rows = [l.split() for l in open(sys.argv[1])]
mib = float(sys.argv[2]); gib = mib / 1024
runs = {}
for r, name, w, c, sw, sc, rss in rows:
    runs.setdefault(name, {})[int(r)] = dict(wall=float(w), cpu=float(c), dwall=float(w) + float(sw),
                                             dcpu=float(c) + float(sc), rss=int(rss) / 1024)
med = lambda name, key: statistics.median(v[key] for v in runs[name].values())
print(f"\n{len(runs['tidewell'])} rounds, medians")
print(f"{'program':<10} {'MiB/s':>10} {'CPU s/GiB':>10} {'MiB/s synced':>14} {'CPU s/GiB synced':>17} {'peak MiB':>9}")
for name in ('tidewell', 'aria2c', 'curl'):
    print(f"{name:<10} {mib / med(name, 'wall'):10.1f} {med(name, 'cpu') / gib:10.3f} {mib / med(name, 'dwall'):14.1f}"
          f" {med(name, 'dcpu') / gib:17.3f} {med(name, 'rss'):9.1f}")
t, a = runs['tidewell'], runs['aria2c']
pairs = sorted(set(t) & set(a))
def ratios(key, invert):
    return [(a[r][key] / t[r][key]) if invert else (t[r][key] / a[r][key]) for r in pairs]
def show(label, key, invert):
    v = ratios(key, invert)
    return f"{label} x{statistics.median(v):.2f} (rounds: {', '.join(f'{x:.2f}' for x in v)})"
print()
print("tidewell / aria2c, to exit      :", show("throughput", "wall", True) + ";", show("CPU per GiB", "cpu", False))
print("tidewell / aria2c, file on disk :", show("throughput", "dwall", True) + ";", show("CPU per GiB", "dcpu", False))
print(f"peak memory: tidewell {med('tidewell', 'rss'):.1f} MiB, aria2c {med('aria2c', 'rss'):.1f} MiB")
tw, aw = statistics.median(ratios('wall', True)), statistics.median(ratios('cpu', False))
print(f"goal: throughput >= aria2c ({'met' if tw >= 1 else 'not met'}), CPU/GiB <= aria2c ({'met' if aw <= 1 else 'not met'}),"
      f" peak memory < 100 MiB ({'met' if med('tidewell', 'rss') < 100 else 'not met'})")
PY
