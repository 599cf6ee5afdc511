#!/usr/bin/env bash
# Downloads one 2 GiB file from the same local vsftpd (anonymous, passive
# mode), in turns for a few rounds (default 3): with this engine
# (tidewell-fetch, one plain FTP task through the call interface), with
# `aria2c -x16 -s16` and with `curl`, and prints each one's throughput, CPU
# seconds per GiB and peak memory (from /usr/bin/time -v), with the ratios to
# aria2c: once up to each program's exit, once up to its file being on the
# disk (the engine syncs before it completes; the others do not).
#
#   bench/ftp_vs_aria2_curl.sh [build-dir] [size-MiB] [rounds]
#
# The build dir must hold tools/tidewell-fetch (default build/normal). The
# test file and the downloads live in a temporary folder on the same disk as
# TMPDIR; everything is removed at the end. vsftpd runs from here with its
# own configuration, never as a system service.
set -euo pipefail

build=${1:-build/normal}
size_mib=${2:-2048}
rounds=${3:-3}
fetch="$build/tools/tidewell-fetch"
[[ -x "$fetch" ]] || { echo "no $fetch (build the tidewell-fetch target)" >&2; exit 1; }
for tool in vsftpd aria2c curl /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps)" >&2; exit 1; }
done

dir=$(mktemp -d "${TMPDIR:-/tmp}/tw-bench.XXXXXX")
vsftpd_pid=
cleanup() {
  [[ -n "$vsftpd_pid" ]] && kill "$vsftpd_pid" 2>/dev/null && wait "$vsftpd_pid" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT

# Anonymous sessions run as the unprivileged "ftp" user: the served folder
# must be readable to it.
chmod 755 "$dir"
mkdir -p "$dir/root" "$dir/out"
chmod 755 "$dir/root"
echo "making a ${size_mib} MiB test file..." >&2
head -c $((size_mib * 1048576)) /dev/urandom > "$dir/root/big.bin"
chmod 644 "$dir/root/big.bin"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
launching_user=NO
[[ $(id -u) -ne 0 ]] && launching_user=YES
cat > "$dir/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
run_as_launching_user=$launching_user
anonymous_enable=YES
local_enable=NO
write_enable=NO
anon_root=$dir/root
no_anon_password=NO
pasv_enable=YES
connect_from_port_20=NO
max_per_ip=0
max_clients=0
secure_chroot_dir=/var/run/vsftpd/empty
seccomp_sandbox=NO
xferlog_enable=NO
CONF
vsftpd "$dir/vsftpd.conf" > "$dir/vsftpd.out" 2>&1 &
vsftpd_pid=$!
url="ftp://127.0.0.1:$port/big.bin"
source "$(dirname "$0")/timed_run.sh"
race_single_source "$url" "$rounds" "$dir/vsftpd.out"
