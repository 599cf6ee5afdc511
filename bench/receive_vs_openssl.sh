#!/usr/bin/env bash
# The receive path (bench_receive) side by side with libcrypto's own SHA-1
# speed on 16 KiB buffers (openssl speed), in one run on this machine. Both
# rates are per CPU second (openssl speed divides by user CPU time).
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
recv_bps=$(field "BM_ReceivePath/256" bytes_per_second)
recv_mib=$(awk -v b="$recv_bps" 'BEGIN { printf "%.1f", b / 1048576 }')
big_bps=$(field "BM_ReceivePath/2048" bytes_per_second)
big_mib=$(awk -v b="$big_bps" 'BEGIN { printf "%.1f", b / 1048576 }')
sha_bps=$(field "BM_Sha1State16K" bytes_per_second)
sha_mib=$(awk -v b="$sha_bps" 'BEGIN { printf "%.1f", b / 1048576 }')

echo "openssl speed -evp sha1 -bytes 16384 : $openssl_mib MiB/s"
echo "SHA-1 through the stored state       : $sha_mib MiB/s"
echo "receive path, 256 MiB                : $recv_mib MiB/s  ($(awk -v a="$recv_mib" -v b="$openssl_mib" 'BEGIN { printf "%.0f", 100 * a / b }') % of openssl)"
echo "receive path, 2 GiB                  : $big_mib MiB/s"
echo "2 GiB peak pool in use / in all      : $(field "BM_ReceivePath/2048" peak_pool_in_use_MiB) / $(field "BM_ReceivePath/2048" peak_pool_total_MiB) MiB (cache limit $(field "BM_ReceivePath/2048" cache_limit_MiB) MiB)"
