# Sourced by the side-by-side benchmark scripts: one timed run of a program
# that downloads into $dir/out, appended to $results.
#   timed_run ROUND NAME EXPECTED-FILE COMMAND...
# The engine syncs its file before it reports completion; the others leave
# the writing to the kernel. Syncing each file afterwards (in a timed process
# of its own, so its writeback CPU is counted) also gives the time to a file
# that is on the disk for every program.

results="$dir/results"
: > "$results"

# Wall and CPU seconds of one /usr/bin/time -v report.
time_figures() {  # file -> "wall cpu"
  python3 - "$1" <<'PY'
import sys
f = dict(l.strip().split(': ', 1) for l in open(sys.argv[1]) if ': ' in l)
s = 0.0
for x in f['Elapsed (wall clock) time (h:mm:ss or m:ss)'].split(':'): s = s * 60 + float(x)
print(s, float(f['User time (seconds)']) + float(f['System time (seconds)']))
PY
}

timed_run() {
  local round=$1 name=$2 expected=$3; shift 3
  rm -rf "$dir/out"; mkdir -p "$dir/out"
  sync
  /usr/bin/time -v -o "$dir/time.$name" "$@" > "$dir/log.$name" 2>&1 || {
    echo "$name failed:" >&2; tail -5 "$dir/log.$name" >&2; return 1; }
  /usr/bin/time -v -o "$dir/time.$name.sync" python3 -c \
    'import os, sys; fd = os.open(sys.argv[1], os.O_RDONLY); os.fdatasync(fd)' "$dir/out/$(basename "$expected")"
  cmp -s "$dir/out/$(basename "$expected")" "$expected" || { echo "$name: the file differs" >&2; return 1; }
  local w c sw sc
  read -r w c < <(time_figures "$dir/time.$name")
  read -r sw sc < <(time_figures "$dir/time.$name.sync")
  echo "$round $name $w $c $sw $sc $(awk -F': ' '/Maximum resident set size/ {print $2}' "$dir/time.$name")" >> "$results"
}

# One file served at URL, fetched by this engine, `aria2c -x16` and curl in
# turns for ROUNDS rounds, then the table of medians and ratios. The source
# file is $dir/root/big.bin; SERVER-LOG is shown when the server does not
# serve it. $fetch names tidewell-fetch, $size_mib the file's size.
#   race_single_source URL ROUNDS SERVER-LOG
race_single_source() {
  local url=$1 rounds=$2 server_log=$3
  for _ in $(seq 100); do
    curl -sf -r 0-0 -o /dev/null "$url" && break
    sleep 0.1
  done
  curl -sf -r 0-0 -o /dev/null "$url" || { echo "the server does not serve the file:" >&2; cat "$server_log" >&2; return 1; }
  # Warm the page cache so every program reads the source at the same speed.
  cat "$dir/root/big.bin" > /dev/null
  # An untimed download first: the first program to write that much would
  # otherwise also pay for memory the machine has never used before (new page
  # cache pages cost far more in a virtual machine than reused ones).
  curl -s -o "$dir/out/warm-up.bin" "$url"
  rm -f "$dir/out/warm-up.bin"
  # The programs take turns, round after round, so a drift of the machine's
  # speed touches all of them alike; medians and per-round ratios are shown.
  local round
  for round in $(seq "$rounds"); do
    echo "round $round of $rounds..." >&2
    timed_run "$round" tidewell "$dir/root/big.bin" \
      "$fetch" --quiet --work "$dir/out" --target "$dir/out/big.bin" --info "$dir/out/big.bin.twinfo" "$url"
    timed_run "$round" aria2c "$dir/root/big.bin" \
      aria2c -q -x16 -s16 -k1M --file-allocation=none --allow-overwrite=true -d "$dir/out" -o big.bin "$url"
    timed_run "$round" curl "$dir/root/big.bin" curl -s -o "$dir/out/big.bin" "$url"
  done
  python3 "$(dirname "${BASH_SOURCE[0]}")/rounds.py" "$results" "$size_mib" aria2c tidewell aria2c curl
}
