#!/bin/sh
# Starts a private sshd on loopback and runs zmodem_ssh against it; the
# fixture's account is removed again on the way out.
#   bench/zmodem_ssh/run.sh BUILD_DIR [zmodem_ssh options...]
set -eu
build=$1
shift
root=$(cd "$(dirname "$0")/../.." && pwd)
state=$(mktemp -d)
port=${HV_BENCH_PORT:-22270}
trap '"$root/tests/fixtures/sshd.sh" stop "$state" $port; rm -rf "$state"' EXIT INT TERM
"$root/tests/fixtures/sshd.sh" start "$state" $port
"$build/bench/zmodem_ssh/zmodem_ssh" --port $port --user "$(cat "$state/user")" \
    --key "$state/keys/id_ed25519" --known-hosts "$state/known_hosts" "$@"
