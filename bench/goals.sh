#!/usr/bin/env bash
# Every side-by-side figure of the engine in one command: this engine
# (tools/tidewell-fetch) against aria2c (and curl where it applies), each
# measured in the same run on the same servers, with the engine's ratio to
# the reference and whether it reaches its target.
#
#   bench/goals.sh [--build DIR] [--size MiB] [--offload-size MiB] [--rounds N] [SECTION...]
#
# Sections (default: all, in this order):
#   http      one file from nginx: engine, aria2c -x16 -s16, curl; throughput,
#             CPU seconds per GiB, peak memory, and what nginx sent against
#             what the engine kept from it (the waste split below). Judged
#             up to each file being on the disk (the engine syncs before it
#             exits; the others get a timed sync afterwards), after one
#             untimed download, with the order of the programs turning from
#             round to round; ratios are medians of the per-round ratios.
#   p2sp      nginx plus one aria2c seeder: engine (torrent and URL) against
#             aria2c -x4 -s4 -T torrent URL; throughput and the waste split
#   seed      one seeder, an aria2c leecher: an engine seeder against an
#             aria2c seeder
#   bt3       three seeders at once (aria2c, Transmission, an engine): an
#             engine leecher against an aria2c leecher
#   offload4  four clients at once, 2 web connections each limited to
#   offload8  4 MB/s, plus each other (eight for offload8): what nginx sent
#             as a multiple of the file, and the time until all are done
#   receive   bench/receive_vs_openssl.sh
#
# TW_GOALS_LOG=N passes --log N to the engine's seeders, its bt3 and p2sp
# leechers and its offload clients: their logs (kept with
# TW_BENCH_KEEP_DIR=1) then show each peer's rates and request pipeline
# every three seconds, and at 13 where web connections move or give up a
# reply.
#
# The waste split of an engine run: nginx's $bytes_sent over the run's
# requests is cut into what the engine kept (new payload), blocks it held
# already (fetched by a peer or another connection too), bytes skipped on the
# way to a wanted block, bytes read but unused when a request was given up,
# reply headers, and bytes never read (in flight when a connection closed).
# For the offload sections nginx's log also tells how often it sent each part
# of the file: the first copy, again to the same client, to another client
# within one HAVE batch (7 s) of the first copy, or later
# (bench/server_split.py); aria2c's clients get the same split.
#
# Runs as root inside a private network namespace of its own (unshare
# --net): loopback plus 198.18.0.0/15 on lo, so that Transmission, which
# ignores peers in 127.0.0.0/8, takes part, and every client has an address
# of its own. Files live under TMPDIR; everything is removed at the end.
set -euo pipefail

if [[ -z "${TW_GOALS_NETNS:-}" ]]; then
  [[ $(id -u) == 0 ]] || { echo "run as root (the benchmark makes its own network namespace)" >&2; exit 1; }
  TW_GOALS_NETNS=1 exec unshare --net -- "$0" "$@"
fi
ip link set lo up
ip addr add 198.18.0.1/15 dev lo

build=build/normal
size_mib=2048
offload_mib=1024
rounds=3
sections=()
while [[ $# -gt 0 ]]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --size) size_mib=$2; shift 2 ;;
    --offload-size) offload_mib=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    -*) echo "unknown option $1" >&2; exit 1 ;;
    *) sections+=("$1"); shift ;;
  esac
done
[[ ${#sections[@]} -gt 0 ]] || sections=(http p2sp seed bt3 offload4 offload8 receive)
here=$(dirname "$0")
tracker_host=198.18.0.1
source "$here/bt_common.sh"
for tool in transmission-cli unshare ip openssl; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps)" >&2; exit 1; }
done
source "$here/timed_run.sh"
figures="$dir/figures"
: > "$figures"

# One figure line: SECTION PROGRAM ROUND KEY VALUE.
note() { echo "$*" >> "$figures"; }
nginx_lines() { if [[ -f "$1" ]]; then wc -l < "$1"; else echo 0; fi; }
# Bytes nginx sent and requests it served since line MARK of its log; nginx
# writes a line when a request ends, which for a rate-limited reply can be a
# while after the client closed: the log is read once it stops growing.
nginx_since() {
  local before=-1 now
  for _ in $(seq 30); do
    sleep 1
    now=$(nginx_lines "$1")
    [[ $now == "$before" ]] && break
    before=$now
  done
  awk -v from="$2" 'NR > from {s += $1; n++} END {print s + 0, n + 0}' "$1"
}
# The engine's own counts from its output (tidewell-fetch's last lines).
engine_counts() {  # SECTION PROGRAM ROUND LOG
  local section=$1 program=$2 round=$3 log=$4
  awk -v s="$section" -v p="$program" -v r="$round" '
    /^bytes web/ {print s, p, r, "kept_web", $3; print s, p, r, "kept_peer", $5}
    /^web-traffic/ {for (i = 2; i < NF; i += 2) print s, p, r, "web_" $i, $(i + 1)}' "$log" >> "$figures"
}
# One timed download with nginx's account of it.
measured() {  # SECTION PROGRAM ROUND ACCESS-LOG EXPECTED COMMAND...
  local section=$1 program=$2 round=$3 access=$4; shift 4
  local mark sent requests
  mark=$(nginx_lines "$access")
  timed_run "$round" "$section.$program" "$@"
  read -r sent requests < <(nginx_since "$access" "$mark")
  note "$section" "$program" "$round" nginx_sent "$sent"
  note "$section" "$program" "$round" nginx_requests "$requests"
  engine_counts "$section" "$program" "$round" "$dir/log.$section.$program"
}

# The seeders: $started is the new one's pid (cleanup stops it too).
aria2_seeder() {  # ADDRESS: seeds $dir/seed/f.bin
  aria2c "${aria2_common[@]}" --interface="$1" -d "$dir/seed" --listen-port="$(free_port "$1")" \
    --bt-seed-unverified=true --seed-ratio=0.0 "$dir/f.torrent" > "$dir/aria2-seeder-$1.log" 2>&1 &
  started=$!
  pids+=("$started")
}
engine_seeder() {  # ADDRESS: seeds a hard link of the file
  local d="$dir/eseed-$1"
  mkdir -p "$d"
  ln -f "$dir/seed/f.bin" "$d/f.bin"
  rm -f "$d/stop"
  "$fetch" --quiet --work "$d" --target "$d/f.bin" --torrent "$dir/f.torrent" --bt-limit 40 \
    --listen "$1:$(free_port "$1")" --seed-until "$d/stop" --timeout 7200 ${TW_GOALS_LOG:+--log "$TW_GOALS_LOG"} > "$d/log" 2>&1 &
  started=$!
  pids+=("$started")
}
# Until the tracker lists more seeders than $1 (a stopped one may stay listed).
seeders_now() {
  local esc
  esc=$(python3 -c 'import sys; print("".join("%%%s" % sys.argv[1][i:i+2] for i in range(0, 40, 2)))' "$info_hash")
  curl -s "http://$tracker_host:$tracker_port/scrape?info_hash=$esc" | tr -d '\0' |
    python3 -c 'import re,sys; m=re.search(r"8:completei(\d+)e", sys.stdin.read()); print(m.group(1) if m else 0)'
}
wait_more_seeders() {
  for _ in $(seq 1200); do [[ $(seeders_now) -gt $1 ]] && return 0; sleep 0.25; done
  echo "no new seeder was listed" >&2; return 1
}
# Every peer the tracker lists, seeders or not.
peers_now() {
  local esc
  esc=$(python3 -c 'import sys; print("".join("%%%s" % sys.argv[1][i:i+2] for i in range(0, 40, 2)))' "$info_hash")
  curl -s "http://$tracker_host:$tracker_port/scrape?info_hash=$esc" | tr -d '\0' |
    python3 -c 'import re,sys; t=sys.stdin.read(); print(sum(int(m.group(1)) for m in re.finditer(r"(?:8:complete|10:incomplete)i(\d+)e", t)))'
}
stop_pid() { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }

http_run() {  # PROGRAM ROUND
  local access="$dir/nginx/access.log" url="http://127.0.0.1:$plain_port/f.bin"
  case $1 in
    tidewell) measured http tidewell "$2" "$access" "$dir/seed/f.bin" \
      "$fetch" --quiet --work "$dir/out" --target "$dir/out/f.bin" --info "$dir/out/f.bin.twinfo" "$url" ;;
    aria2c) measured http aria2c "$2" "$access" "$dir/seed/f.bin" \
      aria2c -q -x16 -s16 -k1M --file-allocation=none --allow-overwrite=true -d "$dir/out" -o f.bin "$url" ;;
    curl) measured http curl "$2" "$access" "$dir/seed/f.bin" curl -s -o "$dir/out/f.bin" "$url" ;;
  esac
}

section_http() {
  # One untimed download first, like the timed ones: the first program to
  # write this much (into page-cache pages never used before) would pay more.
  curl -s -o "$dir/out-warm-up.bin" "http://127.0.0.1:$plain_port/f.bin"
  rm -f "$dir/out-warm-up.bin"
  sync
  # The order turns from round to round, so no program is always the one
  # that runs first, or right after another one's writeback.
  local programs=(tidewell aria2c curl) round i
  for round in $(seq "$rounds"); do
    echo "http: round $round of $rounds..." >&2
    for i in 0 1 2; do
      http_run "${programs[$(((round - 1 + i) % 3))]}" "$round"
    done
  done
}

section_p2sp() {
  local access="$dir/nginx/access.log" url="http://127.0.0.1:$plain_port/f.bin" seeder before
  before=$(seeders_now)
  aria2_seeder 198.18.0.3
  seeder=$started
  wait_more_seeders "$before"
  for round in $(seq "$rounds"); do
    echo "p2sp: round $round of $rounds..." >&2
    measured p2sp tidewell "$round" "$access" "$dir/seed/f.bin" \
      "$fetch" --quiet --work "$dir/out" --target "$dir/out/f.bin" --torrent "$dir/f.torrent" --bt-limit 20 \
      --listen "198.18.0.2:$(free_port 198.18.0.2)" --timeout 3600 ${TW_GOALS_LOG:+--log "$TW_GOALS_LOG"} "$url"
    measured p2sp aria2c "$round" "$access" "$dir/seed/f.bin" \
      aria2c "${aria2_common[@]}" --interface=198.18.0.4 -d "$dir/out" --listen-port="$(free_port 198.18.0.4)" \
      -x4 -s4 --seed-time=0 -T "$dir/f.torrent" "$url"
  done
  stop_pid "$seeder"
}

section_seed() {
  local access="$dir/nginx/access.log" seeder before
  for round in $(seq "$rounds"); do
    echo "seed: round $round of $rounds..." >&2
    before=$(seeders_now)
    engine_seeder 198.18.0.5
    seeder=$started
    wait_more_seeders "$before"
    measured seed tidewell "$round" "$access" "$dir/seed/f.bin" \
      aria2c "${aria2_common[@]}" --interface=198.18.0.6 -d "$dir/out" --listen-port="$(free_port 198.18.0.6)" \
      --seed-time=0 "$dir/f.torrent"
    touch "$dir/eseed-198.18.0.5/stop"
    stop_pid "$seeder"
    before=$(seeders_now)
    aria2_seeder 198.18.0.7
    seeder=$started
    wait_more_seeders "$before"
    measured seed aria2c "$round" "$access" "$dir/seed/f.bin" \
      aria2c "${aria2_common[@]}" --interface=198.18.0.6 -d "$dir/out" --listen-port="$(free_port 198.18.0.6)" \
      --seed-time=0 "$dir/f.torrent"
    stop_pid "$seeder"
  done
}

section_bt3() {
  local access="$dir/nginx/access.log" a t e before
  mkdir -p "$dir/tr"
  cat > "$dir/tr/settings.json" <<JSON
{"bind-address-ipv4": "0.0.0.0", "dht-enabled": false, "lpd-enabled": false, "pex-enabled": false,
 "utp-enabled": false, "encryption": 0, "port-forwarding-enabled": false, "rpc-enabled": false,
 "peer-port": $(free_port 198.18.0.9), "speed-limit-up-enabled": false, "ratio-limit-enabled": false,
 "peer-limit-per-torrent": 60}
JSON
  before=$(seeders_now)
  aria2_seeder 198.18.0.8
  a=$started
  wait_more_seeders "$before"
  before=$(peers_now)
  transmission-cli -g "$dir/tr" -w "$dir/seed" "$dir/f.torrent" > "$dir/transmission.log" 2>&1 &
  t=$!
  pids+=("$t")
  # Transmission may announce while it still checks the file and then not
  # again for the tracker's interval: listed at all and seeding is enough.
  for _ in $(seq 1200); do
    [[ $(peers_now) -gt $before ]] && grep -qs Seeding "$dir/transmission.log" && break
    sleep 0.25
  done
  grep -qs Seeding "$dir/transmission.log" || { echo "Transmission never seeded" >&2; exit 1; }
  before=$(seeders_now)
  engine_seeder 198.18.0.10
  e=$started
  wait_more_seeders "$before"
  # Each round's leechers come from addresses of their own: a seeder may
  # remember an address whose last peer told it had every piece (Transmission
  # keeps such an address as a seed's and never unchokes it again), which
  # would hold back whichever leecher told it so in an earlier round.
  local le la
  for round in $(seq "$rounds"); do
    echo "bt3: round $round of $rounds..." >&2
    le=198.18.0.$((20 + round)); la=198.18.0.$((120 + round))
    measured bt3 tidewell "$round" "$access" "$dir/seed/f.bin" \
      "$fetch" --quiet --work "$dir/out" --target "$dir/out/f.bin" --torrent "$dir/f.torrent" --bt-limit 20 \
      --listen "$le:$(free_port "$le")" --timeout 3600 ${TW_GOALS_LOG:+--log "$TW_GOALS_LOG"}
    measured bt3 aria2c "$round" "$access" "$dir/seed/f.bin" \
      aria2c "${aria2_common[@]}" --interface="$la" -d "$dir/out" --listen-port="$(free_port "$la")" \
      --seed-time=0 "$dir/f.torrent"
  done
  touch "$dir/eseed-198.18.0.10/stop"
  stop_pid "$e"; stop_pid "$t"; stop_pid "$a"
}

# COUNT clients of PROGRAM at once from the rate-limited nginx; each one
# seeds until all are done.
offload_run() {  # SECTION PROGRAM COUNT ROUND
  local section=$1 program=$2 count=$3 round=$4 access="$dir/nginx-limited/access.log"
  local base_url="http://127.0.0.1:$limited_port/f.bin" mark start end i sent requests net=1
  [[ $program == aria2c ]] && net=2
  local clients=()
  rm -rf "$dir/off"; mkdir -p "$dir/off"
  mark=$(nginx_lines "$access")
  start=$(date +%s.%N)
  for i in $(seq "$count"); do
    local d="$dir/off/$i" address="198.18.$net.$i"
    # Each client asks with a tag of its own, so that nginx's log tells whom
    # it sent what.
    local url="$base_url?c=$i"
    mkdir -p "$d"
    if [[ $program == tidewell ]]; then
      "$fetch" --quiet --work "$d" --target "$d/f.bin" --torrent "$dir/f.torrent" --web-limit 2 --bt-limit 20 \
        --listen "$address:$(free_port "$address")" --seed-until "$dir/off/stop" --timeout 1800 \
        ${TW_GOALS_LOG:+--log "$TW_GOALS_LOG"} "$url" \
        > "$d/log" 2>&1 &
    else
      aria2c "${aria2_common[@]}" --interface="$address" -d "$d" --listen-port="$(free_port "$address")" \
        -x2 -s2 --seed-ratio=0.0 --on-bt-download-complete="$dir/aria2-done.sh" -T "$dir/f.torrent" "$url" \
        > "$d/log" 2>&1 &
    fi
    clients+=($!)
    pids+=($!)
  done
  # Done: the engine prints "complete"; aria2c runs the hook, which marks
  # the file.
  for i in $(seq "$count"); do
    until grep -qs '^complete' "$dir/off/$i/log" || [[ -e "$dir/off/$i/f.bin.done" ]]; do
      kill -0 "${clients[$((i - 1))]}" 2>/dev/null || { echo "$program client $i ended early" >&2; tail "$dir/off/$i/log" >&2; exit 1; }
      sleep 0.2
    done
  done
  end=$(date +%s.%N)
  touch "$dir/off/stop"
  for p in "${clients[@]}"; do
    [[ $program == aria2c ]] && kill "$p" 2>/dev/null
    wait "$p" 2>/dev/null || true
  done
  for i in $(seq "$count"); do
    cmp -s "$dir/off/$i/f.bin" "$dir/seed/f.bin" || { echo "$program client $i: the file differs" >&2; exit 1; }
    engine_counts "$section" "$program" "$round" "$dir/off/$i/log"
    cp "$dir/off/$i/log" "$dir/log.$section.$program.$round.$i"
  done
  read -r sent requests < <(nginx_since "$access" "$mark")
  note "$section" "$program" "$round" nginx_sent "$sent"
  note "$section" "$program" "$round" nginx_requests "$requests"
  python3 "$here/server_split.py" "$access" "$mark" 7 |
    while read -r key value; do note "$section" "$program" "$round" "server_$key" "$value"; done
  note "$section" "$program" "$round" wall "$(python3 -c "print($end - $start)")"
  note "$section" "$program" "$round" clients "$count"
}

section_offload() {  # COUNT
  local section="offload$1"
  for round in $(seq "$rounds"); do
    echo "$section: round $round of $rounds..." >&2
    offload_run "$section" tidewell "$1" "$round"
    offload_run "$section" aria2c "$1" "$round"
  done
}

section_receive() {
  "$here/receive_vs_openssl.sh" "$build" "$rounds" | tee "$dir/receive.txt" >&2
}

needs_content=0
for s in "${sections[@]}"; do [[ $s != receive ]] && needs_content=1; done
if [[ $needs_content == 1 ]]; then
  make_content "$size_mib"
  start_tracker
  start_nginx "$dir/seed" ""
  plain_port=$nginx_port
  cat "$dir/seed/f.bin" > /dev/null
  # An untimed write first: the first program to write that much would
  # otherwise also pay for memory the machine has never used before.
  head -c $((size_mib * 1048576)) /dev/zero > "$dir/warm-up.bin"
  rm -f "$dir/warm-up.bin"
  chmod 755 "$dir/seed"; chmod 644 "$dir/seed/f.bin"
fi
for s in "${sections[@]}"; do
  case $s in
    offload4|offload8)
      if [[ ! -e "$dir/offload-ready" ]]; then
        # The offload file has its own size: a torrent and a limited nginx of
        # its own.
        if [[ $offload_mib != "$size_mib" ]]; then
          for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
          pids=()
          rm -rf "$dir/ot" "$dir/nginx" "$dir/seed" "$dir/f.torrent"
          make_content "$offload_mib"
          start_tracker
          chmod 755 "$dir/seed"; chmod 644 "$dir/seed/f.bin"
        fi
        start_nginx "$dir/seed" "limit_rate 4m;" nginx-limited
        limited_port=$nginx_port
        printf '#!/bin/sh\ntouch "$3.done"\n' > "$dir/aria2-done.sh"
        chmod 755 "$dir/aria2-done.sh"
        touch "$dir/offload-ready"
        note offload size_mib 1 value "$offload_mib"
      fi
      section_offload "${s#offload}" ;;
    http|p2sp|seed|bt3)
      [[ ! -e "$dir/offload-ready" ]] || { echo "run $s before the offload sections" >&2; exit 1; }
      "section_$s" ;;
    receive) section_receive ;;
    *) echo "unknown section $s" >&2; exit 1 ;;
  esac
done
note all size_mib 1 value "$size_mib"
touch "$dir/receive.txt"
python3 "$here/goals_report.py" "$figures" "$results" "$dir/receive.txt" | tee "$dir/report.txt"
# Kept when asked for: the table, the figures it came from and the limited
# nginx's log (for a closer look at the offload runs).
[[ -z "${TW_GOALS_KEEP:-}" ]] || cp "$dir/report.txt" "$dir/figures" "$dir/results" "$TW_GOALS_KEEP/"
[[ -z "${TW_GOALS_KEEP:-}" || ! -f "$dir/nginx-limited/access.log" ]] || cp "$dir/nginx-limited/access.log" "$TW_GOALS_KEEP/offload-access.log"
