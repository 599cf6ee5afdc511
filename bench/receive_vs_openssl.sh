#!/usr/bin/env bash
# The receive path (bench_receive) side by side with libcrypto's own SHA-1
# speed on 16 KiB buffers (openssl speed), in one run on this machine.
# openssl speed divides by user CPU time; the receive path is shown per CPU
# second of its receive thread, per CPU second of the whole process (the
# piece writer thread included) and per wall-clock second.
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
recv_mib=$(mib "$(field "BM_ReceivePath/256" bytes_per_second)")
recv_proc=$(awk -v v="$(field "BM_ReceivePath/256" process_cpu_MiB_per_s)" 'BEGIN { printf "%.1f", v }')
recv_wall=$(awk -v v="$(field "BM_ReceivePath/256" wall_MiB_per_s)" 'BEGIN { printf "%.1f", v }')
big_mib=$(mib "$(field "BM_ReceivePath/2048" bytes_per_second)")
big_wall=$(awk -v v="$(field "BM_ReceivePath/2048" wall_MiB_per_s)" 'BEGIN { printf "%.1f", v }')
sha_mib=$(mib "$(field "BM_Sha1State16K" bytes_per_second)")

echo "openssl speed -evp sha1 -bytes 16384 : $openssl_mib MiB/s (per CPU second)"
echo "SHA-1 through the stored state       : $sha_mib MiB/s"
echo "receive path, 256 MiB, receive thread: $recv_mib MiB/s per CPU second  ($(pct "$recv_mib") % of openssl)"
echo "receive path, 256 MiB, whole process : $recv_proc MiB/s per CPU second  ($(pct "$recv_proc") % of openssl)"
echo "receive path, 256 MiB, wall clock    : $recv_wall MiB/s  ($(pct "$recv_wall") % of openssl; includes fdatasync)"
echo "receive path, 2 GiB, receive thread  : $big_mib MiB/s per CPU second, $big_wall MiB/s wall"
echo "2 GiB peak pool in use / in all      : $(field "BM_ReceivePath/2048" peak_pool_in_use_MiB) / $(field "BM_ReceivePath/2048" peak_pool_total_MiB) MiB (cache limit $(field "BM_ReceivePath/2048" cache_limit_MiB) MiB)"
