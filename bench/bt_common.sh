# Shared by the BitTorrent benchmark scripts (sourced): a temporary folder, a
# random test file with its torrent, opentracker (whitelisted) and nginx on
# loopback, free ports, and cleanup of everything started here by pid.
# $tracker_host (default 127.0.0.1) is where opentracker listens.

fetch="$build/tools/tidewell-fetch"
[[ -x "$fetch" ]] || { echo "no $fetch (build the tidewell-fetch target)" >&2; exit 1; }
for tool in nginx aria2c curl opentracker mktorrent /usr/bin/time python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps)" >&2; exit 1; }
done

tracker_host=${tracker_host:-127.0.0.1}
dir=$(mktemp -d "${TMPDIR:-/tmp}/tw-btbench.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  # TW_BENCH_KEEP_DIR=1 leaves the folder (logs) for a look afterwards.
  [[ -n "${TW_BENCH_KEEP_DIR:-}" ]] && echo "left $dir" >&2 || rm -rf "$dir"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket,sys; s=socket.socket(); s.bind((sys.argv[1],0)); print(s.getsockname()[1])' "${1:-127.0.0.1}"
}

# make_content MiB: $dir/seed/f.bin and $dir/f.torrent (256 KiB pieces,
# HTTP announce to the tracker started by start_tracker).
make_content() {
  mkdir -p "$dir/seed" "$dir/ot"
  echo "making a $1 MiB test file..." >&2
  head -c $(($1 * 1048576)) /dev/urandom > "$dir/seed/f.bin"
  tracker_port=$(free_port)
  mktorrent -a "http://$tracker_host:$tracker_port/announce" -l 18 -o "$dir/f.torrent" "$dir/seed/f.bin" >/dev/null
  python3 - "$dir/f.torrent" > "$dir/ot/whitelist.txt" <<'PY'
import hashlib, sys
d = open(sys.argv[1], 'rb').read()
i = d.index(b'4:infod') + 6
print(hashlib.sha1(d[i:-1]).hexdigest())
PY
  info_hash=$(cat "$dir/ot/whitelist.txt")
}

start_tracker() {
  echo "access.whitelist whitelist.txt" > "$dir/ot/opentracker.conf"
  chmod 755 "$dir" "$dir/ot"; chmod 644 "$dir/ot"/*
  opentracker -i "$tracker_host" -p "$tracker_port" -P "$tracker_port" -f "$dir/ot/opentracker.conf" -d "$dir/ot" \
    -u nobody > "$dir/ot.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do curl -s -o /dev/null "http://$tracker_host:$tracker_port/announce" && break; sleep 0.1; done
}

# wait_peers N [complete]: until the tracker lists N peers (complete or not;
# with "complete", N seeders).
wait_peers() {
  local hash_esc
  hash_esc=$(python3 -c 'import sys; print("".join("%%%s" % sys.argv[1][i:i+2] for i in range(0, 40, 2)))' "$info_hash")
  for _ in $(seq 300); do
    local r
    r=$(curl -s "http://$tracker_host:$tracker_port/scrape?info_hash=$hash_esc" | tr -d '\0' || true)
    local n
    n=$(python3 -c '
import re,sys
t=sys.argv[1]
c=re.search(r"8:completei(\d+)e",t); i=re.search(r"10:incompletei(\d+)e",t)
c=int(c.group(1)) if c else 0; i=int(i.group(1)) if i else 0
print(c if sys.argv[2] == "complete" else c + i)' "$r" "${2:-all}")
    [[ "$n" -ge "$1" ]] && return 0
    sleep 0.1
  done
  echo "the tracker never listed $1 peers" >&2
  return 1
}

# start_nginx ROOT EXTRA-SERVER-CONFIG [NAME]: $nginx_port, access log
# $dir/NAME/access.log (NAME: nginx) with one line per request: the bytes nginx sent
# (headers included), the client's address and the status, then the time the
# request ended, its duration, the body bytes sent, the Range header and the
# URL's "c" argument (a client's tag; bench/server_split.py reads these).
start_nginx() {
  local nd="$dir/${3:-nginx}"
  mkdir -p "$nd/temp"
  nginx_port=$(free_port)
  cat > "$nd/nginx.conf" <<CONF
pid $nd/nginx.pid;
error_log $nd/error.log;
worker_processes 2;
events { worker_connections 1024; }
http {
  log_format bytes '\$bytes_sent \$remote_addr \$status \$msec \$request_time \$body_bytes_sent "\$http_range" "\$arg_c"';
  access_log $nd/access.log bytes;
  sendfile on;
  client_body_temp_path $nd/temp/body;
  proxy_temp_path $nd/temp/proxy;
  fastcgi_temp_path $nd/temp/fastcgi;
  uwsgi_temp_path $nd/temp/uwsgi;
  scgi_temp_path $nd/temp/scgi;
  server { listen 127.0.0.1:$nginx_port; root $1; $2 }
}
CONF
  nginx -p "$nd" -c "$nd/nginx.conf" -g 'daemon off;' &
  pids+=($!)
  for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$nginx_port/" && break; sleep 0.1; done
}

aria2_common=(--enable-dht=false --enable-dht6=false --bt-enable-lpd=false --enable-peer-exchange=false
  --file-allocation=none --console-log-level=warn --summary-interval=0 --bt-tracker-interval=2)
