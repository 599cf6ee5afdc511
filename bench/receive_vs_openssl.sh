#!/usr/bin/env bash
# The receive path (bench_receive) side by side with libcrypto's own SHA-1
# speed on 16 KiB buffers (openssl speed), in one run on this machine.
# openssl speed divides by user CPU time; the receive path is shown per CPU
# second of its receive thread, per CPU second of the whole process (the
# piece writer thread included) and per wall-clock second. The receive
# thread's figure ends with the last write; the file's closing fdatasync, once
# per download, counts in the process and wall figures.
# Usage: bench/receive_vs_openssl.sh [build dir]   (default build/normal)
set -euo pipefail

build=${1:-build/normal}
bench="$build/bench/bench_receive"
[[ -x "$bench" ]] || { echo "build bench_receive first: cmake --build $build --target bench_receive" >&2; exit 1; }

# openssl prints thousands of bytes per second for the 16384-byte column.
openssl_kb=$(openssl speed -evp sha1 -bytes 16384 -seconds 3 2>/dev/null | awk '$1 == "sha1" { sub(/k$/, "", $2); print $2 }')
openssl_mib=$(awk -v k="$openssl_kb" 'BEGIN { printf "%.1f", k * 1000 / 1048576 }')

json=$(mktemp)
trap 'rm -f "$json"' EXIT
"$bench" --benchmark_format=json --benchmark_out="$json" --benchmark_out_format=json >/dev/null
field() {  # field <benchmark name> <key>
  python3 -c 'import json,sys
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b["name"].startswith(sys.argv[2]):
        print(b[sys.argv[3]]); break' "$json" "$1" "$2"
}
mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }
pct() { awk -v a="$1" -v b="$openssl_mib" 'BEGIN { printf "%.0f", 100 * a / b }'; }
sha_mib=$(mib "$(field "BM_Sha1State16K" bytes_per_second)")
fixed() { awk -v v="$1" 'BEGIN { printf "%.1f", v }'; }
echo "openssl speed -evp sha1 -bytes 16384 : $openssl_mib MiB/s (per CPU second)"
echo "SHA-1 through the stored state       : $sha_mib MiB/s"
# Two modes: with BitTorrent peers complete pieces wait in memory for their
# upload reads until the upkeep queues them for the writer thread; a web-only
# download queues each piece for writing while it is hashed.
for mode in "0:with peers" "1:web only"; do
  arg=${mode%%:*}; label=${mode#*:}
  for size in 256 2048; do
    name="BM_ReceivePath/$size/$arg"
    thread=$(mib "$(field "$name" bytes_per_second)")
    proc=$(fixed "$(field "$name" process_cpu_MiB_per_s)")
    wall=$(fixed "$(field "$name" wall_MiB_per_s)")
    printf '%-10s %4s MiB: receive thread %7s MiB/s per CPU s (%3s %%), whole process %7s (%3s %%), wall %7s (%3s %%)\n' \
      "$label" "$size" "$thread" "$(pct "$thread")" "$proc" "$(pct "$proc")" "$wall" "$(pct "$wall")"
  done
done
echo "2 GiB with peers, peak pool in use / in all: $(field "BM_ReceivePath/2048/0" peak_pool_in_use_MiB) / $(field "BM_ReceivePath/2048/0" peak_pool_total_MiB) MiB (cache limit $(field "BM_ReceivePath/2048/0" cache_limit_MiB) MiB)"
