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
source "$(dirname "$0")/timed_run.sh"
race_single_source "$url" "$rounds" "$dir/nginx/error.log"
