#!/bin/sh
# Starts a private sshd on loopback and runs sftp_bench against it, which
# also times OpenSSH's sftp client in the same run.
#   bench/sftp_bench/run.sh BUILD_DIR [sftp_bench options...]
set -eu
build=$1
shift
root=$(cd "$(dirname "$0")/../.." && pwd)
state=$(mktemp -d)
port=${HV_BENCH_PORT:-22260}
trap '"$root/tests/fixtures/sshd.sh" stop "$state" $port sftp; rm -rf "$state"' EXIT INT TERM
"$root/tests/fixtures/sshd.sh" start "$state" $port sftp
user=$(cat "$state/user")
home=$(getent passwd "$user" | cut -d: -f6)
# The client key must be readable by whoever runs the bench, and OpenSSH
# insists that nobody else can read it.
cp "$state/keys/id_ed25519" "$state/key"
chmod 600 "$state/key"
TMPDIR=$state "$build/bench/sftp_bench/sftp_bench" --port $port --user "$user" --key "$state/key" \
    --remote "$home" --known-hosts "$state/known_hosts" "$@"
