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
