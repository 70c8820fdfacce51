#!/bin/sh
# Starts a private sshd on loopback and runs sftp_bench against it, which
# also times OpenSSH's sftp client in the same run; then the same against a
# private Dropbear (its 24 KiB channel window), a 16 MiB file only unless
# HV_BENCH_DROPBEAR_MIB says otherwise.
#   bench/sftp_bench/run.sh BUILD_DIR [sftp_bench options...]
set -eu
build=$1
shift
root=$(cd "$(dirname "$0")/../.." && pwd)
state=$(mktemp -d)
port=${HV_BENCH_PORT:-22260}
dport=$((port + 1))
trap '"$root/tests/fixtures/sshd.sh" stop "$state" $port sftp; "$root/tests/fixtures/dropbear.sh" stop "$state/dropbear" $dport
      rm -rf "$state"' EXIT INT TERM
"$root/tests/fixtures/sshd.sh" start "$state" $port sftp
user=$(cat "$state/user")
home=$(getent passwd "$user" | cut -d: -f6)
# The client key must be readable by whoever runs the bench, and OpenSSH
# insists that nobody else can read it.
cp "$state/keys/id_ed25519" "$state/key"
chmod 600 "$state/key"
TMPDIR=$state "$build/bench/sftp_bench/sftp_bench" --port $port --user "$user" --key "$state/key" \
    --remote "$home" --known-hosts "$state/known_hosts" "$@"

"$root/tests/fixtures/dropbear.sh" start "$state/dropbear" $dport
user=$(cat "$state/dropbear/user")
home=$(getent passwd "$user" | cut -d: -f6)
cp "$state/dropbear/keys/id_ed25519" "$state/dkey"
chmod 600 "$state/dkey"
TMPDIR=$state "$build/bench/sftp_bench/sftp_bench" --port $dport --user "$user" --key "$state/dkey" \
    --remote "$home" --known-hosts "$state/dknown_hosts" "$@" --server dropbear --mib "${HV_BENCH_DROPBEAR_MIB:-16}" --files 0 \
    --cipher chacha20-poly1305@openssh.com
