#!/usr/bin/env bash
# The receive path (bench_receive) side by side with libcrypto's own SHA-1
# speed on 16 KiB buffers (openssl speed), in one run on this machine.
# openssl speed divides by user CPU time; the receive path is shown per CPU
# second of its receive thread, per CPU second of the whole process (the
# piece writer thread included) and per wall-clock second. The receive
# thread's figure ends with the last write; the file's closing fdatasync, once
# per download, counts in the process and wall figures.
#
# On a shared machine both speeds drift with the neighbours' load, by more
# than the margin the goal is judged on. So the run goes in rounds, and each
# round measures the reference right before and right after the receive
# path, which is then compared with the mean of those two: every percentage
# is the median of the per-round ratios, every speed the median of the
# rounds.
# Usage: bench/receive_vs_openssl.sh [build dir] [rounds]   (default build/normal, 3)
set -euo pipefail

build=${1:-build/normal}
rounds=${2:-3}
bench="$build/bench/bench_receive"
[[ -x "$bench" ]] || { echo "build bench_receive first: cmake --build $build --target bench_receive" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# openssl prints thousands of bytes per second for the 16384-byte column.
openssl_mib() {
  openssl speed -evp sha1 -bytes 16384 -seconds 2 2>/dev/null |
    awk '$1 == "sha1" { sub(/k$/, "", $2); printf "%.1f\n", $2 * 1000 / 1048576 }'
}

for round in $(seq "$rounds"); do
  echo "receive path: round $round of $rounds..." >&2
  before=$(openssl_mib)
  "$bench" --benchmark_format=json --benchmark_out="$work/$round.json" --benchmark_out_format=json >/dev/null
  after=$(openssl_mib)
  echo "$round $before $after" >> "$work/openssl"
done

python3 - "$work" "$rounds" <<'EOF'
import json, statistics, sys

work, rounds = sys.argv[1], int(sys.argv[2])
reference = {}
for line in open(f'{work}/openssl'):
    r, before, after = line.split()
    reference[int(r)] = (float(before) + float(after)) / 2
runs = {r: {b['name']: b for b in json.load(open(f'{work}/{r}.json'))['benchmarks']} for r in range(1, rounds + 1)}
MiB = 1048576


def field(r, prefix, key):
    for name, b in runs[r].items():
        if name.startswith(prefix):
            return float(b[key])
    raise SystemExit(f'no {prefix} in round {r}')


def med(values):
    return statistics.median(values)


per_round = ', '.join(f'{reference[r]:.1f}' for r in sorted(reference))
print(f'openssl speed -evp sha1 -bytes 16384 : {med(reference.values()):.1f} MiB/s (per CPU second; rounds: {per_round})')
print(f'SHA-1 through the stored state       : {med(field(r, "BM_Sha1State16K", "bytes_per_second") / MiB for r in runs):.1f} MiB/s')
# Two modes: with BitTorrent peers complete pieces wait in memory for their
# upload reads until the upkeep queues them for the writer thread; a web-only
# download queues each piece for writing while it is hashed.
for arg, label in ((0, 'with peers'), (1, 'web only')):
    for size in (256, 2048):
        name = f'BM_ReceivePath/{size}/{arg}'
        cells = []
        for key, scale in (('bytes_per_second', MiB), ('process_cpu_MiB_per_s', 1), ('wall_MiB_per_s', 1)):
            speeds = {r: field(r, name, key) / scale for r in runs}
            pct = med(100 * speeds[r] / reference[r] for r in runs)
            cells.append((med(speeds.values()), pct))
        (t, tp), (p, pp), (w, wp) = cells
        print(f'{label:<10} {size:4d} MiB: receive thread {t:7.1f} MiB/s per CPU s ({tp:3.0f} %), '
              f'whole process {p:7.1f} ({pp:3.0f} %), wall {w:7.1f} ({wp:3.0f} %)')
last = runs[rounds]
b = next(v for k, v in last.items() if k.startswith('BM_ReceivePath/2048/0'))
print(f'2 GiB with peers, peak pool in use / in all: {b["peak_pool_in_use_MiB"]:.1f} / {b["peak_pool_total_MiB"]:.2f} MiB '
      f'(cache limit {b["cache_limit_MiB"]:.1f} MiB)')
print(f'{rounds} rounds; each ratio is the median of the per-round ratios to the reference measured around that round')
EOF
